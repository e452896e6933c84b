#ifndef BENCH_CASES_H
#define BENCH_CASES_H

// The cases, each run alone in a child process so that its CPU time and peak
// memory are its own.

#include "caseresult.h"

#include <QStringList>

namespace bench {

// In the order they run and are shown.
inline const QStringList kCases = {"raw", "link", "link+flood", "window", "window+log", "idle"};

// How long a case may take to send `blocks`.
inline int caseLimitMs(quint32 blocks)
{
    return 60000 + int(blocks) * 2;
}

// A bare socket loop: the yardstick every other case is measured against.
CaseResult runRaw(const QString &path, quint32 expectedBlocks);
// The link alone, no window.
CaseResult runLink(const QString &path, quint32 expectedBlocks);
// The same under a flood of stray datagrams, sent from `flooderCpu`.
CaseResult runLinkUnderFlood(const QString &path, quint32 expectedBlocks, int flooderCpu);
// An unanswered erase: how much CPU the program burns while it waits.
CaseResult runIdle();
// Send File through the whole window, the log tab hidden or shown.
CaseResult runWindow(const QString &path, quint32 expectedBlocks, bool logShown);

} // namespace bench

#endif // BENCH_CASES_H
