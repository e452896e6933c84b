#include "stopsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Often enough that a write blocked after the stop gives up on time.
constexpr long kTickNs = 50L * 1000 * 1000;

int pairFds[2] = {-1, -1};  // [0] written by the handler, [1] read by the loop
struct sigaction previous[std::size(kStopSignals)] {};
volatile sig_atomic_t caughtSignal = 0;
timer_t ticker {};
bool tickerMade = false;

void onStop(int number)
{
    // Only async-signal-safe calls here; errno belongs to whatever we interrupted.
    const int savedErrno = errno;
    if (caughtSignal == 0) {
        caughtSignal = number;
        // A write or open may block again after this one returned: the
        // ticks interrupt it until the program is done.
        if (tickerMade) {
            itimerspec every{};
            every.it_value.tv_nsec = kTickNs;
            every.it_interval.tv_nsec = kTickNs;
            ::timer_settime(ticker, 0, &every, nullptr);
        }
    }
    const char byte = char(number);
    [[maybe_unused]] const ssize_t written = ::write(pairFds[0], &byte, 1);
    errno = savedErrno;
}

void onTick(int)
{
    // Its only work is to interrupt a blocked call.
}

bool handle(int number, void (*handler)(int), struct sigaction *old)
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked call must return
    return ::sigaction(number, &action, old) == 0;
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
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
        ::sigaction(kStopSignals[i], &previous[i], nullptr);
    if (tickerMade) {
        ::timer_delete(ticker);
        tickerMade = false;
    }
    // A tick still pending must not end the program.
    ::signal(SIGALRM, SIG_IGN);
    delete _notifier;
    ::close(pairFds[0]);
    ::close(pairFds[1]);
    pairFds[0] = pairFds[1] = -1;
    caughtSignal = 0;
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

    sigevent tick{};
    tick.sigev_notify = SIGEV_SIGNAL;
    tick.sigev_signo = SIGALRM;
    // Without the ticks a stop still works; only a call that blocks again
    // after the stop's own interruption would wait on.
    tickerMade = handle(SIGALRM, onTick, nullptr) && ::timer_create(CLOCK_MONOTONIC, &tick, &ticker) == 0;
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
        handle(kStopSignals[i], onStop, &previous[i]);
    return true;
}

bool StopSignals::requested()
{
    readPending();
    return _requested;
}

int StopSignals::caught()
{
    return caughtSignal;
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
