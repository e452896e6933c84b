#include "inputfile.h"

#include "stopsignals.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

InputFile InputFile::read(const QString &path, qint64 maxBytes)
{
    InputFile input;
    // Blocking: a FIFO's writer may come a moment later. A stop ends the wait.
    int fd;
    while ((fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOCTTY | O_CLOEXEC)) < 0
           && errno == EINTR) {
        if (StopSignals::caught() != 0) {
            input.interrupted = true;
            return input;
        }
    }
    if (fd < 0) {
        input.error = errnoText(errno);
        return input;
    }
    input.identity = FileIdentity::ofDescriptor(fd);
    char buffer[65536];
    while (input.content.size() <= maxBytes) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            input.content.append(buffer, got);
            continue;
        }
        if (got == 0)
            break;
        if (errno != EINTR) {
            input.error = errnoText(errno);
            break;
        }
        if (StopSignals::caught() != 0) {
            input.interrupted = true;
            break;
        }
    }
    ::close(fd);
    input.content.truncate(maxBytes + 1);
    return input;
}
