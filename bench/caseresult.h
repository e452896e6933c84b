#ifndef BENCH_CASERESULT_H
#define BENCH_CASERESULT_H

// What one case measured in its child process, as the parent reads it back.

#include <QString>

namespace bench {

struct CaseResult
{
    bool ok = false;
    QString error;
    quint32 blocks = 0;
    double seconds = 0;
    double cpu = 0;
    long peakKb = 0;
    double tabShowMs = -1;
    double logFillMs = -1;
    double fillStallMs = -1;
    double checksumMs = -1;
    double stallMs = -1;

    double peakMb() const { return double(peakKb) * 1024.0 / 1e6; }
};

// The child's one line on stdout.
QByteArray resultLine(const QString &caseName, const CaseResult &result);
// The result in a child's stdout, ok false with `error` set when there is none.
bool parseResultLine(const QString &out, const QString &caseName, CaseResult *result);

} // namespace bench

#endif // BENCH_CASERESULT_H
