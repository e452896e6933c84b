#include <QtConcurrent>
#include <QtTest>

#include "privatenetwork.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <sys/stat.h>

#include "crc.h"
#include "devicesim.h"
#include "udpupdater.h"

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(DeviceSim::Faults)
Q_DECLARE_METATYPE(udpUpdater::Outcome)

namespace {

using testsupport::pseudoImage;

const QHostAddress kDevice(QStringLiteral("127.0.0.2"));
const QHostAddress kLocal(QStringLiteral("127.0.0.1"));
const QHostAddress kStranger(QStringLiteral("127.0.0.3"));
constexpr std::chrono::milliseconds kQuiet{100};

QString outcomeName(udpUpdater::Outcome outcome)
{
    return testsupport::enumName(outcome);
}

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

    void erase()
    {
        task = QtConcurrent::run([this] { return link.eraseTarget(); });
    }
    // Waits in a real event loop, so each answer is read as it comes.
    bool waitDone(int timeoutMs)
    {
        return testsupport::runLoopUntil([this] { return task.isFinished(); }, timeoutMs);
    }
    void send(const QString &path, int fileNumber)
    {
        task = QtConcurrent::run([this, path, fileNumber] { return link.sendFileToTarget(path, fileNumber); });
    }
    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return path;
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
    void largeImageArrivesIntact();
    void sendAfterAnUnansweredConnect();
    void nothingSentWithoutFileOrConnection();
    void deviceFaults_data();
    void deviceFaults();
    void toleratedMisbehaviour_data();
    void toleratedMisbehaviour();
    void surplusAnswers_data();
    void surplusAnswers();
    void foreignDatagramsDoNotEndAWait();
    void abortEndsAWaitAtOnce_data();
    void abortEndsAWaitAtOnce();
    void setupFailures();

private:
    void connectRig(Rig &rig);
    void settle(Rig &rig);
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

void TestLink::handshakeAndErase()
{
    Rig rig;
    QVERIFY2(rig.sim.start(kDevice), qPrintable(rig.sim.errorString()));
    QSignalSpy acks(&rig.link, &udpUpdater::acknowledged);

    QVERIFY2(rig.link.initialise(kDevice, kLocal), qPrintable(rig.link.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(acks.count(), 1, 5000);
    QCOMPARE(acks.at(0).at(0).value<message_types>(), MT_INIT);
    QCOMPARE(rig.sim.received(), QList<QByteArray>{QByteArray::fromHex("a55a0f")});

    // A second "Connect" sends the handshake again on the same link.
    QVERIFY2(rig.link.initialise(kDevice, kLocal), qPrintable(rig.link.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(acks.count(), 2, 5000);
    QCOMPARE(acks.at(1).at(0).value<message_types>(), MT_INIT);
    QCOMPARE(rig.sim.receivedCount(), 2);

    rig.sim.clear();
    acks.clear();
    rig.erase();
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 10000);
    QVERIFY(rig.task.result());
    QCOMPARE(outcomeName(rig.link.lastResult().outcome), outcomeName(udpUpdater::Outcome::Success));
    QCOMPARE(rig.link.lastResult().fileNumber, 0);
    QCOMPARE(acks.count(), 1);
    QCOMPARE(acks.at(0).at(0).value<message_types>(), MT_ERASE);
    CHECKED(settle(rig));
    QCOMPARE(rig.fromLink(), QList<QByteArray>{QByteArray::fromHex("a55af0")});
    QCOMPARE(rig.sim.eraseCount(), 1);

    // Erasing takes the device a while: the erase limit, not the block one, applies.
    rig.sim.clear();
    DeviceSim::Faults slowErase;
    slowErase.eraseDelayMs = 1500;
    rig.sim.setFaults(slowErase);
    rig.link.setTimeouts({5s, 300ms, 300ms, kQuiet, 1s});
    QElapsedTimer clock;
    clock.start();
    rig.erase();
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 10000);
    QVERIFY2(rig.task.result(), qPrintable(outcomeName(rig.link.lastResult().outcome)));
    QVERIFY2(clock.elapsed() >= 1400, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(rig.sim.eraseCount(), 1);

    // ... and when it runs out, the erase ends without an answer.
    rig.sim.clear();
    rig.sim.setFaults(slowErase);
    rig.link.setTimeouts({500ms, 30s, 30s, kQuiet, 1s});
    clock.restart();
    rig.erase();
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 10000);
    QVERIFY(!rig.task.result());
    QCOMPARE(outcomeName(rig.link.lastResult().outcome), outcomeName(udpUpdater::Outcome::NoAnswer));
    QVERIFY2(clock.elapsed() >= 450 && clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
}

void TestLink::transfer_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("fileNumber");
    QTest::addColumn<int>("blocks");

    QTest::newRow("3000 bytes") << 3000 << 2 << 3;
    QTest::newRow("2800 bytes") << 2800 << 1 << 2;
    QTest::newRow("1401 bytes") << 1401 << 2 << 2;
    QTest::newRow("1400 bytes") << 1400 << 3 << 1;
    QTest::newRow("1399 bytes") << 1399 << 1 << 1;
    QTest::newRow("1 byte") << 1 << 3 << 1;
    QTest::newRow("600 blocks") << 599 * 1400 + 1 << 3 << 600;
}

void TestLink::transfer()
{
    QFETCH(int, size);
    QFETCH(int, fileNumber);
    QFETCH(int, blocks);

    Rig rig;
    const QByteArray image = pseudoImage(size);
    const QString path = rig.writeFile(QStringLiteral("image.bin"), image);
    QVERIFY(!path.isEmpty());
    CHECKED(connectRig(rig));

    // At each arrival the device must have answered the datagram before:
    // one block in flight at a time.
    QList<int> answeredAtArrival;
    connect(&rig.sim, &DeviceSim::datagramReceived, this,
            [&] { answeredAtArrival.append(rig.sim.acksSent()); });
    QSignalSpy acks(&rig.link, &udpUpdater::acknowledged);
    QSignalSpy progress(&rig.link, &udpUpdater::transferProgress);

    rig.send(path, fileNumber);
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 60000);
    const udpUpdater::Result result = rig.link.lastResult();
    QVERIFY2(rig.task.result(), qPrintable(outcomeName(result.outcome)));
    QCOMPARE(outcomeName(result.outcome), outcomeName(udpUpdater::Outcome::Success));
    QCOMPARE(result.fileNumber, fileNumber);
    QCOMPARE(result.blockCount, quint32(blocks));
    if (blocks > 0)
        QCOMPARE(result.blockIndex, quint32(blocks - 1));
    CHECKED(settle(rig));

    const quint32 checksum = crc().crc32(image);
    const QList<QByteArray> wire = rig.fromLink();
    QCOMPARE(wire.size(), blocks);
    for (int i = 0; i < blocks; ++i) {
        if (wire.at(i) != command(MT_WRITE, udpUpdater::writeBlock(image, quint8(fileNumber), quint32(i), checksum)))
            QFAIL(qPrintable(QStringLiteral("datagram %1 differs from its write block").arg(i)));
    }
    for (int i = 1; i < blocks; ++i)
        QVERIFY2(answeredAtArrival.at(i) >= i, qPrintable(QStringLiteral("block %1 sent before block %2 was answered").arg(i).arg(i - 1)));

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

    QVERIFY(!progress.isEmpty());
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

void TestLink::largeImageArrivesIntact()
{
    // The size of a real update image, well past the 256-block index wrap.
    const qsizetype size = 32 * 1024 * 1024;
    Rig rig;
    rig.sim.setRecordDatagrams(false);
    const QByteArray image = pseudoImage(size);
    const QString path = rig.writeFile(QStringLiteral("large.bin"), image);
    QVERIFY(!path.isEmpty());
    CHECKED(connectRig(rig));

    // Waited on in an event loop: polling would cost ~10 ms per block here.
    QFutureWatcher<bool> watcher;
    QSignalSpy finished(&watcher, &QFutureWatcher<bool>::finished);
    rig.send(path, 1);
    watcher.setFuture(rig.task);
    QVERIFY(finished.wait(300000));
    const udpUpdater::Result result = rig.link.lastResult();
    QVERIFY2(rig.task.result(), qPrintable(outcomeName(result.outcome)));
    QCOMPARE(result.blockCount, udpUpdater::blockCount(size));

    const QList<DeviceSim::ImageReport> images = rig.sim.images();
    QCOMPARE(images.size(), 1);
    QVERIFY2(images.first().clean(), qPrintable(images.first().summary()));
    QVERIFY(images.first().checksumGood);
    QCOMPARE(images.first().blocks, int(udpUpdater::blockCount(size)));
    QVERIFY(images.first().data == image);
}

void TestLink::sendAfterAnUnansweredConnect()
{
    // A "Connect" the device never answered leaves nobody waiting for it;
    // the next operation must still go out and succeed.
    Rig rig;
    const QByteArray image = pseudoImage(3000);
    const QString path = rig.writeFile(QStringLiteral("image.bin"), image);
    QVERIFY(!path.isEmpty());
    QVERIFY2(rig.sim.start(kDevice), qPrintable(rig.sim.errorString()));
    rig.sim.setSilent(true);
    QVERIFY2(rig.link.initialise(kDevice, kLocal), qPrintable(rig.link.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.receivedCount(), 1, 5000);
    QVERIFY(rig.link._waitingForAck);

    rig.sim.setSilent(false);
    rig.sim.clear();
    rig.send(path, 2);
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 20000);
    QVERIFY2(rig.task.result(), qPrintable(outcomeName(rig.link.lastResult().outcome)));
    const QList<DeviceSim::ImageReport> images = rig.sim.images();
    QCOMPARE(images.size(), 1);
    QVERIFY2(images.first().clean(), qPrintable(images.first().summary()));
    QVERIFY(images.first().data == image);

    // ... and so must an erase.
    rig.sim.setSilent(true);
    QVERIFY2(rig.link.initialise(kDevice, kLocal), qPrintable(rig.link.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(rig.link._waitingForAck, 5000);
    rig.sim.setSilent(false);
    rig.erase();
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 20000);
    QVERIFY2(rig.task.result(), qPrintable(outcomeName(rig.link.lastResult().outcome)));
}

void TestLink::nothingSentWithoutFileOrConnection()
{
    Rig rig;
    const QString path = rig.writeFile(QStringLiteral("image.bin"), pseudoImage(3000));
    QVERIFY(!path.isEmpty());
    QVERIFY2(rig.sim.start(kDevice), qPrintable(rig.sim.errorString()));

    // Before "Connect" there is no device to talk to.
    rig.send(path, 1);
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 5000);
    QVERIFY(!rig.task.result());
    QCOMPARE(outcomeName(rig.link.lastResult().outcome), outcomeName(udpUpdater::Outcome::NotConnected));
    rig.erase();
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 5000);
    QVERIFY(!rig.task.result());
    QCOMPARE(outcomeName(rig.link.lastResult().outcome), outcomeName(udpUpdater::Outcome::NotConnected));
    CHECKED(settle(rig));
    QCOMPARE(rig.fromLink(), QList<QByteArray>{});

    QSignalSpy acks(&rig.link, &udpUpdater::acknowledged);
    QVERIFY2(rig.link.initialise(kDevice, kLocal), qPrintable(rig.link.errorString()));
    QTRY_COMPARE_WITH_TIMEOUT(acks.count(), 1, 5000);
    rig.sim.clear();

    // A successful erase first: its result must not stand for a send that
    // sends nothing.
    rig.erase();
    QVERIFY(rig.waitDone(5000));
    QVERIFY(rig.task.result());
    rig.sim.clear();

    const QString missing = rig.dir.filePath(QStringLiteral("missing.bin"));
    const QString fifo = rig.dir.filePath(QStringLiteral("fifo.bin"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString nullLink = rig.dir.filePath(QStringLiteral("null.bin"));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), nullLink));
    const QString empty = rig.writeFile(QStringLiteral("empty.bin"), {});
    QVERIFY(!empty.isEmpty());
    const QString huge = rig.dir.filePath(QStringLiteral("huge.bin"));
    {
        QFile file(huge);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(UpdateImage::kMaxSize + 1));  // sparse: costs no disk
    }
    const QList<QPair<QString, udpUpdater::Outcome>> unfit = {
        {missing, udpUpdater::Outcome::FileNotReadable},
        {rig.dir.path(), udpUpdater::Outcome::FileNotReadable},
        {fifo, udpUpdater::Outcome::FileNotReadable},
        {nullLink, udpUpdater::Outcome::FileNotReadable},
        {empty, udpUpdater::Outcome::ImageEmpty},
        {huge, udpUpdater::Outcome::ImageTooLarge},
    };
    for (const auto &[bad, outcome] : unfit) {
        rig.send(bad, 2);
        // A FIFO nobody writes to must not hold the task.
        QVERIFY2(rig.waitDone(5000), qPrintable(bad));
        QVERIFY2(!rig.task.result(), qPrintable(bad));
        QCOMPARE(outcomeName(rig.link.lastResult().outcome), outcomeName(outcome));
        QCOMPARE(rig.link.lastResult().fileNumber, 2);
    }
    rig.send(missing, 1);
    QVERIFY(rig.waitDone(5000));
    QVERIFY(!rig.link.lastResult().detail.isEmpty());
    // Checked bytes handed over directly: none is no image either.
    QVERIFY(!rig.link.sendImageToTarget(QByteArray(), 3));
    QCOMPARE(outcomeName(rig.link.lastResult().outcome), outcomeName(udpUpdater::Outcome::ImageEmpty));
    CHECKED(settle(rig));
    QCOMPARE(rig.fromLink(), QList<QByteArray>{});
    QVERIFY(rig.sim.images().isEmpty());
}

void TestLink::deviceFaults_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<DeviceSim::Faults>("faults");
    QTest::addColumn<int>("blockLimitMs");
    QTest::addColumn<int>("lastBlockLimitMs");
    QTest::addColumn<udpUpdater::Outcome>("outcome");
    QTest::addColumn<int>("failedBlock");

    // Five blocks; each row lets only the limit that should apply run out
    // quickly, so the wrong one would show as a long wait.
    const int size = 4 * 1400 + 900;
    DeviceSim::Faults f;

    f = {};
    f.dropAckOf = 1;
    QTest::newRow("first block unanswered") << size << f << 300 << 60000 << udpUpdater::Outcome::NoAnswer << 0;
    f = {};
    f.dropAckOf = 3;
    QTest::newRow("third block unanswered") << size << f << 300 << 60000 << udpUpdater::Outcome::NoAnswer << 2;
    f = {};
    f.silentAfter = 3;
    QTest::newRow("silent after the third block") << size << f << 300 << 60000 << udpUpdater::Outcome::NoAnswer << 3;
    f = {};
    f.dropAckOf = 5;
    QTest::newRow("last block unanswered") << size << f << 60000 << 300 << udpUpdater::Outcome::NotConfirmed << 4;
    f = {};
    f.dropAckOf = 1;
    QTest::newRow("one-block image unanswered") << 1000 << f << 60000 << 300 << udpUpdater::Outcome::NotConfirmed << 0;
    f = {};
    f.wrongTypeAt = 2;
    QTest::newRow("second block refused") << size << f << 60000 << 60000 << udpUpdater::Outcome::Refused << 1;
    f = {};
    f.wrongTypeAt = 5;
    f.ackDelayMs = 20;
    QTest::newRow("last block refused late") << size << f << 60000 << 60000 << udpUpdater::Outcome::Refused << 4;
}

void TestLink::deviceFaults()
{
    QFETCH(int, size);
    QFETCH(DeviceSim::Faults, faults);
    QFETCH(int, blockLimitMs);
    QFETCH(int, lastBlockLimitMs);
    QFETCH(udpUpdater::Outcome, outcome);
    QFETCH(int, failedBlock);

    Rig rig;
    const QByteArray image = pseudoImage(size);
    const QString path = rig.writeFile(QStringLiteral("image.bin"), image);
    QVERIFY(!path.isEmpty());
    CHECKED(connectRig(rig));
    rig.sim.setFaults(faults);
    rig.link.setTimeouts(
        {60s, std::chrono::milliseconds(blockLimitMs), std::chrono::milliseconds(lastBlockLimitMs), kQuiet, 1s});

    QElapsedTimer clock;
    clock.start();
    rig.send(path, 2);
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 20000);
    const qint64 elapsed = clock.elapsed();
    QVERIFY(!rig.task.result());

    const udpUpdater::Result result = rig.link.lastResult();
    QCOMPARE(outcomeName(result.outcome), outcomeName(outcome));
    QCOMPARE(result.fileNumber, 2);
    QCOMPARE(result.blockIndex, quint32(failedBlock));
    QCOMPARE(result.blockCount, udpUpdater::blockCount(size));
    // Well short of the 60 s limits, so the right limit (or none) was used.
    QVERIFY2(elapsed < 5000, qPrintable(QStringLiteral("took %1 ms").arg(elapsed)));
    if (outcome != udpUpdater::Outcome::Refused)
        QVERIFY2(elapsed >= 250, qPrintable(QStringLiteral("gave up after %1 ms").arg(elapsed)));

    // Nothing is resent, and nothing follows the block that failed.
    rig.sim.setFaults({});
    CHECKED(settle(rig));
    const quint32 checksum = crc().crc32(image);
    const QList<QByteArray> wire = rig.fromLink();
    QCOMPARE(wire.size(), failedBlock + 1);
    for (int i = 0; i <= failedBlock; ++i)
        QVERIFY(wire.at(i) == command(MT_WRITE, udpUpdater::writeBlock(image, 2, quint32(i), checksum)));
}

void TestLink::toleratedMisbehaviour_data()
{
    QTest::addColumn<DeviceSim::Faults>("faults");
    QTest::addColumn<int>("blocks");

    DeviceSim::Faults f;
    f = {};
    f.ackDelayMs = 50;
    QTest::newRow("slow answers") << f << 5;
    // The stray goes out at once, the true answer after the delay: it truly
    // arrives while the link waits.
    f = {};
    f.strayAt = 2;
    f.ackDelayMs = 100;
    QTest::newRow("stray from another host") << f << 5;
    f = {};
    f.strayAt = 5;
    f.ackDelayMs = 100;
    QTest::newRow("stray on the last block") << f << 5;
}

void TestLink::toleratedMisbehaviour()
{
    QFETCH(DeviceSim::Faults, faults);
    QFETCH(int, blocks);

    Rig rig;
    const QByteArray image = pseudoImage((blocks - 1) * 1400 + 900);
    const QString path = rig.writeFile(QStringLiteral("image.bin"), image);
    QVERIFY(!path.isEmpty());
    CHECKED(connectRig(rig));
    rig.sim.setFaults(faults);

    QList<int> answeredAtArrival;
    connect(&rig.sim, &DeviceSim::datagramReceived, this,
            [&] { answeredAtArrival.append(rig.sim.acksSent()); });
    QSignalSpy acks(&rig.link, &udpUpdater::acknowledged);
    // Answers out when the link declared the image done: a stray taken for a
    // block's answer puts the link one block ahead, and it ends before the
    // device answered the last block.
    int answeredWhenDone = -1;
    QFutureWatcher<bool> watcher;
    connect(&watcher, &QFutureWatcher<bool>::finished, this, [&] { answeredWhenDone = rig.sim.acksSent(); });

    rig.send(path, 1);
    watcher.setFuture(rig.task);
    QVERIFY(testsupport::runLoopUntil([&] { return rig.task.isFinished() && answeredWhenDone >= 0; }, 20000));
    QVERIFY2(rig.task.result(), qPrintable(outcomeName(rig.link.lastResult().outcome)));
    // Two spells, each ten times the slowest block answer (the Rig's bounds:
    // 100 ms to 1 s), so a slow link gets longer ones.
    const qint64 spell = qBound(qint64(100), qint64(10) * faults.ackDelayMs, qint64(1000));
    const qint64 quiet = rig.link.lastResult().quietTime.count();
    QVERIFY2(quiet >= 2 * spell && quiet < 2 * spell + 500, qPrintable(QStringLiteral("quiet for %1 ms").arg(quiet)));
    QVERIFY2(answeredWhenDone >= blocks,
             qPrintable(QStringLiteral("done after %1 of %2 answers: the last block was never answered")
                            .arg(answeredWhenDone).arg(blocks)));
    QCOMPARE(rig.sim.acksSent(), blocks);
    CHECKED(settle(rig));

    const QList<QByteArray> wire = rig.fromLink();
    QCOMPARE(wire.size(), blocks);
    // A block may leave only after the device answered the one before.
    for (int i = 1; i < blocks; ++i) {
        QVERIFY2(answeredAtArrival.at(i) >= i,
                 qPrintable(QStringLiteral("block %1 arrived after %2 answers").arg(i).arg(answeredAtArrival.at(i))));
    }
    QCOMPARE(acks.count(), blocks);

    QCOMPARE(rig.sim.images().size(), 1);
    const DeviceSim::ImageReport report = rig.sim.images().first();
    QVERIFY2(report.clean(), qPrintable(report.summary()));
    QVERIFY(report.data == image);
    QVERIFY(report.checksumGood);
}

void TestLink::surplusAnswers_data()
{
    QTest::addColumn<int>("blocks");
    QTest::addColumn<int>("copyDelayMs");
    QTest::addColumn<bool>("endAnswered");
    QTest::addColumn<int>("onlyBlock");  // the one block whose answer is copied; 0: every one

    // Both copies in one read: the second is read before the next block left.
    QTest::newRow("copy at once, 100 blocks") << 100 << 0 << true << 0;
    // Read with the real answer, the one copy must not count for the next
    // block, which has not left yet: that block would never reach the device.
    QTest::newRow("one copy at once, block 3") << 6 << 0 << true << 3;
    // A late copy of an earlier answer would otherwise stand in for the
    // answer the device never gave to the last block.
    QTest::newRow("copy 3 ms later, last unanswered") << 3 << 3 << false << 0;
    QTest::newRow("copy 20 ms later, last unanswered") << 20 << 20 << false << 0;
    QTest::newRow("copy 50 ms later, last unanswered") << 5 << 50 << false << 0;
    QTest::newRow("copy 50 ms later, two blocks, last unanswered") << 2 << 50 << false << 0;
    QTest::newRow("copy 30 ms later, all answered") << 5 << 30 << true << 0;
    QTest::newRow("copy 10 ms later, one block") << 1 << 10 << true << 0;
}

void TestLink::surplusAnswers()
{
    QFETCH(int, blocks);
    QFETCH(int, copyDelayMs);
    QFETCH(bool, endAnswered);
    QFETCH(int, onlyBlock);

    Rig rig;
    const QByteArray image = pseudoImage((blocks - 1) * 1400 + 900);
    const QString path = rig.writeFile(QStringLiteral("image.bin"), image);
    QVERIFY(!path.isEmpty());
    CHECKED(connectRig(rig));
    DeviceSim::Faults faults;
    faults.duplicateAcks = onlyBlock == 0;
    faults.duplicateAckOf = onlyBlock;
    faults.duplicateDelayMs = copyDelayMs;
    faults.unansweredEnd = !endAnswered;
    rig.sim.setFaults(faults);
    rig.link.setTimeouts({10s, 5s, 5s, kQuiet, 1s});

    rig.send(path, 2);
    QVERIFY(rig.waitDone(20000));
    const udpUpdater::Result result = rig.link.lastResult();
    QVERIFY(!rig.task.result());
    QCOMPARE(outcomeName(result.outcome), outcomeName(udpUpdater::Outcome::AnsweredTwice));
    QCOMPARE(result.fileNumber, 2);

    // No block leaves once the surplus is seen: with more than one block it
    // is seen before the last one goes, so the device never has the image.
    rig.sim.setFaults({});
    CHECKED(settle(rig));
    const QList<QByteArray> wire = rig.fromLink();
    QVERIFY2(wire.size() <= blocks, qPrintable(QString::number(wire.size())));
    if (blocks > 1) {
        QVERIFY2(wire.size() < blocks, qPrintable(QString::number(wire.size())));
        for (const QByteArray &datagram : wire)
            QVERIFY(datagram.size() < 5 || quint8(datagram.at(4)) != WFS_END);
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
    QVERIFY(!QTest::qWaitFor([&] { return rig.task.isFinished(); }, 1000));
    QVERIFY(rig.link._waitingForAck);
    QVERIFY(acks.isEmpty());

    device.writeDatagram(command(MT_ERASE), kLocal, udpUpdater::kAckPort);
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 5000);
    QVERIFY2(rig.task.result(), qPrintable(outcomeName(rig.link.lastResult().outcome)));
    QCOMPARE(acks.count(), 1);
    QCOMPARE(acks.at(0).at(0).value<message_types>(), MT_ERASE);
}

void TestLink::abortEndsAWaitAtOnce_data()
{
    QTest::addColumn<bool>("transfer");
    QTest::newRow("erase") << false;
    QTest::newRow("transfer") << true;
}

void TestLink::abortEndsAWaitAtOnce()
{
    QFETCH(bool, transfer);

    Rig rig;
    const QString path = rig.writeFile(QStringLiteral("image.bin"), pseudoImage(3000));
    QVERIFY(!path.isEmpty());
    CHECKED(connectRig(rig));
    rig.sim.setSilent(true);
    rig.link.setTimeouts({60s, 60s, 60s, kQuiet, 1s});

    if (transfer)
        rig.send(path, 3);
    else
        rig.erase();
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.receivedCount(), 1, 5000);
    QVERIFY(!rig.task.isFinished());

    QElapsedTimer clock;
    clock.start();
    rig.link.abort();
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 10000);
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QStringLiteral("took %1 ms").arg(clock.elapsed())));
    QVERIFY(!rig.task.result());
    QCOMPARE(outcomeName(rig.link.lastResult().outcome), outcomeName(udpUpdater::Outcome::Aborted));
    if (transfer)
        QCOMPARE(rig.link.lastResult().blockIndex, 0u);

    // Sticky: whatever comes later ends at once and sends nothing, even with
    // the device answering again.
    rig.sim.setSilent(false);
    clock.restart();
    rig.send(path, 1);
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 10000);
    QVERIFY(!rig.task.result());
    QCOMPARE(outcomeName(rig.link.lastResult().outcome), outcomeName(udpUpdater::Outcome::Aborted));
    rig.erase();
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 10000);
    QVERIFY(!rig.task.result());
    QCOMPARE(outcomeName(rig.link.lastResult().outcome), outcomeName(udpUpdater::Outcome::Aborted));
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QStringLiteral("took %1 ms").arg(clock.elapsed())));
    CHECKED(settle(rig));
    QCOMPARE(rig.fromLink().size(), 1);
}

void TestLink::setupFailures()
{
    Rig rig;
    QVERIFY2(rig.sim.start(kDevice), qPrintable(rig.sim.errorString()));

    {
        QUdpSocket holder;
        QVERIFY2(holder.bind(QHostAddress::AnyIPv4, udpUpdater::kAckPort, QAbstractSocket::DontShareAddress),
                 qPrintable(holder.errorString()));
        QVERIFY(!rig.link.initialise(kDevice, kLocal));
        QVERIFY2(rig.link.errorString().contains(QLatin1String("1246")), qPrintable(rig.link.errorString()));
    }
    {
        QUdpSocket holder;
        QVERIFY2(holder.bind(kLocal, udpUpdater::kDevicePort, QAbstractSocket::DontShareAddress),
                 qPrintable(holder.errorString()));
        QVERIFY(!rig.link.initialise(kDevice, kLocal));
        QVERIFY2(rig.link.errorString().contains(QLatin1String("1235")), qPrintable(rig.link.errorString()));
    }

    const QList<QPair<QHostAddress, QHostAddress>> notIPv4 = {
        {QHostAddress(QStringLiteral("::1")), kLocal},
        {QHostAddress(), kLocal},
        {kDevice, QHostAddress(QStringLiteral("::1"))},
        {kDevice, QHostAddress()},
    };
    for (const auto &[target, local] : notIPv4) {
        QVERIFY2(!rig.link.initialise(target, local), qPrintable(target.toString() + " / " + local.toString()));
        QVERIFY(!rig.link.errorString().isEmpty());
    }

    CHECKED(settle(rig));
    QCOMPARE(rig.fromLink(), QList<QByteArray>{});

    // Once the ports are free again, the same link connects.
    QSignalSpy acks(&rig.link, &udpUpdater::acknowledged);
    QVERIFY2(rig.link.initialise(kDevice, kLocal), qPrintable(rig.link.errorString()));
    QVERIFY(rig.link.errorString().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(acks.count(), 1, 5000);
    QCOMPARE(rig.sim.received().constLast(), QByteArray::fromHex("a55a0f"));

    // A "Connect" whose bind fails leaves no device to talk to, even after
    // one that worked: nothing may leave from some other port.
    {
        QUdpSocket holder;
        QVERIFY2(holder.bind(QHostAddress(QStringLiteral("127.0.0.4")), udpUpdater::kDevicePort,
                             QAbstractSocket::DontShareAddress),
                 qPrintable(holder.errorString()));
        QVERIFY(!rig.link.initialise(kDevice, QHostAddress(QStringLiteral("127.0.0.4"))));
    }
    rig.sim.clear();
    rig.erase();
    QTRY_VERIFY_WITH_TIMEOUT(rig.task.isFinished(), 5000);
    QCOMPARE(outcomeName(rig.link.lastResult().outcome), outcomeName(udpUpdater::Outcome::NotConnected));
    CHECKED(settle(rig));
    QCOMPARE(rig.fromLink(), QList<QByteArray>{});
}

PRIVATE_NETWORK_TEST_MAIN(TestLink)
#include "tst_link.moc"
