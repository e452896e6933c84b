// Whatever arrives on the answer port while an image goes out, from the
// device's address or from anyone else on the LAN: random bytes, near-valid
// answers, unknown types, giant datagrams. The transfer either ends with the
// image byte-identical at the device, or fails with a reason; it never
// reports success for an image the device did not get, and never crashes.

#include "crc.h"
#include "devicesim.h"
#include "privatenetwork.h"
#include "testsupport.h"
#include "udpupdater.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

using namespace testsupport;

// Fixed, so a failure can be replayed.
constexpr quint32 kSeed = 20261208;
constexpr int kDatagrams = 100000;
constexpr int kGiants = 1000;
constexpr int kMaxUdpPayload = 65507;
constexpr int kPerTick = 250;
constexpr int kImageBlocks = 40;

// One datagram of the fuzz: mostly short, some near-valid, a few giants.
QByteArray fuzzDatagram(QRandomGenerator &random, bool giant)
{
    static const QByteArray header = QByteArray::fromHex("a55a");
    if (giant) {
        QByteArray bytes(int(random.bounded(65, kMaxUdpPayload + 1)), Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
        if (random.bounded(2))
            bytes.replace(0, 3, header + char(MT_WRITE));
        return bytes;
    }
    switch (random.bounded(6)) {
    case 0: {  // noise of 0 to 64 bytes
        QByteArray bytes(int(random.bounded(65)), Qt::Uninitialized);
        for (char &c : bytes)
            c = char(random.bounded(256));
        return bytes;
    }
    case 1:  // a header alone, or cut short
        return header.left(int(random.bounded(3)));
    case 2:  // a header with any type, sometimes trailing bytes
        return header + char(random.bounded(256))
             + QByteArray(int(random.bounded(3) == 0 ? random.bounded(61) : 0), char(random.bounded(256)));
    case 3: {  // one of the known answers, sometimes with trailing bytes
        static const char types[] = {char(MT_READ), char(MT_INIT), char(MT_ERASE), char(MT_WRITE)};
        QByteArray bytes = header + types[random.bounded(4)];
        if (random.bounded(2))
            bytes += QByteArray(int(random.bounded(1, 62)), char(random.bounded(256)));
        return bytes;
    }
    case 4: {  // the header bytes swapped or off by one
        QByteArray bytes = QByteArray::fromHex("5aa5ff");
        bytes[int(random.bounded(3))] = char(random.bounded(256));
        return bytes;
    }
    default:  // a write block echoed back at us
        return header + char(MT_WRITE) + QByteArray(int(random.bounded(5, 61)), char(random.bounded(256)));
    }
}

} // namespace

class tst_HostileInput : public QObject
{
    Q_OBJECT

private slots:
    void fuzzDuringTransfers();
};

void tst_HostileInput::fuzzDuringTransfers()
{
    DeviceSim sim;
    // The suite's own network namespace: the fixed ports are free.
    QVERIFY2(sim.start(deviceAddress()), qPrintable(sim.errorString()));
    udpUpdater link(nullptr);
    QVERIFY2(link.initialise(deviceAddress(), pcAddress()), qPrintable(link.errorString()));
    QVERIFY(runLoopUntil([&] { return sim.acksSent() == 1; }, 5000));
    link.setTimeouts({5s, 2s, 2s, 50ms, 1s});

    // From the device's own address (another port, the sim keeps 1235) and
    // from two other hosts.
    QUdpSocket fromDevice, fromStranger, fromNeighbour;
    QVERIFY2(fromDevice.bind(deviceAddress(), 0), qPrintable(fromDevice.errorString()));
    QVERIFY2(fromStranger.bind(otherAddress(), 0), qPrintable(fromStranger.errorString()));
    QVERIFY2(fromNeighbour.bind(QHostAddress(QStringLiteral("127.0.0.5")), 0), qPrintable(fromNeighbour.errorString()));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QRandomGenerator random(kSeed);
    int sent = 0;
    int giantsSent = 0;
    int round = 0;
    QMap<QString, int> outcomes;
    // Bounded by the datagrams to send, and by time.
    QElapsedTimer clock;
    clock.start();
    while (sent < kDatagrams && clock.elapsed() < 240000) {
        ++round;
        const QByteArray image = pseudoImage((kImageBlocks - 1) * 1400 + 700, quint32(round));
        const QString path = dir.filePath(QStringLiteral("image%1.bin").arg(round));
        QVERIFY(writeFile(path, image));
        sim.clear();
        // Every third round only others speak: the transfer must get through.
        const bool deviceFuzzed = round % 3 != 0;

        QFuture<bool> task = QtConcurrent::run([&link, path, round] { return link.sendFileToTarget(path, 1 + round % 3); });
        QTimer pump;
        QObject::connect(&pump, &QTimer::timeout, &pump, [&] {
            for (int i = 0; i < kPerTick && sent < kDatagrams; ++i) {
                const bool giant = giantsSent < kGiants && random.bounded(kDatagrams / kGiants) == 0;
                giantsSent += giant ? 1 : 0;
                const QByteArray datagram = fuzzDatagram(random, giant);
                QUdpSocket &from = deviceFuzzed && random.bounded(4) == 0 ? fromDevice
                                 : random.bounded(2) ? fromStranger : fromNeighbour;
                from.writeDatagram(datagram, pcAddress(), kAckPort);
                ++sent;
            }
        });
        pump.start(1);
        const bool finished = runLoopUntil([&] { return task.isFinished(); }, 30000);
        pump.stop();
        // Loopback has delivered everything sent so far; one pass of the
        // loop reads it, so none of it spills into the next round.
        runLoopUntil([] { return false; }, 100);
        if (!finished) {
            link.abort();
            task.waitForFinished();
            QFAIL(qPrintable(QStringLiteral("round %1: the transfer did not end").arg(round)));
        }

        const udpUpdater::Result result = link.lastResult();
        outcomes[enumName(result.outcome)] += 1;
        QCOMPARE(task.result(), result.ok());
        if (!result.ok()) {
            QVERIFY2(result.outcome != udpUpdater::Outcome::Aborted, qPrintable(QString::number(round)));
            QVERIFY2(deviceFuzzed, qPrintable(QStringLiteral("round %1 failed with only strangers speaking: %2")
                                                  .arg(round).arg(enumName(result.outcome))));
            continue;
        }
        // Success: then the device has this very image, whole and checked.
        const QList<DeviceSim::ImageReport> reports = sim.images();
        QVERIFY2(reports.size() == 1, qPrintable(QStringLiteral("round %1: %2 images").arg(round).arg(reports.size())));
        QVERIFY2(reports.first().clean(), qPrintable(reports.first().summary()));
        QVERIFY(reports.first().checksumGood);
        QCOMPARE(reports.first().blocks, kImageBlocks);
        QVERIFY2(reports.first().data == image, qPrintable(QStringLiteral("round %1").arg(round)));
    }
    QCOMPARE(sent, kDatagrams);
    QVERIFY(giantsSent >= kGiants / 2);
    qInfo() << round << "rounds," << sent << "datagrams," << giantsSent << "giants; outcomes:" << outcomes;
    // Both sides of the property were exercised.
    QVERIFY(outcomes.value(QStringLiteral("Success")) > 0);
    QVERIFY(outcomes.size() > 1);
}

PRIVATE_NETWORK_TEST_MAIN(tst_HostileInput)
#include "tst_hostileinput.moc"
