#include "transport.h"

#include "devicesession.h"
#include "protocol.h"

#include <QMetaMethod>
#include <QUdpSocket>

namespace {

// Any datagram fits: IPv4 UDP carries at most 65507 bytes.
constexpr qint64 kMaxDatagram = 65536;

quint32 ipv4Of(const QHostAddress &address)
{
    bool ok = false;
    const quint32 ip = address.toIPv4Address(&ok);
    return ok ? ip : 0;
}

} // namespace

Transport::Transport(QObject *parent)
    : QObject(parent)
{
}

Transport::~Transport()
{
    // Sessions outliving us must not call back into a transport that is gone.
    const auto sessions = _sessions;
    for (DeviceSession *session : sessions)
        session->transportGone();
}

QString Transport::bindError(const QUdpSocket *socket, quint16 port) const
{
    if (socket->error() == QAbstractSocket::AddressInUseError)
        return tr("Port %1 is already in use.").arg(port);
    return tr("Port %1: %2").arg(port).arg(socket->errorString());
}

bool Transport::openAnswerPort()
{
    _error = Error::None;
    _errorString.clear();
    if (_answers)
        return true;
    auto *socket = new QUdpSocket(this);
    if (!socket->bind(QHostAddress::Any, protocol::kAckPort, QAbstractSocket::DontShareAddress)) {
        _error = Error::PortUnavailable;
        _errorString = bindError(socket, protocol::kAckPort);
        delete socket;
        return false;
    }
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kReceiveBuffer);
    _receiveBufferGranted = socket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
    qInfo("Answer socket receive buffer: %d KiB (asked for %d KiB)", _receiveBufferGranted / 1024,
          kReceiveBuffer / 1024);
    _answers = socket;
    connect(_answers, &QUdpSocket::readyRead, this, &Transport::readAnswers);
    return true;
}

bool Transport::openAdapter(const QHostAddress &adapter)
{
    _error = Error::None;
    _errorString.clear();
    const quint32 key = ipv4Of(adapter);
    if (_senders.contains(key))
        return true;
    auto *socket = new QUdpSocket(this);
    if (!socket->bind(adapter, protocol::kDevicePort, QAbstractSocket::DontShareAddress)) {
        // The adapter lost its address since the list was read: that is not
        // the port's fault.
        _error = socket->error() == QAbstractSocket::SocketAddressNotAvailableError ? Error::AdapterUnavailable
                                                                                     : Error::PortUnavailable;
        _errorString = bindError(socket, protocol::kDevicePort);
        delete socket;
        return false;
    }
    _senders.insert(key, socket);
    return true;
}

void Transport::closeAdapter(const QHostAddress &adapter)
{
    if (QUdpSocket *socket = _senders.take(ipv4Of(adapter))) {
        socket->close();
        socket->deleteLater();
    }
}

bool Transport::send(const QHostAddress &adapter, const QHostAddress &device, const QByteArray &datagram,
                     QString *error)
{
    static const QMetaMethod sentSignal = QMetaMethod::fromSignal(&Transport::datagramSent);
    if (isSignalConnected(sentSignal))
        emit datagramSent(device, datagram);
    QUdpSocket *socket = _senders.value(ipv4Of(adapter));
    if (!socket) {
        if (error)
            *error = tr("The adapter %1 is not open.").arg(adapter.toString());
        return false;
    }
    if (socket->writeDatagram(datagram, device, protocol::kDevicePort) >= 0)
        return true;
    if (error)
        *error = socket->errorString();
    return false;
}

void Transport::attach(DeviceSession *session)
{
    _sessions.insert(ipv4Of(session->device()), session);
}

void Transport::detach(DeviceSession *session)
{
    const quint32 key = ipv4Of(session->device());
    if (_sessions.value(key) == session)
        _sessions.remove(key);
    _deferred.removeAll(session);
}

void Transport::deferUntilRead(DeviceSession *session)
{
    if (!_deferred.contains(session))
        _deferred.append(session);
}

void Transport::readAnswers()
{
    static const QMetaMethod receivedSignal = QMetaMethod::fromSignal(&Transport::datagramReceived);
    if (_buffer.size() < kMaxDatagram)
        _buffer.resize(kMaxDatagram);

    _reading = true;
    while (_answers && _answers->hasPendingDatagrams()) {
        QHostAddress sender;
        const qint64 size = _answers->readDatagram(_buffer.data(), kMaxDatagram, &sender);
        if (size < 0)
            break;
        // Anything from another host goes no further than the log, so a
        // flood of them costs little.
        DeviceSession *session = _sessions.value(ipv4Of(sender));
        if (isSignalConnected(receivedSignal))
            emit datagramReceived(sender, QByteArray(_buffer.constData(), qMin(size, kLoggedBytes)), size,
                                  session != nullptr);
        if (session)
            session->handleAnswer(_buffer.constData(), size);
    }
    _reading = false;

    // Now the commands held back may leave.
    const QList<QPointer<DeviceSession>> deferred = std::move(_deferred);
    _deferred.clear();
    for (const QPointer<DeviceSession> &session : deferred) {
        if (session)
            session->sendDeferred();
    }
}
