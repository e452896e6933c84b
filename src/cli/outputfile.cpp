#include "outputfile.h"

#include "printable.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

OutputFile refused(int fd, const QString &why)
{
    if (fd >= 0)
        ::close(fd);
    OutputFile file;
    file.error = why;
    return file;
}

} // namespace

OutputFile OutputFile::open(const QString &path, const QList<NamedInput> &inputs)
{
    const QString shown = printable::escaped(path);
    // No O_TRUNC: nothing is emptied before the checks. Non-blocking: a FIFO
    // without a reader fails at once, and no device node waits for a carrier.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        if (error == ENXIO)
            return refused(-1, QStringLiteral("the log file %1 is a FIFO that no one reads").arg(shown));
        return refused(-1, QStringLiteral("cannot write the log file %1: %2")
                               .arg(shown, QString::fromLocal8Bit(std::strerror(error))));
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return refused(fd, QStringLiteral("cannot write the log file %1: %2")
                               .arg(shown, QString::fromLocal8Bit(std::strerror(errno))));
    const FileIdentity identity = FileIdentity::ofDescriptor(fd);
    for (const NamedInput &input : inputs) {
        if (input.identity == identity)
            return refused(fd, QStringLiteral("the log file %1 is the same file as %2").arg(shown, input.name));
    }
    // Writes wait for room again, as any output does (a stop still ends them).
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (S_ISREG(status.st_mode)) {
        const bool shared = identity == FileIdentity::ofDescriptor(STDOUT_FILENO)
            || identity == FileIdentity::ofDescriptor(STDERR_FILENO);
        if (shared) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_APPEND);
        } else if (::ftruncate(fd, 0) != 0) {
            return refused(fd, QStringLiteral("cannot empty the log file %1: %2")
                                   .arg(shown, QString::fromLocal8Bit(std::strerror(errno))));
        }
    }
    OutputFile file;
    file.fd = fd;
    return file;
}
