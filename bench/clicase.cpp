// The cli case: the command-line program sends the image to the responder
// as image 1, one process per send, as a script would run it. Timed as the
// TFTP clients are, from spawn to exit less a two-block send's, and less
// the quiet spells it reports; its CPU and peak memory are its own.

#include "cases.h"

#include "casesupport.h"
#include "loopback.h"
#include "responderclient.h"
#include "timedprocess.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <vector>

namespace bench {

namespace {

struct Send
{
    TimedProcess process;
    double quietMs = -1;

    // Spawn to exit, less the quiet spells.
    double busySeconds() const { return process.seconds - quietMs / 1000; }
};

// What --json printed: the image's blocks and quiet spells, and a summary of
// one device that succeeded.
bool readEvents(const QString &outPath, quint32 blocks, Send *send, QString *error)
{
    QFile file(outPath);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("no output: %1").arg(file.errorString());
        return false;
    }
    bool imageDone = false;
    bool succeeded = false;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        const QString name = event.value(QLatin1String("event")).toString();
        if (name == QLatin1String("image-done")) {
            if (event.value(QLatin1String("image")).toInt() != 1
                || event.value(QLatin1String("blocks")).toInteger() != qint64(blocks)
                || !event.value(QLatin1String("quietMs")).isDouble()) {
                *error = QStringLiteral("image-done says %1, expected image 1 of %2 blocks")
                             .arg(QString::fromUtf8(line))
                             .arg(blocks);
                return false;
            }
            imageDone = true;
            send->quietMs = event.value(QLatin1String("quietMs")).toDouble();
        } else if (name == QLatin1String("summary")) {
            succeeded = event.value(QLatin1String("succeeded")).toInt() == 1
                && event.value(QLatin1String("exitCode")).toInt() == 0;
        }
    }
    if (!imageDone || !succeeded) {
        *error = QStringLiteral("no %1 in its output").arg(imageDone ? "summary of success" : "image-done");
        return false;
    }
    return true;
}

// One send of `path`, `blocks` blocks: the program must say it sent them
// all, and the responder must have answered its connect and every block,
// the last of them while the program ran.
bool sendOnce(ResponderClient &responder, const QString &path, quint32 blocks, int limitMs,
              const QString &scratch, Send *send, QString *error)
{
    if (!responder.command("RESET")) {
        *error = QStringLiteral("responder does not answer");
        return false;
    }
    const QString out = QDir(scratch).filePath(QStringLiteral("cli.out"));
    const QString err = QDir(scratch).filePath(QStringLiteral("cli.err"));
    send->process = runTimed(QStringLiteral(VARNEL_CLI),
                             {QStringLiteral("--send"), QStringLiteral("1=") + path, QStringLiteral("--device"),
                              QLatin1String(kDeviceIp), QStringLiteral("--adapter"), QLatin1String(kLocalIp),
                              QStringLiteral("--json")},
                             out, err, limitMs);
    if (!send->process.succeeded()) {
        *error = QStringLiteral("%1: %2").arg(send->process.describe(), fileHead(err));
        return false;
    }
    if (!readEvents(out, blocks, send, error))
        return false;
    const ResponderClient::Stats stats = responder.stats();
    const qint64 expected = 1 + qint64(blocks);  // the connect, then the blocks
    if (!stats.valid() || stats.seen != expected || stats.answered != expected) {
        *error = QStringLiteral("responder saw %1 and answered %2 commands, expected %3")
                     .arg(stats.seen)
                     .arg(stats.answered)
                     .arg(expected);
        return false;
    }
    if (stats.lastAnswerNs < send->process.startNs || stats.lastAnswerNs > send->process.endNs) {
        *error = QStringLiteral("the last answer is outside the program's run");
        return false;
    }
    if (send->busySeconds() <= 0) {
        *error = QStringLiteral("the program reports %1 ms of quiet in a %2 s run")
                     .arg(send->quietMs)
                     .arg(send->process.seconds);
        return false;
    }
    return true;
}

} // namespace

CaseResult runCli(const QString &path, quint32 expectedBlocks)
{
    CaseResult result;
    ResponderClient responder;
    QFile imageFile(path);
    QTemporaryDir scratch;
    const QString startupPath = scratch.filePath(QStringLiteral("startup.varnelfmw"));
    if (!imageFile.open(QIODevice::ReadOnly) || !scratch.isValid()
        || !writeStartupFile(imageFile.readAll(), startupPath)) {
        result.error = QStringLiteral("cannot write the start-up image");
        return result;
    }
    imageFile.close();
    const quint32 startupBlocks = udpUpdater::blockCount(kStartupBytes);

    std::vector<double> startupSeconds;
    for (int i = 0; i < kStartupRuns; ++i) {
        Send send;
        if (!sendOnce(responder, startupPath, startupBlocks, 30000, scratch.path(), &send, &result.error)) {
            result.error = QStringLiteral("start-up send: ") + result.error;
            return result;
        }
        startupSeconds.push_back(send.busySeconds());
    }

    Send send;
    const bool sent =
        sendOnce(responder, path, expectedBlocks, caseLimitMs(expectedBlocks), scratch.path(), &send, &result.error);
    result.cpu = send.process.cpu;
    result.peakKb = send.process.peakKb;
    if (!sent)
        return result;
    const double startupCost = medianOf(startupSeconds);
    result.startupMs = startupCost * 1000;
    result.quietMs = send.quietMs;
    result.blocks = expectedBlocks - startupBlocks;
    result.seconds = send.busySeconds() - startupCost;
    if (result.seconds <= 0) {
        result.error = QStringLiteral("the image's send (%1 s without quiet) took no longer than a start-up send "
                                      "(%2 s)")
                           .arg(send.busySeconds())
                           .arg(startupCost);
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace bench
