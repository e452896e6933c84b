#include "summary.h"

#include "cases.h"
#include "casesupport.h"

#include <algorithm>

namespace bench {

namespace {

CaseFigures figuresOf(const std::vector<CaseResult> &all)
{
    CaseFigures f;
    f.ok = !all.empty() && std::all_of(all.begin(), all.end(), [](const CaseResult &r) { return r.ok; });
    if (!f.ok)
        return f;
    std::vector<double> rate, perBlock, cpu, peak, seconds, quiet, tab, fill, checksum, strays, strayRate, pause,
        busy, simulatorCpu, startup, datagrams, stallP99;
    for (const CaseResult &r : all) {
        rate.push_back(r.blocks / r.seconds);
        if (r.startupMs >= 0)
            startup.push_back(r.startupMs);
        if (r.datagrams >= 0)
            datagrams.push_back(r.datagrams);
        perBlock.push_back(r.seconds * 1e6 / qMax<quint32>(r.blocks, 1));
        cpu.push_back(r.cpu);
        peak.push_back(r.peakMb());
        seconds.push_back(r.seconds);
        f.worstPeakMb = qMax(f.worstPeakMb, r.peakMb());
        if (r.quietMs >= 0) {
            quiet.push_back(r.quietMs);
            f.longestQuietMs = qMax(f.longestQuietMs, r.quietMs);
        }
        if (r.tabShowMs >= 0)
            tab.push_back(r.tabShowMs);
        if (r.logFillMs >= 0)
            fill.push_back(r.logFillMs);
        if (r.fillStallMs >= 0)
            f.worstFillStallMs = qMax(f.worstFillStallMs, r.fillStallMs);
        if (r.stallMs >= 0)
            f.worstStallMs = qMax(f.worstStallMs, r.stallMs);
        if (r.stallP99Ms >= 0)
            stallP99.push_back(r.stallP99Ms);
        f.worstOwnStallMs = qMax(f.worstOwnStallMs, r.ownStallMs);
        if (r.checksumMs >= 0)
            checksum.push_back(r.checksumMs);
        if (r.straysSent >= 0) {
            strays.push_back(r.straysSent);
            strayRate.push_back(r.strayRate);
        }
        f.mostReceiveBufferDrops = qMax(f.mostReceiveBufferDrops, r.receiveBufferDrops);
        if (r.pauseMs >= 0) {
            pause.push_back(r.pauseMs);
            busy.push_back(r.seconds - r.pauseMs / 1000);
        }
        if (r.simulatorCpu >= 0)
            simulatorCpu.push_back(r.simulatorCpu);
    }
    f.blocksPerSecond = medianOf(rate);
    f.minBlocksPerSecond = *std::min_element(rate.begin(), rate.end());
    f.maxBlocksPerSecond = *std::max_element(rate.begin(), rate.end());
    f.startupMs = medianOf(startup);
    f.datagrams = medianOf(datagrams);
    f.usPerBlock = medianOf(perBlock);
    f.cpu = medianOf(cpu);
    f.peakMb = medianOf(peak);
    f.seconds = medianOf(seconds);
    f.quietMs = medianOf(quiet);
    f.tabShowMs = medianOf(tab);
    f.logFillMs = medianOf(fill);
    f.checksumMs = medianOf(checksum);
    f.straysSent = medianOf(strays);
    f.strayRate = medianOf(strayRate);
    f.pauseMs = medianOf(pause);
    f.busySeconds = medianOf(busy);
    f.simulatorCpu = medianOf(simulatorCpu);
    f.stallP99Ms = medianOf(stallP99);
    return f;
}

} // namespace

double Summary::ratio(const QString &name, const QString &base) const
{
    const CaseFigures measured = of(name);
    const CaseFigures yardstick = of(base);
    if (!measured.ok || !yardstick.ok || yardstick.blocksPerSecond <= 0)
        return -1;
    return measured.blocksPerSecond / yardstick.blocksPerSecond;
}

QString Summary::bestClient() const
{
    QString best;
    for (const QString &client : kPeerCases) {
        const CaseFigures f = of(client);
        if (f.ok && (best.isEmpty() || f.blocksPerSecond > of(best).blocksPerSecond))
            best = client;
    }
    return best;
}

double Summary::peerRatio(const QString &name) const
{
    const QString best = bestClient();
    return best.isEmpty() ? -1 : ratio(name, best);
}

double Summary::idleCpuPerSecond() const
{
    const CaseFigures idle = of(QStringLiteral("idle"));
    return idle.ok && idle.seconds > 0 ? idle.cpu / idle.seconds : -1;
}

double Summary::worstPeakMb() const
{
    // The program's cases, not the TFTP clients'; the command line's when it ran.
    double worst = 0;
    for (const QString &name : kCases) {
        if (kPeerCases.contains(name) || (name == QLatin1String("cli") && !hasRun(name)))
            continue;
        const CaseFigures f = of(name);
        if (!f.ok)
            return -1;
        worst = qMax(worst, f.worstPeakMb);
    }
    return worst;
}

double Summary::fleetWallRatio(int devices, int delayMs) const
{
    const CaseFigures many = of(fleetCaseName({devices, delayMs}));
    const CaseFigures one = of(fleetCaseName({1, delayMs}));
    if (!many.ok || !one.ok || one.seconds <= 0)
        return -1;
    return many.seconds / one.seconds;
}

double Summary::fleetPeakRatio(int devices, int delayMs) const
{
    if (delayMs < 0) {
        double worst = -1;
        for (const int delay : kFleetDelaysMs) {
            const double ratio = fleetPeakRatio(devices, delay);
            if (ratio < 0)
                return -1;
            worst = qMax(worst, ratio);
        }
        return worst;
    }
    const CaseFigures many = of(fleetCaseName({devices, delayMs}));
    const CaseFigures one = of(fleetCaseName({1, delayMs}));
    if (!many.ok || !one.ok || one.peakMb <= 0)
        return -1;
    return many.peakMb / one.peakMb;
}

double Summary::fleetWindowRatio() const
{
    return ratio(QStringLiteral("fleet-window"), QStringLiteral("fleet-cli"));
}

double Summary::fleetWindowPauseMs() const
{
    const CaseFigures window = of(QStringLiteral("fleet-window"));
    return window.ok ? window.worstStallMs : -1;
}

Summary summarise(const RunsByCase &runsOf, const QStringList &ran, bool oneCpu)
{
    Summary summary;
    summary.oneCpu = oneCpu;
    summary.ran = ran;
    for (const QString &name : ran)
        summary.cases[name] = figuresOf(runsOf.value(name));
    return summary;
}

} // namespace bench
