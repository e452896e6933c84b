#ifndef FILEIDENTITY_H
#define FILEIDENTITY_H

#include <QString>

// Which file a path or a descriptor is: the same device and inode is the
// same file behind any link.
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    bool known = false;

    bool operator==(const FileIdentity &other) const
    {
        return known && other.known && device == other.device && inode == other.inode;
    }
    static FileIdentity ofDescriptor(int fd);
    static FileIdentity ofPath(const QString &path);
};

// A file the run reads, and how the run's messages name it ("the image PATH").
struct NamedInput {
    FileIdentity identity;
    QString name;
};

#endif // FILEIDENTITY_H
