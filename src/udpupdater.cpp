#include "udpupdater.h"

#include "crc.h"
#include "updateimage.h"
#include "logview.h"
#include "ui_mainwindow.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFile>
#include <QThread>
#include <QUdpSocket>

#include <algorithm>
#include <optional>

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
    _connectError = ConnectError::None;
    if (target.protocol() != QAbstractSocket::IPv4Protocol) {
        _connectError = ConnectError::BadAddress;
        _errorString = tr("The device IP is not an IPv4 address.");
        return false;
    }
    if (local.protocol() != QAbstractSocket::IPv4Protocol) {
        _connectError = ConnectError::BadAddress;
        _errorString = tr("The adapter has no IPv4 address.");
        return false;
    }

    // Until both sockets are bound there is no device to talk to: an
    // operation now must fail at once, not leave from a random port.
    {
        QMutexLocker lock(&_ackMutex);
        _targetAddress.clear();
        _localAddress = local;
    }

    // Exclusive binds, so a second copy of the program is told the port is
    // taken instead of silently sharing it.
    if (_udpReceiver->state() != QAbstractSocket::BoundState) {
        if (!_udpReceiver->bind(QHostAddress::Any, kAckPort, QAbstractSocket::DontShareAddress)) {
            _connectError = ConnectError::PortUnavailable;
            _errorString = bindError(_udpReceiver, kAckPort);
            return false;
        }
        // Room for the device's answer under a flood of strays; the system
        // may grant less than asked, so say what it gave.
        _udpReceiver->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kReceiveBuffer);
        _receiveBufferGranted = _udpReceiver->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
        qInfo("Answer socket receive buffer: %d KiB (asked for %d KiB)", _receiveBufferGranted / 1024,
              kReceiveBuffer / 1024);
    }

    // Bound anew every time, so a corrected adapter choice takes effect.
    if (_udpSender->state() != QAbstractSocket::UnconnectedState)
        _udpSender->close();
    if (!_udpSender->bind(_localAddress, kDevicePort, QAbstractSocket::DontShareAddress)) {
        // The adapter lost its address since the list was read: that is not
        // the port's fault.
        _connectError = _udpSender->error() == QAbstractSocket::SocketAddressNotAvailableError
                            ? ConnectError::AdapterUnavailable
                            : ConnectError::PortUnavailable;
        _errorString = bindError(_udpSender, kDevicePort);
        return false;
    }

    {
        QMutexLocker lock(&_ackMutex);
        _targetAddress = target;
    }
    sendCmd(MT_INIT);
    // Sent from this thread, so a write the network refused is known now:
    // no use waiting for an answer to a command that never left.
    QMutexLocker lock(&_ackMutex);
    if (_sendFailed) {
        _targetAddress.clear();
        _connectError = ConnectError::Unreachable;
        _errorString = _sendError;
        return false;
    }
    return true;
}

void udpUpdater::forgetDevice()
{
    {
        QMutexLocker lock(&_ackMutex);
        _targetAddress.clear();
        _waitingForAck = false;
        _queued.clear();
    }
    _ackArrived.wakeAll();
}

bool udpUpdater::sendCmd(message_types type)
{
    return sendCmdWithData(type, QByteArray());
}

QByteArray udpUpdater::datagramFor(message_types type, const QByteArray &data)
{
    QByteArray datagram;
    datagram.reserve(3 + data.size());
    datagram.append(kHeader0).append(kHeader1).append(char(type & 0xFF)).append(data);
    return datagram;
}

// Called with _ackMutex held: the command becomes the one in flight.
void udpUpdater::raiseWait(message_types type)
{
    _typeOfAckWaiting = type;
    _commandWritten = false;
    _ackRefused = false;
    _sendFailed = false;
    _ackTarget = _acksAccepted + 1;
    _inFlightSince = std::chrono::steady_clock::now();
    _waitingForAck = true;
}

bool udpUpdater::sendCmdWithData(message_types type, QByteArray data)
{
    const QByteArray datagram = datagramFor(type, data);
    {
        // Raised before the datagram leaves, so an instant answer is not missed.
        QMutexLocker lock(&_ackMutex);
        raiseWait(type);
    }
    handOver(datagram);
    return true;
}

void udpUpdater::handOver(const QByteArray &datagram)
{
    // The sockets belong to the GUI thread: a background caller hands the
    // datagram over, and queued calls keep the sending order.
    if (QThread::currentThread() == thread())
        transmit(datagram);
    else
        QMetaObject::invokeMethod(this, [this, datagram] { transmit(datagram); },
                                  Qt::QueuedConnection);
}

void udpUpdater::enqueueBlocks(std::deque<QByteArray> &&datagrams)
{
    QByteArray first;
    {
        QMutexLocker lock(&_ackMutex);
        // A transfer that has already failed sends nothing more.
        if (_aborted || _surplusAnswer || _ackRefused || _sendFailed)
            return;
        for (QByteArray &datagram : datagrams)
            _queued.push_back(std::move(datagram));
        if (_waitingForAck || _queued.empty())
            return;
        // Everything handed over so far is answered: this one goes the
        // ordinary way, otherwise receiveAck() sends it on the answer.
        first = std::move(_queued.front());
        _queued.pop_front();
        raiseWait(MT_WRITE);
    }
    handOver(first);
}

void udpUpdater::transmit(const QByteArray &datagram)
{
    if (_log)
        _log->add(LogView::Sent, datagram);

    {
        QMutexLocker lock(&_ackMutex);
        _commandWritten = true;
    }
    if (_udpSender->writeDatagram(datagram, _targetAddress, kDevicePort) >= 0)
        return;

    QMutexLocker lock(&_ackMutex);
    if (!_waitingForAck)
        return;
    _waitingForAck = false;
    _queued.clear();
    _sendFailed = true;
    _sendError = _udpSender->errorString();
    lock.unlock();
    _ackArrived.wakeAll();
}

void udpUpdater::receiveAck()
{
    // Any datagram fits: IPv4 UDP carries at most 65507 bytes.
    static constexpr qint64 kMaxDatagram = 65536;
    if (_readBuffer.size() < kMaxDatagram)
        _readBuffer.resize(kMaxDatagram);

    // A staged command leaves only once everything already here is read:
    // none of that can be its answer (a duplicate answer to the previous
    // block, say), and with no block number on the wire nothing else tells.
    QByteArray next;
    bool wake = false;
    std::optional<message_types> refusedType;
    while (_udpReceiver->hasPendingDatagrams()) {
        QHostAddress sender;
        const qint64 size = _udpReceiver->readDatagram(_readBuffer.data(), kMaxDatagram, &sender);
        if (size < 0)
            break;
        if (_log)
            _log->addReceived(_readBuffer.constData(), size);

        // Only the device's answer to the command in flight counts. Anything
        // from another host goes no further, so a flood of them costs little.
        // (_targetAddress changes only on this thread.)
        if (!sender.isEqual(_targetAddress, QHostAddress::TolerantConversion))
            continue;
        if (size < 3 || _readBuffer.at(0) != kHeader0 || _readBuffer.at(1) != kHeader1)
            continue;
        const quint8 type = quint8(_readBuffer.at(2));

        bool accepted = false;
        {
            QMutexLocker lock(&_ackMutex);
            // Nothing read before the command left can be its answer (a
            // duplicate answer to the previous block, say).
            const bool awaited = _waitingForAck && _commandWritten && type == quint8(_typeOfAckWaiting);
            if (awaited) {
                accepted = true;
                _receivedAck = true;
                _typeOfAckReceived = _typeOfAckWaiting;
                ++_acksAccepted;
                if (_imageOpen && _acksAccepted - _imageBase < _imageBlocks) {
                    const auto took = std::chrono::steady_clock::now() - _inFlightSince;
                    _slowestAnswer = std::max(_slowestAnswer, took);
                }
                if (!_queued.empty() && !_aborted) {
                    // The next block leaves now, not when its thread wakes up.
                    next = std::move(_queued.front());
                    _queued.pop_front();
                    raiseWait(MT_WRITE);
                } else {
                    _waitingForAck = false;
                }
                // The sending thread sleeps while it is well ahead.
                wake = wake || _queued.size() <= kRefillAt;
            } else if (_imageOpen && type == MT_WRITE) {
                // The device answered more often than it was asked: with no
                // block number on the wire, some earlier answer of this image
                // may have been a copy, so none of them can be trusted.
                _surplusAnswer = true;
                _queued.clear();
                _waitingForAck = false;
                next.clear();
                wake = true;
            } else if (!_waitingForAck || !_commandWritten) {
                continue;
            } else if (!isKnownType(type)) {
                // The device refusing the command.
                _receivedAck = false;
                _ackRefused = true;
                _queued.clear();
                _waitingForAck = false;
                wake = true;
                refusedType = _typeOfAckWaiting;
            } else {
                continue;
            }
        }
        if (refusedType) {
            emit refused(*refusedType);
            refusedType.reset();
            continue;
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
    if (!next.isEmpty())
        transmit(next);
    // Woken only now, so the sending thread does not get in before the block.
    if (wake)
        _ackArrived.wakeAll();
}

quint64 udpUpdater::inFlightTarget() const
{
    QMutexLocker lock(&_ackMutex);
    return _ackTarget;
}

udpUpdater::AckWait udpUpdater::waitForAck(quint64 target, std::chrono::milliseconds limit)
{
    QMutexLocker lock(&_ackMutex);
    const QDeadlineTimer deadline(limit);
    // Sleeps until receiveAck(), a failed write or abort() wakes it.
    for (;;) {
        if (_acksAccepted >= target)
            return AckWait::Acked;
        if (_aborted || _ackRefused || _sendFailed || !_waitingForAck)
            break;
        if (!_ackArrived.wait(&_ackMutex, deadline))
            break;
    }
    if (_acksAccepted >= target)
        return AckWait::Acked;

    // This wait is over: drop what was staged behind it, and stop waiting so
    // a late answer is not taken for the next command's.
    _queued.clear();
    _waitingForAck = false;
    if (_aborted)
        return AckWait::Aborted;
    if (_sendFailed)
        return AckWait::SendFailed;
    if (_ackRefused)
        return AckWait::Refused;
    return AckWait::TimedOut;
}

udpUpdater::TransferWait udpUpdater::waitForBlocks(quint64 base, quint32 blocks, quint32 handedOver,
                                                  quint32 total, const Timeouts &limits)
{
    QMutexLocker lock(&_ackMutex);
    TransferWait wait;
    for (;;) {
        wait.answered = quint32(qMin<quint64>(_acksAccepted - base, blocks));
        if (_surplusAnswer)
            break;
        if (wait.answered >= blocks)
            return wait;
        if (_aborted || _ackRefused || _sendFailed)
            break;
        if (handedOver < blocks && _queued.size() <= kRefillAt)
            return wait;  // time to top up

        // Each block has its own limit, counted from when it left.
        const bool last = wait.answered == total - 1;
        const auto deadline = _inFlightSince + (last ? limits.lastBlock : limits.block);
        const auto now = std::chrono::steady_clock::now();
        if (!_waitingForAck || now >= deadline) {
            wait.state = AckWait::TimedOut;
            break;
        }
        _ackArrived.wait(&_ackMutex, QDeadlineTimer(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         deadline - now) + std::chrono::milliseconds(1)));
    }

    // This transfer is over: drop what was handed over behind it, and stop
    // waiting so a late answer is not taken for the next command's.
    _queued.clear();
    _waitingForAck = false;
    if (_aborted)
        wait.state = AckWait::Aborted;
    else if (_surplusAnswer)
        wait.state = AckWait::AnsweredTwice;
    else if (_sendFailed)
        wait.state = AckWait::SendFailed;
    else if (_ackRefused)
        wait.state = AckWait::Refused;
    return wait;
}

udpUpdater::AckWait udpUpdater::listenForSurplus()
{
    QMutexLocker lock(&_ackMutex);
    const auto quiet = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(10 * _slowestAnswer),
                                  kMinQuiet, kMaxQuiet);
    const QDeadlineTimer deadline(quiet, Qt::PreciseTimer);
    while (!_surplusAnswer && !_aborted) {
        if (!_ackArrived.wait(&_ackMutex, deadline))
            break;
    }
    if (_aborted)
        return AckWait::Aborted;
    return _surplusAnswer ? AckWait::AnsweredTwice : AckWait::Acked;
}

void udpUpdater::abort()
{
    QMutexLocker lock(&_ackMutex);
    _aborted = true;
    lock.unlock();
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
    case AckWait::AnsweredTwice:
        return Outcome::AnsweredTwice;
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

udpUpdater::Outcome udpUpdater::readiness() const
{
    QMutexLocker lock(&_ackMutex);
    if (_aborted)
        return Outcome::Aborted;
    return _targetAddress.isNull() ? Outcome::NotConnected : Outcome::Success;
}

bool udpUpdater::eraseTarget()
{
    // Nothing of an earlier operation may stand for this one.
    _lastResult = Result();
    Result result;
    try {
        result.outcome = readiness();
        if (!result.ok())
            return finish(result);

        sendCmd(MT_ERASE);
        result.outcome = outcomeOf(waitForAck(inFlightTarget(), timeouts().erase), false);
    } catch (const std::exception &error) {
        result.outcome = Outcome::SendFailed;
        result.detail = QString::fromLocal8Bit(error.what());
    }
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
    _lastResult = Result();
    Result result;
    result.fileNumber = fileNumber;
    try {
        if (readiness() == Outcome::Aborted) {
            result.outcome = Outcome::Aborted;
            return finish(result);
        }
        const UpdateImage image = UpdateImage::load(filePath);
        if (!image.ok()) {
            if (image.problem() == UpdateImage::Problem::Missing || image.problem() == UpdateImage::Problem::Unreadable)
                qDebug() << "Failed to open file: " << image.systemError();
            result.outcome = outcomeOf(image.problem());
            result.imageProblem = image.problem();
            result.detail = image.systemError();
            return finish(result);
        }
        return transferImage(image.data(), fileNumber);
    } catch (const std::exception &error) {
        // Whatever went wrong, the image did not go out.
        result.outcome = Outcome::FileNotReadable;
        result.detail = QString::fromLocal8Bit(error.what());
        return finish(result);
    }
}

bool udpUpdater::sendImageToTarget(const QByteArray &image, int fileNumber)
{
    _lastResult = Result();
    try {
        return transferImage(image, fileNumber);
    } catch (const std::exception &error) {
        Result result;
        result.fileNumber = fileNumber;
        result.outcome = Outcome::SendFailed;
        result.detail = QString::fromLocal8Bit(error.what());
        return finish(result);
    }
}

udpUpdater::Outcome udpUpdater::outcomeOf(UpdateImage::Problem problem)
{
    switch (problem) {
    case UpdateImage::Problem::None:
        return Outcome::Success;
    case UpdateImage::Problem::Empty:
        return Outcome::ImageEmpty;
    case UpdateImage::Problem::TooLarge:
        return Outcome::ImageTooLarge;
    default:
        break;
    }
    return Outcome::FileNotReadable;
}

udpUpdater::TransferWait udpUpdater::sendBlocks(const QByteArray &data, quint8 number, quint32 checksum,
                                                quint64 base, quint32 first, quint32 end,
                                                const Timeouts &limits, int &reportedPercent)
{
    const quint32 total = blockCount(data.size());
    quint32 handedOver = first;
    for (;;) {
        // Top up what the GUI thread has to send, outside the lock.
        size_t queued;
        {
            QMutexLocker lock(&_ackMutex);
            queued = _queued.size();
        }
        if (handedOver < end && queued <= kRefillAt) {
            std::deque<QByteArray> batch;
            while (handedOver < end && queued + batch.size() < kBlocksAhead)
                batch.push_back(datagramFor(MT_WRITE, writeBlock(data, number, handedOver++, checksum)));
            enqueueBlocks(std::move(batch));
        }

        const TransferWait wait = waitForBlocks(base, end, handedOver, total, limits);
        if (wait.answered > 0) {
            const int percent = int(quint64(wait.answered) * 100 / total);
            if (percent != reportedPercent) {
                reportedPercent = percent;
                emit transferProgress(number, wait.answered, total);
            }
        }
        if (wait.state != AckWait::Acked || wait.answered >= end)
            return wait;
    }
}

bool udpUpdater::transferImage(const QByteArray &data, int fileNumber)
{
    Result result;
    result.fileNumber = fileNumber;
    const Outcome ready = readiness();
    const quint32 iterations = blockCount(data.size());
    result.blockCount = iterations;
    if (iterations == 0) {
        // Nothing was sent, so nothing can have been updated.
        result.outcome = Outcome::ImageEmpty;
        result.imageProblem = UpdateImage::Problem::Empty;
        return finish(result);
    }
    if (ready != Outcome::Success) {
        result.outcome = ready;
        return finish(result);
    }

    const quint32 checksum = crc().crc32(data);
    const Timeouts limits = timeouts();
    const quint8 number = quint8(fileNumber);

    // Still stop-and-wait on the wire: blocks are handed over ahead, and the
    // GUI thread sends each one only when the one before is answered.
    quint64 base;
    {
        QMutexLocker lock(&_ackMutex);
        // One operation at a time: a command still "in flight" now is one
        // nobody waits for any more (a "Connect" the device never answered).
        _waitingForAck = false;
        _queued.clear();
        base = _acksAccepted;
        // How an earlier operation ended is no concern of this one.
        _ackRefused = false;
        _sendFailed = false;
        _imageOpen = true;
        _surplusAnswer = false;
        _imageBase = base;
        _imageBlocks = iterations;
        _slowestAnswer = {};
    }
    const auto closeImage = [this] {
        QMutexLocker lock(&_ackMutex);
        _imageOpen = false;
    };

    // The last block waits for a quiet link, so a late copy of an earlier
    // answer is caught here and cannot pass for the last block's answer.
    int reportedPercent = -1;
    const quint32 ahead = iterations - 1;
    TransferWait wait;
    AckWait state = AckWait::Acked;
    using Clock = std::chrono::steady_clock;
    Clock::duration quiet{};
    if (ahead > 0) {
        wait = sendBlocks(data, number, checksum, base, 0, ahead, limits, reportedPercent);
        state = wait.state;
        if (state == AckWait::Acked) {
            const auto since = Clock::now();
            state = listenForSurplus();
            quiet += Clock::now() - since;
        }
    }
    if (state == AckWait::Acked) {
        wait = sendBlocks(data, number, checksum, base, ahead, iterations, limits, reportedPercent);
        state = wait.state;
    }
    // ... and after its answer, one more quiet spell for a copy of that.
    if (state == AckWait::Acked) {
        const auto since = Clock::now();
        state = listenForSurplus();
        quiet += Clock::now() - since;
    }
    closeImage();
    result.quietTime = std::chrono::duration_cast<std::chrono::milliseconds>(quiet);

    if (state != AckWait::Acked) {
        result.outcome = outcomeOf(state, wait.answered == iterations - 1);
        result.blockIndex = qMin(wait.answered, iterations - 1);
        return finish(result);
    }
    result.outcome = Outcome::Success;
    result.blockIndex = iterations - 1;
    return finish(result);
}
