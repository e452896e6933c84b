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

Q_DECLARE_METATYPE(DeviceSim::Faults)
Q_DECLARE_METATYPE(OperationResult::Outcome)
Q_DECLARE_METATYPE(FleetUpdate::Erasure)

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
    int first = 0;  // number of the first device, so that two fleets can share a transport

    bool start(int count, bool openTransport = true)
    {
        for (int n = first; n < first + count; ++n) {
            auto sim = std::make_unique<DeviceSim>();
            if (!sim->start(deviceNumber(n)))
                return false;
            sims.push_back(std::move(sim));
        }
        return !openTransport || (transport.openAnswerPort() && transport.openAdapter(pcAddress()));
    }
    // Each device forgets what it received and behaves as told.
    void reset(const DeviceSim::Faults &faults = {})
    {
        for (const auto &sim : sims) {
            sim->clear();
            sim->setFaults(faults);
        }
    }
    // Quiet spells shortened: these tests are not about them.
    FleetUpdate::Options options(FleetUpdate::Mode mode, int parallel) const
    {
        FleetUpdate::Options o;
        o.mode = mode;
        o.adapter = pcAddress();
        o.parallel = parallel;
        o.images = images;
        o.timeouts = {5s, 1s, 2s, 50ms, 1s};
        o.connectTimeout = 2s;
        o.eraseToTransfer = 50ms;
        for (int n = first; n < first + int(sims.size()); ++n)
            o.devices << deviceNumber(n);
        return o;
    }
};

} // namespace

class tst_Fleet : public QObject
{
    Q_OBJECT

private slots:
    void tenDevicesSomeFailing();
    void parallelLimitAndModes();
    void strangersCountForNobody();
    void lateCopiesNeverStandInForAnswers();
    void retries_data();
    void retries();
};

void tst_Fleet::tenDevicesSomeFailing()
{
    // Datagrams 1 connect, 2 erase, 3-8 image 1, 9-11 image 2, 12 image 3
    // (a single block). Each failing device fails its own way; the others
    // are updated all the same.
    using Outcome = OperationResult::Outcome;
    struct Device {
        DeviceSim::Faults faults;
        Outcome outcome;
        int fileNumber;  // where it stopped
        int erases;
    };
    DeviceSim::Faults silentAfterErase;
    silentAfterErase.silentAfter = 2;
    DeviceSim::Faults refusesABlock;
    refusesABlock.wrongTypeAt = 5;
    // Every answer twice: caught by the quiet spell before the erase.
    DeviceSim::Faults doubling;
    doubling.duplicateAcks = true;
    doubling.duplicateDelayMs = 30;
    // The erase's answer twice: the copy comes in the pause after it.
    DeviceSim::Faults erasedTwice;
    erasedTwice.duplicateAckOf = 2;
    erasedTwice.duplicateDelayMs = 20;
    // Image 2's last answer copied 150 ms later, where image 3's only block
    // would wait for the answer the device never gives it.
    DeviceSim::Faults lateCopy;
    lateCopy.duplicateAckOf = 11;
    lateCopy.duplicateDelayMs = 150;
    lateCopy.dropAckOf = 12;
    const Device ok{{}, Outcome::Success, 3, 1};
    const Device devices[] = {ok,
                              ok,
                              {silentAfterErase, Outcome::NoAnswer, 1, 1},
                              ok,
                              {refusesABlock, Outcome::Refused, 1, 1},
                              {doubling, Outcome::AnsweredTwice, 0, 0},
                              {erasedTwice, Outcome::AnsweredTwice, 1, 1},
                              {lateCopy, Outcome::AnsweredTwice, 3, 1},
                              ok,
                              ok};
    const int count = int(std::size(devices));
    Fleet fleet;
    QVERIFY2(fleet.start(count), qPrintable(fleet.transport.errorString()));
    for (int n = 0; n < count; ++n)
        fleet.sims[size_t(n)]->setFaults(devices[n].faults);

    FleetUpdate update(&fleet.transport);
    QMap<QString, QList<int>> imagesDone;
    connect(&update, &FleetUpdate::imageDone, this,
            [&](const QHostAddress &device, const OperationResult &result) {
                imagesDone[device.toString()] << result.fileNumber;
            });
    FleetUpdate::Options options = fleet.options(FleetUpdate::Mode::Update, count);
    // Spells of 100 ms: the copy at 150 ms falls between the two around image 3.
    options.timeouts.quietMin = 100ms;
    update.start(options);
    QVERIFY(runLoopUntil([&] { return !update.isRunning(); }, 30000));

    const QList<FleetUpdate::DeviceReport> reports = update.reports();
    QCOMPARE(reports.size(), count);
    for (int n = 0; n < count; ++n) {
        const FleetUpdate::DeviceReport &report = reports.at(n);
        const QString device = report.device.toString();
        const DeviceSim &sim = *fleet.sims[size_t(n)];
        QVERIFY2(report.done, qPrintable(device));
        QCOMPARE(enumName(report.result.outcome), enumName(devices[n].outcome));
        QCOMPARE(sim.eraseCount(), devices[n].erases);
        if (devices[n].outcome != Outcome::Success) {
            QCOMPARE(report.result.fileNumber, devices[n].fileNumber);
            // No image after a failure, nor the one it failed in, counts as sent.
            QVERIFY2(imagesDone.value(device).size() < qMax(1, devices[n].fileNumber), qPrintable(device));
            continue;
        }
        QCOMPARE(imagesDone.value(device), (QList<int>{1, 2, 3}));
        const QList<DeviceSim::ImageReport> received = sim.images();
        QCOMPARE(received.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QVERIFY2(received[i].clean(), qPrintable(device + QLatin1Char(' ') + received[i].summary()));
            QCOMPARE(received[i].imageNumber, i + 1);
            QVERIFY(received[i].data == fleet.images[i]);
        }
    }
    QCOMPARE(reports.at(4).result.blockIndex, 2u);
}

void tst_Fleet::parallelLimitAndModes()
{
    Fleet fleet;
    QVERIFY2(fleet.start(6), qPrintable(fleet.transport.errorString()));
    DeviceSim::Faults slow;
    slow.ackDelayMs = 2;
    fleet.reset(slow);

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

    // Check and one-image modes: tst_cli, end to end.
    // Aborted mid-way: every device still reports, none as a success.
    slow.ackDelayMs = 30;
    fleet.reset(slow);
    done = 0;
    QList<OperationResult> ended;
    connect(&update, &FleetUpdate::deviceDone, this,
            [&](const QHostAddress &, const OperationResult &result) { ended << result; });
    update.start(fleet.options(FleetUpdate::Mode::Update, 3));
    QVERIFY(runLoopUntil([&] { return fleet.sims[0]->images().size() >= 1; }, 10000));
    // Stop ends every wait there and then: no device waits for its answer.
    update.abort();
    QVERIFY(!update.isRunning());
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
    late.ackDelayMs = 150;
    fleet.sims[1]->setFaults(late);

    FleetUpdate update(&fleet.transport);
    QMap<QString, OperationResult> results;
    connect(&update, &FleetUpdate::deviceDone, this, [&](const QHostAddress &device, const OperationResult &result) {
        results.insert(device.toString(), result);
    });
    FleetUpdate::Options options = fleet.options(FleetUpdate::Mode::EraseOnly, 2);
    options.connectTimeout = 700ms;
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

void tst_Fleet::lateCopiesNeverStandInForAnswers()
{
    // Each device copies the answer to every image's last block D ms later
    // and never answers image 2's last block: the copy must not pass for
    // that answer. At the programs' own quiet spells, one-block and
    // four-block images side by side, every device at once. Honest devices
    // with jittery answers still get their update.
    struct Device {
        const char *name;
        int copyMs;  // 0: an honest device
    };
    const Device devices[] = {
        {"copy 250 ms later", 250}, {"copy 800 ms later", 800}, {"copy 1900 ms later", 1900}, {"honest, jittery", 0}};
    const int count = int(std::size(devices));

    Fleet one;
    one.images = {pseudoImage(700, 11), pseudoImage(1000, 12), pseudoImage(1399, 13)};
    QVERIFY2(one.start(count), qPrintable(one.transport.errorString()));
    Fleet four;
    four.first = count;
    four.images = {pseudoImage(3 * 1400 + 500, 21), pseudoImage(4 * 1400, 22), pseudoImage(3 * 1400 + 1, 23)};
    QVERIFY(four.start(count, false));

    // Datagrams 1 connect, 2 erase, then the images' blocks: image 2's last
    // block is datagram 4 of the one-block fleet, 10 of the four-block one.
    // The honest devices' spikes fall on image 2's only block (a last block:
    // no longer spells) and on a middle block of image 3 (spells of 4 s).
    for (Fleet *fleet : {&one, &four}) {
        const bool single = fleet == &one;
        for (int i = 0; i < count; ++i) {
            DeviceSim::Faults faults;
            faults.ackDelayMs = 5;
            if (devices[i].copyMs > 0) {
                faults.duplicateLastAcks = true;
                faults.duplicateDelayMs = devices[i].copyMs;
                faults.dropAckOf = single ? 4 : 10;
            } else {
                faults.jitterMs = 60;
                faults.spikeEvery = single ? 4 : 12;
                faults.spikeMs = 400;
            }
            fleet->sims[size_t(i)]->setFaults(faults);
        }
    }

    FleetUpdate updateOne(&one.transport);
    FleetUpdate updateFour(&one.transport);
    QMap<QString, QList<OperationResult>> done;
    for (FleetUpdate *update : {&updateOne, &updateFour}) {
        connect(update, &FleetUpdate::imageDone, this, [&](const QHostAddress &device, const OperationResult &result) {
            done[device.toString()] << result;
        });
    }
    // The programs' quiet spells; only the waits for a missing answer are cut.
    for (const auto &[update, fleet] : {std::pair{&updateOne, &one}, std::pair{&updateFour, &four}}) {
        FleetUpdate::Options options = fleet->options(FleetUpdate::Mode::Update, count);
        options.timeouts = DeviceSession::Timeouts();
        options.timeouts.block = options.timeouts.lastBlock = 5s;
        options.eraseToTransfer = FleetUpdate::Options().eraseToTransfer;
        update->start(options);
    }
    QVERIFY(runLoopUntil([&] { return !updateOne.isRunning() && !updateFour.isRunning(); }, 60000));

    for (const Fleet *fleet : {&one, &four}) {
        const QList<FleetUpdate::DeviceReport> reports = (fleet == &one ? updateOne : updateFour).reports();
        for (int i = 0; i < count; ++i) {
            const FleetUpdate::DeviceReport &report = reports.at(i);
            const QString name = QStringLiteral("%1 (%2): ").arg(QLatin1String(devices[i].name), report.device.toString());
            const QList<DeviceSim::ImageReport> received = fleet->sims[size_t(i)]->images();
            const QList<OperationResult> images = done.value(report.device.toString());
            if (devices[i].copyMs > 0) {
                QVERIFY2(!report.ok(), qPrintable(name + QStringLiteral("reported as updated")));
                QCOMPARE(enumName(report.result.outcome), enumName(OperationResult::Outcome::AnsweredTwice));
                // Image 1 at most counts as sent (when the copy came after
                // its spell), and image 2's last block never left.
                QVERIFY2(images.size() <= 1, qPrintable(name + QString::number(images.size())));
                QVERIFY2(received.size() <= 2 && (received.size() < 2 || !received.at(1).complete),
                         qPrintable(name + QString::number(received.size())));
                continue;
            }
            QVERIFY2(report.ok(), qPrintable(name + enumName(report.result.outcome)));
            QCOMPARE(received.size(), 3);
            for (int n = 0; n < 3; ++n)
                QVERIFY2(received.at(n).data == fleet->images.at(n), qPrintable(name + received.at(n).summary()));
            // Two spells an image: the shortest while the answers are quick,
            // ten times the spike once a middle block had one.
            QCOMPARE(images.size(), 3);
            for (int n = 0; n < 3; ++n) {
                const qint64 quiet = images.at(n).quietTime.count();
                const bool spiked = fleet == &four && n == 2;
                const qint64 least = spiked ? 8000 : 2000;
                QVERIFY2(quiet >= least && quiet < least + (spiked ? 1600 : 500),
                         qPrintable(name + QStringLiteral("image %1 quiet for %2 ms").arg(n + 1).arg(quiet)));
            }
        }
    }
}

void tst_Fleet::retries_data()
{
    // Datagrams as in tenDevicesSomeFailing; with `once` the faults end at
    // the device's second connect.
    using Outcome = OperationResult::Outcome;
    using Erasure = FleetUpdate::Erasure;
    QTest::addColumn<DeviceSim::Faults>("faults");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<int>("retries");
    QTest::addColumn<bool>("abortInPause");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QStringList>("failures");  // of the attempts before the last
    QTest::addColumn<Erasure>("erasure");
    QTest::addColumn<int>("erases");

    DeviceSim::Faults f;
    f.dropAckOf = 5;
    f.once = true;
    QTest::newRow("a block unanswered once: updated by the second") << f << false << 2 << false << Outcome::Success
                                                                    << QStringList{"NoAnswer"} << Erasure::Yes << 2;
    f = {};
    f.once = true;
    QTest::newRow("silent at first, then answering") << f << true << 1 << false << Outcome::Success
                                                     << QStringList{"NoAnswer"} << Erasure::Yes << 1;
    f = {};
    f.duplicateAcks = true;
    QTest::newRow("every answer twice: failed twice, never erased") << f << false << 1 << false << Outcome::AnsweredTwice
                                                                    << QStringList{"AnsweredTwice"} << Erasure::No << 0;
    // The second attempt gets no answer to its connect; the first erased it.
    f = {};
    f.silentAfter = 4;
    QTest::newRow("silent after the erase: still erased") << f << false << 1 << false << Outcome::NoAnswer
                                                          << QStringList{"NoAnswer"} << Erasure::Yes << 1;
    // Block 3's answer comes 1.6 s late: after the block's wait and the
    // retry pause, in the second attempt's pause after its erase.
    f = {};
    f.spikeEvery = 5;
    f.spikeMs = 1600;
    f.once = true;
    QTest::newRow("a late answer fails the next attempt, never helps it")
        << f << false << 2 << false << Outcome::Success << QStringList{"NoAnswer", "AnsweredTwice"} << Erasure::Yes
        << 3;
    f = {};
    f.dropAckOf = 5;
    QTest::newRow("stopped in the retry pause") << f << false << 1 << true << Outcome::Aborted
                                                << QStringList{"NoAnswer"} << Erasure::Yes << 1;
}

void tst_Fleet::retries()
{
    QFETCH(DeviceSim::Faults, faults);
    QFETCH(bool, silent);
    QFETCH(int, retries);
    QFETCH(bool, abortInPause);
    QFETCH(OperationResult::Outcome, outcome);
    QFETCH(QStringList, failures);
    QFETCH(FleetUpdate::Erasure, erasure);
    QFETCH(int, erases);

    // A behaving device beside it: its one attempt is not held up.
    Fleet fleet;
    QVERIFY2(fleet.start(2), qPrintable(fleet.transport.errorString()));
    DeviceSim &sim = *fleet.sims[0];
    sim.setFaults(faults);
    sim.setSilent(silent);

    FleetUpdate update(&fleet.transport);
    QStringList failed;
    QList<int> attempts;
    connect(&update, &FleetUpdate::attempt, this, [&](const QHostAddress &device, int number) {
        if (device == deviceNumber(0))
            attempts << number;
    });
    connect(&update, &FleetUpdate::attemptFailed, this,
            [&](const QHostAddress &device, int number, const OperationResult &result) {
                QCOMPARE(device, deviceNumber(0));
                QCOMPARE(number, int(failed.size()) + 1);
                failed << enumName(result.outcome);
            });
    FleetUpdate::Options options = fleet.options(FleetUpdate::Mode::Update, 2);
    options.connectTimeout = 700ms;
    options.retries = retries;
    options.retryPause = abortInPause ? 30s : 100ms;
    // Room for the late answer to land in, between the erase and image 1.
    if (faults.spikeMs > 0)
        options.eraseToTransfer = 1s;
    update.start(options);
    if (abortInPause) {
        QVERIFY(runLoopUntil([&] { return !failed.isEmpty(); }, 10000));
        update.abort();
        QVERIFY(!update.isRunning());
    }
    QVERIFY(runLoopUntil([&] { return !update.isRunning(); }, 30000));

    const FleetUpdate::DeviceReport report = *update.report(deviceNumber(0));
    QVERIFY(report.done);
    QCOMPARE(enumName(report.result.outcome), enumName(outcome));
    QCOMPARE(failed, failures);
    const int made = int(failures.size()) + (abortInPause ? 0 : 1);
    QCOMPARE(report.attempts, made);
    QCOMPARE(attempts.size(), made);
    QCOMPARE(int(report.erasure), int(erasure));
    QCOMPARE(sim.eraseCount(), erases);
    QVERIFY(report.startedAt.isValid() && report.startedAt <= report.endedAt);
    if (report.ok()) {
        const QList<DeviceSim::ImageReport> received = sim.images();
        QVERIFY(received.size() >= 3);
        for (int i = 0; i < 3; ++i) {
            const DeviceSim::ImageReport &image = received.at(received.size() - 3 + i);
            QVERIFY2(image.clean(), qPrintable(image.summary()));
            QVERIFY(image.data == fleet.images[i]);
        }
    }
    const FleetUpdate::DeviceReport *other = update.report(deviceNumber(1));
    QCOMPARE(other->attempts, 1);
    QVERIFY(other->ok());
}

PRIVATE_NETWORK_TEST_MAIN(tst_Fleet)
#include "tst_fleet.moc"
