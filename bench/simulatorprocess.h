#ifndef BENCH_SIMULATORPROCESS_H
#define BENCH_SIMULATORPROCESS_H

// One varnel-devicesim standing in for every device of a fleet case, and
// the check that it saw each device updated whole.

#include "cases.h"

#include <QProcess>
#include <QTemporaryDir>

namespace bench {

class SimulatorProcess
{
public:
    explicit SimulatorProcess(int cpu) : _cpu(cpu) {}
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess &) = delete;
    SimulatorProcess &operator=(const SimulatorProcess &) = delete;

    // Returns once every device listens. It quits by itself once every
    // device is through, or after `limitMs` and a margin whatever happens.
    bool start(const FleetRun &run, int limitMs, QString *error);
    // Waits for it to quit by itself, and checks that it saw what was sent:
    // every device through connect, one erase and three clean images of
    // `blocks` blocks, each command answered once.
    bool finish(int devices, quint32 blocks, QString *error);
    double cpuSeconds() const { return _cpuSeconds; }

private:
    QByteArray output() const;
    QString tail() const;

    int _cpu;
    QTemporaryDir _dir;
    QString _outputPath;
    QProcess _process;
    double _cpuBefore = 0;
    double _cpuSeconds = -1;
};

} // namespace bench

#endif // BENCH_SIMULATORPROCESS_H
