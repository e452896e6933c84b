#ifndef REPORTFILE_H
#define REPORTFILE_H

#include "fileidentity.h"

#include <QByteArray>
#include <QList>
#include <QSaveFile>
#include <QString>

#include <memory>

// The run's record as a file (the command line's --report, a report the
// fleet window saves), written whole when the run ends. It is refused when
// it is one of the run's inputs or the log (behind any link), or anything
// but a regular file. The file there is left as it is until the end, when
// the new one takes its place in one rename; the temporary file beside it is
// made at open(), so a folder that takes no file is said before anything is
// sent.
class ReportFile
{
public:
    ReportFile();
    ~ReportFile();

    // Checks only, makes nothing.
    static bool check(const QString &path, const QList<NamedInput> &others, QString *error);
    bool open(const QString &path, const QList<NamedInput> &others, QString *error);
    bool isOpen() const { return bool(_file); }
    bool write(const QByteArray &content, QString *error);

private:
    QString _path;
    std::unique_ptr<QSaveFile> _file;
};

#endif // REPORTFILE_H
