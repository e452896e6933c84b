#include "placement.h"

#include <QProcess>

#include <sched.h>

namespace bench {

std::vector<int> allowedCpus()
{
    std::vector<int> cpus;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set))
                cpus.push_back(cpu);
        }
    }
    return cpus;
}

std::optional<Placement> choosePlacement(const QString &mode, QString *error)
{
    const std::vector<int> cpus = allowedCpus();
    Placement placement;
    placement.label = QStringLiteral("unpinned");
    placement.text = QStringLiteral("left to the scheduler");
    if (mode == QLatin1String("same") && !cpus.empty()) {
        placement.caseCpu = placement.responderCpu = cpus.front();
        placement.label = QStringLiteral("one CPU");
        placement.text = QStringLiteral("responder, TFTP server and case on CPU %1").arg(placement.caseCpu);
    } else if (mode == QLatin1String("spread")) {
        if (cpus.size() < 2) {
            *error = QStringLiteral("--placement spread needs two CPUs");
            return std::nullopt;
        }
        placement.caseCpu = cpus[0];
        placement.responderCpu = cpus[1];
        placement.label = QStringLiteral("spread");
        placement.text = QStringLiteral("case on CPU %1, responder and TFTP server on CPU %2")
                             .arg(placement.caseCpu)
                             .arg(placement.responderCpu);
    }
    if (placement.caseCpu < 0)
        return placement;
    // The flooder stands for other hosts: on a CPU of its own if there is
    // one, else at least away from the case.
    for (const bool spare : {true, false}) {
        for (const int cpu : cpus) {
            if (cpu != placement.caseCpu && (!spare || cpu != placement.responderCpu)) {
                placement.flooderCpu = cpu;
                break;
            }
        }
        if (placement.flooderCpu >= 0)
            break;
    }
    placement.text += placement.flooderCpu >= 0 ? QStringLiteral(", flooder on CPU %1").arg(placement.flooderCpu)
                                                : QStringLiteral(", flooder left to the scheduler");
    // Many devices answer at once: they must not take the engine's CPU.
    for (const int cpu : cpus) {
        if (cpu != placement.caseCpu) {
            placement.simulatorCpu = cpu;
            break;
        }
    }
    placement.text += placement.simulatorCpu >= 0
                          ? QStringLiteral(", fleet simulator on CPU %1").arg(placement.simulatorCpu)
                          : QStringLiteral(", fleet simulator left to the scheduler");
    return placement;
}

void pinTo(QProcess &process, int cpu)
{
    if (cpu < 0)
        return;
    process.setChildProcessModifier([cpu] {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        sched_setaffinity(0, sizeof set, &set);
    });
}

bool pinPid(qint64 pid, int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (cpu >= 0) {
        CPU_SET(cpu, &set);
    } else {
        for (const int allowed : allowedCpus())
            CPU_SET(allowed, &set);
    }
    return pid > 0 && sched_setaffinity(pid_t(pid), sizeof set, &set) == 0;
}

} // namespace bench
