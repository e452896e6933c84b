#include "updateimage.h"

#include <QFile>
#include <QFileInfo>

#include <new>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

UpdateImage::UpdateImage(const QString &path, Problem problem, const QString &systemError)
    : _path(path)
    , _problem(problem)
    , _systemError(systemError)
{
}

#ifdef Q_OS_UNIX

namespace {

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Closes the descriptor on every way out.
struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Asks for huge pages under a large image where the system offers them on
// request. A first touch of each 4 KiB page can cost more than copying it,
// and every block of the transfer reads from here again. Advice only: when it
// is refused, the image is read all the same.
void adviseHugePages(char *data, qint64 size)
{
#ifdef MADV_HUGEPAGE
    constexpr quintptr kHugePage = 2 * 1024 * 1024;
    const quintptr begin = (quintptr(data) + kHugePage - 1) & ~(kHugePage - 1);
    const quintptr end = (quintptr(data) + quintptr(size)) & ~(kHugePage - 1);
    if (end > begin)
        ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    Q_UNUSED(data);
    Q_UNUSED(size);
#endif
}

} // namespace

UpdateImage UpdateImage::load(const QString &path)
{
    if (path.isEmpty())
        return UpdateImage(path, Problem::Missing);

    // Non-blocking, so a FIFO cannot hold us until someone writes to it; the
    // type is checked on what was opened, so a swap after a check cannot slip by.
    const Descriptor file{::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) {
        const int error = errno;
        return UpdateImage(path, error == ENOENT ? Problem::Missing : Problem::Unreadable, errnoText(error));
    }
    struct stat status {};
    if (::fstat(file.fd, &status) != 0)
        return UpdateImage(path, Problem::Unreadable, errnoText(errno));
    if (!S_ISREG(status.st_mode))
        return UpdateImage(path, Problem::NotAFile);
    const qint64 size = qint64(status.st_size);
    if (size > kMaxSize)
        return UpdateImage(path, Problem::TooLarge);
    if (size == 0)
        return UpdateImage(path, Problem::Empty);

    UpdateImage image(path, Problem::None);
    try {
        image._data.resize(size);
    } catch (const std::bad_alloc &) {
        return UpdateImage(path, Problem::OutOfMemory);
    }
    adviseHugePages(image._data.data(), size);
    qint64 done = 0;
    while (done < size) {
        const ssize_t got = ::read(file.fd, image._data.data() + done, size_t(size - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return UpdateImage(path, Problem::Unreadable, errnoText(errno));
        if (got == 0)
            return UpdateImage(path, Problem::Changed);
        done += got;
    }
    // Readable to the end, and the end is where the size said.
    char extra;
    ssize_t more;
    do {
        more = ::read(file.fd, &extra, 1);
    } while (more < 0 && errno == EINTR);
    if (more < 0)
        return UpdateImage(path, Problem::Unreadable, errnoText(errno));
    if (more > 0)
        return UpdateImage(path, Problem::Changed);
    return image;
}

#else

UpdateImage UpdateImage::load(const QString &path)
{
    if (path.isEmpty())
        return UpdateImage(path, Problem::Missing);
    const QFileInfo info(path);
    if (!info.exists())
        return UpdateImage(path, Problem::Missing);
    if (!info.isFile())
        return UpdateImage(path, Problem::NotAFile);
    if (info.size() > kMaxSize)
        return UpdateImage(path, Problem::TooLarge);
    if (info.size() == 0)
        return UpdateImage(path, Problem::Empty);

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return UpdateImage(path, Problem::Unreadable, file.errorString());
    UpdateImage image(path, Problem::None);
    try {
        image._data = file.read(kMaxSize + 1);
    } catch (const std::bad_alloc &) {
        return UpdateImage(path, Problem::OutOfMemory);
    }
    if (file.error() != QFileDevice::NoError)
        return UpdateImage(path, Problem::Unreadable, file.errorString());
    if (image._data.size() != info.size())
        return UpdateImage(path, Problem::Changed);
    return image;
}

#endif
