#include "devicesim.h"

#include "crc.h"
#include "protocol.h"

#include <QDir>
#include <QFile>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>

#include <cstdio>

namespace {

using protocol::kHeader0;
using protocol::kHeader1;
constexpr quint8 kWrongType = 0x55;
// A5 5A FF, then image number, status, length (2), index.
constexpr int kBlockOffset = 3;
constexpr int kImageOffset = kBlockOffset + protocol::kBlockHeaderSize;
using protocol::kChecksumSize;
// Past this many, one more error line tells nothing new and costs memory on
// a 24,000-block image gone wrong.
constexpr int kMaxErrors = 20;
// A link this quiet after an answered full START means the image was that
// one block. The updater keeps quiet for up to 5 s before an image's last
// block (it listens for a device answering twice), so wait longer than that.
constexpr int kSingleBlockQuietMs = 6000;
const QHostAddress kStrayAddress(QStringLiteral("127.0.0.3"));

QByteArray ackDatagram(quint8 type)
{
    QByteArray ack(3, Qt::Uninitialized);
    ack[0] = kHeader0;
    ack[1] = kHeader1;
    ack[2] = char(type);
    return ack;
}

QHostAddress loopbackIPv4(const QHostAddress &address)
{
    bool ok = false;
    const quint32 ip = address.toIPv4Address(&ok);
    if (!ok || (ip >> 24) != 127)
        return {};
    return QHostAddress(ip);
}

// The sim only ever talks to this machine: loopback, or an address one of
// its adapters holds; anything else is not answered.
QHostAddress localIPv4(const QHostAddress &address)
{
    bool ok = false;
    const QHostAddress ip(address.toIPv4Address(&ok));
    if (!ok)
        return {};
    if (!loopbackIPv4(ip).isNull() || QNetworkInterface::allAddresses().contains(ip))
        return ip;
    return {};
}

QString statusName(quint8 status)
{
    switch (status) {
    case WFS_START: return QStringLiteral("START");
    case WFS_MID: return QStringLiteral("MID");
    case WFS_END: return QStringLiteral("END");
    default: return QStringLiteral("status %1").arg(status);
    }
}

QString hex32(quint32 value)
{
    return QStringLiteral("0x%1").arg(value, 8, 16, QLatin1Char('0'));
}

} // namespace

QString DeviceSim::ImageReport::summary() const
{
    const QString checksum = !checksumPresent ? QStringLiteral("absent")
                             : checksumGood   ? QStringLiteral("good")
                                              : QStringLiteral("bad");
    const QString line = QStringLiteral("image %1: %2 %3, %4 bytes, checksum %5")
                             .arg(imageNumber)
                             .arg(blocks)
                             .arg(blocks == 1 ? QStringLiteral("block") : QStringLiteral("blocks"))
                             .arg(bytes)
                             .arg(checksum);
    if (clean())
        return line + QStringLiteral(", OK");
    QStringList problems;
    if (!complete)
        problems << QStringLiteral("incomplete");
    problems += errors;
    return line + QStringLiteral(", ") + problems.join(QStringLiteral("; "));
}

DeviceSim::DeviceSim(QObject *parent)
    : QObject(parent)
    , _quietTimer(new QTimer(this))
{
    _quietTimer->setSingleShot(true);
    _quietTimer->setInterval(kSingleBlockQuietMs);
    connect(_quietTimer, &QTimer::timeout, this, &DeviceSim::singleBlockQuiet);
}

DeviceSim::~DeviceSim() = default;

bool DeviceSim::start(const QHostAddress &address)
{
    stop();
    _error.clear();
    if (address.protocol() != QAbstractSocket::IPv4Protocol || localIPv4(address).isNull()) {
        _error = QStringLiteral("%1 is neither a loopback IPv4 address (127.0.0.0/8) nor one this machine holds")
                     .arg(address.toString());
        return false;
    }
    if (!_target.isNull() && !targetAllowed(_target)) {
        _error = QStringLiteral("will not answer %1: only loopback, 192.0.2.0/24, 198.51.100.0/24 or "
                                "203.0.113.0/24, which no real network routes")
                     .arg(_target.toString());
        return false;
    }
    _socket = new QUdpSocket(this);
    if (!_socket->bind(address, kCommandPort)) {
        _error = QStringLiteral("cannot bind %1:%2: %3")
                     .arg(address.toString())
                     .arg(kCommandPort)
                     .arg(_socket->errorString());
        delete _socket;
        _socket = nullptr;
        return false;
    }
    connect(_socket, &QUdpSocket::readyRead, this, &DeviceSim::readPending);
    _faultBase = _datagramCount;
    _connects = 0;
    return true;
}

QHostAddress DeviceSim::address() const
{
    return _socket ? _socket->localAddress() : QHostAddress();
}

void DeviceSim::stop()
{
    // Delayed acknowledgements of this run must not leave from the next one.
    ++_generation;
    _acksPending = 0;
    _quietTimer->stop();
    // close() frees the port at once; deleteLater() because stop() may be
    // called from a slot of a signal this socket's readyRead led to.
    for (QUdpSocket **socket : {&_socket, &_straySocket}) {
        if (*socket) {
            (*socket)->close();
            (*socket)->deleteLater();
            *socket = nullptr;
        }
    }
}

void DeviceSim::clear()
{
    ++_epoch;
    _quietTimer->stop();
    _received.clear();
    _images.clear();
    _openImage = -1;
    _expectedIndex = 0;
    _singleDatagram = 0;
    _singleAcked = false;
    _erases = 0;
    _acksSent = 0;
    _savedCount = 0;
    _datagramCount = 0;
    _faultBase = 0;
    _connects = 0;
}

void DeviceSim::readPending()
{
    // stop() may run from a slot while we are handling, so look each time.
    while (_socket && _socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = _socket->receiveDatagram();
        if (!datagram.isValid())
            break;
        handle(datagram.data(), datagram.senderAddress());
    }
}

void DeviceSim::handle(const QByteArray &datagram, const QHostAddress &sender)
{
    ++_datagramCount;
    if (_recordDatagrams)
        _received.append(datagram);
    _quietTimer->stop();
    emit datagramReceived(datagram);

    if (datagram.size() < 3) {
        // Nothing to name in an answer.
        printLine(QStringLiteral("datagram %1: %2 bytes, no command type")
                      .arg(_datagramCount)
                      .arg(datagram.size()));
        return;
    }
    const bool headerOk = datagram.at(0) == kHeader0 && datagram.at(1) == kHeader1;
    const quint8 type = quint8(datagram.at(2));
    bool endBlock = false;
    bool lastBlock = false;
    if (type == MT_WRITE) {
        endBlock = checkWriteBlock(datagram);
        // A START shorter than a block is a whole image of its own.
        lastBlock = endBlock
                 || (datagram.size() >= kImageOffset && quint8(datagram.at(kBlockOffset + 1)) == WFS_START
                     && datagram.size() - kImageOffset < protocol::chunkSize);
    } else {
        if (!headerOk)
            printLine(QStringLiteral("datagram %1: bad header %2")
                          .arg(_datagramCount)
                          .arg(QString::fromLatin1(datagram.left(2).toHex('-'))));
        // Any other command means the one-block image before it is all there is.
        closePendingSingle();
        if (headerOk && type == MT_ERASE)
            ++_erases;
        if (headerOk && type == MT_INIT)
            ++_connects;
    }
    answer(type, sender, endBlock, lastBlock);
}

bool DeviceSim::checkWriteBlock(const QByteArray &datagram)
{
    const int number = _datagramCount;
    if (datagram.size() < kImageOffset) {
        const bool orphan = _openImage < 0;
        if (orphan)
            openImage(datagram.size() > kBlockOffset ? quint8(datagram.at(kBlockOffset)) : 0, 0);
        addError(QStringLiteral("datagram %1: write block of %2 bytes, too short")
                     .arg(number)
                     .arg(datagram.size()));
        // Reported on its own: nothing follows on from a header we cannot read.
        if (orphan)
            closeImage(false);
        return false;
    }

    const auto *block = reinterpret_cast<const uchar *>(datagram.constData()) + kBlockOffset;
    const quint8 imageNumber = block[0];
    const quint8 status = block[1];
    const int declared = (block[2] << 8) | block[3];
    const quint8 index = block[4];

    if (status == WFS_START) {
        closePendingSingle();
        if (_openImage >= 0) {
            addError(QStringLiteral("no END: a new START came after block %1")
                         .arg(_images.at(_openImage).blocks - 1));
            closeImage(false);
        }
        openImage(imageNumber, 0);
    } else {
        // Whatever it is, it follows on: the START before it was not alone.
        _singleDatagram = 0;
        _singleAcked = false;
        if (_openImage < 0) {
            openImage(imageNumber, index);
            addError(QStringLiteral("%1 block with no image open").arg(statusName(status)));
        }
        if (status != WFS_MID && status != WFS_END)
            addError(QStringLiteral("block %1: unknown status %2")
                         .arg(_images.at(_openImage).blocks)
                         .arg(status));
    }

    const int position = _images.at(_openImage).blocks;
    if (datagram.at(0) != kHeader0 || datagram.at(1) != kHeader1)
        addError(QStringLiteral("block %1: bad header %2")
                     .arg(position)
                     .arg(QString::fromLatin1(datagram.left(2).toHex('-'))));
    if (imageNumber != _images.at(_openImage).imageNumber)
        addError(QStringLiteral("block %1: image number %2, expected %3")
                     .arg(position)
                     .arg(imageNumber)
                     .arg(_images.at(_openImage).imageNumber));
    // After a slip, either the sender's own count or the block's place in
    // the image is taken as right, so one slip is one error, not thousands.
    if (index != (_expectedIndex & 0xFF) && index != (position & 0xFF))
        addError(QStringLiteral("block %1: index %2, expected %3")
                     .arg(position)
                     .arg(index)
                     .arg(_expectedIndex & 0xFF));
    _expectedIndex = index + 1;

    const bool isEnd = status == WFS_END;
    bool checksumThere = isEnd;
    qsizetype payload = datagram.size() - kImageOffset;
    if (isEnd) {
        if (payload >= kChecksumSize) {
            payload -= kChecksumSize;
        } else {
            checksumThere = false;
            addError(QStringLiteral("block %1: END of %2 bytes has no room for the checksum")
                         .arg(position)
                         .arg(datagram.size()));
        }
    }
    if (declared != payload)
        addError(QStringLiteral("block %1: declares %2 bytes, carries %3")
                     .arg(position)
                     .arg(declared)
                     .arg(payload));
    if (payload == 0)
        addError(QStringLiteral("block %1: carries no image bytes").arg(position));
    else if (payload > protocol::chunkSize)
        addError(QStringLiteral("block %1: carries %2 bytes, more than %3")
                     .arg(position)
                     .arg(payload)
                     .arg(protocol::chunkSize));
    else if (status == WFS_MID && payload != protocol::chunkSize)
        addError(QStringLiteral("block %1: MID carries %2 bytes, not %3")
                     .arg(position)
                     .arg(payload)
                     .arg(protocol::chunkSize));

    ImageReport &image = _images[_openImage];
    // Bytes are only gathered for whoever wants them: memory or a file.
    if (_keepImageData || !_saveDir.isEmpty())
        image.data.append(datagram.constData() + kImageOffset, payload);
    _checksum = crc::update(_checksum, datagram.constData() + kImageOffset, payload);
    image.bytes += payload;
    ++image.blocks;

    if (isEnd) {
        if (checksumThere) {
            const quint32 sent = qFromBigEndian<quint32>(datagram.constData() + datagram.size() - kChecksumSize);
            const quint32 computed = _checksum;
            image.checksumPresent = true;
            image.checksumGood = sent == computed;
            if (!image.checksumGood)
                addError(QStringLiteral("checksum %1, image gives %2").arg(hex32(sent), hex32(computed)));
        }
        finishImage();
    } else if (status == WFS_START) {
        if (payload < protocol::chunkSize && declared < protocol::chunkSize) {
            // Short START: the whole image in one block, sent without checksum.
            finishImage();
        } else {
            // Full, or claiming to be: what follows tells.
            _singleDatagram = number;
            _singleAcked = false;
        }
    }
    return isEnd;
}

void DeviceSim::openImage(int imageNumber, int expectedIndex)
{
    ImageReport image;
    image.imageNumber = imageNumber;
    _images.append(image);
    _openImage = int(_images.size()) - 1;
    _expectedIndex = expectedIndex;
    _checksum = crc::kStart;
}

void DeviceSim::finishImage()
{
    closeImage(true);
}

void DeviceSim::closeImage(bool complete)
{
    if (_openImage < 0)
        return;
    const int at = _openImage;
    _openImage = -1;
    _singleDatagram = 0;
    _singleAcked = false;
    _quietTimer->stop();
    _images[at].complete = complete;

    if (complete && !_saveDir.isEmpty()) {
        const ImageReport &report = _images.at(at);
        QDir dir(_saveDir);
        if (!dir.mkpath(QStringLiteral("."))) {
            qWarning("devicesim: cannot create %s", qPrintable(_saveDir));
        } else {
            const QString name = dir.filePath(
                QStringLiteral("image%1-%2.bin").arg(report.imageNumber).arg(++_savedCount));
            QFile file(name);
            if (!file.open(QIODevice::WriteOnly) || file.write(report.data) != report.data.size())
                qWarning("devicesim: cannot save %s: %s", qPrintable(name),
                         qPrintable(file.errorString()));
        }
    }
    if (!_keepImageData)
        _images[at].data = QByteArray();
    // A copy: slots may clear() or keep receiving while they look at it.
    const ImageReport report = _images.at(at);
    if (_printSummaries)
        printLine(report.summary());
    if (complete)
        emit imageCompleted(report);
}

void DeviceSim::closePendingSingle()
{
    // Only when the START was answered: unanswered, the sender could not
    // have gone on, so it may well be a longer image cut short.
    if (_singleDatagram != 0 && _singleAcked && _openImage >= 0)
        finishImage();
}

void DeviceSim::singleBlockQuiet()
{
    // The timer may have come due with the next block already waiting.
    readPending();
    closePendingSingle();
}

void DeviceSim::addError(const QString &error)
{
    if (_openImage < 0)
        return;
    QStringList &errors = _images[_openImage].errors;
    if (errors.size() < kMaxErrors)
        errors << error;
    else if (errors.size() == kMaxErrors)
        errors << QStringLiteral("further errors not listed");
}

bool DeviceSim::targetAllowed(const QHostAddress &target)
{
    bool ok = false;
    const quint32 ip = target.toIPv4Address(&ok);
    // 127.0.0.0/8, 192.0.2.0/24, 198.51.100.0/24, 203.0.113.0/24
    return ok && ((ip >> 24) == 127 || (ip >> 8) == 0xC00002 || (ip >> 8) == 0xC63364 || (ip >> 8) == 0xCB0071);
}

QHostAddress DeviceSim::answerTo(const QHostAddress &sender)
{
    if (!_target.isNull())
        return _target;
    const QHostAddress loopback = loopbackIPv4(sender);
    if (!loopback.isNull())
        return loopback;
    // The adapters' list is slow to read: asked once per sender, not per block.
    if (_knownSender.isNull() || !_knownSender.isEqual(sender, QHostAddress::ConvertV4MappedToIPv4))
        _knownSender = localIPv4(sender);
    return _knownSender;
}

void DeviceSim::answer(quint8 type, const QHostAddress &sender, bool endBlock, bool lastBlock)
{
    const QHostAddress to = answerTo(sender);
    if (to.isNull())
        return;
    // A retried update starts with a connect of its own.
    if (_faults.once && _connects > 1) {
        sendAck(type, to, 0);
        return;
    }
    if (_silent)
        return;
    const int n = _datagramCount - _faultBase;
    if (_faults.silentAfter > 0 && n > _faults.silentAfter)
        return;
    if (_faults.strayAt > 0 && _faults.strayAt == n)
        sendStray(type, to);
    if (_faults.dropAckOf > 0 && _faults.dropAckOf == n)
        return;
    if (_faults.unansweredEnd && endBlock)
        return;
    const quint8 reply = (_faults.wrongTypeAt > 0 && _faults.wrongTypeAt == n) ? kWrongType : type;
    int delay = _faults.ackDelayMs + (type == MT_ERASE ? _faults.eraseDelayMs : 0);
    if (_faults.jitterMs > 0) {
        _jitterState = _jitterState * 1664525u + 1013904223u;
        delay += int((_jitterState >> 8) % quint32(_faults.jitterMs + 1));
    }
    if (_faults.spikeEvery > 0 && n % _faults.spikeEvery == 0)
        delay += _faults.spikeMs;
    sendAck(reply, to, delay);
    if (_faults.duplicateAcks || (_faults.duplicateLastAcks && lastBlock) || _faults.duplicateAckOf == n)
        sendAck(reply, to, delay + _faults.duplicateDelayMs);
}

void DeviceSim::sendAck(quint8 type, const QHostAddress &to, int delayMs)
{
    const int number = _datagramCount;
    if (delayMs <= 0) {
        writeAck(type, to, number);
        return;
    }
    const quint64 generation = _generation;
    const quint64 epoch = _epoch;
    ++_acksPending;
    // Precise: a coarse timer may fire early, and "late" must mean at least delayMs.
    QTimer::singleShot(delayMs, Qt::PreciseTimer, this, [this, type, to, number, generation, epoch] {
        if (generation != _generation)
            return;
        --_acksPending;
        writeAck(type, to, epoch == _epoch ? number : 0);
    });
}

void DeviceSim::writeAck(quint8 type, const QHostAddress &to, int datagramNumber)
{
    if (!_socket)
        return;
    if (_socket->writeDatagram(ackDatagram(type), to, kAckPort) == 3)
        ++_acksSent;
    else
        qWarning("devicesim: acknowledgement to %s not sent: %s", qPrintable(to.toString()),
                 qPrintable(_socket->errorString()));
    if (datagramNumber != 0 && datagramNumber == _singleDatagram && type == MT_WRITE) {
        _singleAcked = true;
        _quietTimer->start();
    }
}

void DeviceSim::sendStray(quint8 type, const QHostAddress &to)
{
    if (!_straySocket) {
        _straySocket = new QUdpSocket(this);
        if (!_straySocket->bind(kStrayAddress, 0)) {
            qWarning("devicesim: cannot bind %s for the stray datagram: %s",
                     qPrintable(kStrayAddress.toString()), qPrintable(_straySocket->errorString()));
            delete _straySocket;
            _straySocket = nullptr;
            return;
        }
    }
    _straySocket->writeDatagram(ackDatagram(type), to, kAckPort);
}

void DeviceSim::printLine(const QString &line) const
{
    if (!_printSummaries)
        return;
    // Flushed line by line: whoever reads a pipe from us waits for each one.
    std::fputs(qPrintable(_linePrefix + line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}
