#ifndef BENCH_GOALS_H
#define BENCH_GOALS_H

// What the figures should reach, in one table, each goal with its reason.

#include <QStringList>

namespace bench {

struct Summary;

enum class Compare { AtLeast, Below, AtMost };

struct Goal
{
    const char *name;                       // the figure, as printed
    double (*figure)(const Summary &);      // negative when its cases failed
    Compare compare;
    double target;
    bool oneCpuOnly;                        // set for --placement same only
    const char *why;
    const char *needs;                      // the cases it is judged on, space-separated
};

// Prints every goal with its figure and met/missed; returns the names of the
// missed ones.
QStringList printGoals(const Summary &summary);

} // namespace bench

#endif // BENCH_GOALS_H
