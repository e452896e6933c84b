// The engine updating many devices at once from one transport: each device
// on its own, one failing never stops the others, and answers count only for
// the device whose address sent them.

#include "devicesim.h"
#include "fleetupdate.h"
#include "privatenetwork.h"
#include "testsupport.h"
#include "transport.h"

#include <QCoreApplication>
#include <QtTest>

#include <memory>
#include <vector>

using namespace std::chrono_literals;

namespace {

using namespace testsupport;

QHostAddress deviceNumber(int n)
{
    return QHostAddress(QStringLiteral("127.0.0.%1").arg(10 + n));
}

struct Fleet {
    std::vector<std::unique_ptr<DeviceSim>> sims;
    Transport transport;
    QList<QByteArray> images{pseudoImage(5 * 1400 + 10, 1), pseudoImage(3 * 1400, 2), pseudoImage(700, 3)};

    bool start(int count)
    {
        for (int n = 0; n < count; ++n) {
            auto sim = std::make_unique<DeviceSim>();
            if (!sim->start(deviceNumber(n)))
                return false;
            sims.push_back(std::move(sim));
        }
        return transport.openAnswerPort() && transport.openAdapter(pcAddress());
    }
    FleetUpdate::Options options(FleetUpdate::Mode mode, int parallel) const
    {
        FleetUpdate::Options o;
        o.mode = mode;
        o.adapter = pcAddress();
        o.parallel = parallel;
        o.images = images;
        o.timeouts = {5s, 1s, 2s};
        o.connectTimeout = 2s;
        o.eraseToTransfer = 50ms;
        for (int n = 0; n < int(sims.size()); ++n)
            o.devices << deviceNumber(n);
        return o;
    }
};

} // namespace

class tst_Fleet : public QObject
{
    Q_OBJECT

private slots:
    void tenDevicesTwoFailing();
    void parallelLimitAndModes();
    void strangersCountForNobody();
};

void tst_Fleet::tenDevicesTwoFailing()
{
    Fleet fleet;
    QVERIFY2(fleet.start(10), qPrintable(fleet.transport.errorString()));
    // Datagrams 1 connect, 2 erase, 3.. the blocks of image 1.
    DeviceSim::Faults silentAfterErase;
    silentAfterErase.silentAfter = 2;
    fleet.sims[3]->setFaults(silentAfterErase);
    DeviceSim::Faults refusesABlock;
    refusesABlock.wrongTypeAt = 5;
    fleet.sims[7]->setFaults(refusesABlock);

    FleetUpdate update(&fleet.transport);
    QMap<QString, OperationResult> results;
    QMap<QString, QList<int>> imagesDone;
    connect(&update, &FleetUpdate::deviceDone, this, [&](const QHostAddress &device, const OperationResult &result) {
        results.insert(device.toString(), result);
    });
    connect(&update, &FleetUpdate::imageDone, this,
            [&](const QHostAddress &device, const OperationResult &result) {
                imagesDone[device.toString()] << result.fileNumber;
            });
    bool finished = false;
    connect(&update, &FleetUpdate::finished, this, [&] { finished = true; });
    update.start(fleet.options(FleetUpdate::Mode::Update, 10));
    QVERIFY(runLoopUntil([&] { return finished; }, 30000));

    QCOMPARE(results.size(), 10);
    for (int n = 0; n < 10; ++n) {
        const QString device = deviceNumber(n).toString();
        const OperationResult result = results.value(device);
        const QList<DeviceSim::ImageReport> received = fleet.sims[size_t(n)]->images();
        if (n == 3) {
            QCOMPARE(enumName(result.outcome), enumName(OperationResult::Outcome::NoAnswer));
            QCOMPARE(result.fileNumber, 1);
            QCOMPARE(result.blockIndex, 0u);
            QVERIFY(imagesDone.value(device).isEmpty());
            continue;
        }
        if (n == 7) {
            QCOMPARE(enumName(result.outcome), enumName(OperationResult::Outcome::Refused));
            QCOMPARE(result.fileNumber, 1);
            QCOMPARE(result.blockIndex, 2u);
            continue;
        }
        QVERIFY2(result.ok(), qPrintable(device + QLatin1Char(' ') + enumName(result.outcome)));
        QCOMPARE(imagesDone.value(device), (QList<int>{1, 2, 3}));
        QCOMPARE(fleet.sims[size_t(n)]->eraseCount(), 1);
        QCOMPARE(received.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QVERIFY2(received[i].clean(), qPrintable(device + QLatin1Char(' ') + received[i].summary()));
            QCOMPARE(received[i].imageNumber, i + 1);
            QVERIFY(received[i].data == fleet.images[i]);
        }
    }
}

void tst_Fleet::parallelLimitAndModes()
{
    Fleet fleet;
    QVERIFY2(fleet.start(6), qPrintable(fleet.transport.errorString()));
    DeviceSim::Faults slow;
    slow.ackDelayMs = 2;
    for (const auto &sim : fleet.sims)
        sim->setFaults(slow);

    // No more than `parallel` devices at a time, and every one done.
    FleetUpdate update(&fleet.transport);
    int active = 0;
    int most = 0;
    int done = 0;
    connect(&update, &FleetUpdate::connected, this, [&] { most = qMax(most, ++active); });
    connect(&update, &FleetUpdate::deviceDone, this, [&] {
        --active;
        ++done;
    });
    update.start(fleet.options(FleetUpdate::Mode::Update, 2));
    QVERIFY(runLoopUntil([&] { return !update.isRunning(); }, 60000));
    QCOMPARE(done, 6);
    QCOMPARE(most, 2);
    for (const FleetUpdate::DeviceReport &report : update.reports())
        QVERIFY2(report.ok(), qPrintable(report.device.toString()));

    // Check: a connect, and nothing erased or sent.
    for (const auto &sim : fleet.sims)
        sim->clear();
    update.start(fleet.options(FleetUpdate::Mode::Check, 8));
    QVERIFY(runLoopUntil([&] { return !update.isRunning(); }, 10000));
    for (const auto &sim : fleet.sims) {
        QCOMPARE(sim->received(), QList<QByteArray>{QByteArray::fromHex("a55a0f")});
    }

    // One image under its number, with no erase.
    for (const auto &sim : fleet.sims)
        sim->clear();
    FleetUpdate::Options one = fleet.options(FleetUpdate::Mode::SendOne, 8);
    one.images = {fleet.images[2]};
    one.sendNumber = 2;
    update.start(one);
    QVERIFY(runLoopUntil([&] { return !update.isRunning(); }, 10000));
    for (const auto &sim : fleet.sims) {
        QCOMPARE(sim->eraseCount(), 0);
        QCOMPARE(sim->images().size(), 1);
        QCOMPARE(sim->images().first().imageNumber, 2);
        QVERIFY(sim->images().first().data == fleet.images[2]);
    }

    // Aborted mid-way: every device still reports, none as a success.
    for (const auto &sim : fleet.sims) {
        sim->clear();
        DeviceSim::Faults slower;
        slower.ackDelayMs = 30;
        sim->setFaults(slower);
    }
    done = 0;
    QList<OperationResult> ended;
    connect(&update, &FleetUpdate::deviceDone, this,
            [&](const QHostAddress &, const OperationResult &result) { ended << result; });
    update.start(fleet.options(FleetUpdate::Mode::Update, 3));
    QVERIFY(runLoopUntil([&] { return fleet.sims[0]->images().size() >= 1; }, 10000));
    update.abort();
    QVERIFY(runLoopUntil([&] { return !update.isRunning(); }, 5000));
    QCOMPARE(ended.size(), 6);
    for (const OperationResult &result : ended)
        QCOMPARE(enumName(result.outcome), enumName(OperationResult::Outcome::Aborted));
}

void tst_Fleet::strangersCountForNobody()
{
    Fleet fleet;
    QVERIFY2(fleet.start(2), qPrintable(fleet.transport.errorString()));
    // Device 0 never answers; device 1 answers late.
    fleet.sims[0]->setSilent(true);
    DeviceSim::Faults late;
    late.ackDelayMs = 300;
    fleet.sims[1]->setFaults(late);

    FleetUpdate update(&fleet.transport);
    QMap<QString, OperationResult> results;
    connect(&update, &FleetUpdate::deviceDone, this, [&](const QHostAddress &device, const OperationResult &result) {
        results.insert(device.toString(), result);
    });
    FleetUpdate::Options options = fleet.options(FleetUpdate::Mode::EraseOnly, 2);
    options.connectTimeout = 1500ms;
    update.start(options);

    // Every answer either device could be waiting for, from hosts that are
    // not in the run, and from device 1's address to the wrong step.
    QUdpSocket stranger;
    QVERIFY(stranger.bind(QHostAddress(QStringLiteral("127.0.0.99")), 0));
    QVERIFY(runLoopUntil([&] { return fleet.sims[0]->receivedCount() == 1 && fleet.sims[1]->receivedCount() == 1; },
                         5000));
    for (const char *hex : {"a55a0f", "a55af0", "a55aff", "a55a55"})
        stranger.writeDatagram(QByteArray::fromHex(hex), pcAddress(), kAckPort);

    QVERIFY(runLoopUntil([&] { return !update.isRunning(); }, 10000));
    QCOMPARE(enumName(results.value(deviceNumber(0).toString()).outcome),
             enumName(OperationResult::Outcome::NoAnswer));
    QCOMPARE(results.value(deviceNumber(0).toString()).operation, OperationResult::Operation::Connect);
    QVERIFY(results.value(deviceNumber(1).toString()).ok());
    QCOMPARE(fleet.sims[1]->eraseCount(), 1);
    QCOMPARE(fleet.sims[0]->eraseCount(), 0);
}

PRIVATE_NETWORK_TEST_MAIN(tst_Fleet)
#include "tst_fleet.moc"
