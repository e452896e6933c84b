#ifndef BENCH_SUMMARY_H
#define BENCH_SUMMARY_H

// Each case's runs boiled down to medians (and the worst run where the worst
// is what matters), and the figures the goals are judged on.

#include "caseresult.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <vector>

namespace bench {

using RunsByCase = QMap<QString, std::vector<CaseResult>>;

// -1 stands for "not measured" throughout.
struct CaseFigures
{
    bool ok = false;  // every run passed its check
    double blocksPerSecond = 0;
    double minBlocksPerSecond = 0;  // the slowest and fastest run
    double maxBlocksPerSecond = 0;
    double usPerBlock = 0;
    double cpu = 0;
    double peakMb = 0;
    double worstPeakMb = 0;
    double seconds = 0;
    double quietMs = -1;        // after the last answer, apart from `seconds`
    double longestQuietMs = -1;
    double tabShowMs = -1;
    double checksumMs = -1;
    double worstStallMs = -1;
    double stallP99Ms = -1;  // the fleet window's, a median
    double worstOwnStallMs = -1;  // its longest pause less the waits for a CPU
    double logFillMs = -1;
    double worstFillStallMs = -1;
    double straysSent = -1;
    double strayRate = -1;
    double mostReceiveBufferDrops = -1;
    // A fleet: `seconds` is the wall time, `blocksPerSecond` every device's
    // blocks over it; busySeconds leaves the last device's pauses out.
    double pauseMs = -1;
    double busySeconds = -1;
    double simulatorCpu = -1;
    // Another program's process: its start-up, subtracted; a TFTP put's
    // datagrams.
    double startupMs = -1;
    double datagrams = -1;
};

struct Summary
{
    QMap<QString, CaseFigures> cases;
    QStringList ran;      // the cases run, in order
    bool oneCpu = false;  // cases and responder shared one CPU
    bool unpinned = false;  // nothing pinned: the scheduler placed everything
    QString label;        // the placement, as the report names it
    QString text;         // where each process ran

    CaseFigures of(const QString &name) const { return cases.value(name); }
    bool hasRun(const QString &name) const { return ran.contains(name); }
    // Blocks/s of `name` over those of `base`.
    double ratio(const QString &name, const QString &base = QStringLiteral("raw")) const;
    // The TFTP client with the most blocks/s; empty when none passed.
    QString bestClient() const;
    // Blocks/s of `name` over the best TFTP client's.
    double peerRatio(const QString &name) const;
    double idleCpuPerSecond() const;
    // The largest peak of any run of the program's transfer cases.
    double worstPeakMb() const;
    // The fleet of `devices` against one device at the same delay: wall
    // time, and median peak memory (the worse of the delays when negative).
    double fleetWallRatio(int devices, int delayMs) const;
    double fleetPeakRatio(int devices, int delayMs = -1) const;
    // Blocks/s of the fleet window over the command line's, same fleet.
    double fleetWindowRatio() const;
    // The fleet window's longest pause in any run.
    double fleetWindowPauseMs() const;
};

Summary summarise(const RunsByCase &runsOf, const QStringList &ran, bool oneCpu);

} // namespace bench

#endif // BENCH_SUMMARY_H
