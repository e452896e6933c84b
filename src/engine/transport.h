#ifndef TRANSPORT_H
#define TRANSPORT_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>
#include <vector>

class DatagramTap;
class DeviceSession;
class UdpPort;

// The sockets of one run, shared by every device in it: one answer socket on
// port 1246 for all, and one sending socket bound to ADAPTER:1235 per adapter
// in use. Both are exclusive binds, so a second copy of the program is told
// the port is taken instead of silently sharing it. Each answer goes to the
// session of the device whose address sent it; anything else only to a scan
// waiting for answers, and to the logs.
class Transport : public QObject
{
    Q_OBJECT

public:
    enum class Error {
        None,
        PortUnavailable,     // 1235 or 1246 taken, or another bind error
        AdapterUnavailable,  // no adapter holds that address (any more)
    };

    // Room for the device's answer under a flood of strays; the system may
    // grant less (stock Debian caps it lower), so receiveBufferSize() says.
    static constexpr int kReceiveBuffer = 4 * 1024 * 1024;

    explicit Transport(QObject *parent = nullptr);
    ~Transport() override;

    bool openAnswerPort();
    bool openAdapter(const QHostAddress &adapter);
    void closeAdapter(const QHostAddress &adapter);
    // The name of the adapter that held the address when it was opened, for
    // telling the operator which one lost it.
    QString adapterName(quint32 adapter) const { return _adapterNames.value(adapter); }
    Error error() const { return _error; }
    QString errorString() const { return _errorString; }
    int receiveBufferSize() const { return _receiveBufferGranted; }

    // Sends one datagram to the device's port 1235 from the adapter's
    // socket (both IPv4, as numbers). False, with `error` set, when the
    // network refused it.
    bool send(quint32 adapter, quint32 device, const QByteArray &datagram, QString *error);

    // Answers from the session's device address go to it from now on.
    void attach(DeviceSession *session);
    void detach(DeviceSession *session);

    // While the answer socket is being drained, a session holds its next
    // command back until everything already here is read: none of that can
    // be the next command's answer, and with no block number on the wire
    // nothing else would tell. It asks to be called back with sendDeferred().
    bool isReading() const { return _reading; }
    void deferUntilRead(DeviceSession *session);

    // Who logs every datagram of the run; null for nobody. Not owned.
    void setTap(DatagramTap *tap) { _tap = tap; }

    // Shown every answer from an address no session holds, before the log:
    // true when it was one it waited for (a scan's), so the log does not
    // call it a stray. Empty for none.
    using UnclaimedListener = std::function<bool(quint32 sender, const char *data, qint64 size)>;
    void setUnclaimedListener(UnclaimedListener listener) { _unclaimed = std::move(listener); }

private:
    void answerArrived(const char *data, qint64 size, quint32 sender);
    void readDone();
    QString bindError(const UdpPort &port, quint16 number) const;

    UdpPort *_answers = nullptr;
    QHash<quint32, UdpPort *> _senders;
    QHash<quint32, QString> _adapterNames;
    QHash<quint32, DeviceSession *> _sessions;
    bool _reading = false;
    std::vector<DeviceSession *> _deferred;  // sessions take themselves out when they go
    std::vector<DeviceSession *> _sending;   // _deferred as readDone() works through it
    Error _error = Error::None;
    QString _errorString;
    int _receiveBufferGranted = 0;
    DatagramTap *_tap = nullptr;
    UnclaimedListener _unclaimed;
};

#endif // TRANSPORT_H
