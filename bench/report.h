#ifndef BENCH_REPORT_H
#define BENCH_REPORT_H

// The tables of medians, the lines after them and the goals, printed: each
// placement of the run in turn.

#include "summary.h"

#include <QList>
#include <QStringList>

namespace bench {

// Prints the report; returns the exit code: 0 all goals met, 1 a case failed
// its check, 3 a goal missed (the unpinned ones are not counted).
int printReport(const QList<Summary> &summaries, const QStringList &failures, double loadBefore,
                double loadAfter);

} // namespace bench

#endif // BENCH_REPORT_H
