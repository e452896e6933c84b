// The simulated device itself. Every other suite trusts what it reports, so
// here it must be caught out where it could be wrong: an image it calls
// clean that is not, an answer from the wrong address, a fault that reaches
// the wrong device, a delay that is not one. The suite runs in a network
// namespace of its own, so it can bind the fixed ports freely.

#include "crc.h"
#include "devicesim.h"
#include "devicesimfleet.h"
#include "privatenetwork.h"
#include "protocol.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

using namespace testsupport;

// The PC's side of one exchange: each datagram leaves once the one before
// is answered, from ADDRESS:1246, where the answers come back.
class Sender
{
public:
    struct Answer {
        QByteArray bytes;
        QHostAddress from;
        quint16 fromPort = 0;
        double afterMs = 0;  // since its datagram left
    };

    bool bind(const QHostAddress &address)
    {
        if (!_socket.bind(address, kAckPort, QAbstractSocket::DontShareAddress))
            return false;
        QObject::connect(&_socket, &QUdpSocket::readyRead, &_socket, [this] { read(); });
        return true;
    }
    void send(const QHostAddress &device, const QList<QByteArray> &datagrams)
    {
        _device = device;
        _datagrams = datagrams;
        _answers.clear();
        _next = 0;
        sendNext();
    }
    // Holds the last datagram back this long after the answer before it, as
    // the updater's quiet spell before an image's last block does.
    void setPauseBeforeLast(int ms) { _pauseBeforeLastMs = ms; }
    bool done() const { return _answers.size() >= _datagrams.size(); }
    const QList<Answer> &answers() const { return _answers; }

private:
    void sendNext()
    {
        if (_next >= _datagrams.size())
            return;
        _clock.start();
        _socket.writeDatagram(_datagrams.at(_next++), _device, kCommandPort);
    }
    void read()
    {
        while (_socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = _socket.receiveDatagram();
            _answers.append({datagram.data(), datagram.senderAddress(), quint16(datagram.senderPort()),
                             _clock.nsecsElapsed() / 1e6});
        }
        if (_answers.size() != _next)
            return;
        if (_pauseBeforeLastMs > 0 && _next == _datagrams.size() - 1)
            QTimer::singleShot(_pauseBeforeLastMs, &_socket, [this] { sendNext(); });
        else
            sendNext();
    }

    QUdpSocket _socket;
    QHostAddress _device;
    QList<QByteArray> _datagrams;
    QList<Answer> _answers;
    int _next = 0;
    int _pauseBeforeLastMs = 0;
    QElapsedTimer _clock;
};

QList<QByteArray> imageDatagrams(const QByteArray &image, quint8 imageNumber)
{
    const quint32 checksum = crc().crc32(image);
    QList<QByteArray> datagrams;
    for (quint32 i = 0; i < protocol::blockCount(image.size()); ++i)
        datagrams << protocol::writeDatagram(image, imageNumber, i, checksum);
    return datagrams;
}

// Offsets in a write datagram: A5 5A FF, image number, status, length (2), index.
constexpr int kImageNumberAt = 3;
constexpr int kIndexAt = 7;

// Five blocks: START, three MIDs, a short END.
const QByteArray kImage = pseudoImage(4 * protocol::chunkSize + 321, 7);

QHostAddress nth(const QHostAddress &first, int n)
{
    return QHostAddress(first.toIPv4Address() + quint32(n));
}

// One PC per device, each on an address of its own: 127.0.0.11, .12, ...
struct Pcs {
    std::vector<std::unique_ptr<Sender>> senders;

    bool bind(int count)
    {
        for (int i = 0; i < count; ++i) {
            senders.push_back(std::make_unique<Sender>());
            if (!senders.back()->bind(nth(QHostAddress(QStringLiteral("127.0.0.11")), i)))
                return false;
        }
        return true;
    }
    Sender &operator[](int i) { return *senders.at(size_t(i)); }
    bool done() const
    {
        for (const auto &sender : senders) {
            if (!sender->done())
                return false;
        }
        return true;
    }
};

// varnel-devicesim run as a child; it inherits our private network. Its own
// --timeout ends it should the test leave it waiting.
struct Program {
    QProcess process;
    QByteArray out;
    QByteArray err;

    void start(const QStringList &arguments)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                         [this] { err += process.readAllStandardError(); });
        process.start(QStringLiteral(VARNEL_DEVICESIM_PROGRAM), arguments + QStringList{"--timeout", "30"});
    }
    bool listening() { return runLoopUntil([&] { return out.contains("listening on"); }, 10000); }
    bool finished()
    {
        return runLoopUntil([&] { return process.state() == QProcess::NotRunning; }, 35000);
    }
    int exitCode() const
    {
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QString output() const { return QString::fromUtf8(out + err); }
    QStringList lines() const { return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts); }
};

QStringList typesOf(const QList<Sender::Answer> &answers)
{
    QStringList types;
    for (const Sender::Answer &answer : answers)
        types << QString::fromLatin1(answer.bytes.toHex());
    return types;
}

} // namespace

class tst_DeviceSim : public QObject
{
    Q_OBJECT

private slots:
    void imageFlaws_data();
    void imageFlaws();
    void imagesNotKeptStillChecked();
    void lastBlockAfterTheSendersQuietSpell();
    void ackDelay();

    void fleetRange_data();
    void fleetRange();
    void fleetAnswersEachFromItsOwnAddress();
    void faultsReachOnlyTheirTargets_data();
    void faultsReachOnlyTheirTargets();
    void fleetBindFailure();
    void fleetCountsDevicesThrough();

    void programAnswersThreeSenders();
    void programOnlyDelaysItsTarget_data();
    void programOnlyDelaysItsTarget();
    void programReportsBadImage();
    void programRefuses_data();
    void programRefuses();
    void programBindFailure();
};

enum Flaw { Intact, BadChecksum, SkippedIndex, WrongImageNumber, NoEndThenNextImage, NoEndLinkQuiet };

void tst_DeviceSim::imageFlaws_data()
{
    QTest::addColumn<int>("flaw");
    QTest::addColumn<bool>("keepData");
    QTest::addColumn<QString>("error");  // a fragment of the error the report must give

    for (const bool keep : {true, false}) {
        const char *kept = keep ? "kept" : "not kept";
        QTest::addRow("intact, %s", kept) << int(Intact) << keep << QString();
        QTest::addRow("bad checksum, %s", kept) << int(BadChecksum) << keep << QStringLiteral("checksum 0x");
        QTest::addRow("skipped index, %s", kept) << int(SkippedIndex) << keep
                                                 << QStringLiteral("block 2: index 3, expected 2");
        QTest::addRow("wrong image number, %s", kept) << int(WrongImageNumber) << keep
                                                      << QStringLiteral("block 1: image number 2, expected 1");
        QTest::addRow("no END, next image, %s", kept) << int(NoEndThenNextImage) << keep
                                                      << QStringLiteral("no END");
        QTest::addRow("no END, link quiet, %s", kept) << int(NoEndLinkQuiet) << keep << QString();
    }
}

void tst_DeviceSim::imageFlaws()
{
    QFETCH(int, flaw);
    QFETCH(bool, keepData);
    QFETCH(QString, error);

    QList<QByteArray> datagrams = imageDatagrams(kImage, 1);
    QCOMPARE(datagrams.size(), 5);
    const QByteArray nextImage = pseudoImage(500, 8);
    switch (flaw) {
    case BadChecksum:
        datagrams.last().back() = char(datagrams.last().back() ^ 0x01);
        break;
    case SkippedIndex:
        // The sender's count jumps from 1 to 3; the bytes are all there.
        for (int i = 2; i < datagrams.size(); ++i)
            datagrams[i][kIndexAt] = char(datagrams[i][kIndexAt] + 1);
        break;
    case WrongImageNumber:
        datagrams[1][kImageNumberAt] = 2;
        break;
    case NoEndThenNextImage:
        datagrams.removeLast();
        datagrams += imageDatagrams(nextImage, 2);
        break;
    case NoEndLinkQuiet:
        datagrams.removeLast();
        break;
    default:
        break;
    }

    DeviceSim sim;
    sim.setKeepImageData(keepData);
    QVERIFY(sim.start(deviceAddress()));
    Sender pc;
    QVERIFY(pc.bind(pcAddress()));
    pc.send(deviceAddress(), datagrams);
    QVERIFY2(runLoopUntil([&] { return pc.done(); }, 10000), qPrintable(typesOf(pc.answers()).join(' ')));

    const QList<DeviceSim::ImageReport> images = sim.images();
    QCOMPARE(images.size(), flaw == NoEndThenNextImage ? 2 : 1);
    const DeviceSim::ImageReport &report = images.first();
    QCOMPARE(report.imageNumber, 1);
    if (flaw == Intact) {
        QVERIFY2(report.clean(), qPrintable(report.summary()));
        QVERIFY(report.checksumPresent && report.checksumGood);
        QCOMPARE(report.blocks, 5);
        QCOMPARE(report.bytes, kImage.size());
        QCOMPARE(report.data, keepData ? kImage : QByteArray());
        QVERIFY2(report.summary().endsWith(QStringLiteral(", OK")), qPrintable(report.summary()));
        return;
    }

    QVERIFY2(!report.clean(), qPrintable(report.summary()));
    QVERIFY2(!report.summary().endsWith(QStringLiteral(", OK")), qPrintable(report.summary()));
    if (!error.isEmpty())
        QVERIFY2(report.errors.join('\n').contains(error), qPrintable(report.summary()));
    switch (flaw) {
    case BadChecksum:
        QVERIFY(report.checksumPresent && !report.checksumGood);
        break;
    case SkippedIndex:
    case WrongImageNumber:
        // Only the flaw is reported: the bytes themselves came intact.
        QCOMPARE(report.errors.size(), 1);
        QVERIFY(report.checksumPresent && report.checksumGood);
        break;
    case NoEndThenNextImage:
        QVERIFY(!report.complete);
        QVERIFY(!sim.imageOpen());
        // The image after it is judged on its own.
        QVERIFY2(images.at(1).clean(), qPrintable(images.at(1).summary()));
        QCOMPARE(images.at(1).bytes, nextImage.size());
        break;
    case NoEndLinkQuiet:
        QVERIFY(!report.complete);
        QVERIFY(sim.imageOpen());
        QVERIFY2(report.summary().contains(QStringLiteral("incomplete")), qPrintable(report.summary()));
        break;
    default:
        break;
    }
}

void tst_DeviceSim::lastBlockAfterTheSendersQuietSpell()
{
    // A full START, answered, then the updater's longest quiet spell before
    // the END: still one image of two blocks, not a one-block image.
    const QByteArray image = pseudoImage(2 * protocol::chunkSize, 60);
    const QList<QByteArray> datagrams = imageDatagrams(image, 1);
    QCOMPARE(datagrams.size(), 2);

    DeviceSim sim;
    sim.setKeepImageData(true);
    QVERIFY(sim.start(deviceAddress()));
    Sender pc;
    QVERIFY(pc.bind(pcAddress()));
    pc.setPauseBeforeLast(5200);
    pc.send(deviceAddress(), datagrams);
    QVERIFY2(runLoopUntil([&] { return pc.done(); }, 10000), qPrintable(typesOf(pc.answers()).join(' ')));

    const QList<DeviceSim::ImageReport> images = sim.images();
    QCOMPARE(images.size(), 1);
    QVERIFY2(images.first().clean(), qPrintable(images.first().summary()));
    QCOMPARE(images.first().data, image);
}

void tst_DeviceSim::imagesNotKeptStillChecked()
{
    // A fleet benchmark's worth of bytes must not pile up, yet every image is
    // still checked, and saved when asked.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray first = pseudoImage(40 * protocol::chunkSize + 17, 21);
    const QByteArray second = pseudoImage(900, 22);  // one short START, no checksum

    DeviceSim sim;
    sim.setKeepImageData(false);
    sim.setRecordDatagrams(false);
    sim.setSaveDirectory(dir.path());
    QVERIFY(sim.start(deviceAddress()));
    Sender pc;
    QVERIFY(pc.bind(pcAddress()));
    pc.send(deviceAddress(), imageDatagrams(first, 1) + imageDatagrams(second, 2));
    QVERIFY(runLoopUntil([&] { return pc.done(); }, 10000));
    QVERIFY(runLoopUntil([&] { return sim.images().size() == 2 && !sim.imageOpen(); }, 5000));

    const QList<DeviceSim::ImageReport> images = sim.images();
    QVERIFY2(images.at(0).clean(), qPrintable(images.at(0).summary()));
    QVERIFY(images.at(0).checksumPresent && images.at(0).checksumGood);
    QCOMPARE(images.at(0).bytes, first.size());
    QCOMPARE(images.at(0).blocks, 41);
    QVERIFY2(images.at(1).clean(), qPrintable(images.at(1).summary()));
    QCOMPARE(images.at(1).bytes, second.size());
    for (const DeviceSim::ImageReport &image : images)
        QVERIFY(image.data.isEmpty());
    QVERIFY(sim.received().isEmpty());
    QCOMPARE(sim.receivedCount(), 42);

    QFile saved1(dir.filePath(QStringLiteral("image1-1.bin")));
    QFile saved2(dir.filePath(QStringLiteral("image2-2.bin")));
    QVERIFY(saved1.open(QIODevice::ReadOnly));
    QVERIFY(saved2.open(QIODevice::ReadOnly));
    QVERIFY(saved1.readAll() == first);
    QVERIFY(saved2.readAll() == second);
}

void tst_DeviceSim::ackDelay()
{
    constexpr int kDelayMs = 300;
    constexpr int kEraseDelayMs = 200;
    const QByteArray init = protocol::commandDatagram(MT_INIT);
    const QByteArray erase = protocol::commandDatagram(MT_ERASE);

    DeviceSim sim;
    QVERIFY(sim.start(deviceAddress()));
    Sender pc;
    QVERIFY(pc.bind(pcAddress()));

    // Undelayed first: the bound below must be one a prompt answer stays under.
    pc.send(deviceAddress(), {init, init, init});
    QVERIFY(runLoopUntil([&] { return pc.done(); }, 5000));
    double prompt = kDelayMs;
    for (const Sender::Answer &answer : pc.answers())
        prompt = qMin(prompt, answer.afterMs);
    QVERIFY2(prompt < kDelayMs, qPrintable(QString::number(prompt)));

    DeviceSim::Faults faults;
    faults.ackDelayMs = kDelayMs;
    faults.eraseDelayMs = kEraseDelayMs;
    sim.setFaults(faults);
    pc.send(deviceAddress(), {init, erase, init});
    QVERIFY(runLoopUntil([&] { return sim.acksPending() > 0; }, 5000));
    QVERIFY(runLoopUntil([&] { return pc.done(); }, 10000));
    QCOMPARE(sim.acksPending(), 0);
    const QList<Sender::Answer> answers = pc.answers();
    QCOMPARE(typesOf(answers), QStringList({"a55a0f", "a55af0", "a55a0f"}));
    const double least[] = {kDelayMs, kDelayMs + kEraseDelayMs, kDelayMs};
    for (int i = 0; i < 3; ++i)
        QVERIFY2(answers.at(i).afterMs >= least[i],
                 qPrintable(QStringLiteral("answer %1 after %2 ms, wanted %3 at least")
                                .arg(i + 1)
                                .arg(answers.at(i).afterMs)
                                .arg(least[i])));
}

void tst_DeviceSim::fleetRange_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("last");  // empty: refused

    QTest::newRow("one") << "127.0.0.2" << 1 << "127.0.0.2";
    QTest::newRow("across an octet") << "127.0.0.250" << 10 << "127.0.1.3";
    QTest::newRow("as many as allowed") << "127.0.0.2" << 200 << "127.0.0.201";
    QTest::newRow("one too many") << "127.0.0.2" << 201 << "";
    QTest::newRow("none") << "127.0.0.2" << 0 << "";
    QTest::newRow("negative") << "127.0.0.2" << -1 << "";
    QTest::newRow("up to the last loopback address") << "127.255.255.254" << 2 << "127.255.255.255";
    QTest::newRow("one past it") << "127.255.255.254" << 3 << "";
    QTest::newRow("from the last address on") << "127.255.255.255" << 200 << "";
    QTest::newRow("below loopback") << "126.255.255.255" << 3 << "";
    QTest::newRow("a LAN address") << "192.168.1.20" << 1 << "";
    QTest::newRow("IPv6 loopback") << "::1" << 1 << "";
}

void tst_DeviceSim::fleetRange()
{
    QFETCH(QString, first);
    QFETCH(int, count);
    QFETCH(QString, last);

    QString why;
    const QList<QHostAddress> range = DeviceSimFleet::addressRange(QHostAddress(first), count, &why);
    if (last.isEmpty()) {
        QVERIFY2(range.isEmpty(), qPrintable(QStringLiteral("%1 addresses").arg(range.size())));
        QVERIFY(!why.isEmpty());
        return;
    }
    QCOMPARE(range.size(), count);
    QCOMPARE(range.first(), QHostAddress(first));
    QCOMPARE(range.last(), QHostAddress(last));
    for (int i = 1; i < range.size(); ++i)
        QCOMPARE(range.at(i).toIPv4Address(), range.at(i - 1).toIPv4Address() + 1);
}

void tst_DeviceSim::fleetAnswersEachFromItsOwnAddress()
{
    DeviceSimFleet fleet;
    QVERIFY2(fleet.start(deviceAddress(), 3), qPrintable(fleet.errorString()));
    QCOMPARE(fleet.devices().size(), 3);
    Pcs pcs;
    QVERIFY(pcs.bind(3));
    // A different number to each, so counters shared or mixed up would show.
    const QByteArray init = protocol::commandDatagram(MT_INIT);
    for (int i = 0; i < 3; ++i)
        pcs[i].send(nth(deviceAddress(), i), QList<QByteArray>(i + 1, init));
    QVERIFY(runLoopUntil([&] { return pcs.done(); }, 10000));

    for (int i = 0; i < 3; ++i) {
        const QHostAddress address = nth(deviceAddress(), i);
        QCOMPARE(pcs[i].answers().size(), i + 1);
        for (const Sender::Answer &answer : pcs[i].answers()) {
            QCOMPARE(answer.bytes, QByteArray::fromHex("a55a0f"));
            QCOMPARE(answer.from, address);
            QCOMPARE(answer.fromPort, kCommandPort);
        }
        DeviceSim *device = fleet.device(address);
        QVERIFY(device);
        QCOMPARE(device, fleet.devices().at(i));
        QCOMPARE(device->address(), address);
        QCOMPARE(device->receivedCount(), i + 1);
        QCOMPARE(device->acksSent(), i + 1);
    }
}

void tst_DeviceSim::faultsReachOnlyTheirTargets_data()
{
    QTest::addColumn<QStringList>("only");
    QTest::addColumn<QList<bool>>("misbehaves");  // .2, .3, .4
    QTest::addColumn<bool>("silent");

    QTest::newRow("no target: all") << QStringList() << QList<bool>{true, true, true} << false;
    QTest::newRow("the middle one") << QStringList{"127.0.0.3"} << QList<bool>{false, true, false} << false;
    QTest::newRow("first and last") << QStringList{"127.0.0.2", "127.0.0.4"} << QList<bool>{true, false, true}
                                    << false;
    QTest::newRow("silent, the middle one") << QStringList{"127.0.0.3"} << QList<bool>{false, true, false} << true;
}

void tst_DeviceSim::faultsReachOnlyTheirTargets()
{
    QFETCH(QStringList, only);
    QFETCH(QList<bool>, misbehaves);
    QFETCH(bool, silent);

    QList<QHostAddress> targets;
    for (const QString &address : only)
        targets << QHostAddress(address);
    DeviceSimFleet fleet;
    DeviceSim::Faults faults;
    faults.wrongTypeAt = 2;
    // Set before start(): the devices made then must get them.
    if (silent)
        fleet.setSilent(true, targets);
    else
        fleet.setFaults(faults, targets);
    QVERIFY2(fleet.start(deviceAddress(), 3), qPrintable(fleet.errorString()));
    Pcs pcs;
    QVERIFY(pcs.bind(3));
    const QByteArray init = protocol::commandDatagram(MT_INIT);
    for (int i = 0; i < 3; ++i)
        pcs[i].send(nth(deviceAddress(), i), {init, init, init});
    QVERIFY(runLoopUntil(
        [&] {
            for (int i = 0; i < 3; ++i) {
                const bool quiet = silent && misbehaves.at(i);
                if (quiet ? fleet.devices().at(i)->receivedCount() < 1 : !pcs[i].done())
                    return false;
            }
            return true;
        },
        10000));

    for (int i = 0; i < 3; ++i) {
        const QString what = QStringLiteral("device %1").arg(nth(deviceAddress(), i).toString());
        if (silent && misbehaves.at(i)) {
            // Its first datagram came and went unanswered (answers are not delayed).
            QVERIFY2(pcs[i].answers().isEmpty(), qPrintable(what));
            QCOMPARE(fleet.devices().at(i)->acksSent(), 0);
            continue;
        }
        const QStringList expected = misbehaves.at(i) ? QStringList{"a55a0f", "a55a55", "a55a0f"}
                                                      : QStringList{"a55a0f", "a55a0f", "a55a0f"};
        QVERIFY2(typesOf(pcs[i].answers()) == expected,
                 qPrintable(what + QStringLiteral(": ") + typesOf(pcs[i].answers()).join(' ')));
    }
}

void tst_DeviceSim::fleetBindFailure()
{
    QUdpSocket taken;
    QVERIFY(taken.bind(QHostAddress(QStringLiteral("127.0.0.3")), kCommandPort, QAbstractSocket::DontShareAddress));

    DeviceSimFleet fleet;
    QVERIFY(!fleet.start(deviceAddress(), 3));
    QVERIFY2(fleet.errorString().contains(QStringLiteral("127.0.0.3:1235")), qPrintable(fleet.errorString()));
    // The one bound before the failure is let go again.
    QUdpSocket first;
    QVERIFY2(first.bind(deviceAddress(), kCommandPort, QAbstractSocket::DontShareAddress),
             qPrintable(first.errorString()));
    first.close();

    taken.close();
    QVERIFY2(fleet.start(deviceAddress(), 3), qPrintable(fleet.errorString()));
}

void tst_DeviceSim::fleetCountsDevicesThrough()
{
    // Through means three clean images; a bad one does not count towards them.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    DeviceSimFleet fleet;
    fleet.setSaveDirectory(dir.path());
    fleet.setKeepImageData(false);
    QVERIFY2(fleet.start(deviceAddress(), 2), qPrintable(fleet.errorString()));
    QList<DeviceSim *> through;
    connect(&fleet, &DeviceSimFleet::deviceDone, this, [&](DeviceSim *device) { through << device; });

    QList<QByteArray> images;
    for (int n = 1; n <= 3; ++n)
        images << pseudoImage(3 * protocol::chunkSize + 100 * n, quint32(n));
    QList<QByteArray> update;
    for (int n = 1; n <= 3; ++n)
        update += imageDatagrams(images.at(n - 1), quint8(n));
    QList<QByteArray> spoilt = update;
    spoilt[5].back() = char(spoilt[5].back() ^ 0x10);  // the second image's checksum

    Pcs pcs;
    QVERIFY(pcs.bind(2));
    pcs[0].send(deviceAddress(), update);
    pcs[1].send(otherAddress(), spoilt);
    QVERIFY(runLoopUntil([&] { return pcs.done(); }, 10000));
    QCOMPARE(fleet.imagesCompleted(), 6);
    QCOMPARE(fleet.devicesDone(), 1);
    QCOMPARE(through, QList<DeviceSim *>{fleet.device(deviceAddress())});

    // The second image again, clean this time: now that device is through too.
    pcs[1].send(otherAddress(), imageDatagrams(images.at(1), 2));
    QVERIFY(runLoopUntil([&] { return pcs.done(); }, 10000));
    QCOMPARE(fleet.imagesCompleted(), 7);
    QCOMPARE(fleet.devicesDone(), 2);
    QCOMPARE(through.size(), 2);
    QCOMPARE(through.last(), fleet.device(otherAddress()));

    // Each device saves in a folder of its own, so equal names do not collide.
    for (const QString &address : {QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")}) {
        QFile saved(QDir(dir.filePath(address)).filePath(QStringLiteral("image3-3.bin")));
        QVERIFY2(saved.open(QIODevice::ReadOnly), qPrintable(saved.fileName()));
        QVERIFY(saved.readAll() == images.at(2));
    }
}

void tst_DeviceSim::programAnswersThreeSenders()
{
    Program sim;
    sim.start({"--count", "3", "--exit-after-images", "3"});
    QVERIFY2(sim.listening(), qPrintable(sim.output()));
    QVERIFY2(sim.out.contains("listening on 127.0.0.2:1235 to 127.0.0.4:1235 (3 devices)"), qPrintable(sim.output()));

    Pcs pcs;
    QVERIFY(pcs.bind(3));
    QList<QByteArray> images;
    for (int i = 0; i < 3; ++i) {
        images << pseudoImage(2 * protocol::chunkSize + 10 * (i + 1), quint32(30 + i));
        pcs[i].send(nth(deviceAddress(), i), imageDatagrams(images.at(i), 1));
    }
    QVERIFY2(runLoopUntil([&] { return pcs.done(); }, 10000), qPrintable(sim.output()));
    QVERIFY2(sim.finished(), qPrintable(sim.output()));
    QVERIFY2(sim.exitCode() == 0, qPrintable(sim.output()));

    const QStringList lines = sim.lines();
    for (int i = 0; i < 3; ++i) {
        const QString address = nth(deviceAddress(), i).toString();
        for (const Sender::Answer &answer : pcs[i].answers()) {
            QCOMPARE(answer.bytes, QByteArray::fromHex("a55aff"));
            QCOMPARE(answer.from.toString(), address);
        }
        const QString summary = QStringLiteral("%1: image 1: 3 blocks, %2 bytes, checksum good, OK")
                                    .arg(address)
                                    .arg(images.at(i).size());
        QVERIFY2(lines.contains(summary), qPrintable(summary + QStringLiteral("\n") + sim.output()));
        QVERIFY2(lines.contains(QStringLiteral("%1: 3 datagrams, 1 images, 1 clean, 0 erases, 3 acknowledgements")
                                    .arg(address)),
                 qPrintable(sim.output()));
    }
    QVERIFY2(lines.last() == QStringLiteral("exiting (3 images done): 9 datagrams, 3 images, 3 clean, 0 erases, "
                                            "9 acknowledgements on 3 devices"),
             qPrintable(sim.output()));
}

void tst_DeviceSim::programOnlyDelaysItsTarget_data()
{
    QTest::addColumn<QString>("option");
    QTest::newRow("--ack-delay-ms") << "--ack-delay-ms";
    QTest::newRow("--ack-delay, the old name") << "--ack-delay";
}

void tst_DeviceSim::programOnlyDelaysItsTarget()
{
    QFETCH(QString, option);
    constexpr int kDelayMs = 250;

    Program sim;
    sim.start({"--count", "3", "--only", "127.0.0.3", option, QString::number(kDelayMs), "--exit-after-devices", "3"});
    QVERIFY2(sim.listening(), qPrintable(sim.output()));

    // A whole update each: three images of two blocks.
    QList<QByteArray> update;
    for (int n = 1; n <= 3; ++n)
        update += imageDatagrams(pseudoImage(protocol::chunkSize + 50 * n, quint32(40 + n)), quint8(n));
    Pcs pcs;
    QVERIFY(pcs.bind(3));
    for (int i = 0; i < 3; ++i)
        pcs[i].send(nth(deviceAddress(), i), update);
    // The last answer of all is the delayed one: the program must not quit before it leaves.
    QVERIFY2(runLoopUntil([&] { return pcs.done(); }, 15000), qPrintable(sim.output()));
    QVERIFY2(sim.finished(), qPrintable(sim.output()));
    QVERIFY2(sim.exitCode() == 0, qPrintable(sim.output()));
    QVERIFY2(sim.lines().last().startsWith(QStringLiteral("exiting (3 devices through 3 clean images)")),
             qPrintable(sim.output()));

    for (int i = 0; i < 3; ++i) {
        QCOMPARE(pcs[i].answers().size(), update.size());
        double fastest = 1e9;
        double slowest = 0;
        for (const Sender::Answer &answer : pcs[i].answers()) {
            fastest = qMin(fastest, answer.afterMs);
            slowest = qMax(slowest, answer.afterMs);
        }
        const QString what = QStringLiteral("%1: answers after %2 to %3 ms")
                                 .arg(nth(deviceAddress(), i).toString())
                                 .arg(fastest)
                                 .arg(slowest);
        if (i == 1)
            QVERIFY2(fastest >= kDelayMs, qPrintable(what));
        else
            QVERIFY2(fastest < kDelayMs, qPrintable(what));
    }
}

void tst_DeviceSim::programReportsBadImage()
{
    Program sim;
    sim.start({"--count", "2", "--exit-after-images", "2"});
    QVERIFY2(sim.listening(), qPrintable(sim.output()));

    const QByteArray image = pseudoImage(2 * protocol::chunkSize + 5, 50);
    QList<QByteArray> spoilt = imageDatagrams(image, 1);
    spoilt.last().back() = char(spoilt.last().back() ^ 0x80);
    Pcs pcs;
    QVERIFY(pcs.bind(2));
    pcs[0].send(deviceAddress(), imageDatagrams(image, 1));
    pcs[1].send(otherAddress(), spoilt);
    QVERIFY2(runLoopUntil([&] { return pcs.done(); }, 10000), qPrintable(sim.output()));
    QVERIFY2(sim.finished(), qPrintable(sim.output()));
    QVERIFY2(sim.exitCode() == 1, qPrintable(sim.output()));

    const QStringList lines = sim.lines();
    QVERIFY2(lines.contains(QStringLiteral("127.0.0.2: image 1: 3 blocks, 2805 bytes, checksum good, OK")),
             qPrintable(sim.output()));
    const QStringList bad = lines.filter(QStringLiteral("127.0.0.3: image 1: 3 blocks, 2805 bytes, checksum bad"));
    QVERIFY2(bad.size() == 1 && !bad.first().endsWith(QStringLiteral(", OK")), qPrintable(sim.output()));
    QVERIFY2(lines.last().contains(QStringLiteral("2 images, 1 clean")), qPrintable(sim.output()));
}

void tst_DeviceSim::programRefuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason");  // a fragment of what it says on stderr

    QTest::newRow("no devices") << QStringList{"--count", "0"} << "1 to 200";
    QTest::newRow("too many devices") << QStringList{"--count", "201"} << "1 to 200";
    QTest::newRow("range leaves loopback") << QStringList{"--address", "127.255.255.250", "--count", "7"}
                                           << "would leave 127.0.0.0/8";
    QTest::newRow("not loopback") << QStringList{"--address", "192.168.0.2"} << "127.0.0.0/8";
    QTest::newRow("--only outside the fleet") << QStringList{"--count", "3", "--only", "127.0.0.5", "--silent"}
                                              << "--only 127.0.0.5";
    QTest::newRow("--only, one of a list outside")
        << QStringList{"--count", "3", "--only", "127.0.0.3,127.0.0.9", "--silent"} << "--only 127.0.0.9";
    QTest::newRow("--only, not an address") << QStringList{"--count", "3", "--only", "device3", "--silent"}
                                            << "--only device3";
    QTest::newRow("more devices to wait for than there are")
        << QStringList{"--count", "2", "--exit-after-devices", "3"} << "never be reached";
    QTest::newRow("negative delay") << QStringList{"--ack-delay-ms", "-1"} << "whole number";
    QTest::newRow("unknown switch") << QStringList{"--count", "2", "--fleet"} << "fleet";
}

void tst_DeviceSim::programRefuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);

    Program sim;
    sim.start(arguments);
    QVERIFY2(sim.finished(), qPrintable(sim.output()));
    QVERIFY2(sim.exitCode() == 2, qPrintable(sim.output()));
    QVERIFY2(QString::fromUtf8(sim.err).contains(reason), qPrintable(sim.output()));
    QVERIFY2(!sim.out.contains("listening"), qPrintable(sim.output()));
}

void tst_DeviceSim::programBindFailure()
{
    QUdpSocket taken;
    QVERIFY(taken.bind(QHostAddress(QStringLiteral("127.0.0.4")), kCommandPort, QAbstractSocket::DontShareAddress));
    Program sim;
    sim.start({"--count", "5"});
    QVERIFY2(sim.finished(), qPrintable(sim.output()));
    QVERIFY2(sim.exitCode() == 3, qPrintable(sim.output()));
    QVERIFY2(QString::fromUtf8(sim.err).contains(QStringLiteral("127.0.0.4:1235")), qPrintable(sim.output()));
}

PRIVATE_NETWORK_TEST_MAIN(tst_DeviceSim)
#include "tst_devicesim.moc"
