#ifndef REPORTSAVE_H
#define REPORTSAVE_H

#include "runrecord.h"

#include <QString>

// The run's record written whole or not at all: an older report at that
// name stays until the new one takes its place.
bool saveRunRecord(const QString &path, const RunRecord &record, QString *error);

#endif // REPORTSAVE_H
