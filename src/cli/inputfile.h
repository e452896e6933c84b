#ifndef INPUTFILE_H
#define INPUTFILE_H

#include "fileidentity.h"

#include <QByteArray>
#include <QString>

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
