#include "devicesession.h"

#include "crc.h"
#include "networkadapter.h"
#include "transport.h"

#include <algorithm>

using namespace std::chrono;

DeviceSession::DeviceSession(Transport *transport, const QHostAddress &adapter, const QHostAddress &device,
                             QObject *parent)
    : QObject(parent)
    , _transport(transport)
    , _adapter(adapter)
    , _device(device)
    , _adapterIp(adapter.toIPv4Address())
    , _deviceIp(device.toIPv4Address())
{
    _deadline.setSingleShot(true);
    _deadline.setTimerType(Qt::PreciseTimer);
    connect(&_deadline, &QTimer::timeout, this, &DeviceSession::deadlineCheck);
    _quiet.setSingleShot(true);
    _quiet.setTimerType(Qt::PreciseTimer);
    connect(&_quiet, &QTimer::timeout, this, &DeviceSession::quietOver);
    if (_transport)
        _transport->attach(this);
}

DeviceSession::~DeviceSession()
{
    if (_transport)
        _transport->detach(this);
}

void DeviceSession::transportGone()
{
    _transport = nullptr;
    if (isBusy())
        finish(Outcome::Aborted);
}

bool DeviceSession::begin(Phase phase, OperationResult::Operation operation, int fileNumber, Scope scope)
{
    // A connect still waiting is simply not waited for any more.
    if (_phase == Phase::Connecting) {
        // Its answer may still come: late, not a copy.
        _lateConnectAnswer = _written;
        _phase = Phase::Idle;
        _deadline.stop();
        _held = false;
        setAwaiting(false);
    }
    if (_phase != Phase::Idle) {
        qWarning("DeviceSession %s: an operation was started while another runs",
                 qPrintable(_device.toString()));
        OperationResult refusal;
        refusal.operation = operation;
        refusal.fileNumber = fileNumber;
        refusal.detail = tr("Another operation is in progress.");
        emit finished(refusal);
        return false;
    }
    _result = OperationResult();
    _result.operation = operation;
    _result.fileNumber = fileNumber;
    _phase = phase;
    if (_aborted) {
        finish(Outcome::Aborted);
        return false;
    }
    if (!_transport) {
        finish(Outcome::NotConnected);
        return false;
    }
    _quietSpent = nanoseconds(0);
    if (scope == Scope::SinceConnect && _surplusSinceConnect > 0) {
        // Some answer since the connect was a copy, so none of them can be
        // trusted: nothing more goes to this device.
        finish(Outcome::AnsweredTwice);
        return false;
    }
    return true;
}

bool DeviceSession::connectDevice(milliseconds limit)
{
    _connectLimit = limit;
    if (!begin(Phase::Connecting, OperationResult::Operation::Connect, 0, Scope::Operation))
        return false;
    // Counting starts again at this connect's answer.
    _connected = false;
    _lateConnectAnswer = false;
    _surplusSinceConnect = 0;
    _slowestNs = 0;
    _datagram = protocol::commandDatagram(MT_INIT);
    return command(MT_INIT);
}

void DeviceSession::erase(Scope scope)
{
    if (!begin(Phase::Erasing, OperationResult::Operation::Erase, 0, scope))
        return;
    _datagram = protocol::commandDatagram(MT_ERASE);
    if (scope == Scope::SinceConnect) {
        // A device or network that doubles answers shows itself here, while
        // the device still has its firmware.
        const nanoseconds since = _connected ? steady_clock::now() - _lastAnswerAt : nanoseconds(0);
        const nanoseconds rest = quietSpell() - since;
        if (rest > nanoseconds(0)) {
            startQuiet(Phase::QuietBeforeErase, rest);
            return;
        }
    }
    command(MT_ERASE);
}

void DeviceSession::sendImage(const QByteArray &image, int fileNumber, std::optional<quint32> checksum, Scope scope)
{
    if (!begin(Phase::Sending, OperationResult::Operation::Image, fileNumber, scope))
        return;
    _image = image;
    _number = quint8(fileNumber);
    _blocks = protocol::blockCount(image.size());
    _result.blockCount = _blocks;
    _answered = 0;
    _reportedPercent = -1;
    if (_blocks == 0) {
        // Nothing sent is nothing updated.
        _result.imageProblem = UpdateImage::Problem::Empty;
        finish(Outcome::ImageEmpty);
        return;
    }
    _checksum = checksum ? *checksum : crc().crc32(_image);
    // A one-block image starts with its last block: the spell before it
    // follows the one after the image before.
    if (_blocks == 1)
        startQuiet(Phase::QuietBeforeLast, quietSpell());
    else
        sendBlock(0);
}

void DeviceSession::abort()
{
    _aborted = true;
    if (isBusy())
        finish(Outcome::Aborted);
}

bool DeviceSession::command(message_types type)
{
    _awaitedType = type;
    _written = false;
    setAwaiting(true);
    _sentAt = steady_clock::now();
    // The timer moves on only when it comes due, unless this command's limit
    // ends sooner than the one it runs for (the last block after the others).
    const milliseconds limit = currentLimit();
    if (limit > milliseconds(0)) {
        const auto due = _sentAt + limit;
        if (!_deadline.isActive() || due < _deadlineDue) {
            _deadline.start(limit);
            _deadlineDue = due;
        }
    }

    if (_transport && _transport->isReading()) {
        _held = true;
        _transport->deferUntilRead(this);
        return true;
    }
    return transmit();
}

bool DeviceSession::transmit()
{
    QString error;
    if (!_transport || !_transport->send(_adapterIp, _deviceIp, _datagram, &error)) {
        failUnlessAdapterFault(Outcome::SendFailed, error);
        return false;
    }
    _written = true;
    _result.sent = true;
    return true;
}

void DeviceSession::sendDeferred()
{
    if (!_held || !isBusy())
        return;
    _held = false;
    transmit();
}

milliseconds DeviceSession::waited() const
{
    return _awaiting ? duration_cast<milliseconds>(steady_clock::now() - _sentAt) : milliseconds(0);
}

void DeviceSession::sendBlock(quint32 index)
{
    protocol::writeDatagram(_datagram, _image, _number, index, _checksum);
    command(MT_WRITE);
}

void DeviceSession::handleAnswer(const char *datagram, qint64 size)
{
    const int type = protocol::answerType(datagram, size);
    if (type < 0)
        return;
    // Nothing read before the command left can be its answer.
    if (_awaiting && _written && quint32(type) == _awaitedType) {
        onAnswer();
        return;
    }
    if (!protocol::isKnownType(quint8(type))) {
        if (_awaiting && _written) {
            const message_types refusedType = _awaitedType;
            finish(Outcome::Refused);
            emit refused(refusedType);
        }
        return;
    }
    // No command asks for it, so it can stand in for no answer either.
    if (type == MT_READ)
        return;
    if (type == MT_INIT && _lateConnectAnswer) {
        _lateConnectAnswer = false;
        return;
    }
    surplusAnswer();
}

void DeviceSession::surplusAnswer()
{
    // The device answered more often than it was asked: with no block number
    // on the wire, some earlier answer may have been a copy standing in for
    // one the device never gave, so none of them can be trusted.
    if (_connected)
        ++_surplusSinceConnect;
    if (_phase != Phase::Idle && _phase != Phase::Connecting)
        finish(Outcome::AnsweredTwice);
}

void DeviceSession::onAnswer()
{
    _lastAnswerAt = steady_clock::now();
    switch (_phase) {
    case Phase::Connecting:
        _connected = true;
        [[fallthrough]];
    case Phase::Erasing: {
        const message_types type = _awaitedType;
        setAwaiting(false);
        emit acknowledged(type);
        if (isBusy())
            finish(Outcome::Success);
        return;
    }
    case Phase::Sending:
        break;
    default:
        return;
    }

    // Not reported as idle: the next block leaves at once.
    _awaiting = false;
    const qint64 took = duration_cast<nanoseconds>(_lastAnswerAt - _sentAt).count();
    ++_answered;
    if (_answered < _blocks)
        _slowestNs = std::max(_slowestNs, took);
    emit acknowledged(MT_WRITE);
    if (_phase != Phase::Sending)
        return;  // aborted from a slot
    const int percent = int(quint64(_answered) * 100 / _blocks);
    if (percent != _reportedPercent) {
        _reportedPercent = percent;
        emit progress(_number, _answered, _blocks);
        if (_phase != Phase::Sending)
            return;
    }

    if (_answered == _blocks)
        startQuiet(Phase::QuietAfterLast, quietSpell());
    else if (_answered == _blocks - 1)
        startQuiet(Phase::QuietBeforeLast, quietSpell());
    else
        sendBlock(_answered);
}

milliseconds DeviceSession::quietSpell() const
{
    const auto tenTimesSlowest = ceil<milliseconds>(nanoseconds(10 * _slowestNs));
    return std::max(_timeouts.quietMin, std::min(tenTimesSlowest, _timeouts.quietMax));
}

void DeviceSession::startQuiet(Phase phase, nanoseconds length)
{
    _phase = phase;
    setAwaiting(false);
    _quietClock.start();
    // Never shorter than asked: a timer rounded down would end a spell early.
    _quiet.start(ceil<milliseconds>(length));
}

void DeviceSession::quietOver()
{
    _quietSpent += nanoseconds(_quietClock.nsecsElapsed());
    _quietClock.invalidate();
    switch (_phase) {
    case Phase::QuietBeforeErase:
        _phase = Phase::Erasing;
        command(MT_ERASE);
        break;
    case Phase::QuietBeforeLast:
        _phase = Phase::Sending;
        sendBlock(_blocks - 1);
        break;
    case Phase::QuietAfterLast:
        finish(Outcome::Success);
        break;
    default:
        break;
    }
}

milliseconds DeviceSession::currentLimit() const
{
    switch (_phase) {
    case Phase::Connecting:
        return _connectLimit;
    case Phase::Erasing:
        return _timeouts.erase;
    case Phase::Sending:
        return _answered + 1 == _blocks ? _timeouts.lastBlock : _timeouts.block;
    default:
        break;
    }
    return milliseconds(0);
}

void DeviceSession::deadlineCheck()
{
    // One timer for a whole image: each block's limit counts from when that
    // block left, and the timer is moved on only when it comes due.
    if (!_awaiting)
        return;
    const milliseconds limit = currentLimit();
    if (limit <= milliseconds(0))
        return;
    const auto waitedSoFar = duration_cast<milliseconds>(steady_clock::now() - _sentAt);
    if (waitedSoFar < limit) {
        const milliseconds rest = limit - waitedSoFar + milliseconds(1);
        _deadline.start(rest);
        _deadlineDue = steady_clock::now() + rest;
        return;
    }
    const bool lastBlock = _phase == Phase::Sending && _answered + 1 == _blocks;
    failUnlessAdapterFault(lastBlock ? Outcome::NotConfirmed : Outcome::NoAnswer);
}

void DeviceSession::failUnlessAdapterFault(Outcome outcome, const QString &detail)
{
    const AdapterHealth health = NetworkAdapter::health(_adapter);
    if (health.state == AdapterHealth::State::Ok) {
        finish(outcome, detail);
        return;
    }
    const QString name = health.name.isEmpty() && _transport ? _transport->adapterName(_adapterIp) : health.name;
    finish(health.state == AdapterHealth::State::NoLink ? Outcome::NoLink : Outcome::AdapterLost, name);
}

void DeviceSession::setAwaiting(bool awaiting)
{
    const bool changed = awaiting != _awaitingReported;
    _awaiting = awaiting;
    _awaitingReported = awaiting;
    if (changed)
        emit awaitingChanged(awaiting);
}

void DeviceSession::finish(Outcome outcome, const QString &detail)
{
    if (_phase == Phase::Idle)
        return;
    if (_quietClock.isValid())
        _quietSpent += nanoseconds(_quietClock.nsecsElapsed());
    _quietClock.invalidate();
    _result.outcome = outcome;
    if (!detail.isEmpty())
        _result.detail = detail;
    if (_blocks > 0 && _result.blockCount > 0)
        _result.blockIndex = std::min(_answered, _blocks - 1);
    _result.quietTime = duration_cast<milliseconds>(_quietSpent);

    _phase = Phase::Idle;
    _deadline.stop();
    _quiet.stop();
    _held = false;
    _image.clear();
    _blocks = 0;
    setAwaiting(false);
    const OperationResult result = _result;
    emit finished(result);
}
