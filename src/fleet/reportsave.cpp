#include "reportsave.h"

#include <QSaveFile>

bool saveRunRecord(const QString &path, const RunRecord &record, QString *error)
{
    const RunRecord::Format format = RunRecord::formatOf(path);
    if (format == RunRecord::Format::Unknown) {
        *error = QObject::tr("A report's name ends in .json or .csv.");
        return false;
    }
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    const QByteArray content = record.serialized(format);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}
