#include "stopsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int pairFds[2] = {-1, -1};  // [0] written by the handler, [1] read by the loop
struct sigaction previousInt {};
struct sigaction previousTerm {};

void onSignal(int number)
{
    // Only async-signal-safe calls here; errno belongs to whatever we interrupted.
    const int savedErrno = errno;
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(pairFds[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
}

StopSignals::~StopSignals()
{
    if (!_notifier)
        return;
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    delete _notifier;
    ::close(pairFds[0]);
    ::close(pairFds[1]);
    pairFds[0] = pairFds[1] = -1;
}

bool StopSignals::install(QString *error)
{
    if (_notifier)
        return true;
    if (pairFds[0] >= 0) {
        *error = QStringLiteral("signal handling is taken already");
        return false;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pairFds) != 0) {
        *error = QStringLiteral("socketpair: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // A burst of signals must never block the handler.
    ::fcntl(pairFds[0], F_SETFL, ::fcntl(pairFds[0], F_GETFL) | O_NONBLOCK);
    ::fcntl(pairFds[1], F_SETFL, ::fcntl(pairFds[1], F_GETFL) | O_NONBLOCK);
    _notifier = new QSocketNotifier(pairFds[1], QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, &StopSignals::readPending);

    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &previousInt);
    ::sigaction(SIGTERM, &action, &previousTerm);
    return true;
}

bool StopSignals::requested()
{
    readPending();
    return _requested;
}

void StopSignals::readPending()
{
    if (pairFds[1] < 0)
        return;
    char bytes[16];
    ssize_t got;
    // Bounded: the pair holds what the handler wrote, and nothing blocks.
    for (int pass = 0; pass < 64 && (got = ::read(pairFds[1], bytes, sizeof bytes)) > 0; ++pass) {
        const bool first = !_requested;
        _requested = true;
        if (first)
            emit stopRequested(int(bytes[0]));
    }
}
