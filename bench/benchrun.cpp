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
                 QString::number(placement.flooderCpu)});
    const int limit = caseLimitMs(blocks) + 30000;
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
    const QString imagePath = workDir.filePath(QStringLiteral("image.varnelfmw"));
    const qint64 size = qint64(options.sizeMib) * 1024 * 1024;
    if (!writeImage(imagePath, size)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(imagePath));
        return 1;
    }
    const quint32 blocks = udpUpdater::blockCount(size);

    QProcess responderProcess;
    responderProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    pinTo(responderProcess, placement->responderCpu);
    responderProcess.start(QCoreApplication::applicationDirPath() + QStringLiteral("/varnel-bench-responder"),
                           {QString::fromLatin1(kDeviceIp), QStringLiteral("120")});
    if (!responderProcess.waitForStarted(5000)) {
        std::fprintf(stderr, "cannot start the responder: %s\n", qPrintable(responderProcess.errorString()));
        return 1;
    }
    ResponderClient control;
    const auto stopResponder = [&] {
        control.ask("QUIT", 3, 200);
        if (!responderProcess.waitForFinished(3000)) {
            responderProcess.kill();
            responderProcess.waitForFinished(3000);
        }
    };
    if (control.ask("PING", 25, 200) != QByteArray("PONG")) {
        std::fprintf(stderr, "the responder does not answer (is %s:%u taken?)\n", kDeviceIp, kDevicePort);
        stopResponder();
        return 1;
    }

    std::printf("image %d MiB, %u blocks of %d bytes, %d run(s) per case, median shown; %s\n", options.sizeMib,
                blocks, udpUpdater::chunkSize, options.runs, qPrintable(placement->text));
    std::fflush(stdout);

    RunsByCase runsOf;
    QStringList failures;
    // Cases interleaved, so a slow moment of the machine is spread over all.
    for (int round = 1; round <= options.runs; ++round) {
        for (const QString &name : kCases) {
            CaseResult run;
            if (!control.command("ANSWER"))
                run.error = QStringLiteral("the responder stopped answering");
            else
                run = runChild(name, imagePath, blocks, *placement,
                               workDir.filePath(QStringLiteral("result.json")));
            QString line = QStringLiteral("FAILED: ") + run.error;
            if (run.ok) {
                line = QStringLiteral("%1 s").arg(run.seconds, 0, 'f', 3);
                if (run.quietMs >= 0)
                    line += QStringLiteral(", plus %1 ms quiet").arg(run.quietMs, 0, 'f', 0);
            }
            std::fprintf(stderr, "  run %d/%d %-10s %s\n", round, options.runs, qPrintable(name), qPrintable(line));
            if (!run.ok)
                failures << QStringLiteral("%1 (run %2): %3").arg(name).arg(round).arg(run.error);
            runsOf[name].push_back(run);
        }
    }
    stopResponder();

    const bool oneCpu = placement->caseCpu >= 0 && placement->caseCpu == placement->responderCpu;
    return printReport(summarise(runsOf, oneCpu), failures, loadBefore, loadAverage());
}

} // namespace bench
