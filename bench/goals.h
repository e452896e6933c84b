#ifndef BENCH_GOALS_H
#define BENCH_GOALS_H

// What the figures should reach, in one table, each goal with its reason.

#include <QStringList>

namespace bench {

struct Summary;

enum class Compare { AtLeast, Below, AtMost };

// Where a goal is judged. One CPU's goals and those judged anywhere decide
// the exit status; the unpinned ones are printed and judged, no more: left
// to the scheduler, the same run swings with where it lands.
enum class Where { OneCpu, Unpinned, Anywhere };

struct Goal
{
    const char *name;                       // the figure, as printed
    double (*figure)(const Summary &);      // negative when its cases failed
    Compare compare;
    double target;
    Where where;
    const char *why;
    const char *needs;                      // the cases it is judged on, space-separated; "tftp": a client
};

struct GoalVerdicts
{
    QStringList missed;          // these decide the exit status
    QStringList missedUnpinned;  // printed only
};

// Prints the goals that apply to the placement of `summary` with their
// figures and met/missed. `alone`: the run's only placement, which shows
// every goal, those it cannot judge too.
GoalVerdicts printGoals(const Summary &summary, bool alone);

} // namespace bench

#endif // BENCH_GOALS_H
