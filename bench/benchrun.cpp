#include "benchrun.h"

#include "benchoptions.h"
#include "cases.h"
#include "loopback.h"
#include "placement.h"
#include "report.h"
#include "responderclient.h"
#include "summary.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace bench {

namespace {

double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.readLine().split(' ').value(0).toDouble();
}

bool writeImage(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Fixed seed: every run sends the same bytes.
    QRandomGenerator generator(20261207u);
    std::vector<quint32> chunk(1 << 18);  // 1 MiB
    qint64 left = size;
    while (left > 0) {
        generator.fillRange(chunk.data(), qsizetype(chunk.size()));
        const qint64 piece = qMin<qint64>(left, qint64(chunk.size() * sizeof(quint32)));
        if (file.write(reinterpret_cast<const char *>(chunk.data()), piece) != piece)
            return false;
        left -= piece;
    }
    return file.flush();
}

CaseResult runChild(const QString &name, const QString &imagePath, quint32 blocks, const Placement &placement,
                    const QString &resultPath)
{
    CaseResult run;
    QFile::remove(resultPath);
    QProcess child;
    pinTo(child, placement.caseCpu);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--case"), name, QStringLiteral("--file"), imagePath, QStringLiteral("--blocks"),
                 QString::number(blocks), QStringLiteral("--result"), resultPath, QStringLiteral("--flooder-cpu"),
                 QString::number(placement.flooderCpu), QStringLiteral("--simulator-cpu"),
                 QString::number(placement.simulatorCpu)});
    const int limit = (fleetRunOf(name) ? kFleetLimitMs : caseLimitMs(blocks)) + 30000;
    if (!child.waitForFinished(limit)) {
        child.kill();
        child.waitForFinished(5000);
        run.error = QStringLiteral("did not finish within %1 s").arg(limit / 1000);
        return run;
    }
    const QString err = QString::fromLocal8Bit(child.readAllStandardError()).trimmed();
    QString error;
    const std::optional<CaseResult> result = readResultFile(resultPath, name, &error);
    if (!result) {
        run.error =
            QStringLiteral("%1 (exit code %2) %3").arg(error).arg(child.exitCode()).arg(err.right(600));
        return run;
    }
    run = *result;
    run.ok = run.ok && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    if (!run.ok && run.error.isEmpty())
        run.error = QStringLiteral("exit code %1 %2").arg(child.exitCode()).arg(err.right(600));
    return run;
}

// The device counts and delays of the fleet cases among `cases`.
QString fleetLine(const QStringList &cases)
{
    QStringList devices, delays;
    for (const QString &name : cases) {
        if (const std::optional<FleetRun> run = fleetRunOf(name)) {
            if (!devices.contains(QString::number(run->devices)))
                devices << QString::number(run->devices);
            if (!delays.contains(QString::number(run->delayMs)))
                delays << QString::number(run->delayMs);
        }
    }
    return QStringLiteral("%1 device(s) at once, answered after %2 ms")
        .arg(devices.join(QStringLiteral(", ")), delays.join(QStringLiteral(", ")));
}

// The line printed as each run ends.
QString runLine(const QString &name, const CaseResult &run)
{
    if (!run.ok)
        return QStringLiteral("FAILED: ") + run.error;
    QString line = QStringLiteral("%1 s").arg(run.seconds, 0, 'f', 3);
    if (fleetRunOf(name))
        return line + QStringLiteral(" from start to finish, %1 blocks, %2 ms of it the last device's pauses")
                          .arg(run.blocks)
                          .arg(run.pauseMs, 0, 'f', 0);
    if (run.quietMs >= 0)
        line += QStringLiteral(", plus %1 ms quiet").arg(run.quietMs, 0, 'f', 0);
    return line;
}

} // namespace

int runBench(int argc, char **argv, const BenchOptions &options)
{
    QCoreApplication app(argc, argv);
    QString error;
    const std::optional<Placement> placement = choosePlacement(options.placement, &error);
    if (!placement) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    const double loadBefore = loadAverage();

    QTemporaryDir workDir;
    if (!workDir.isValid()) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 1;
    }
    // Only the transfer cases send the image to the responder.
    const bool transferCases = std::any_of(options.cases.begin(), options.cases.end(),
                                           [](const QString &name) { return kCases.contains(name); });
    const bool fleet = std::any_of(options.cases.begin(), options.cases.end(),
                                   [](const QString &name) { return fleetRunOf(name).has_value(); });
    const QString imagePath = workDir.filePath(QStringLiteral("image.varnelfmw"));
    const qint64 size = qint64(options.sizeMib) * 1024 * 1024;
    if (transferCases && !writeImage(imagePath, size)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(imagePath));
        return 1;
    }
    const quint32 blocks = udpUpdater::blockCount(size);

    QProcess responderProcess;
    ResponderClient control;
    const auto stopResponder = [&] {
        if (responderProcess.state() == QProcess::NotRunning)
            return;
        control.ask("QUIT", 3, 200);
        if (!responderProcess.waitForFinished(3000)) {
            responderProcess.kill();
            responderProcess.waitForFinished(3000);
        }
    };
    if (transferCases) {
        responderProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        pinTo(responderProcess, placement->responderCpu);
        // Idle through a round's fleet cases, which leave it alone.
        responderProcess.start(QCoreApplication::applicationDirPath() + QStringLiteral("/varnel-bench-responder"),
                               {QString::fromLatin1(kDeviceIp), QString::number(kFleetLimitMs / 1000 + 60)});
        if (!responderProcess.waitForStarted(5000)) {
            std::fprintf(stderr, "cannot start the responder: %s\n", qPrintable(responderProcess.errorString()));
            return 1;
        }
        if (control.ask("PING", 25, 200) != QByteArray("PONG")) {
            std::fprintf(stderr, "the responder does not answer (is %s:%u taken?)\n", kDeviceIp, kDevicePort);
            stopResponder();
            return 1;
        }
        std::printf("image %d MiB, %u blocks of %d bytes, ", options.sizeMib, blocks, udpUpdater::chunkSize);
    }
    if (fleet) {
        std::printf("fleet: %d images of %d MiB to each device, %s; ", kFleetImages, kFleetImageMib,
                    qPrintable(fleetLine(options.cases)));
    }
    std::printf("%d run(s) per case, median shown; %s\n", options.runs, qPrintable(placement->text));
    std::fflush(stdout);

    RunsByCase runsOf;
    QStringList failures;
    // Cases interleaved, so a slow moment of the machine is spread over all.
    for (int round = 1; round <= options.runs; ++round) {
        for (const QString &name : options.cases) {
            CaseResult run;
            if (kCases.contains(name) && !control.command("ANSWER"))
                run.error = QStringLiteral("the responder stopped answering");
            else
                run = runChild(name, imagePath, blocks, *placement,
                               workDir.filePath(QStringLiteral("result.json")));
            std::fprintf(stderr, "  run %d/%d %-12s %s\n", round, options.runs, qPrintable(name),
                         qPrintable(runLine(name, run)));
            if (!run.ok)
                failures << QStringLiteral("%1 (run %2): %3").arg(name).arg(round).arg(run.error);
            runsOf[name].push_back(run);
        }
    }
    stopResponder();

    const bool oneCpu = placement->caseCpu >= 0 && placement->caseCpu == placement->responderCpu;
    return printReport(summarise(runsOf, options.cases, oneCpu), failures, loadBefore, loadAverage());
}

} // namespace bench
