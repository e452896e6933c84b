#ifndef UDPPORT_H
#define UDPPORT_H

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QSocketNotifier;
class QUdpSocket;

// One bound UDP socket on the per-block path. Stop-and-wait pays every
// system call and every copy once per block, so this reads whatever is
// waiting in one call and sends to a device address converted once, where
// a general-purpose socket would peek before each read and convert the
// address on each send.
class UdpPort : public QObject
{
    Q_OBJECT

public:
    enum class BindError { None, AddressInUse, AddressNotAvailable, Other };

    // One received datagram: its first bytes (2 KiB at most, more than any
    // answer), its real size, and its sender's IPv4 address (0 when none).
    struct Datagram {
        const char *data;
        qint64 size;
        quint32 sender;
    };
    using Receiver = std::function<void(const Datagram &)>;

    explicit UdpPort(QObject *parent = nullptr);
    ~UdpPort() override;

    // Exclusive bind, so that a second program is told the port is taken
    // instead of silently sharing it. `address` null: any address, IPv4 and
    // IPv6 alike.
    bool bind(const QHostAddress &address, quint16 port);
    BindError bindError() const { return _bindError; }
    QString errorString() const { return _errorString; }

    // Asks for a receive buffer of `bytes`; returns what the system granted.
    int setReceiveBuffer(int bytes);

    // Calls `receiver` for each datagram that arrives, every one already
    // waiting first, then `done` once for them all. Set them before bind():
    // a port without a receiver never reads.
    void onReceive(Receiver receiver, std::function<void()> done)
    {
        _receiver = std::move(receiver);
        _done = std::move(done);
    }

    // False, with `error` set, when the network refused the datagram.
    bool send(quint32 ipv4, quint16 port, const char *data, qint64 size, QString *error);

private:
    void readPending();

    struct Native;
    std::unique_ptr<Native> _native;
    Receiver _receiver;
    std::function<void()> _done;
    BindError _bindError = BindError::None;
    QString _errorString;
};

#endif // UDPPORT_H
