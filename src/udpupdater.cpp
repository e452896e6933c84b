#include "udpupdater.h"

#include "crc.h"
#include "logview.h"
#include "ui_mainwindow.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QNetworkDatagram>
#include <QThread>
#include <QUdpSocket>

namespace {

constexpr char kHeader0 = char(0xA5);
constexpr char kHeader1 = char(0x5A);

bool isKnownType(quint8 type)
{
    return type == MT_READ || type == MT_INIT || type == MT_ERASE || type == MT_WRITE;
}

// Short enough for one line of the prompt box.
QString bindError(const QUdpSocket *socket, quint16 port)
{
    if (socket->error() == QAbstractSocket::AddressInUseError)
        return udpUpdater::tr("Port %1 is already in use.").arg(port);
    return udpUpdater::tr("Port %1: %2").arg(port).arg(socket->errorString());
}

} // namespace

udpUpdater::udpUpdater(Ui::MainWindow *ui)
    : QObject(nullptr)
    , _ui(ui)
    , _udpSender(new QUdpSocket(this))
    , _udpReceiver(new QUdpSocket(this))
{
    if (_ui)
        _log = new LogView(_ui->txt_log, this);
    // Connected once: a second "Connect" must not add a second handler.
    connect(_udpReceiver, &QUdpSocket::readyRead, this, &udpUpdater::receiveAck);
}

udpUpdater::~udpUpdater() = default;

bool udpUpdater::initialise(QHostAddress target, QHostAddress local)
{
    _errorString.clear();
    if (target.protocol() != QAbstractSocket::IPv4Protocol) {
        _errorString = tr("The device IP is not an IPv4 address.");
        return false;
    }
    if (local.protocol() != QAbstractSocket::IPv4Protocol) {
        _errorString = tr("The adapter has no IPv4 address.");
        return false;
    }

    {
        QMutexLocker lock(&_ackMutex);
        _targetAddress = target;
        _localAddress = local;
    }

    // Exclusive binds, so a second copy of the program is told the port is
    // taken instead of silently sharing it.
    if (_udpReceiver->state() != QAbstractSocket::BoundState
        && !_udpReceiver->bind(QHostAddress::Any, kAckPort, QAbstractSocket::DontShareAddress)) {
        _errorString = bindError(_udpReceiver, kAckPort);
        return false;
    }

    // Bound anew every time, so a corrected adapter choice takes effect.
    if (_udpSender->state() != QAbstractSocket::UnconnectedState)
        _udpSender->close();
    if (!_udpSender->bind(_localAddress, kDevicePort, QAbstractSocket::DontShareAddress)) {
        _errorString = bindError(_udpSender, kDevicePort);
        return false;
    }

    return sendCmd(MT_INIT);
}

bool udpUpdater::sendCmd(message_types type)
{
    return sendCmdWithData(type, QByteArray());
}

bool udpUpdater::sendCmdWithData(message_types type, QByteArray data)
{
    QByteArray datagram;
    datagram.reserve(3 + data.size());
    datagram.append(kHeader0).append(kHeader1).append(char(type & 0xFF)).append(data);

    {
        // Raised before the datagram leaves, so an instant answer is not missed.
        QMutexLocker lock(&_ackMutex);
        _typeOfAckWaiting = type;
        _commandWritten = false;
        _ackRefused = false;
        _sendFailed = false;
        _waitingForAck = true;
    }

    // The sockets belong to the GUI thread: a background caller hands the
    // datagram over, and queued calls keep the sending order.
    if (QThread::currentThread() == thread())
        transmit(datagram);
    else
        QMetaObject::invokeMethod(this, [this, datagram] { transmit(datagram); },
                                  Qt::QueuedConnection);
    return true;
}

void udpUpdater::transmit(const QByteArray &datagram)
{
    if (_log)
        _log->add(LogView::Sent, datagram);

    {
        QMutexLocker lock(&_ackMutex);
        _commandWritten = true;
    }
    if (_udpSender->writeDatagram(datagram, _targetAddress, kDevicePort) < 0) {
        QMutexLocker lock(&_ackMutex);
        if (_waitingForAck) {
            _waitingForAck = false;
            _sendFailed = true;
            _sendError = _udpSender->errorString();
            _ackArrived.wakeAll();
        }
    }
}

void udpUpdater::receiveAck()
{
    while (_udpReceiver->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = _udpReceiver->receiveDatagram();
        const QByteArray bytes = datagram.data();
        if (_log)
            _log->add(LogView::Received, bytes);

        // Only the answer to the command in flight counts: a stray packet on
        // the LAN must never pass for the device's acknowledgement.
        if (bytes.size() < 3 || bytes.at(0) != kHeader0 || bytes.at(1) != kHeader1)
            continue;
        const quint8 type = quint8(bytes.at(2));

        bool accepted = false;
        {
            QMutexLocker lock(&_ackMutex);
            if (!datagram.senderAddress().isEqual(_targetAddress,
                                                  QHostAddress::TolerantConversion))
                continue;
            // Nothing read before the command left can be its answer (a
            // duplicate answer to the previous block, say).
            if (!_waitingForAck || !_commandWritten)
                continue;
            if (type == quint8(_typeOfAckWaiting)) {
                accepted = true;
                _receivedAck = true;
                _typeOfAckReceived = _typeOfAckWaiting;
            } else if (!isKnownType(type)) {
                // The device refusing the command.
                _receivedAck = false;
                _ackRefused = true;
            } else {
                continue;
            }
            _waitingForAck = false;
            _ackArrived.wakeAll();
        }

        if (!accepted)
            continue;
        if (_ui && type == MT_INIT) {
            _ui->btn_startUpdate->setEnabled(true);
            _ui->progressBar->setEnabled(true);
            _ui->progressBar->setValue(10);
            _ui->label_user_prompt->setText(QStringLiteral("Connected!\nReady to start the update."));
        } else if (_ui && type == MT_ERASE) {
            _ui->progressBar->setValue(30);
            _ui->label_user_prompt->setText(QStringLiteral("Device Erased!\nGetting update files ready ..."));
        }
        emit acknowledged(message_types(type));
    }
}

udpUpdater::AckWait udpUpdater::waitForAck(std::chrono::milliseconds limit)
{
    QMutexLocker lock(&_ackMutex);
    const QDeadlineTimer deadline(limit);
    // Sleeps until receiveAck(), a failed write or abort() wakes it.
    while (_waitingForAck && !_aborted) {
        if (!_ackArrived.wait(&_ackMutex, deadline))
            break;
    }
    if (_aborted) {
        _waitingForAck = false;
        return AckWait::Aborted;
    }
    if (_waitingForAck) {
        // Stop waiting, so a late answer is not taken for the next command's.
        _waitingForAck = false;
        return AckWait::TimedOut;
    }
    if (_sendFailed)
        return AckWait::SendFailed;
    return _ackRefused ? AckWait::Refused : AckWait::Acked;
}

void udpUpdater::abort()
{
    QMutexLocker lock(&_ackMutex);
    _aborted = true;
    _ackArrived.wakeAll();
}

void udpUpdater::setTimeouts(const Timeouts &timeouts)
{
    QMutexLocker lock(&_ackMutex);
    _timeouts = timeouts;
}

udpUpdater::Timeouts udpUpdater::timeouts() const
{
    QMutexLocker lock(&_ackMutex);
    return _timeouts;
}

udpUpdater::Outcome udpUpdater::outcomeOf(AckWait wait, bool lastBlock)
{
    switch (wait) {
    case AckWait::Acked:
        return Outcome::Success;
    case AckWait::TimedOut:
        return lastBlock ? Outcome::NotConfirmed : Outcome::NoAnswer;
    case AckWait::Refused:
        return Outcome::Refused;
    case AckWait::SendFailed:
        return Outcome::SendFailed;
    case AckWait::Aborted:
        break;
    }
    return Outcome::Aborted;
}

bool udpUpdater::finish(Result result)
{
    if (result.outcome == Outcome::SendFailed) {
        QMutexLocker lock(&_ackMutex);
        result.detail = _sendError;
    }
    _lastResult = result;
    return result.ok();
}

bool udpUpdater::eraseTarget()
{
    Result result;
    bool connected;
    bool aborted;
    {
        QMutexLocker lock(&_ackMutex);
        connected = !_targetAddress.isNull();
        aborted = _aborted;
    }
    if (aborted) {
        result.outcome = Outcome::Aborted;
        return finish(result);
    }
    if (!connected) {
        result.outcome = Outcome::NotConnected;
        return finish(result);
    }

    sendCmd(MT_ERASE);
    result.outcome = outcomeOf(waitForAck(timeouts().erase), false);
    return finish(result);
}

quint32 udpUpdater::blockCount(qsizetype imageSize)
{
    return quint32(imageSize / chunkSize + (imageSize % chunkSize > 0 ? 1 : 0));
}

QByteArray udpUpdater::writeBlock(const QByteArray &image, quint8 fileNumber, quint32 index,
                                  quint32 checksum)
{
    const quint32 count = blockCount(image.size());
    const qsizetype offset = qsizetype(index) * chunkSize;
    const qsizetype length = qMin<qsizetype>(chunkSize, image.size() - offset);
    quint8 status = WFS_MID;
    bool withChecksum = false;
    if (index == 0) {
        // The first-block rule wins, so a one-block image goes out as START,
        // without checksum, declaring the bytes it really carries.
        status = WFS_START;
    } else if (index == count - 1) {
        status = WFS_END;
        withChecksum = true;
    }

    QByteArray block;
    block.reserve(kBlockHeaderSize + length + 4);
    block.append(char(fileNumber))
        .append(char(status))
        .append(char((length >> 8) & 0xFF))
        .append(char(length & 0xFF))
        .append(char(index & 0xFF))
        .append(image.constData() + offset, length);
    if (withChecksum) {
        block.append(char((checksum >> 24) & 0xFF))
            .append(char((checksum >> 16) & 0xFF))
            .append(char((checksum >> 8) & 0xFF))
            .append(char(checksum & 0xFF));
    }
    return block;
}

bool udpUpdater::sendFileToTarget(QString filePath, int fileNumber)
{
    Result result;
    result.fileNumber = fileNumber;
    bool connected;
    bool aborted;
    {
        QMutexLocker lock(&_ackMutex);
        connected = !_targetAddress.isNull();
        aborted = _aborted;
    }
    if (aborted) {
        result.outcome = Outcome::Aborted;
        return finish(result);
    }

    _file = std::make_unique<QFile>(filePath);
    if (!_file->open(QIODevice::ReadOnly)) {
        qDebug() << "Failed to open file: " << _file->errorString();
        result.outcome = Outcome::FileNotReadable;
        result.detail = _file->errorString();
        _file.reset();
        return finish(result);
    }
    const qint64 expected = _file->size();
    const QByteArray data = _file->readAll();
    const bool readFailed = data.size() != expected;
    const QString readError = _file->errorString();
    // The bytes are in memory: the file is not needed any more.
    _file.reset();
    if (readFailed) {
        qDebug() << "Failed to read file: " << readError;
        result.outcome = Outcome::FileNotReadable;
        result.detail = readError;
        return finish(result);
    }

    const quint32 iterations = blockCount(data.size());
    result.blockCount = iterations;
    if (iterations == 0)
        return finish(result);
    if (!connected) {
        result.outcome = Outcome::NotConnected;
        return finish(result);
    }

    const quint32 checksum = crc().crc32(data);
    const Timeouts limits = timeouts();
    int reportedPercent = -1;
    for (quint32 index = 0; index < iterations; ++index) {
        const bool last = index == iterations - 1;
        sendCmdWithData(MT_WRITE, writeBlock(data, quint8(fileNumber), index, checksum));
        const AckWait wait = waitForAck(last ? limits.lastBlock : limits.block);
        if (wait != AckWait::Acked) {
            result.outcome = outcomeOf(wait, last);
            result.blockIndex = index;
            return finish(result);
        }
        const int percent = int(quint64(index + 1) * 100 / iterations);
        if (percent != reportedPercent) {
            reportedPercent = percent;
            emit transferProgress(fileNumber, index + 1, iterations);
        }
    }
    result.blockIndex = iterations - 1;
    return finish(result);
}
