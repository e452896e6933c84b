#ifndef BENCH_PLACEMENT_H
#define BENCH_PLACEMENT_H

// Which CPU each process of the bench runs on.
//
// A stop-and-wait round trip is two wake-ups, and on this machine waking a
// thread on the other CPU costs about ten times waking it on the same one.
// Left to the scheduler, the same run swings tenfold with where it lands, so
// the responder and every case share one CPU ("same"); "spread" puts the
// responder on a second CPU, "free" pins nothing. The TFTP server stands
// where the responder does.

#include <QString>

#include <optional>
#include <vector>

class QProcess;

namespace bench {

struct Placement
{
    int caseCpu = -1;       // -1: left to the scheduler
    int responderCpu = -1;
    int flooderCpu = -1;    // away from the case, so the strays cost it no CPU
    int simulatorCpu = -1;  // the fleet's devices: the other CPU than the case
    QString label;          // "one CPU", "spread" or "unpinned"
    QString text;           // for the report's first line
};

// The placement named "same", "spread" or "free"; nothing, with `error`, when
// the machine cannot give it.
std::optional<Placement> choosePlacement(const QString &mode, QString *error);

// Allowed CPUs of this process, in order.
std::vector<int> allowedCpus();

// Pins the process about to start on `cpu` (none when negative).
void pinTo(QProcess &process, int cpu);
// Moves a running process to `cpu`, or back to every allowed CPU when
// negative; threads and children it starts later go with it.
bool pinPid(qint64 pid, int cpu);

} // namespace bench

#endif // BENCH_PLACEMENT_H
