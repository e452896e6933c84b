// The TFTP peer cases: the same image put to our own in.tftpd by curl or
// atftp, 1400-byte blocks, each answered before the next: what an ordinary
// stop-and-wait client on this machine does with our block size.

#include "cases.h"

#include "casesupport.h"
#include "loopback.h"
#include "measures.h"
#include "protocol.h"
#include "timedprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <vector>

namespace bench {

namespace {

constexpr int kBlockSize = 1400;
static_assert(kBlockSize == protocol::chunkSize, "the peers must use our block size");

constexpr int kStartupLimitMs = 20000;
// in.tftpd writes the last block after acknowledging it.
constexpr int kArrivalLimitMs = 10000;

// TFTP ends a put with a short block, an empty one after a whole last block.
qint64 tftpBlocks(qint64 bytes)
{
    return bytes / kBlockSize + 1;
}

QStringList putArguments(const QString &client, const QString &file, const QString &name, quint16 port)
{
    if (client == QLatin1String("curl")) {
        return {QStringLiteral("-sS"), QStringLiteral("-T"), file, QStringLiteral("--tftp-blksize"),
                QString::number(kBlockSize),
                QStringLiteral("tftp://%1:%2/%3").arg(QLatin1String(kLocalIp)).arg(port).arg(name)};
    }
    return {QStringLiteral("--option"), QStringLiteral("blksize %1").arg(kBlockSize), QStringLiteral("-p"),
            QStringLiteral("-l"), file, QStringLiteral("-r"), name, QLatin1String(kLocalIp), QString::number(port)};
}

// Waits for `name` to hold `expected` whole in the served folder, compares
// it and removes it.
bool checkArrival(const QString &served, const QString &name, const QByteArray &expected, QString *error)
{
    const QString path = QDir(served).filePath(name);
    const QDeadlineTimer deadline(kArrivalLimitMs);
    while (QFile(path).size() < expected.size() && !deadline.hasExpired())
        QThread::msleep(5);
    QFile file(path);
    const bool opened = file.open(QIODevice::ReadOnly);
    const QByteArray arrived = opened ? file.readAll() : QByteArray();
    file.close();
    const bool removed = QFile::remove(path);
    if (!opened) {
        *error = QStringLiteral("%1 did not arrive").arg(name);
        return false;
    }
    if (arrived != expected) {
        const auto mismatch = std::mismatch(arrived.begin(), arrived.end(), expected.begin(), expected.end());
        *error = QStringLiteral("%1 arrived with %2 bytes of %3, different from byte %4 on")
                     .arg(name)
                     .arg(arrived.size())
                     .arg(expected.size())
                     .arg(mismatch.first - arrived.begin());
        return false;
    }
    if (!removed) {
        *error = QStringLiteral("cannot remove %1").arg(path);
        return false;
    }
    return true;
}

// One put of `bytes` (written to `file`) as `name`; false, with `error`,
// unless the client succeeded and the file arrived whole.
bool put(const QString &program, const QString &client, const QString &file, const QByteArray &bytes,
         const QString &name, const PeerServer &server, int limitMs, const QString &scratch, TimedProcess *run,
         QString *error)
{
    const QString out = QDir(scratch).filePath(QStringLiteral("client.out"));
    const QString err = QDir(scratch).filePath(QStringLiteral("client.err"));
    *run = runTimed(program, putArguments(client, file, name, server.port), out, err, limitMs);
    if (!run->succeeded()) {
        *error = QStringLiteral("%1 put of %2: %3 %4 %5")
                     .arg(client, name, run->describe(), fileHead(err), fileHead(out));
        QFile::remove(QDir(server.directory).filePath(name));
        return false;
    }
    return checkArrival(server.directory, name, bytes, error);
}

} // namespace

QString peerProgram(const QString &client)
{
    return QStandardPaths::findExecutable(client);
}

CaseResult runPeer(const QString &client, const QString &path, const PeerServer &server)
{
    CaseResult result;
    const QString program = peerProgram(client);
    if (program.isEmpty()) {
        result.error = QStringLiteral("%1 is not installed").arg(client);
        return result;
    }
    if (server.port == 0 || server.directory.isEmpty()) {
        result.error = QStringLiteral("no TFTP server given");
        return result;
    }
    QFile imageFile(path);
    if (!imageFile.open(QIODevice::ReadOnly)) {
        result.error = imageFile.errorString();
        return result;
    }
    const QByteArray image = imageFile.readAll();
    imageFile.close();
    QTemporaryDir scratch;
    const QString startupPath = scratch.filePath(QStringLiteral("startup.bin"));
    const QByteArray startup = image.left(kStartupBytes);
    if (!scratch.isValid() || !writeStartupFile(image, startupPath)) {
        result.error = QStringLiteral("cannot write the start-up file (image of %1 bytes)").arg(image.size());
        return result;
    }

    std::vector<double> startupSeconds;
    for (int i = 1; i <= kStartupRuns; ++i) {
        TimedProcess run;
        const QString name = QStringLiteral("startup-%1-%2.bin").arg(client).arg(i);
        if (!put(program, client, startupPath, startup, name, server, kStartupLimitMs, scratch.path(), &run,
                 &result.error))
            return result;
        startupSeconds.push_back(run.seconds);
    }

    const qint64 blocks = tftpBlocks(image.size());
    const qint64 datagramsBefore = udpDatagramsReceived();
    TimedProcess run;
    const bool arrived = put(program, client, path, image, QStringLiteral("image-%1.bin").arg(client), server,
                             caseLimitMs(quint32(blocks)), scratch.path(), &run, &result.error);
    const qint64 datagramsAfter = udpDatagramsReceived();
    result.cpu = run.cpu;
    result.peakKb = run.peakKb;
    if (!arrived)
        return result;

    // Request, options' answer, then a block and its answer each: a put
    // with more went with smaller blocks or sent some again.
    const qint64 expected = 2 * blocks + 2;
    result.datagrams = datagramsBefore >= 0 && datagramsAfter >= 0 ? double(datagramsAfter - datagramsBefore) : -1;
    if (result.datagrams < expected || result.datagrams > expected + 16 + blocks / 100) {
        result.error = QStringLiteral("the put took %1 datagrams on loopback, expected %2 for %3 blocks of %4 "
                                      "bytes")
                           .arg(result.datagrams)
                           .arg(expected)
                           .arg(blocks)
                           .arg(kBlockSize);
        return result;
    }

    const double startupCost = medianOf(startupSeconds);
    result.startupMs = startupCost * 1000;
    result.blocks = quint32(blocks - tftpBlocks(kStartupBytes));
    result.seconds = run.seconds - startupCost;
    if (result.seconds <= 0) {
        result.error = QStringLiteral("the image's put (%1 s) took no longer than a start-up put (%2 s)")
                           .arg(run.seconds)
                           .arg(startupCost);
        return result;
    }
    result.ok = true;
    return result;
}

} // namespace bench
