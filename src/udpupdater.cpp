#include "udpupdater.h"

#include "crc.h"
#include "logview.h"
#include "transport.h"
#include "ui_mainwindow.h"
#include "updateimage.h"

#include <QDebug>
#include <QEventLoop>
#include <QThread>

udpUpdater::udpUpdater(Ui::MainWindow *ui)
    : QObject(nullptr)
    , _ui(ui)
    , _transport(new Transport(this))
{
    if (_ui) {
        _log = new LogView(_ui->txt_log, this);
        _transport->setTap(_log);
    }
}

udpUpdater::~udpUpdater()
{
    abort();
    delete _session;
}

int udpUpdater::receiveBufferSize() const
{
    return _transport->receiveBufferSize();
}

bool udpUpdater::initialise(QHostAddress target, QHostAddress local)
{
    _errorString.clear();
    _connectError = ConnectError::None;
    // Until the command is out there is no device to talk to: an operation
    // now must fail at once, not go to the device of an earlier Connect.
    forgetDevice();
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

    if (!_transport->openAnswerPort()) {
        _connectError = ConnectError::PortUnavailable;
        _errorString = _transport->errorString();
        return false;
    }
    // Bound anew every time, so a corrected adapter choice takes effect.
    if (!_localAddress.isNull())
        _transport->closeAdapter(_localAddress);
    _localAddress = local;
    if (!_transport->openAdapter(local)) {
        _connectError = _transport->error() == Transport::Error::AdapterUnavailable ? ConnectError::AdapterUnavailable
                                                                                    : ConnectError::PortUnavailable;
        _errorString = _transport->errorString();
        return false;
    }

    _session = new DeviceSession(_transport, local, target, this);
    _session->setTimeouts(timeouts());
    connect(_session, &DeviceSession::acknowledged, this, &udpUpdater::receiveAck);
    connect(_session, &DeviceSession::refused, this, &udpUpdater::refused);
    connect(_session, &DeviceSession::progress, this, &udpUpdater::transferProgress);
    connect(_session, &DeviceSession::awaitingChanged, this, [this](bool awaiting) { _waitingForAck = awaiting; });
    connect(_session, &DeviceSession::finished, this, &udpUpdater::onSessionFinished);
    _targetAddress = target;
    // The connect waits for as long as nothing else is asked of the device.
    if (!_session->connectDevice(std::chrono::milliseconds(0))) {
        // Sent from this thread, so a write the network refused is known now:
        // no use waiting for an answer to a command that never left.
        _connectError = ConnectError::Unreachable;
        _errorString = _session->lastResult().detail;
        forgetDevice();
        return false;
    }
    return true;
}

void udpUpdater::forgetDevice()
{
    {
        QMutexLocker lock(&_mutex);
        if (_operationRunning) {
            _lastResult.outcome = Outcome::Aborted;
            _operationRunning = false;
            _operationEnded.wakeAll();
        }
    }
    delete _session;
    _targetAddress.clear();
    _waitingForAck = false;
}

void udpUpdater::receiveAck(message_types type)
{
    _receivedAck = true;
    _typeOfAckReceived = type;
    if (_ui && type == MT_INIT) {
        _ui->btn_startUpdate->setEnabled(true);
        _ui->progressBar->setEnabled(true);
        _ui->progressBar->setValue(10);
        _ui->label_user_prompt->setText(QStringLiteral("Connected!\nReady to start the update."));
    } else if (_ui && type == MT_ERASE) {
        _ui->progressBar->setValue(30);
        _ui->label_user_prompt->setText(QStringLiteral("Device Erased!\nGetting update files ready ..."));
    }
    emit acknowledged(type);
}

bool udpUpdater::runOperation(int fileNumber, const std::function<void(DeviceSession &)> &start)
{
    {
        QMutexLocker lock(&_mutex);
        // Nothing of an earlier operation may stand for this one.
        _lastResult = Result();
        _lastResult.fileNumber = fileNumber;
        if (_aborted)
            return false;
        _operationRunning = true;
    }
    const auto begin = [this, start, fileNumber] {
        {
            QMutexLocker lock(&_mutex);
            if (!_operationRunning)
                return;  // abort() came first
        }
        if (!_session) {
            Result result;
            result.fileNumber = fileNumber;
            result.outcome = Outcome::NotConnected;
            endOperation(result);
            return;
        }
        start(*_session);
    };

    if (QThread::currentThread() == thread()) {
        // Only by mistake on the GUI thread: wait in a loop of our own, as a
        // plain wait would never see the answers.
        QEventLoop loop;
        begin();
        for (;;) {
            {
                QMutexLocker lock(&_mutex);
                if (!_operationRunning)
                    break;
            }
            loop.processEvents(QEventLoop::WaitForMoreEvents);
        }
    } else {
        QMetaObject::invokeMethod(this, begin, Qt::QueuedConnection);
        QMutexLocker lock(&_mutex);
        while (_operationRunning)
            _operationEnded.wait(&_mutex);
    }
    QMutexLocker lock(&_mutex);
    return _lastResult.ok();
}

void udpUpdater::onSessionFinished(const OperationResult &result)
{
    // A connect's end concerns nobody waiting: the form has its answer.
    {
        QMutexLocker lock(&_mutex);
        if (!_operationRunning)
            return;
    }
    endOperation(result);
}

void udpUpdater::endOperation(const OperationResult &result)
{
    QMutexLocker lock(&_mutex);
    _lastResult = result;
    _operationRunning = false;
    _operationEnded.wakeAll();
}

bool udpUpdater::eraseTarget(Scope scope)
{
    try {
        return runOperation(0, [scope](DeviceSession &session) { session.erase(scope); });
    } catch (const std::exception &error) {
        Result result;
        result.outcome = Outcome::SendFailed;
        result.detail = QString::fromLocal8Bit(error.what());
        endOperation(result);
        return false;
    }
}

bool udpUpdater::sendFileToTarget(QString filePath, int fileNumber)
{
    Result result;
    result.fileNumber = fileNumber;
    try {
        {
            QMutexLocker lock(&_mutex);
            _lastResult = result;
            if (_aborted)
                return false;
        }
        const UpdateImage image = UpdateImage::load(filePath);
        if (!image.ok()) {
            if (image.problem() == UpdateImage::Problem::Missing || image.problem() == UpdateImage::Problem::Unreadable)
                qDebug() << "Failed to open file: " << image.systemError();
            result.outcome = OperationResult::outcomeOf(image.problem());
            result.imageProblem = image.problem();
            result.detail = image.systemError();
            endOperation(result);
            return false;
        }
        const QByteArray data = image.data();
        // Worked out here, on the caller's thread: on the GUI thread a large
        // image's sum would freeze the window for a moment.
        const quint32 checksum = crc().crc32(data);
        return runOperation(fileNumber, [data, fileNumber, checksum](DeviceSession &session) {
            session.sendImage(data, fileNumber, checksum);
        });
    } catch (const std::exception &error) {
        // Whatever went wrong, the image did not go out.
        result.outcome = Outcome::FileNotReadable;
        result.detail = QString::fromLocal8Bit(error.what());
        endOperation(result);
        return false;
    }
}

bool udpUpdater::sendImageToTarget(const QByteArray &image, int fileNumber, Scope scope)
{
    try {
        const quint32 checksum = crc().crc32(image);
        return runOperation(fileNumber, [image, fileNumber, checksum, scope](DeviceSession &session) {
            session.sendImage(image, fileNumber, checksum, scope);
        });
    } catch (const std::exception &error) {
        Result result;
        result.fileNumber = fileNumber;
        result.outcome = Outcome::SendFailed;
        result.detail = QString::fromLocal8Bit(error.what());
        endOperation(result);
        return false;
    }
}

udpUpdater::Result udpUpdater::lastResult() const
{
    QMutexLocker lock(&_mutex);
    return _lastResult;
}

void udpUpdater::abort()
{
    {
        QMutexLocker lock(&_mutex);
        _aborted = true;
    }
    // The session lives on this object's thread; from there it ends at once
    // and tells the waiting caller how far it got.
    if (QThread::currentThread() == thread()) {
        if (_session)
            _session->abort();
    } else {
        QMetaObject::invokeMethod(this, [this] {
            if (_session)
                _session->abort();
        }, Qt::QueuedConnection);
    }
    // Whatever the session does, nobody waits any more.
    QMutexLocker lock(&_mutex);
    if (_operationRunning) {
        _lastResult.outcome = Outcome::Aborted;
        _operationRunning = false;
        _operationEnded.wakeAll();
    }
}

void udpUpdater::setTimeouts(const Timeouts &timeouts)
{
    {
        QMutexLocker lock(&_mutex);
        _timeouts = timeouts;
    }
    if (_session)
        _session->setTimeouts(timeouts);
}

udpUpdater::Timeouts udpUpdater::timeouts() const
{
    QMutexLocker lock(&_mutex);
    return _timeouts;
}
