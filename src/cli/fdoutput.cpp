#include "fdoutput.h"

#include "stopsignals.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

FdOutput::FdOutput(int fd, bool owned)
    : _fd(fd)
    , _owned(owned)
{
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

FdOutput::~FdOutput()
{
    if (_owned && _fd >= 0)
        ::close(_fd);
}

qint64 FdOutput::readData(char *, qint64)
{
    return -1;
}

void FdOutput::drop(const QString &why)
{
    _dropped = true;
    setErrorString(why);
}

bool FdOutput::mayWaitOn()
{
    if (StopSignals::caught() == 0)
        return true;
    // Counted from the first wait after the stop, not from the stop: an
    // output that never blocks keeps everything it is given.
    if (!_stopSeen) {
        _stopSeen = true;
        _afterStop.setRemainingTime(kAfterStopMs);
    }
    if (!_afterStop.hasExpired())
        return true;
    drop(QStringLiteral("still blocked %1 ms after the stop").arg(kAfterStopMs));
    return false;
}

qint64 FdOutput::writeData(const char *data, qint64 size)
{
    qint64 done = 0;
    while (done < size && !_dropped) {
        const ssize_t written = ::write(_fd, data + done, size_t(size - done));
        if (written >= 0) {
            done += written;
            continue;
        }
        const int error = errno;
        if (error == EINTR) {
            // Blocked, and a stop or its tick came.
            if (!mayWaitOn())
                break;
            continue;
        }
        if (error == EAGAIN || error == EWOULDBLOCK) {
            // Made non-blocking by whoever gave it to us: wait as a blocking write would.
            pollfd ready{_fd, POLLOUT, 0};
            if (::poll(&ready, 1, -1) < 0 && errno == EINTR && !mayWaitOn())
                break;
            continue;
        }
        drop(QString::fromLocal8Bit(std::strerror(error)));
    }
    // Never an error to the caller: what was not written is dropped.
    return size;
}
