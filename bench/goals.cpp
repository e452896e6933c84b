#include "goals.h"

#include "cases.h"
#include "summary.h"

#include <algorithm>
#include <cstdio>

namespace bench {

namespace {

// Ratios to raw are set for one CPU: with the responder elsewhere every
// round trip pays two cross-CPU wake-ups and the bare loop slows far more
// than the rest.
const Goal kGoals[] = {
    {"link / raw", [](const Summary &s) { return s.ratio(QStringLiteral("link")); }, Compare::AtLeast, 0.75,
     Where::OneCpu, "the link's threads and queue cost a quarter of a round trip at most", "raw link"},
    {"window / raw", [](const Summary &s) { return s.ratio(QStringLiteral("window")); }, Compare::AtLeast, 0.6,
     Where::OneCpu, "the window keeps out of the transfer's way", "raw window"},
    {"window+log / raw", [](const Summary &s) { return s.ratio(QStringLiteral("window+log")); }, Compare::AtLeast,
     0.45, Where::OneCpu, "a shown hex log must not halve the transfer", "raw window+log"},
    {"idle cpu s/s", [](const Summary &s) { return s.idleCpuPerSecond(); }, Compare::Below, 0.01, Where::Anywhere,
     "waiting for the device sleeps; it does not spin", "idle"},
    {"link+flood / link",
     [](const Summary &s) { return s.ratio(QStringLiteral("link+flood"), QStringLiteral("link")); },
     Compare::AtLeast, 0.8, Where::OneCpu, "strays from other hosts on the LAN must not stall an update",
     "link link+flood"},
    {"peak MB, any case", [](const Summary &s) { return s.worstPeakMb(); }, Compare::Below, 150, Where::Anywhere,
     "a large image is held once, not copied per block", "raw link link+flood window window+log idle"},
    // Against the best TFTP client, same image, same block size, one block
    // in flight: what any stop-and-wait sender on this machine gets.
    {"link / best TFTP", [](const Summary &s) { return s.peerRatio(QStringLiteral("link")); }, Compare::AtLeast,
     1.3, Where::OneCpu,
     "no file system, no server and a 3-byte answer per block: the link's own path must be clearly the quicker",
     "tftp link"},
    {"window / best TFTP", [](const Summary &s) { return s.peerRatio(QStringLiteral("window")); },
     Compare::AtLeast, 1.1, Where::OneCpu,
     "the window keeps its work off the per-block path and still beats a plain client", "tftp window"},
    {"window+log / best TFTP", [](const Summary &s) { return s.peerRatio(QStringLiteral("window+log")); },
     Compare::AtLeast, 0.8, Where::OneCpu,
     "a shown hex log may cost, but no more than a fifth of what a plain client does", "tftp window+log"},
    {"link / best TFTP", [](const Summary &s) { return s.peerRatio(QStringLiteral("link")); }, Compare::AtLeast,
     1.1, Where::Unpinned, "left to the scheduler, the link still beats a plain client", "tftp link"},
    {"window / best TFTP", [](const Summary &s) { return s.peerRatio(QStringLiteral("window")); },
     Compare::AtLeast, 1.0, Where::Unpinned, "as an operator runs it, the window is no slower than a plain client",
     "tftp window"},
    {"cli / best TFTP", [](const Summary &s) { return s.peerRatio(QStringLiteral("cli")); }, Compare::AtLeast,
     1.1, Where::Unpinned, "from a script, one process per image, the command line beats a client run the same way",
     "tftp cli"},
    // Wall time, pauses included: what the operator waits. At 1 ms a
    // device leaves the engine most of each round trip for the others.
    {"fleet@1ms wall 32/1", [](const Summary &s) { return s.fleetWallRatio(32, 1); }, Compare::AtMost, 1.5,
     Where::Anywhere, "a rack of 32 devices answering 1 ms late updates in about the time of one",
     "fleet-1@1ms fleet-32@1ms"},
    {"fleet peak MB 32/1", [](const Summary &s) { return s.fleetPeakRatio(32); }, Compare::AtMost, 1.5,
     Where::Anywhere, "the images are read once and shared by every device's session",
     "fleet-1@0ms fleet-32@0ms fleet-1@1ms fleet-32@1ms"},
    // The engine shares the window's thread: the window must stay answering
    // and cost the fleet little against a process that draws nothing.
    {"fleet window pause ms", [](const Summary &s) { return s.fleetWindowPauseMs(); }, Compare::Below, 50,
     Where::OneCpu, "with 256 devices updating, the window still answers within a frame or three",
     "fleet-window"},
    {"fleet window / cli", [](const Summary &s) { return s.fleetWindowRatio(); }, Compare::AtLeast, 0.9,
     Where::OneCpu, "drawing the table costs the fleet a tenth of the command line's throughput at most",
     "fleet-window fleet-cli"},
    {"fleet window pause ms", [](const Summary &s) { return s.fleetWindowPauseMs(); }, Compare::Below, 50,
     Where::Unpinned, "left to the scheduler, the window still answers within a frame or three", "fleet-window"},
    {"fleet window / cli", [](const Summary &s) { return s.fleetWindowRatio(); }, Compare::AtLeast, 0.9,
     Where::Unpinned, "left to the scheduler, the table costs the fleet a tenth at most", "fleet-window fleet-cli"},
};

// Every case the goal needs has run.
bool canJudge(const Goal &goal, const Summary &summary)
{
    const QStringList needs = QString::fromLatin1(goal.needs).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return std::all_of(needs.begin(), needs.end(), [&](const QString &name) {
        if (name == QLatin1String("tftp"))
            return std::any_of(kPeerCases.begin(), kPeerCases.end(),
                               [&](const QString &client) { return summary.hasRun(client); });
        return summary.hasRun(name);
    });
}

bool reaches(const Goal &goal, double figure)
{
    if (figure < 0)
        return false;
    switch (goal.compare) {
    case Compare::AtLeast:
        return figure >= goal.target;
    case Compare::Below:
        return figure < goal.target;
    case Compare::AtMost:
        return figure <= goal.target;
    }
    return false;
}

bool appliesTo(const Goal &goal, const Summary &summary)
{
    switch (goal.where) {
    case Where::OneCpu:
        return summary.oneCpu;
    case Where::Unpinned:
        return summary.unpinned;
    case Where::Anywhere:
        return true;
    }
    return false;
}

} // namespace

GoalVerdicts printGoals(const Summary &summary, bool alone)
{
    GoalVerdicts verdicts;
    const char *heading = summary.oneCpu ? " (they decide the exit status)"
        : summary.unpinned ? " (judged on the medians and printed; they do not change the exit status)"
                           : " (the ratios are set for one CPU or unpinned, not judged here)";
    std::printf("\ngoals, %s%s:\n", qPrintable(summary.label), heading);
    int shown = 0;
    for (const Goal &goal : kGoals) {
        const bool run = canJudge(goal, summary);
        const bool judged = run && appliesTo(goal, summary);
        // Beside another placement, each shows only what it judges.
        if (!alone && !judged)
            continue;
        const double figure = goal.figure(summary);
        const bool met = reaches(goal, figure);
        const char *verdict = !run ? "not run" : !judged ? "-" : met ? "met" : "MISSED";
        if (judged && !met) {
            const QString name = QStringLiteral("%1 (%2)").arg(QLatin1String(goal.name), summary.label);
            (goal.where == Where::Unpinned ? verdicts.missedUnpinned : verdicts.missed) << name;
        }
        const QString value = figure < 0 ? QStringLiteral("n/a") : QString::number(figure, 'f', figure < 1 ? 4 : 2);
        const char *compare = goal.compare == Compare::AtLeast ? ">=" : goal.compare == Compare::Below ? "<" : "<=";
        std::printf("  %-7s %-22s %9s %2s %-6g %s\n", verdict, goal.name, qPrintable(value), compare, goal.target,
                    goal.why);
        ++shown;
    }
    if (shown == 0)
        std::printf("  none of its goals had their cases run\n");
    return verdicts;
}

} // namespace bench
