// The simulated device itself. Every other suite trusts what it reports, so
// here it must be caught out where it could be wrong: an image it calls
// clean that is not, an answer from the wrong address, a fault that reaches
// the wrong device, a delay that is not one. The suite runs in a network
// namespace of its own, so it can bind the fixed ports freely.

#include "crc.h"
#include "devicesim.h"
#include "privatenetwork.h"
#include "protocol.h"
#include "testsupport.h"

#include <QElapsedTimer>
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
        if (_answers.size() == _next)
            sendNext();
    }

    QUdpSocket _socket;
    QHostAddress _device;
    QList<QByteArray> _datagrams;
    QList<Answer> _answers;
    int _next = 0;
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
    void ackDelay();
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
    pc.send(deviceAddress(), {init});
    QVERIFY(runLoopUntil([&] { return pc.done(); }, 5000));
    const double prompt = pc.answers().first().afterMs;
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

PRIVATE_NETWORK_TEST_MAIN(tst_DeviceSim)
#include "tst_devicesim.moc"
