#ifndef BENCH_TIMEDPROCESS_H
#define BENCH_TIMEDPROCESS_H

// Another program run to its end through varnel-bench-timed: wall time from
// fork to exit, and its own CPU time and peak memory from the kernel's
// accounting of that child.

#include <QString>
#include <QStringList>

namespace bench {

struct TimedProcess
{
    bool exited = false;   // ended by itself within the limit
    int exitCode = -1;     // when it exited
    int signal = 0;        // when a signal ended it
    double seconds = 0;    // fork to exit, CLOCK_MONOTONIC
    qint64 startNs = 0;    // monotonicNs() at spawn and at exit
    qint64 endNs = 0;
    double cpu = 0;        // user and system, all its threads
    long peakKb = 0;
    QString error;         // set when it could not be run or timed

    bool succeeded() const { return exited && exitCode == 0 && error.isEmpty(); }
    QString describe() const;
};

// Runs `program` with `arguments`, stdin from /dev/null and stdout and
// stderr to the given files, for at most `limitMs` (then it is killed).
// The program inherits this process's CPU affinity and environment.
TimedProcess runTimed(const QString &program, const QStringList &arguments, const QString &outPath,
                      const QString &errPath, int limitMs);

// The first `bytes` of a file, for an error message.
QString fileHead(const QString &path, int bytes = 400);

} // namespace bench

#endif // BENCH_TIMEDPROCESS_H
