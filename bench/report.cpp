#include "report.h"

#include "cases.h"
#include "casesupport.h"
#include "flooderprocess.h"
#include "goals.h"
#include "logview.h"
#include "loopback.h"
#include "summary.h"

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

QString number(double value, int decimals)
{
    return value < 0 ? QStringLiteral("n/a") : QString::number(value, 'f', decimals);
}

void printTable(const Summary &summary)
{
    std::printf("\n%-12s %10s %10s %7s %8s %8s\n", "case", "blocks/s", "us/block", "ratio", "cpu s", "peak MB");
    for (const QString &name : kCases) {
        if (!summary.hasRun(name))
            continue;
        const CaseFigures f = summary.of(name);
        if (!f.ok) {
            std::printf("%-12s %s\n", qPrintable(name), "FAILED");
            continue;
        }
        if (name == QLatin1String("idle")) {
            std::printf("%-12s %10s %10s %7s %8.4f %8.1f\n", qPrintable(name), "-", "-", "-", f.cpu, f.peakMb);
            continue;
        }
        std::printf("%-12s %10.0f %10.1f %7s %8.3f %8.1f\n", qPrintable(name), f.blocksPerSecond, f.usPerBlock,
                    qPrintable(number(summary.ratio(name), 2)), f.cpu, f.peakMb);
    }
}

// Our sends against the TFTP clients: one device, one image of the same
// size, 1400-byte blocks each answered before the next.
void printPeerTable(const Summary &summary)
{
    static const QStringList rows = {"curl", "atftp", "link", "window", "window+log", "cli"};
    const QString best = summary.bestClient();
    std::printf("\nTFTP peers, %s: the same image to one device, blocks/s and us/block without the quiet spells\n",
                qPrintable(summary.label));
    std::printf("%-12s %10s %15s %9s %7s %11s %9s %8s\n", "case", "blocks/s", "min-max", "us/block", "x best",
                "start-up ms", "quiet ms", "peak MB");
    for (const QString &name : rows) {
        if (!summary.hasRun(name))
            continue;
        const CaseFigures f = summary.of(name);
        if (!f.ok) {
            std::printf("%-12s %s\n", qPrintable(name), "FAILED");
            continue;
        }
        const QString spread = QStringLiteral("%1-%2")
                                   .arg(f.minBlocksPerSecond, 0, 'f', 0)
                                   .arg(f.maxBlocksPerSecond, 0, 'f', 0);
        std::printf("%-12s %10.0f %15s %9.1f %7s %11s %9s %8.1f\n", qPrintable(name), f.blocksPerSecond,
                    qPrintable(spread), f.usPerBlock, qPrintable(number(summary.peerRatio(name), 2)),
                    qPrintable(number(f.startupMs, 1)), qPrintable(number(f.quietMs, 1)), f.peakMb);
    }
    QStringList datagrams;
    for (const QString &client : kPeerCases) {
        const CaseFigures f = summary.of(client);
        if (f.ok)
            datagrams << QStringLiteral("%1 %2").arg(client).arg(f.datagrams, 0, 'f', 0);
    }
    std::printf("x best: blocks/s over the best TFTP client's (%s), medians of the runs; min-max: the slowest and\n"
                "  fastest run. curl, atftp, cli: a process per image, timed from its start to its exit less the\n"
                "  median of %d two-block runs (start-up ms, subtracted; peak MB and CPU are the process's own);\n"
                "  link, window: the operation alone. quiet ms: the program's quiet spells around the last block,\n"
                "  left out. The clients' server, in.tftpd, also writes each block to a file, where the responder\n"
                "  only answers. Datagrams of a put (median; 2 a block and 2 more): %s\n",
                best.isEmpty() ? "none passed" : qPrintable(best), kStartupRuns,
                datagrams.isEmpty() ? "-" : qPrintable(datagrams.join(QStringLiteral(", "))));
}

void printFleetTable(const Summary &summary)
{
    std::printf("\nfleet: the engine's update (connect, erase, 1 s pause, %d images of %d MiB) of every device at "
                "once\n",
                kFleetImages, kFleetImageMib);
    std::printf("%7s %6s %8s %13s %9s %8s %7s %9s %8s\n", "devices", "delay", "wall s", "w/o pauses s", "blocks/s",
                "speed-up", "cpu s", "sim cpu s", "peak MB");
    for (const QString &name : fleetCases()) {
        if (!summary.hasRun(name))
            continue;
        const FleetRun run = *fleetRunOf(name);
        const CaseFigures f = summary.of(name);
        if (!f.ok) {
            std::printf("%7d %3d ms %s\n", run.devices, run.delayMs, "FAILED");
            continue;
        }
        const double speedUp = summary.ratio(name, fleetCaseName({1, run.delayMs}));
        std::printf("%7d %3d ms %8.3f %13.3f %9.0f %8s %7.3f %9.3f %8.1f\n", run.devices, run.delayMs, f.seconds,
                    f.busySeconds, f.blocksPerSecond, qPrintable(number(speedUp, 2)), f.cpu, f.simulatorCpu,
                    f.peakMb);
    }
    std::printf("wall s: start to finished(), what the goal judges; w/o pauses: less the quiet spell before the\n"
                "  erase, the pause after it and the quiet spells around each last block, as the device that\n"
                "  finished last spent them;\n"
                "  blocks/s: every device's blocks over the wall time; speed-up: that over one device's at the same\n"
                "  delay; cpu s, peak MB: the engine's process; sim cpu s: the simulator's, on its own CPU\n");
}

void printFleetWindowTable(const Summary &summary)
{
    std::printf("\nfleet window against the command line: %d devices, %d at once, %d images of %d MiB each\n",
                kFleetWindowDevices, kFleetWindowParallel, kFleetImages, kFleetWindowImageMib);
    std::printf("%-13s %8s %9s %10s %6s %10s %10s %10s %7s %9s %8s\n", "case", "wall s", "blocks/s", "devices/s",
                "x cli", "pause ms", "own ms", "p99 ms", "cpu s", "sim cpu s", "peak MB");
    for (const QString &name : kFleetWindowCases) {
        if (!summary.hasRun(name))
            continue;
        const CaseFigures f = summary.of(name);
        if (!f.ok) {
            std::printf("%-13s %s\n", qPrintable(name), "FAILED");
            continue;
        }
        std::printf("%-13s %8.3f %9.0f %10.2f %6s %10s %10s %10s %7.3f %9.3f %8.1f\n", qPrintable(name),
                    f.seconds, f.blocksPerSecond, kFleetWindowDevices / f.seconds,
                    qPrintable(number(summary.ratio(name, QStringLiteral("fleet-cli")), 2)),
                    qPrintable(number(f.worstStallMs, 1)), qPrintable(number(f.worstOwnStallMs, 1)),
                    qPrintable(number(f.stallP99Ms, 1)), f.cpu, f.simulatorCpu, f.peakMb);
    }
    std::printf("wall s: from Yes to Start's question until the window is idle again, and the command line's\n"
                "  process from spawn to exit, pauses included; blocks/s: every device's blocks over it;\n"
                "  pause ms: the longest gap, in any run, between the ticks of a %d ms precise timer in the\n"
                "  window's thread, beyond %d ms; own ms: the longest gap less the time the thread waited for a\n"
                "  CPU in it while other processes ran (the kernel's schedstat); p99 ms: the median of the runs'\n"
                "  99th percentiles of the gaps\n",
                kFleetWindowTickMs, kFleetWindowTickMs);
}

bool ranAny(const Summary &summary, const QStringList &names)
{
    return std::any_of(names.begin(), names.end(), [&](const QString &name) { return summary.hasRun(name); });
}

// One placement's tables and the lines that go with them.
void printPlacement(const Summary &summary, bool alone)
{
    if (!alone)
        std::printf("\n== %s: %s ==\n", qPrintable(summary.label), qPrintable(summary.text));
    const bool transferCases = ranAny(summary, kCases);
    if (transferCases)
        printTable(summary);
    if (ranAny(summary, kPeerCases + QStringList{QStringLiteral("cli")}))
        printPeerTable(summary);
    if (ranAny(summary, fleetCases()))
        printFleetTable(summary);
    if (ranAny(summary, kFleetWindowCases))
        printFleetWindowTable(summary);

    const CaseFigures raw = summary.of(QStringLiteral("raw"));
    const CaseFigures window = summary.of(QStringLiteral("window"));
    const CaseFigures windowLog = summary.of(QStringLiteral("window+log"));
    std::printf("\n");
    if (raw.ok) {
        // Part of every sending case's time, once per image.
        std::printf("image checksum (the program's, part of every sending case): %.1f ms\n", raw.checksumMs);
    }
    if (window.ok || windowLog.ok) {
        std::printf("longest pause of the window's event loop during a transfer (worst run): window %s ms, "
                    "window+log %s ms\n",
                    qPrintable(number(window.ok ? window.worstStallMs : -1, 0)),
                    qPrintable(number(windowLog.ok ? windowLog.worstStallMs : -1, 0)));
    }
    if (window.ok) {
        std::printf("log tab after the transfer: shown in %.1f ms, its %d lines all laid out after %.1f ms, "
                    "longest pause of the window meanwhile (worst run) %.0f ms\n",
                    window.tabShowMs, LogView::kMaxLines, window.logFillMs, window.worstFillStallMs);
    }

    const CaseFigures flood = summary.of(QStringLiteral("link+flood"));
    if (flood.ok) {
        std::printf("link+flood: %s of the plain link's blocks/s under %d stray datagrams/s from %s to %s:%u\n",
                    qPrintable(number(summary.ratio(QStringLiteral("link+flood"), QStringLiteral("link")), 2)),
                    FlooderProcess::kRate, kStrayIp, kLocalIp, kAckPort);
        std::printf("  strays sent during the case %.0f (%.0f/s), median of runs; dropped for a full receive "
                    "buffer %s (most in a run)\n",
                    flood.straysSent, flood.strayRate, qPrintable(number(flood.mostReceiveBufferDrops, 0)));
    }
    // The per-block figures above stop at the responder's last answer; what
    // the program does after it until the operation returns is shown here.
    if (transferCases) {
        std::printf("quiet spells around each image's last block, as the program reports them, left out of the "
                    "figures above (median, longest run):\n");
        for (const QString &name : kCases) {
            const CaseFigures f = summary.of(name);
            if (f.ok && f.quietMs >= 0)
                std::printf("  %-12s %9.2f ms %9.2f ms\n", qPrintable(name), f.quietMs, f.longestQuietMs);
        }
    }
}

// The closing line of one placement's ratios.
void printRatios(const Summary &summary, bool alone)
{
    const QString label = alone ? QString() : QStringLiteral(", ") + summary.label;
    if (ranAny(summary, kCases)) {
        const CaseFigures window = summary.of(QStringLiteral("window"));
        std::printf("ratios%s: link %s window %s window+log %s; link+flood/link %s; idle cpu %s s/s; "
                    "log tab show %s ms\n",
                    qPrintable(label), qPrintable(number(summary.ratio(QStringLiteral("link")), 2)),
                    qPrintable(number(summary.ratio(QStringLiteral("window")), 2)),
                    qPrintable(number(summary.ratio(QStringLiteral("window+log")), 2)),
                    qPrintable(number(summary.ratio(QStringLiteral("link+flood"), QStringLiteral("link")), 2)),
                    qPrintable(number(summary.idleCpuPerSecond(), 4)),
                    qPrintable(number(window.ok ? window.tabShowMs : -1, 1)));
    }
    const QString best = summary.bestClient();
    if (!best.isEmpty()) {
        std::printf("to the best TFTP client%s (%s): link %s window %s window+log %s cli %s\n", qPrintable(label),
                    qPrintable(best), qPrintable(number(summary.peerRatio(QStringLiteral("link")), 2)),
                    qPrintable(number(summary.peerRatio(QStringLiteral("window")), 2)),
                    qPrintable(number(summary.peerRatio(QStringLiteral("window+log")), 2)),
                    qPrintable(number(summary.peerRatio(QStringLiteral("cli")), 2)));
    }
    if (ranAny(summary, fleetCases())) {
        std::printf("fleet 32/1 devices%s: wall time at 1 ms %s, peak memory %s\n", qPrintable(label),
                    qPrintable(number(summary.fleetWallRatio(32, 1), 2)),
                    qPrintable(number(summary.fleetPeakRatio(32), 2)));
    }
    if (ranAny(summary, kFleetWindowCases)) {
        const CaseFigures window = summary.of(QStringLiteral("fleet-window"));
        std::printf("fleet window%s: %s of the command line's blocks/s, longest pause %s ms (%s ms its own)\n",
                    qPrintable(label), qPrintable(number(summary.fleetWindowRatio(), 2)),
                    qPrintable(number(window.worstStallMs, 1)), qPrintable(number(window.worstOwnStallMs, 1)));
    }
}

} // namespace

int printReport(const QList<Summary> &summaries, const QStringList &failures, double loadBefore, double loadAfter)
{
    const bool alone = summaries.size() == 1;
    for (const Summary &summary : summaries)
        printPlacement(summary, alone);

    // Other work on this small machine skews every figure: say how busy it was.
    std::printf("\nmachine load (1 min average): %.2f before, %.2f after\n", loadBefore, loadAfter);

    QStringList missed, missedUnpinned;
    for (const Summary &summary : summaries) {
        const GoalVerdicts verdicts = printGoals(summary, alone);
        missed += verdicts.missed;
        missedUnpinned += verdicts.missedUnpinned;
    }
    const bool judgedOneCpu =
        std::any_of(summaries.begin(), summaries.end(), [](const Summary &summary) { return summary.oneCpu; });
    std::printf("\n");
    for (const QString &failure : failures)
        std::printf("FAILED: %s\n", qPrintable(failure));
    std::printf("targets: %s%s\n",
                missed.isEmpty() ? "all met" : qPrintable(QStringLiteral("missed ") + missed.join(QStringLiteral("; "))),
                judgedOneCpu ? "" : " (ratios to raw not judged off one CPU)");
    if (!missedUnpinned.isEmpty()) {
        std::printf("unpinned, printed only (the exit status does not count them): missed %s\n",
                    qPrintable(missedUnpinned.join(QStringLiteral("; "))));
    }
    for (const Summary &summary : summaries)
        printRatios(summary, alone);
    std::fflush(stdout);
    if (!failures.isEmpty())
        return 1;
    return missed.isEmpty() ? 0 : 3;
}

} // namespace bench
