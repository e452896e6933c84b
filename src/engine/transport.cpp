#include "transport.h"

#include "datagramtap.h"
#include "devicesession.h"
#include "networkadapter.h"
#include "protocol.h"
#include "udpport.h"


#include <algorithm>

namespace {

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

QString Transport::bindError(const UdpPort &port, quint16 number) const
{
    if (port.bindError() == UdpPort::BindError::AddressInUse)
        return tr("Port %1 is already in use.").arg(number);
    return tr("Port %1: %2").arg(number).arg(port.errorString());
}

bool Transport::openAnswerPort()
{
    _error = Error::None;
    _errorString.clear();
    if (_answers)
        return true;
    auto *port = new UdpPort(this);
    port->onReceive([this](const UdpPort::Datagram &datagram) { answerArrived(datagram.data, datagram.size, datagram.sender); },
                    [this] { readDone(); });
    if (!port->bind(QHostAddress(), protocol::kAckPort)) {
        _error = Error::PortUnavailable;
        _errorString = bindError(*port, protocol::kAckPort);
        delete port;
        return false;
    }
    _receiveBufferGranted = port->setReceiveBuffer(kReceiveBuffer);
    qInfo("Answer socket receive buffer: %d KiB (asked for %d KiB)", _receiveBufferGranted / 1024,
          kReceiveBuffer / 1024);
    _answers = port;
    return true;
}

bool Transport::openAdapter(const QHostAddress &adapter)
{
    _error = Error::None;
    _errorString.clear();
    const quint32 key = ipv4Of(adapter);
    if (_senders.contains(key))
        return true;
    auto *port = new UdpPort(this);
    if (!port->bind(adapter, protocol::kDevicePort)) {
        // The adapter lost its address since the list was read: that is not
        // the port's fault.
        _error = port->bindError() == UdpPort::BindError::AddressNotAvailable ? Error::AdapterUnavailable
                                                                              : Error::PortUnavailable;
        _errorString = bindError(*port, protocol::kDevicePort);
        delete port;
        return false;
    }
    _senders.insert(key, port);
    if (const auto held = NetworkAdapter::withAddress(adapter))
        _adapterNames.insert(key, held->name);
    return true;
}

void Transport::closeAdapter(const QHostAddress &adapter)
{
    // Closed at once, so that the port is free for the next bind.
    delete _senders.take(ipv4Of(adapter));
}

bool Transport::send(quint32 adapter, quint32 device, const QByteArray &datagram, QString *error)
{
    if (_tap)
        _tap->sent(device, datagram);
    UdpPort *port = _senders.value(adapter);
    if (!port) {
        if (error)
            *error = tr("The adapter %1 is not open.").arg(QHostAddress(adapter).toString());
        return false;
    }
    return port->send(device, protocol::kDevicePort, datagram.constData(), datagram.size(), error);
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
    _deferred.erase(std::remove(_deferred.begin(), _deferred.end(), session), _deferred.end());
    // Gone while readDone() works through the held commands: skipped there.
    std::replace(_sending.begin(), _sending.end(), session, static_cast<DeviceSession *>(nullptr));
}

void Transport::deferUntilRead(DeviceSession *session)
{
    if (std::find(_deferred.begin(), _deferred.end(), session) == _deferred.end())
        _deferred.push_back(session);
}

void Transport::answerArrived(const char *data, qint64 size, quint32 sender)
{
    _reading = true;
    // Anything from another host goes no further than the log, so a flood
    // of them costs little.
    DeviceSession *session = sender ? _sessions.value(sender) : nullptr;
    const bool wanted = session || (sender && _unclaimed && _unclaimed(sender, data, size));
    if (_tap)
        _tap->received(sender, data, size, wanted);
    if (session)
        session->handleAnswer(data, size);
}

void Transport::readDone()
{
    _reading = false;
    // Now the commands held back may leave. A session that finishes on it
    // may have others deleted, which then blank themselves out of _sending.
    _sending.swap(_deferred);
    for (size_t i = 0; i < _sending.size(); ++i) {
        if (DeviceSession *session = _sending[i])
            session->sendDeferred();
    }
    _sending.clear();
}
