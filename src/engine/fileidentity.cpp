#include "fileidentity.h"

#include <QFile>

#include <sys/stat.h>

namespace {

FileIdentity identityOf(const struct stat &status)
{
    FileIdentity identity;
    identity.device = quint64(status.st_dev);
    identity.inode = quint64(status.st_ino);
    identity.known = true;
    return identity;
}

} // namespace

FileIdentity FileIdentity::ofDescriptor(int fd)
{
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? identityOf(status) : FileIdentity();
}

FileIdentity FileIdentity::ofPath(const QString &path)
{
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? identityOf(status) : FileIdentity();
}
