#ifndef BENCH_REPORT_H
#define BENCH_REPORT_H

// The medians of every case's runs, printed as a table, the lines after it,
// and the goals.

#include "caseresult.h"

#include <QMap>
#include <QStringList>

#include <vector>

namespace bench {

using RunsByCase = QMap<QString, std::vector<CaseResult>>;

// Prints the report; returns the exit code: 0 all goals met, 1 a case failed
// its check, 3 a goal missed.
int printReport(const RunsByCase &runsOf, const QStringList &failures, double loadBefore, double loadAfter);

} // namespace bench

#endif // BENCH_REPORT_H
