#ifndef UPDATEIMAGE_H
#define UPDATEIMAGE_H

#include <QByteArray>
#include <QObject>
#include <QString>

// One update image, read whole into memory and checked before anything goes
// to the device: the bytes sent are exactly the bytes checked, and an image
// that is not fit to send is refused while the device is still untouched.
class UpdateImage
{
    Q_GADGET

public:
    enum class Problem {
        None,
        Missing,       // no such file
        NotAFile,      // a directory, a FIFO, a device node ...
        Unreadable,    // no permission, or a read error
        Empty,
        TooLarge,      // over kMaxSize
        OutOfMemory,
        Changed,       // shorter or longer than it said while being read
    };
    Q_ENUM(Problem)

    // Many times any real image, and three of them still fit a workshop
    // PC's memory; checked from the size before any byte is read.
    static constexpr qint64 kMaxSize = qint64(512) * 1024 * 1024;

    // Never blocks on a FIFO and never throws.
    static UpdateImage load(const QString &path);

    // No image yet.
    UpdateImage() = default;

    bool ok() const { return _problem == Problem::None; }
    Problem problem() const { return _problem; }
    const QByteArray &data() const { return _data; }
    QString path() const { return _path; }
    // The system's own words for a failed open or read, when there are any.
    QString systemError() const { return _systemError; }

private:
    UpdateImage(const QString &path, Problem problem, const QString &systemError = {});

    QString _path;
    Problem _problem = Problem::Missing;
    QString _systemError;
    QByteArray _data;
};

#endif // UPDATEIMAGE_H
