#include "reportfile.h"

#include "printable.h"

#include <QFileInfo>

ReportFile::ReportFile() = default;

ReportFile::~ReportFile() = default;

bool ReportFile::check(const QString &path, const QList<NamedInput> &others, QString *error)
{
    const QString shown = printable::escaped(path);
    const QFileInfo info(path);
    // Through a link, its target is what would be replaced.
    if (info.exists() && !info.isFile()) {
        *error = QStringLiteral("the report %1 is not a regular file").arg(shown);
        return false;
    }
    const FileIdentity identity = FileIdentity::ofPath(path);
    for (const NamedInput &other : others) {
        if (other.identity == identity) {
            *error = QStringLiteral("the report %1 is the same file as %2").arg(shown, other.name);
            return false;
        }
    }
    return true;
}

bool ReportFile::open(const QString &path, const QList<NamedInput> &others, QString *error)
{
    if (!check(path, others, error))
        return false;
    auto file = std::make_unique<QSaveFile>(path);
    // Written in place, a report cut short would replace the good one.
    file->setDirectWriteFallback(false);
    if (!file->open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write the report %1: %2").arg(printable::escaped(path), file->errorString());
        return false;
    }
    _path = path;
    _file = std::move(file);
    return true;
}

bool ReportFile::write(const QByteArray &content, QString *error)
{
    if (!_file) {
        *error = QStringLiteral("the report was never opened");
        return false;
    }
    const bool written = _file->write(content) == content.size() && _file->commit();
    if (!written)
        *error = QStringLiteral("the report %1 was not written: %2")
                     .arg(printable::escaped(_path), _file->errorString());
    _file.reset();
    return written;
}
