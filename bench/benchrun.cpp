#include "benchrun.h"

#include "benchoptions.h"
#include "cases.h"
#include "loopback.h"
#include "placement.h"
#include "report.h"
#include "responderclient.h"
#include "summary.h"
#include "tftpserver.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
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
                    const PeerServer &tftp, const QString &resultPath)
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
                 QString::number(placement.simulatorCpu), QStringLiteral("--tftp-port"), QString::number(tftp.port),
                 QStringLiteral("--tftp-dir"), tftp.directory});
    // A process-timing case sends the image once, and a few small files.
    const int limit = (fleetRunOf(name)                      ? kFleetLimitMs
                       : kFleetWindowCases.contains(name) ? kFleetWindowLimitMs
                                                          : caseLimitMs(blocks))
        + 30000
        + (name == QLatin1String("cli") || kPeerCases.contains(name) ? 120000 : 0);
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
    if (run.stallMs >= 0 && kFleetWindowCases.contains(name))
        return line + QStringLiteral(" from start to finish, %1 blocks, longest pause %2 ms (%3 ms its own), 99th "
                                     "percentile %4 ms")
                          .arg(run.blocks)
                          .arg(run.stallMs, 0, 'f', 1)
                          .arg(run.ownStallMs, 0, 'f', 1)
                          .arg(run.stallP99Ms, 0, 'f', 1);
    if (kFleetWindowCases.contains(name))
        return line + QStringLiteral(" from start to exit, %1 blocks").arg(run.blocks);
    if (run.quietMs >= 0)
        line += QStringLiteral(", plus %1 ms quiet").arg(run.quietMs, 0, 'f', 0);
    if (run.startupMs >= 0)
        line += QStringLiteral(", start-up of %1 ms left out").arg(run.startupMs, 0, 'f', 1);
    return line;
}

// One placement of the run: the cases it runs each round, and their runs.
struct PlacementRounds
{
    Placement placement;
    QStringList cases;
    RunsByCase runs;
};

// The placements to run: the one asked for, or one CPU and unpinned. Beside
// one CPU, the unpinned rounds leave out what says nothing new there.
std::optional<QList<PlacementRounds>> choosePlacements(const BenchOptions &options, QString *error)
{
    QList<PlacementRounds> rounds;
    const QStringList modes = options.placement.isEmpty() ? QStringList{QStringLiteral("same"), QStringLiteral("free")}
                                                          : QStringList{options.placement};
    for (const QString &mode : modes) {
        const std::optional<Placement> placement = choosePlacement(mode, error);
        if (!placement)
            return std::nullopt;
        PlacementRounds round{*placement, options.cases, {}};
        if (modes.size() > 1 && mode == QLatin1String("free")) {
            round.cases.removeIf([](const QString &name) {
                return name == QLatin1String("link+flood") || name == QLatin1String("idle")
                    || fleetRunOf(name).has_value();
            });
        }
        if (!round.cases.isEmpty())
            rounds << round;
    }
    return rounds;
}

// Why the TFTP cases cannot run here; empty when they can.
QString peersUnavailable()
{
    if (TftpServer::program().isEmpty())
        return QStringLiteral("in.tftpd is not installed (package tftpd-hpa)");
    if (geteuid() != 0)
        return QStringLiteral("in.tftpd needs root to serve a private folder as nobody");
    return QString();
}

} // namespace

int runBench(int argc, char **argv, const BenchOptions &options)
{
    QCoreApplication app(argc, argv);
    QString error;
    std::optional<QList<PlacementRounds>> placements = choosePlacements(options, &error);
    if (!placements) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    const double loadBefore = loadAverage();

    // The TFTP cases need the server and their client; without them they
    // are left out, and said so.
    QStringList peers;
    QStringList notes;
    const QString noServer = peersUnavailable();
    for (const QString &client : kPeerCases) {
        if (!options.cases.contains(client))
            continue;
        if (!noServer.isEmpty())
            notes << QStringLiteral("%1 left out: %2").arg(client, noServer);
        else if (peerProgram(client).isEmpty())
            notes << QStringLiteral("%1 left out: not installed").arg(client);
        else
            peers << client;
    }
    for (PlacementRounds &rounds : *placements) {
        rounds.cases.removeIf(
            [&](const QString &name) { return kPeerCases.contains(name) && !peers.contains(name); });
    }
    placements->removeIf([](const PlacementRounds &rounds) { return rounds.cases.isEmpty(); });
    if (placements->isEmpty()) {
        std::fprintf(stderr, "no case can run: %s\n", qPrintable(notes.join(QStringLiteral("; "))));
        return 1;
    }
    QStringList ran;
    for (const PlacementRounds &rounds : *placements) {
        for (const QString &name : rounds.cases) {
            if (!ran.contains(name))
                ran << name;
        }
    }

    QTemporaryDir workDir;
    if (!workDir.isValid()) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 1;
    }
    // Only the transfer cases send the image to the responder.
    const bool transferCases =
        std::any_of(ran.begin(), ran.end(), [](const QString &name) { return kCases.contains(name); });
    const bool fleet = std::any_of(ran.begin(), ran.end(), [](const QString &name) { return fleetRunOf(name).has_value(); });
    const QString imagePath = workDir.filePath(QStringLiteral("image.varnelfmw"));
    const qint64 size = qint64(options.sizeMib) * 1024 * 1024;
    if (transferCases && !writeImage(imagePath, size)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(imagePath));
        return 1;
    }
    const quint32 blocks = udpUpdater::blockCount(size);
    // TFTP numbers its blocks in 16 bits; not every client wraps them.
    if (!peers.isEmpty() && blocks >= 65535) {
        std::fprintf(stderr, "the TFTP cases take images of fewer than 65535 blocks (--size-mib 87 at most)\n");
        return 2;
    }

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
    const Placement first = placements->first().placement;
    if (transferCases) {
        responderProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        pinTo(responderProcess, first.responderCpu);
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
    TftpServer tftpServer;
    PeerServer tftp;
    if (!peers.isEmpty()) {
        // Idle at most through every fleet case of a round, then it quits by itself.
        if (!tftpServer.start(first.responderCpu, int(fleetCases().size()) * (kFleetLimitMs / 1000) + 60, &error)) {
            std::fprintf(stderr, "cannot start the TFTP server: %s\n", qPrintable(error));
            stopResponder();
            return 1;
        }
        tftp = {tftpServer.port(), tftpServer.directory()};
        std::printf("TFTP peers %s putting it to in.tftpd on %s:%u; ", qPrintable(peers.join(QStringLiteral(", "))),
                    kLocalIp, tftp.port);
    }
    if (fleet) {
        std::printf("fleet: %d images of %d MiB to each device, %s; ", kFleetImages, kFleetImageMib,
                    qPrintable(fleetLine(ran)));
    }
    if (std::any_of(ran.begin(), ran.end(), [](const QString &name) { return kFleetWindowCases.contains(name); })) {
        std::printf("fleet window and command line: %d images of %d MiB to each of %d devices, %d at once; ",
                    kFleetImages, kFleetWindowImageMib, kFleetWindowDevices, kFleetWindowParallel);
    }
    std::printf("%d run(s) per case, median shown\n", options.runs);
    for (const PlacementRounds &rounds : *placements) {
        QStringList left = ran;
        left.removeIf([&](const QString &name) { return rounds.cases.contains(name); });
        std::printf("%s: %s%s\n", qPrintable(rounds.placement.label), qPrintable(rounds.placement.text),
                    left.isEmpty() ? "" : qPrintable(QStringLiteral("; without ") + left.join(QStringLiteral(", "))));
    }
    if (placements->size() > 1)
        std::printf("the placements take turns round by round, so both see the machine as it is\n");
    for (const QString &note : notes)
        std::printf("%s\n", qPrintable(note));
    std::fflush(stdout);

    QStringList failures;
    const bool several = placements->size() > 1;
    // Cases interleaved, so a slow moment of the machine is spread over all.
    for (int round = 1; round <= options.runs; ++round) {
        for (PlacementRounds &rounds : *placements) {
            const Placement &placement = rounds.placement;
            // The stand-ins go where this placement puts them.
            if (several) {
                const bool moved = (!transferCases || pinPid(responderProcess.processId(), placement.responderCpu))
                    && (peers.isEmpty() || pinPid(tftpServer.pid(), placement.responderCpu));
                if (!moved) {
                    std::fprintf(stderr, "cannot move the responder or the TFTP server to the %s placement\n",
                                 qPrintable(placement.label));
                    stopResponder();
                    return 1;
                }
            }
            for (const QString &name : rounds.cases) {
                CaseResult run;
                if (kCases.contains(name) && !kPeerCases.contains(name) && !control.command("ANSWER"))
                    run.error = QStringLiteral("the responder stopped answering");
                else if (kPeerCases.contains(name) && !tftpServer.running())
                    run.error = QStringLiteral("the TFTP server has quit");
                else
                    run = runChild(name, imagePath, blocks, placement, tftp,
                                   workDir.filePath(QStringLiteral("result.json")));
                const QString tag = several ? placement.label + QLatin1Char(' ') : QString();
                std::fprintf(stderr, "  run %d/%d %s%-12s %s\n", round, options.runs, qPrintable(tag),
                             qPrintable(name), qPrintable(runLine(name, run)));
                if (!run.ok)
                    failures << QStringLiteral("%1%2 (run %3): %4").arg(tag, name).arg(round).arg(run.error);
                rounds.runs[name].push_back(run);
            }
        }
    }
    stopResponder();
    if (!peers.isEmpty() && !tftpServer.stop(&error))
        failures << error;

    QList<Summary> summaries;
    for (const PlacementRounds &rounds : *placements) {
        const Placement &placement = rounds.placement;
        Summary summary = summarise(rounds.runs, rounds.cases,
                                    placement.caseCpu >= 0 && placement.caseCpu == placement.responderCpu);
        summary.unpinned = placement.caseCpu < 0 && placement.responderCpu < 0;
        summary.label = placement.label;
        summary.text = placement.text;
        summaries << summary;
    }
    return printReport(summaries, failures, loadBefore, loadAverage());
}

} // namespace bench
