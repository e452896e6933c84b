#include "report.h"

#include "cases.h"
#include "logview.h"

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int printReport(const RunsByCase &runsOf, const QStringList &failures, double loadBefore, double loadAfter)
{
    struct Figures
    {
        bool ok = false;
        double blocksPerSecond = 0, usPerBlock = 0, cpu = 0, peakMb = 0, worstPeakMb = 0, seconds = 0,
               tabShowMs = -1, checksumMs = -1, worstStallMs = -1,
               logFillMs = -1, worstFillStallMs = -1;
    };
    QMap<QString, Figures> figures;
    for (const QString &name : kCases) {
        const std::vector<CaseResult> all = runsOf.value(name);
        Figures f;
        f.ok = std::all_of(all.begin(), all.end(), [](const CaseResult &r) { return r.ok; });
        if (!f.ok) {
            figures[name] = f;
            continue;
        }
        std::vector<double> rate, perBlock, cpu, peak, seconds, tab, fill, checksum;
        for (const CaseResult &r : all) {
            rate.push_back(r.blocks / r.seconds);
            perBlock.push_back(r.seconds * 1e6 / qMax<quint32>(r.blocks, 1));
            cpu.push_back(r.cpu);
            peak.push_back(r.peakMb());
            seconds.push_back(r.seconds);
            f.worstPeakMb = qMax(f.worstPeakMb, r.peakMb());
            if (r.tabShowMs >= 0)
                tab.push_back(r.tabShowMs);
            if (r.logFillMs >= 0)
                fill.push_back(r.logFillMs);
            if (r.fillStallMs >= 0)
                f.worstFillStallMs = qMax(f.worstFillStallMs, r.fillStallMs);
            if (r.stallMs >= 0)
                f.worstStallMs = qMax(f.worstStallMs, r.stallMs);
            if (r.checksumMs >= 0)
                checksum.push_back(r.checksumMs);
        }
        f.blocksPerSecond = median(rate);
        f.usPerBlock = median(perBlock);
        f.cpu = median(cpu);
        f.peakMb = median(peak);
        f.seconds = median(seconds);
        if (!tab.empty())
            f.tabShowMs = median(tab);
        if (!fill.empty())
            f.logFillMs = median(fill);
        if (!checksum.empty())
            f.checksumMs = median(checksum);
        figures[name] = f;
    }

    const Figures &raw = figures["raw"];
    const auto ratio = [&](const QString &name) {
        return raw.ok && figures[name].ok ? figures[name].blocksPerSecond / raw.blocksPerSecond : -1.0;
    };
    const auto number = [](double value, int decimals) {
        return value < 0 ? QStringLiteral("n/a") : QString::number(value, 'f', decimals);
    };

    std::printf("\n%-12s %10s %10s %7s %8s %8s\n", "case", "blocks/s", "us/block", "ratio", "cpu s", "peak MB");
    for (const QString &name : kCases) {
        const Figures &f = figures[name];
        if (!f.ok) {
            std::printf("%-12s %s\n", qPrintable(name), "FAILED");
            continue;
        }
        if (name == QLatin1String("idle")) {
            std::printf("%-12s %10s %10s %7s %8.4f %8.1f\n", qPrintable(name), "-", "-", "-", f.cpu, f.peakMb);
            continue;
        }
        std::printf("%-12s %10.0f %10.1f %7.2f %8.3f %8.1f\n", qPrintable(name), f.blocksPerSecond, f.usPerBlock,
                    ratio(name), f.cpu, f.peakMb);
    }

    const Figures &idle = figures["idle"];
    const double idleCpuPerSecond = idle.ok ? idle.cpu / idle.seconds : -1;
    const double tabShow = figures["window"].ok ? figures["window"].tabShowMs : -1;

    // The goals, checked on the figures above (memory on the worst run).
    QStringList missed;
    const auto goal = [&](bool met, const QString &what) {
        if (!met)
            missed << what;
    };
    goal(ratio("link") >= 0.5, QStringLiteral("link >= 0.5 of raw"));
    goal(ratio("window") >= 0.4, QStringLiteral("window >= 0.4 of raw"));
    goal(ratio("window+log") >= 0.2, QStringLiteral("window+log >= 0.2 of raw"));
    goal(idleCpuPerSecond >= 0 && idleCpuPerSecond < 0.01, QStringLiteral("idle < 0.01 cpu s/s"));
    for (const QString &name : kCases)
        goal(figures[name].ok && figures[name].worstPeakMb < 150,
             QStringLiteral("%1 peak < 150 MB").arg(name));

    // Other work on this small machine skews every figure: say how busy it was.
    std::printf("\nmachine load (1 min average): %.2f before, %.2f after\n", loadBefore, loadAfter);
    if (raw.ok) {
        // Part of every sending case's time, once per image.
        std::printf("image checksum (the program's, part of every sending case): %.1f ms\n", raw.checksumMs);
    }
    if (figures["window"].ok || figures["window+log"].ok) {
        std::printf("longest pause of the window's event loop during a transfer (worst run): window %s ms, "
                    "window+log %s ms\n",
                    qPrintable(number(figures["window"].ok ? figures["window"].worstStallMs : -1, 0)),
                    qPrintable(number(figures["window+log"].ok ? figures["window+log"].worstStallMs : -1, 0)));
    }
    if (figures["window"].ok) {
        std::printf("log tab after the transfer: shown in %.1f ms, its %d lines all laid out after %.1f ms, "
                    "longest pause of the window meanwhile (worst run) %.0f ms\n",
                    figures["window"].tabShowMs, LogView::kMaxLines, figures["window"].logFillMs,
                    figures["window"].worstFillStallMs);
    }
    for (const QString &failure : failures)
        std::printf("FAILED: %s\n", qPrintable(failure));
    std::printf("targets: %s\n",
                missed.isEmpty() ? "all met" : qPrintable(QStringLiteral("missed ") + missed.join(QStringLiteral("; "))));
    std::printf("ratios: link %s window %s window+log %s; idle cpu %s s/s; log tab show %s ms\n",
                qPrintable(number(ratio("link"), 2)), qPrintable(number(ratio("window"), 2)),
                qPrintable(number(ratio("window+log"), 2)), qPrintable(number(idleCpuPerSecond, 4)),
                qPrintable(number(tabShow, 1)));
    std::fflush(stdout);
    if (!failures.isEmpty())
        return 1;
    return missed.isEmpty() ? 0 : 3;
}

} // namespace bench
