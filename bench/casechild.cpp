#include "casechild.h"

#include "benchoptions.h"
#include "cases.h"
#include "measures.h"

#include <QApplication>
#include <QThreadPool>

#include <unistd.h>

#include <cstdio>
#include <memory>

namespace bench {

int runCaseChild(int argc, char **argv, const BenchOptions &options)
{
    const QString &name = options.caseName;
    const bool gui = name.startsWith(QLatin1String("window")) || name == QLatin1String("fleet-window");
    // Pinned to one CPU, Qt sizes the global pool to one thread, which the
    // transfer task fills, and the raster engine's parallel fills then wait
    // for it; give the pool what the machine has, as an unpinned run gets.
    const int onlineCpus = int(sysconf(_SC_NPROCESSORS_ONLN));
    if (QThreadPool::globalInstance()->maxThreadCount() < onlineCpus)
        QThreadPool::globalInstance()->setMaxThreadCount(onlineCpus);
    std::unique_ptr<QCoreApplication> app;
    if (gui) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }

    CaseResult result;
    if (name == QLatin1String("raw"))
        result = runRaw(options.imagePath, options.blocks);
    else if (name == QLatin1String("link"))
        result = runLink(options.imagePath, options.blocks);
    else if (name == QLatin1String("link+flood"))
        result = runLinkUnderFlood(options.imagePath, options.blocks, options.flooderCpu);
    else if (name == QLatin1String("window"))
        result = runWindow(options.imagePath, options.blocks, false);
    else if (name == QLatin1String("window+log"))
        result = runWindow(options.imagePath, options.blocks, true);
    else if (name == QLatin1String("idle"))
        result = runIdle();
    else if (name == QLatin1String("cli"))
        result = runCli(options.imagePath, options.blocks);
    else if (kPeerCases.contains(name))
        result = runPeer(name, options.imagePath, {options.tftpPort, options.tftpDir});
    else if (const std::optional<FleetRun> fleetRun = fleetRunOf(name))
        result = runFleet(*fleetRun, options.simulatorCpu);
    else if (name == QLatin1String("fleet-window"))
        result = runFleetWindow(options.simulatorCpu);
    else if (name == QLatin1String("fleet-cli"))
        result = runFleetCli(options.simulatorCpu);
    else
        result.error = QStringLiteral("unknown case");

    // A case that timed another program holds that program's peak.
    if (result.peakKb == 0)
        result.peakKb = peakResidentKb();
    QString error;
    if (!writeResultFile(options.resultPath, name, result, &error)) {
        std::fprintf(stderr, "cannot write the result to %s: %s\n", qPrintable(options.resultPath),
                     qPrintable(error));
        return 1;
    }
    return result.ok ? 0 : 1;
}

} // namespace bench
