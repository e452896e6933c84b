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

#include <algorithm>
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
    // Not paced, every datagram leaves at once, answered or not.
    void send(const QHostAddress &device, const QList<QByteArray> &datagrams, bool paced = true)
    {
        _device = device;
        _datagrams = datagrams;
        _answers.clear();
        _next = 0;
        do
            sendNext();
        while (!paced && _next < _datagrams.size());
    }
    // Holds the last datagram back this long after the answer before it, as
    // the updater's quiet spell before an image's last block does.
    void setPauseBeforeLast(int ms) { _pauseBeforeLastMs = ms; }
    bool done() const { return _answers.size() >= _datagrams.size(); }
    const QList<Answer> &answers() const { return _answers; }
    // What came, as the last byte of each answer; "*" before one that did
    // not come from the device's own address and port.
    QString answered()
    {
        read();
        QStringList types;
        for (const Answer &answer : std::as_const(_answers))
            types << QStringLiteral("%1%2").arg(answer.from == _device && answer.fromPort == kCommandPort ? "" : "*",
                                                 QString::fromLatin1(answer.bytes.right(1).toHex()));
        return types.join(QLatin1Char(' '));
    }

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
constexpr int kStatusAt = 4;
constexpr int kIndexAt = 7;

// A late answer; a prompt one comes well within it.
constexpr int kLateMs = 150;

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
        return std::all_of(senders.cbegin(), senders.cend(), [](const auto &sender) { return sender->done(); });
    }
};

// varnel-devicesim run as a child; it inherits our private network. Its own
// --timeout ends it should the test leave it waiting.
struct Program : Child {
    void start(const QStringList &arguments)
    {
        process.start(QStringLiteral(VARNEL_DEVICESIM_PROGRAM), arguments + QStringList{"--timeout", "30"});
    }
    bool listening() { return runLoopUntil([&] { return out.contains("listening on"); }, 10000); }
    QString output() const { return QString::fromUtf8(out + err); }
    QStringList lines() const { return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts); }
};

} // namespace

class tst_DeviceSim : public QObject
{
    Q_OBJECT

private slots:
    void imageFlaws_data();
    void imageFlaws();

    void fleetRange_data();
    void fleetRange();
    void faultSwitches_data();
    void faultSwitches();
    void program();
    void programRefuses_data();
    void programRefuses();
};

enum Flaw { Intact, EndAfterLongestSpell, BadChecksum, SkippedIndex, MissingBlock, RepeatedBlock, UnknownStatus,
            MidFirst, WrongImageNumber, NoEndThenNextImage, NoEndLinkQuiet };

void tst_DeviceSim::imageFlaws_data()
{
    QTest::addColumn<int>("flaw");
    QTest::addColumn<bool>("keepData");
    QTest::addColumn<QString>("error");  // a fragment of the error the report must give

    // A full START, answered, then the updater's longest quiet spell before
    // the END: still one image of two blocks, not a one-block image.
    QTest::addRow("END after the longest quiet spell") << int(EndAfterLongestSpell) << true << QString();
    for (const bool keep : {true, false}) {
        const auto row = [keep](const char *name, Flaw flaw, const char *error = "") {
            QTest::addRow("%s, %s", name, keep ? "kept" : "not kept") << int(flaw) << keep << QString(error);
        };
        row("intact", Intact);
        row("bad checksum", BadChecksum, "checksum 0x");
        row("skipped index", SkippedIndex, "block 2: index 3, expected 2");
        row("missing block", MissingBlock, "block 2: index 3, expected 2");
        row("repeated block", RepeatedBlock, "block 3: index 2, expected 3");
        row("unknown status", UnknownStatus, "block 2: unknown status 7");
        row("MID first", MidFirst, "MID block with no image open");
        row("wrong image number", WrongImageNumber, "block 1: image number 2, expected 1");
        row("no END, next image", NoEndThenNextImage, "no END");
        row("no END, link quiet", NoEndLinkQuiet);
    }
}

void tst_DeviceSim::imageFlaws()
{
    QFETCH(int, flaw);
    QFETCH(bool, keepData);
    QFETCH(QString, error);

    const QByteArray image = flaw == EndAfterLongestSpell ? pseudoImage(2 * protocol::chunkSize, 60) : kImage;
    QList<QByteArray> datagrams = imageDatagrams(image, 1);
    const QByteArray nextImage = pseudoImage(500, 8);  // one short START, no checksum
    const QHash<int, std::function<void(QList<QByteArray> &)>> edits{
        {BadChecksum, [](auto &d) { d.last().back() = char(d.last().back() ^ 0x01); }},
        // The sender's count jumps from 1 to 3; the bytes are all there.
        {SkippedIndex, [](auto &d) { for (int i = 2; i < d.size(); ++i) d[i][kIndexAt] = char(d[i][kIndexAt] + 1); }},
        {MissingBlock, [](auto &d) { d.removeAt(2); }},
        {RepeatedBlock, [](auto &d) { d.insert(3, d.at(2)); }},
        {UnknownStatus, [](auto &d) { d[2][kStatusAt] = 7; }},
        {MidFirst, [](auto &d) { d[0][kStatusAt] = char(WFS_MID); }},
        {WrongImageNumber, [](auto &d) { d[1][kImageNumberAt] = 2; }},
        {NoEndThenNextImage, [&](auto &d) { d.removeLast(); d += imageDatagrams(nextImage, 2); }},
        {NoEndLinkQuiet, [](auto &d) { d.removeLast(); }}};
    if (edits.contains(flaw))
        edits[flaw](datagrams);

    // Not kept, the bytes are still checked, and saved when asked.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    DeviceSim sim;
    sim.setKeepImageData(keepData);
    sim.setRecordDatagrams(keepData);
    if (!keepData)
        sim.setSaveDirectory(dir.path());
    QVERIFY(sim.start(deviceAddress()));
    Sender pc;
    QVERIFY(pc.bind(pcAddress()));
    pc.setPauseBeforeLast(flaw == EndAfterLongestSpell ? 5200 : 0);
    pc.send(deviceAddress(), datagrams);
    QVERIFY2(runLoopUntil([&] { return pc.done(); }, 10000), qPrintable(pc.answered()));

    const QList<DeviceSim::ImageReport> images = sim.images();
    QCOMPARE(images.size(), flaw == NoEndThenNextImage ? 2 : 1);
    QCOMPARE(sim.receivedCount(), datagrams.size());
    QCOMPARE(sim.received().size(), keepData ? datagrams.size() : 0);
    const auto saved = [&](const QString &name) {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(not saved)");
    };
    const DeviceSim::ImageReport &report = images.first();
    QCOMPARE(report.imageNumber, 1);
    if (flaw == Intact || flaw == EndAfterLongestSpell) {
        QVERIFY2(report.clean(), qPrintable(report.summary()));
        QVERIFY(report.checksumPresent && report.checksumGood);
        QCOMPARE(report.blocks, datagrams.size());
        QCOMPARE(report.bytes, image.size());
        QCOMPARE(report.data, keepData ? image : QByteArray());
        if (!keepData)
            QVERIFY(saved(QStringLiteral("image1-1.bin")) == image);
        QVERIFY2(report.summary().endsWith(QStringLiteral(", OK")), qPrintable(report.summary()));
        return;
    }

    QVERIFY2(!report.clean(), qPrintable(report.summary()));
    QVERIFY2(!report.summary().endsWith(QStringLiteral(", OK")), qPrintable(report.summary()));
    if (!error.isEmpty())
        QVERIFY2(report.errors.join('\n').contains(error), qPrintable(report.summary()));
    switch (flaw) {
    case BadChecksum:
    case MissingBlock:
    case RepeatedBlock:
        QVERIFY(report.checksumPresent && !report.checksumGood);
        QCOMPARE(report.blocks, datagrams.size());
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
        QCOMPARE(images.at(1).data, keepData ? nextImage : QByteArray());
        if (!keepData)
            QVERIFY(saved(QStringLiteral("image2-1.bin")) == nextImage);
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

void tst_DeviceSim::fleetRange_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("last");  // empty: refused

    QTest::newRow("across an octet") << "127.0.0.250" << 10 << "127.0.1.3";
    QTest::newRow("as many as allowed") << "127.0.0.2" << 1024 << "127.0.4.1";
    QTest::newRow("one too many") << "127.0.0.2" << 1025 << "";
    QTest::newRow("none") << "127.0.0.2" << 0 << "";
    QTest::newRow("up to the last loopback address") << "127.255.255.254" << 2 << "127.255.255.255";
    QTest::newRow("one past it") << "127.255.255.254" << 3 << "";
    QTest::newRow("not loopback") << "198.51.100.20" << 1 << "";
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

void tst_DeviceSim::faultSwitches_data()
{
    QTest::addColumn<DeviceSim::Faults>("faults");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QStringList>("only");  // the devices the faults are for; empty: all
    QTest::addColumn<QString>("answered");  // by each of them to a connect, an erase and command 03
    QTest::addColumn<int>("updates");       // those three sent once, or twice: a retried update

    DeviceSim::Faults f;
    f.wrongTypeAt = 2;
    QTest::newRow("wrong type at 2, every device") << f << false << QStringList() << "0f 55 03" << 1;
    f = {};
    f.dropAckOf = 2;
    QTest::newRow("no answer to 2, the middle one") << f << false << QStringList{"127.0.0.3"} << "0f 03" << 1;
    f = {};
    f.duplicateAckOf = 2;
    QTest::newRow("answer to 2 twice, first and last") << f << false << QStringList{"127.0.0.2", "127.0.0.4"}
                                                       << "0f f0 f0 03" << 1;
    f = {};
    f.silentAfter = 1;
    QTest::newRow("silent after 1, the middle one") << f << false << QStringList{"127.0.0.3"} << "0f" << 1;
    f = {};
    f.strayAt = 3;
    QTest::newRow("stray at 3, the last one") << f << false << QStringList{"127.0.0.4"} << "0f f0 *03 03" << 1;
    // Late means at least that late; the erase's answer comes last.
    f = {};
    f.ackDelayMs = kLateMs;
    f.eraseDelayMs = kLateMs;
    QTest::newRow("answers late, the erase later, the middle one") << f << false << QStringList{"127.0.0.3"}
                                                                   << "0f 03 f0" << 1;
    QTest::newRow("silent, the middle one") << DeviceSim::Faults() << true << QStringList{"127.0.0.3"} << "" << 1;
    // From the second connect on, a device faulty once behaves.
    f = {};
    f.wrongTypeAt = 2;
    f.once = true;
    QTest::newRow("once: wrong type at 2, the first") << f << false << QStringList{"127.0.0.2"}
                                                      << "0f 55 03 0f f0 03" << 2;
    f = {};
    f.dropAckOf = 4;
    f.once = true;
    QTest::newRow("once: no answer to 4, in the retry") << f << false << QStringList() << "0f f0 03 0f f0 03" << 2;
    f = {};
    f.once = true;
    QTest::newRow("once: silent, the middle one") << f << true << QStringList{"127.0.0.3"} << "0f f0 03" << 2;
}

void tst_DeviceSim::faultSwitches()
{
    QFETCH(DeviceSim::Faults, faults);
    QFETCH(bool, silent);
    QFETCH(QStringList, only);
    QFETCH(QString, answered);
    QFETCH(int, updates);

    QList<QHostAddress> targets;
    for (const QString &address : only)
        targets << QHostAddress(address);
    DeviceSimFleet fleet;
    // Set before start(): the devices made then must get them.
    fleet.setSilent(silent, targets);
    fleet.setFaults(faults, targets);
    QVERIFY2(fleet.start(deviceAddress(), 3), qPrintable(fleet.errorString()));
    QCOMPARE(fleet.devices().size(), 3);
    Pcs pcs;
    QVERIFY(pcs.bind(3));
    const QList<QByteArray> update{protocol::commandDatagram(MT_INIT), protocol::commandDatagram(MT_ERASE),
                                   QByteArray::fromHex("a55a03")};
    QList<QByteArray> datagrams;
    for (int i = 0; i < updates; ++i)
        datagrams += update;
    for (int i = 0; i < 3; ++i)
        pcs[i].send(nth(deviceAddress(), i), datagrams, false);
    QVERIFY(runLoopUntil(
        [&] {
            return std::all_of(fleet.devices().cbegin(), fleet.devices().cend(), [updates](const DeviceSim *device) {
                return device->receivedCount() == 3 * updates && device->acksPending() == 0;
            });
        },
        10000));

    for (int i = 0; i < 3; ++i) {
        const QHostAddress address = nth(deviceAddress(), i);
        const bool targeted = only.isEmpty() || only.contains(address.toString());
        const QString expected = targeted ? answered : QStringList(updates, QStringLiteral("0f f0 03")).join(' ');
        QVERIFY(runLoopUntil([&] { return pcs[i].answered().size() >= expected.size(); }, 5000));
        // Each answers from its own address and port, and counts its own.
        QCOMPARE(pcs[i].answered(), expected);
        DeviceSim *device = fleet.device(address);
        QVERIFY(device);
        QCOMPARE(device, fleet.devices().at(i));
        QCOMPARE(device->address(), address);
        QCOMPARE(device->receivedCount(), 3 * updates);
        QCOMPARE(device->acksSent(), int(expected.split(' ', Qt::SkipEmptyParts).size() - expected.count('*')));
        for (const Sender::Answer &answer : pcs[i].answers()) {
            const bool erase = answer.bytes.endsWith('\xf0');
            const int late = targeted ? faults.ackDelayMs + (erase ? faults.eraseDelayMs : 0) : 0;
            QVERIFY2(late > 0 ? answer.afterMs >= late : answer.afterMs < kLateMs,
                     qPrintable(address.toString() + QStringLiteral(": answered after %1 ms").arg(answer.afterMs)));
        }
    }
}

// The console program and the fleet behind it: a whole update from each of
// three PCs; .3 alone answers late (under the option's old name), and .4's
// image 2 has its checksum spoilt, so .4 never counts as through. The
// program quits once two devices are through, after the late last answer
// left, and tells each image and each device.
void tst_DeviceSim::program()
{
    constexpr int kDelayMs = 100;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Program sim;
    sim.start({"--count", "3", "--only", "127.0.0.3", "--ack-delay", QString::number(kDelayMs),
               "--exit-after-devices", "2", "--save-dir", dir.path()});
    QVERIFY2(sim.listening(), qPrintable(sim.output()));
    QVERIFY2(sim.out.contains("listening on 127.0.0.2:1235 to 127.0.0.4:1235 (3 devices)"), qPrintable(sim.output()));

    QList<QByteArray> images;
    QList<QByteArray> update;
    for (int n = 1; n <= 3; ++n) {
        images << pseudoImage(protocol::chunkSize + 50 * n, quint32(40 + n));
        update += imageDatagrams(images.last(), quint8(n));
    }
    Pcs pcs;
    QVERIFY(pcs.bind(3));
    for (int i = 0; i < 3; ++i) {
        QList<QByteArray> datagrams = update;
        if (i == 2)
            datagrams[3].back() = char(datagrams[3].back() ^ 0x80);
        pcs[i].send(nth(deviceAddress(), i), datagrams);
    }
    QVERIFY2(runLoopUntil([&] { return pcs.done(); }, 15000), qPrintable(sim.output()));
    QVERIFY2(sim.finish(35000), qPrintable(sim.output()));
    QVERIFY2(sim.process.exitCode() == 1, qPrintable(sim.output()));

    const QStringList lines = sim.lines();
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(pcs[i].answers().size(), update.size());
        for (const Sender::Answer &answer : pcs[i].answers())
            QVERIFY2((answer.afterMs >= kDelayMs) == (i == 1), qPrintable(QString::number(answer.afterMs)));
    }
    QVERIFY2(lines.filter(QStringLiteral("127.0.0.4: image 2: 2 blocks, %1 bytes, checksum bad, ").arg(images.at(1).size()))
                     .size() == 1,
             qPrintable(sim.output()));
    QVERIFY2(lines.last() == QStringLiteral("exiting (2 devices through 3 clean images): 18 datagrams, 9 images, "
                                            "8 clean, 0 erases, 18 acknowledgements on 3 devices"),
             qPrintable(sim.output()));
    // Each device saves in a folder of its own, so equal names do not collide.
    for (const QString &address : {QStringLiteral("127.0.0.2"), QStringLiteral("127.0.0.3")}) {
        QFile saved(QDir(dir.filePath(address)).filePath(QStringLiteral("image3-3.bin")));
        QVERIFY2(saved.open(QIODevice::ReadOnly) && saved.readAll() == images.at(2), qPrintable(saved.fileName()));
    }
}

void tst_DeviceSim::programRefuses_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("taken");   // an address whose port 1235 is already bound
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reason");  // a fragment of what it says on stderr

    // Which ranges are refused is addressRange's to decide (fleetRange), and
    // how options are read is the tool's own; here, the refusals that keep
    // the simulator off a real network and off another's port.
    QTest::newRow("range leaves loopback") << QStringList{"--address", "127.255.255.250", "--count", "7"} << "" << 2
                                           << "would leave 127.0.0.0/8";
    QTest::newRow("a target a real network routes") << QStringList{"--target", "100.64.0.9"} << "" << 2
                                                    << "--target 100.64.0.9";
    QTest::newRow("--only, one of a list outside")
        << QStringList{"--count", "3", "--only", "127.0.0.3,127.0.0.9", "--silent"} << "" << 2 << "--only 127.0.0.9";
    QTest::newRow("an address taken") << QStringList{"--count", "5"} << "127.0.0.4" << 3 << "127.0.0.4:1235";
}

void tst_DeviceSim::programRefuses()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, taken);
    QFETCH(int, exitCode);
    QFETCH(QString, reason);

    QUdpSocket holder;
    if (!taken.isEmpty())
        QVERIFY(holder.bind(QHostAddress(taken), kCommandPort, QAbstractSocket::DontShareAddress));
    Program sim;
    sim.start(arguments);
    QVERIFY2(sim.finish(35000), qPrintable(sim.output()));
    QVERIFY2(sim.process.exitCode() == exitCode, qPrintable(sim.output()));
    QVERIFY2(QString::fromUtf8(sim.err).contains(reason), qPrintable(sim.output()));
    QVERIFY2(!sim.out.contains("listening"), qPrintable(sim.output()));
}

PRIVATE_NETWORK_TEST_MAIN(tst_DeviceSim)
#include "tst_devicesim.moc"
