#ifndef INPUTFILE_H
#define INPUTFILE_H

#include <QByteArray>
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

// A small input read whole, such as the devices list: a pipe or a FIFO
// works, and a stop signal ends the wait for its writer or its bytes.
struct InputFile {
    QByteArray content;  // at most maxBytes + 1, so a caller can tell it was over
    FileIdentity identity;
    QString error;       // the system's words when it could not be read
    bool interrupted = false;

    bool ok() const { return error.isEmpty() && !interrupted; }

    static InputFile read(const QString &path, qint64 maxBytes);
};

#endif // INPUTFILE_H
