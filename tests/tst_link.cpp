#include <QtConcurrent>
#include <QtTest>

#include "privatenetwork.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QUdpSocket>

#include "crc.h"
#include "devicesim.h"
#include "udpupdater.h"

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(DeviceSim::Faults)
Q_DECLARE_METATYPE(udpUpdater::Outcome)

using Outcome = udpUpdater::Outcome;

namespace {

using testsupport::pseudoImage;

const QHostAddress kDevice(QStringLiteral("127.0.0.2"));
const QHostAddress kLocal(QStringLiteral("127.0.0.1"));
const QHostAddress kStranger(QStringLiteral("127.0.0.3"));
constexpr std::chrono::milliseconds kQuiet{100};

QByteArray command(quint8 type, const QByteArray &data = {})
{
    return QByteArray::fromHex("a55a") + char(type) + data;
}

// Goes after anything the link has queued for the GUI thread, so once the
// device has it, every datagram the link sent before it is in too.
const QByteArray kMarker = command(MT_READ, "marker");

// The device and the link of one test function. Abandons a wait still in
// flight, so a failed check cannot leave a task using a destroyed link.
struct Rig
{
    DeviceSim sim;
    udpUpdater link{nullptr};
    QFuture<bool> task;
    QTemporaryDir dir;

    Rig()
    {
        // Short enough that a broken test ends quickly, long enough for a
        // loaded machine; short quiet spells where a test is not about them.
        link.setTimeouts({10s, 5s, 10s, kQuiet, 1s});
    }
    ~Rig()
    {
        link.abort();
        task.waitForFinished();
    }

    void erase() { task = QtConcurrent::run([this] { return link.eraseTarget(); }); }
    void send(const QString &path, int n)
    {
        task = QtConcurrent::run([this, path, n] { return link.sendFileToTarget(path, n); });
    }
    // Waits in a real event loop, so each answer is read as it comes.
    bool waitDone(int timeoutMs) { return testsupport::runLoopUntil([this] { return task.isFinished(); }, timeoutMs); }
    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        const QString path = dir.filePath(name);
        return testsupport::writeFile(path, bytes) ? path : QString();
    }
    // What the device got from the link: everything before the marker.
    QList<QByteArray> fromLink() const
    {
        QList<QByteArray> datagrams = sim.received();
        if (!datagrams.isEmpty() && datagrams.constLast() == kMarker)
            datagrams.removeLast();
        return datagrams;
    }
};

} // namespace

// Helpers with checks inside: the caller stops when one failed.
#define CHECKED(call) \
    do { \
        call; \
        if (QTest::currentTestFailed()) \
            return; \
    } while (false)

class TestLink : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void handshakeAndErase();
    void transfer_data();
    void transfer();
    void deviceFaults_data();
    void deviceFaults();
    void foreignDatagramsDoNotEndAWait();

private:
    void connectRig(Rig &rig);
    void settle(Rig &rig);
    void expectOutcome(Rig &rig, Outcome outcome, int timeoutMs = 10000);
};

void TestLink::initTestCase()
{
    qRegisterMetaType<message_types>();
}

void TestLink::connectRig(Rig &rig)
{
    QVERIFY2(rig.sim.start(kDevice), qPrintable(rig.sim.errorString()));
    QSignalSpy acks(&rig.link, &udpUpdater::acknowledged);
    QVERIFY2(rig.link.initialise(kDevice, kLocal), qPrintable(rig.link.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(acks.count(), 1, 5000);
    QCOMPARE(acks.at(0).at(0).value<message_types>(), MT_INIT);
    QCOMPARE(rig.sim.received(), QList<QByteArray>{QByteArray::fromHex("a55a0f")});
    rig.sim.clear();
}

void TestLink::settle(Rig &rig)
{
    QUdpSocket probe;
    QVERIFY2(probe.bind(kLocal, 0), qPrintable(probe.errorString()));
    QMetaObject::invokeMethod(
        &probe, [&probe] { probe.writeDatagram(kMarker, kDevice, DeviceSim::kCommandPort); },
        Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.sim.received().isEmpty() && rig.sim.received().constLast() == kMarker,
                             5000);
}

// Waits for the operation in flight and checks how it ended.
void TestLink::expectOutcome(Rig &rig, Outcome outcome, int timeoutMs)
{
    QVERIFY2(rig.waitDone(timeoutMs), "the operation did not end");
    QCOMPARE(testsupport::enumName(rig.link.lastResult().outcome), testsupport::enumName(outcome));
    QCOMPARE(rig.task.result(), outcome == Outcome::Success);
}

void TestLink::handshakeAndErase()
{
    Rig rig;
    const QByteArray image = pseudoImage(3000);
    const QString path = rig.writeFile(QStringLiteral("image.bin"), image);
    QVERIFY(!path.isEmpty());
    CHECKED(connectRig(rig));

    // A second "Connect" sends the handshake again on the same link. One the
    // device never answered leaves nobody waiting for it: the next
    // operation, an erase or a send, still goes out and succeeds.
    QSignalSpy acks(&rig.link, &udpUpdater::acknowledged);
    for (const bool erase : {true, false}) {
        rig.sim.clear();
        rig.sim.setSilent(true);
        QVERIFY2(rig.link.initialise(kDevice, kLocal), qPrintable(rig.link.errorString()));
        QVERIFY(testsupport::runLoopUntil(
            [&] { return rig.sim.receivedCount() == 1 && rig.link._waitingForAck; }, 5000));
        QCOMPARE(rig.sim.received(), QList<QByteArray>{QByteArray::fromHex("a55a0f")});
        rig.sim.setSilent(false);
        rig.sim.clear();
        acks.clear();
        if (erase)
            rig.erase();
        else
            rig.send(path, 2);
        CHECKED(expectOutcome(rig, Outcome::Success, 20000));
        QCOMPARE(rig.link.lastResult().fileNumber, erase ? 0 : 2);
        QCOMPARE(acks.count(), erase ? 1 : 3);
        QCOMPARE(acks.at(0).at(0).value<message_types>(), erase ? MT_ERASE : MT_WRITE);
        CHECKED(settle(rig));
        if (erase)
            QCOMPARE(rig.fromLink(), QList<QByteArray>{QByteArray::fromHex("a55af0")});
        QCOMPARE(rig.sim.eraseCount(), erase ? 1 : 0);
    }
    const QList<DeviceSim::ImageReport> images = rig.sim.images();
    QCOMPARE(images.size(), 1);
    QVERIFY2(images.first().clean(), qPrintable(images.first().summary()));
    QVERIFY(images.first().data == image);

    // Erasing takes the device a while: the erase limit applies, not the
    // block one; and when it runs out, the erase ends without an answer.
    DeviceSim::Faults slowErase;
    slowErase.eraseDelayMs = 800;
    for (const bool inTime : {true, false}) {
        rig.sim.clear();
        rig.sim.setFaults(slowErase);
        rig.link.setTimeouts(inTime ? udpUpdater::Timeouts{5s, 200ms, 200ms, kQuiet, 1s}
                                    : udpUpdater::Timeouts{300ms, 30s, 30s, kQuiet, 1s});
        QElapsedTimer clock;
        clock.start();
        rig.erase();
        CHECKED(expectOutcome(rig, inTime ? Outcome::Success : Outcome::NoAnswer));
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(inTime ? elapsed >= 750 : elapsed >= 250 && elapsed < 800, qPrintable(QString::number(elapsed)));
        QCOMPARE(rig.sim.eraseCount(), 1);
    }
}

void TestLink::transfer_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("fileNumber");
    QTest::addColumn<DeviceSim::Faults>("faults");

    const DeviceSim::Faults none;
    // How sizes cut into blocks is protocol::writeBlock's (tst_framing); here,
    // an image with a short END and one of a single block, end to end.
    QTest::newRow("3000 bytes") << 3000 << 2 << none;
    QTest::newRow("1 byte") << 1 << 3 << none;
    // The size of a real update image, well past the 256-block index wrap.
    QTest::newRow("32 MiB") << 32 * 1024 * 1024 << 1 << none;

    // Five blocks that the device answers slowly or that a stray from another
    // host races: the stray goes out at once, the true answer after the delay,
    // so it truly arrives while the link waits.
    const int five = 4 * 1400 + 900;
    DeviceSim::Faults f;
    f.ackDelayMs = 50;
    QTest::newRow("slow answers") << five << 1 << f;
    f.ackDelayMs = 20;
    f.strayAt = 2;
    QTest::newRow("stray from another host") << five << 1 << f;
    f.strayAt = 5;
    QTest::newRow("stray on the last block") << five << 1 << f;
}

void TestLink::transfer()
{
    QFETCH(int, size);
    QFETCH(int, fileNumber);
    QFETCH(DeviceSim::Faults, faults);
    const int blocks = int(udpUpdater::blockCount(size));

    Rig rig;
    const QByteArray image = pseudoImage(size);
    const QString path = rig.writeFile(QStringLiteral("image.bin"), image);
    QVERIFY(!path.isEmpty());
    CHECKED(connectRig(rig));
    rig.sim.setFaults(faults);

    // At each arrival the device must have answered the datagram before:
    // one block in flight at a time.
    QList<int> answeredAtArrival;
    connect(&rig.sim, &DeviceSim::datagramReceived, this,
            [&] { answeredAtArrival.append(rig.sim.acksSent()); });
    QSignalSpy acks(&rig.link, &udpUpdater::acknowledged);
    QSignalSpy progress(&rig.link, &udpUpdater::transferProgress);
    // Answers out when the link declared the image done: a stray taken for a
    // block's answer puts the link one block ahead, and it ends before the
    // device answered the last block.
    int answeredWhenDone = -1;
    QFutureWatcher<bool> watcher;
    connect(&watcher, &QFutureWatcher<bool>::finished, this, [&] { answeredWhenDone = rig.sim.acksSent(); });

    rig.send(path, fileNumber);
    watcher.setFuture(rig.task);
    CHECKED(expectOutcome(rig, Outcome::Success, 60000));
    QVERIFY(testsupport::runLoopUntil([&] { return answeredWhenDone >= 0; }, 5000));
    const udpUpdater::Result result = rig.link.lastResult();
    QCOMPARE(result.fileNumber, fileNumber);
    QCOMPARE(result.blockCount, quint32(blocks));
    QCOMPARE(result.blockIndex, quint32(blocks - 1));
    QVERIFY2(answeredWhenDone >= blocks,
             qPrintable(QStringLiteral("done after %1 of %2 answers: the last block was never answered")
                            .arg(answeredWhenDone).arg(blocks)));
    QCOMPARE(rig.sim.acksSent(), blocks);
    // Two spells, each ten times the slowest block answer (the Rig's bounds:
    // 100 ms to 1 s), so a slow link gets longer ones.
    const qint64 spell = qBound(qint64(kQuiet.count()), qint64(10) * faults.ackDelayMs, qint64(1000));
    const qint64 quiet = result.quietTime.count();
    QVERIFY2(quiet >= 2 * spell && (faults.ackDelayMs == 0 || quiet < 2 * spell + 500),
             qPrintable(QStringLiteral("quiet for %1 ms").arg(quiet)));
    CHECKED(settle(rig));

    const quint32 checksum = crc().crc32(image);
    const QList<QByteArray> wire = rig.fromLink();
    QCOMPARE(wire.size(), blocks);
    for (int i = 0; i < blocks; ++i) {
        if (wire.at(i) != command(MT_WRITE, udpUpdater::writeBlock(image, quint8(fileNumber), quint32(i), checksum)))
            QFAIL(qPrintable(QStringLiteral("datagram %1 differs from its write block").arg(i)));
        if (i > 0 && answeredAtArrival.at(i) < i)
            QFAIL(qPrintable(QStringLiteral("block %1 sent before block %2 was answered").arg(i).arg(i - 1)));
    }
    QCOMPARE(acks.count(), blocks);
    for (const QList<QVariant> &ack : std::as_const(acks))
        QCOMPARE(ack.at(0).value<message_types>(), MT_WRITE);

    const QList<DeviceSim::ImageReport> images = rig.sim.images();
    QCOMPARE(images.size(), 1);
    const DeviceSim::ImageReport &report = images.first();
    QVERIFY2(report.clean(), qPrintable(report.summary()));
    QCOMPARE(report.imageNumber, fileNumber);
    QCOMPARE(report.blocks, blocks);
    QVERIFY(report.data == image);
    // A one-block image goes without checksum; every longer one ends with a good one.
    QCOMPARE(report.checksumPresent, blocks > 1);
    QCOMPARE(report.checksumGood, blocks > 1);

    QVERIFY(progress.size() <= 101);
    quint32 done = 0;
    for (const QList<QVariant> &step : std::as_const(progress)) {
        QCOMPARE(step.at(0).toInt(), fileNumber);
        QVERIFY(step.at(1).toUInt() > done);
        done = step.at(1).toUInt();
        QCOMPARE(step.at(2).toUInt(), quint32(blocks));
    }
    QCOMPARE(done, quint32(blocks));
}

// What happens before the send, besides the device's faults.
enum Twist { Plain, NeverConnected, FileMissing, Stopped, ConnectFailed };

// Connects that fail, from ConnectFailed on: the address and port someone
// else holds, or addresses that are not IPv4; after one that worked or not.
struct FailedConnect {
    const char *target, *local, *taken;
    quint16 port;
    bool afterOne;
};
const FailedConnect kFailedConnects[] = {{"127.0.0.2", "127.0.0.4", "127.0.0.4", 1235, true},
                                         {"127.0.0.2", "127.0.0.1", "0.0.0.0", 1246, false},
                                         {"127.0.0.2", "127.0.0.1", "127.0.0.1", 1235, false},
                                         {"::1", "127.0.0.1", nullptr, 0, true},
                                         {"", "127.0.0.1", nullptr, 0, true},
                                         {"127.0.0.2", "::1", nullptr, 0, true},
                                         {"127.0.0.2", "", nullptr, 0, true}};

void TestLink::deviceFaults_data()
{
    QTest::addColumn<int>("blocks");
    QTest::addColumn<DeviceSim::Faults>("faults");
    QTest::addColumn<int>("blockLimitMs");
    QTest::addColumn<int>("lastBlockLimitMs");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<int>("sent");  // datagrams the device got; -1: fewer than the image's blocks
    QTest::addColumn<int>("twist");

    // Each row lets only the limit that should apply run out quickly, so the
    // wrong one would show as a long wait.
    DeviceSim::Faults f;
    f = {};
    f.dropAckOf = 1;
    QTest::newRow("first block unanswered") << 5 << f << 300 << 60000 << Outcome::NoAnswer << 1 << int(Plain);
    // Stopped mid-wait: it ends at once, and for good, whatever comes later.
    QTest::newRow("stopped awaiting an answer") << 5 << f << 60000 << 60000 << Outcome::Aborted << 1 << int(Stopped);
    f.dropAckOf = 3;
    QTest::newRow("third block unanswered") << 5 << f << 300 << 60000 << Outcome::NoAnswer << 3 << int(Plain);
    f = {};
    f.silentAfter = 3;
    QTest::newRow("silent after the third block") << 5 << f << 300 << 60000 << Outcome::NoAnswer << 4 << int(Plain);
    f = {};
    f.dropAckOf = 5;
    QTest::newRow("last block unanswered") << 5 << f << 60000 << 300 << Outcome::NotConfirmed << 5 << int(Plain);
    f.dropAckOf = 1;
    QTest::newRow("one-block image unanswered") << 1 << f << 60000 << 300 << Outcome::NotConfirmed << 1 << int(Plain);
    f = {};
    f.wrongTypeAt = 2;
    QTest::newRow("second block refused") << 5 << f << 60000 << 60000 << Outcome::Refused << 2 << int(Plain);
    f.wrongTypeAt = 5;
    f.ackDelayMs = 20;
    QTest::newRow("last block refused late") << 5 << f << 60000 << 60000 << Outcome::Refused << 5 << int(Plain);
    // Nothing leaves without a device or an image.
    f = {};
    QTest::newRow("before Connect") << 5 << f << 60000 << 60000 << Outcome::NotConnected << 0 << int(NeverConnected);
    for (int i = 0; i < int(std::size(kFailedConnects)); ++i) {
        const FailedConnect &c = kFailedConnects[i];
        QTest::addRow("Connect to %s from %s failed, %s taken%s", c.target, c.local, c.taken ? c.taken : "none",
                      c.afterOne ? ", after one that worked" : "")
            << 5 << f << 60000 << 60000 << Outcome::NotConnected << 0 << int(ConnectFailed) + i;
    }
    // Which file is unfit, and why, is UpdateImage's to decide.
    QTest::newRow("file missing") << 5 << f << 60000 << 60000 << Outcome::FileNotReadable << 0 << int(FileMissing);

    // Answers twice: the copy of every answer (or of one), at once or later.
    const auto copies = [](int copyDelayMs, bool endAnswered, int onlyBlock) {
        DeviceSim::Faults copy;
        copy.duplicateAcks = onlyBlock == 0;
        copy.duplicateAckOf = onlyBlock;
        copy.duplicateDelayMs = copyDelayMs;
        copy.unansweredEnd = !endAnswered;
        return copy;
    };
    const auto twice = [&](const char *name, int blocks, const DeviceSim::Faults &copy) {
        QTest::newRow(name) << blocks << copy << 5000 << 5000 << Outcome::AnsweredTwice << -1 << int(Plain);
    };
    // Both copies in one read: the second is read before the next block left.
    twice("copy at once, 100 blocks", 100, copies(0, true, 0));
    // Read with the real answer, the one copy must not count for the next
    // block, which has not left yet: that block would never reach the device.
    twice("one copy at once, block 3", 6, copies(0, true, 3));
    // A late copy of an earlier answer would otherwise stand in for the
    // answer the device never gave to the last block.
    twice("copy 3 ms later, last unanswered", 3, copies(3, false, 0));
    twice("copy 20 ms later, last unanswered", 20, copies(20, false, 0));
    twice("copy 50 ms later, last unanswered", 5, copies(50, false, 0));
    twice("copy 50 ms later, two blocks, last unanswered", 2, copies(50, false, 0));
    twice("copy 30 ms later, all answered", 5, copies(30, true, 0));
    twice("copy 10 ms later, one block", 1, copies(10, true, 0));
}

void TestLink::deviceFaults()
{
    QFETCH(int, blocks);
    QFETCH(DeviceSim::Faults, faults);
    QFETCH(int, blockLimitMs);
    QFETCH(int, lastBlockLimitMs);
    QFETCH(Outcome, outcome);
    QFETCH(int, sent);
    QFETCH(int, twist);

    Rig rig;
    const QByteArray image = pseudoImage((blocks - 1) * 1400 + 900);
    const QString path = twist == FileMissing ? rig.dir.filePath(QStringLiteral("missing.bin"))
                                              : rig.writeFile(QStringLiteral("image.bin"), image);
    QVERIFY(!path.isEmpty());
    const FailedConnect *failed = twist >= ConnectFailed ? &kFailedConnects[twist - ConnectFailed] : nullptr;
    if (twist == NeverConnected || (failed && !failed->afterOne))
        QVERIFY2(rig.sim.start(kDevice), qPrintable(rig.sim.errorString()));
    else
        CHECKED(connectRig(rig));
    QUdpSocket holder;
    if (failed) {
        if (failed->taken)
            QVERIFY(holder.bind(QHostAddress(failed->taken), failed->port, QAbstractSocket::DontShareAddress));
        QVERIFY(!rig.link.initialise(QHostAddress(failed->target), QHostAddress(failed->local)));
        // The error names the port that was taken.
        QVERIFY2(rig.link.errorString().contains(failed->taken ? QString::number(failed->port) : QString()),
                 qPrintable(rig.link.errorString()));
        QVERIFY(!rig.link.errorString().isEmpty());
    }
    rig.sim.setFaults(faults);
    rig.link.setTimeouts(
        {60s, std::chrono::milliseconds(blockLimitMs), std::chrono::milliseconds(lastBlockLimitMs), kQuiet, 1s});

    QElapsedTimer clock;
    clock.start();
    rig.send(path, 2);
    if (twist == Stopped) {
        QVERIFY(testsupport::runLoopUntil([&] { return rig.sim.receivedCount() == 1; }, 5000));
        QVERIFY(!rig.task.isFinished());
        rig.link.abort();
    }
    CHECKED(expectOutcome(rig, outcome, 20000));
    const qint64 elapsed = clock.elapsed();
    const udpUpdater::Result result = rig.link.lastResult();
    if (outcome != Outcome::NotConnected)
        QCOMPARE(result.fileNumber, 2);
    if (sent != 0)
        QCOMPARE(result.blockCount, quint32(blocks));
    if (sent > 0)
        QCOMPARE(result.blockIndex, quint32(sent - 1));
    // Well short of the 60 s limits, so the right limit (or none) was used.
    QVERIFY2(elapsed < 5000, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
    if (outcome == Outcome::NoAnswer || outcome == Outcome::NotConfirmed)
        QVERIFY2(elapsed >= 250, qPrintable(QStringLiteral("gave up after %1 ms").arg(elapsed)));
    if (twist == FileMissing) {
        QVERIFY(!result.detail.isEmpty());
        // Checked bytes handed over directly: none is no image either.
        QVERIFY(!rig.link.sendImageToTarget(QByteArray(), 3));
        QCOMPARE(testsupport::enumName(rig.link.lastResult().outcome), testsupport::enumName(Outcome::ImageEmpty));
    }

    // Nothing is resent, and nothing follows the block that failed. A surplus
    // stops the image before its last block leaves, if it has more than one.
    rig.sim.setFaults({});
    if (twist == Stopped) {
        rig.send(path, 1);
        CHECKED(expectOutcome(rig, Outcome::Aborted, 2000));
        rig.erase();
        CHECKED(expectOutcome(rig, Outcome::Aborted, 2000));
    }
    CHECKED(settle(rig));
    const quint32 checksum = crc().crc32(image);
    const QList<QByteArray> wire = rig.fromLink();
    if (sent >= 0)
        QCOMPARE(wire.size(), sent);
    else
        QVERIFY2(wire.size() < qMax(blocks, 2), qPrintable(QString::number(wire.size())));
    for (int i = 0; i < wire.size(); ++i)
        QVERIFY(wire.at(i) == command(MT_WRITE, udpUpdater::writeBlock(image, 2, quint32(i), checksum)));
    // Once the ports are free again, the same link connects.
    if (failed) {
        holder.close();
        QSignalSpy acks(&rig.link, &udpUpdater::acknowledged);
        QVERIFY2(rig.link.initialise(kDevice, kLocal), qPrintable(rig.link.errorString()));
        QTRY_COMPARE_WITH_TIMEOUT(acks.count(), 1, 5000);
    }
}

void TestLink::foreignDatagramsDoNotEndAWait()
{
    Rig rig;
    CHECKED(connectRig(rig));
    rig.sim.setSilent(true);
    QSignalSpy acks(&rig.link, &udpUpdater::acknowledged);

    QUdpSocket stranger;
    QVERIFY2(stranger.bind(kStranger, 0), qPrintable(stranger.errorString()));
    // From the device's address but another port, so the sim can keep its own.
    QUdpSocket device;
    QVERIFY2(device.bind(kDevice, 0), qPrintable(device.errorString()));

    rig.erase();
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.receivedCount(), 1, 5000);
    QVERIFY(rig.link._waitingForAck);

    // The awaited answer and a refusal, both from the wrong host.
    stranger.writeDatagram(command(MT_ERASE), kLocal, udpUpdater::kAckPort);
    stranger.writeDatagram(command(0x55), kLocal, udpUpdater::kAckPort);
    // From the device, but not an answer to the erase.
    device.writeDatagram(QByteArray::fromHex("a55a"), kLocal, udpUpdater::kAckPort);
    device.writeDatagram(command(MT_READ), kLocal, udpUpdater::kAckPort);
    device.writeDatagram(QByteArray::fromHex("a55bf0"), kLocal, udpUpdater::kAckPort);
    device.writeDatagram(QByteArray::fromHex("5aa5f0"), kLocal, udpUpdater::kAckPort);

    // Bounded on purpose: the task must NOT finish while these are handled.
    QVERIFY(!rig.waitDone(300));
    QVERIFY(rig.link._waitingForAck);
    QVERIFY(acks.isEmpty());

    device.writeDatagram(command(MT_ERASE), kLocal, udpUpdater::kAckPort);
    CHECKED(expectOutcome(rig, Outcome::Success, 5000));
    QCOMPARE(acks.count(), 1);
    QCOMPARE(acks.at(0).at(0).value<message_types>(), MT_ERASE);
}

PRIVATE_NETWORK_TEST_MAIN(TestLink)
#include "tst_link.moc"
