#ifndef BENCH_REPORT_H
#define BENCH_REPORT_H

// The table of medians, the lines after it and the goals, printed.

#include <QStringList>

namespace bench {

struct Summary;

// Prints the report; returns the exit code: 0 all goals met, 1 a case failed
// its check, 3 a goal missed.
int printReport(const Summary &summary, const QStringList &failures, double loadBefore, double loadAfter);

} // namespace bench

#endif // BENCH_REPORT_H
