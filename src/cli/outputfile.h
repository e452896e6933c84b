#ifndef OUTPUTFILE_H
#define OUTPUTFILE_H

#include "inputfile.h"

#include <QList>
#include <QString>

// The file the log is written to, opened so that it can destroy
// nothing and hold nothing: it is refused when it is one of the run's
// inputs (behind any link), or a FIFO that no one reads; the open never
// waits; a regular file is emptied only once it is taken, and not at all when
// it is where standard output or error already go (it is appended to then).
struct OutputFile {
    int fd = -1;    // the caller's to close
    QString error;  // why not, naming the path

    static OutputFile open(const QString &path, const QList<NamedInput> &inputs);
};

#endif // OUTPUTFILE_H
