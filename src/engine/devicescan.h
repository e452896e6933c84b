#ifndef DEVICESCAN_H
#define DEVICESCAN_H

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QNetworkAddressEntry>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>

class Transport;

// Finds the devices in update mode behind one adapter: sends the connect
// command, and nothing else, to each address of a list, paced, then waits a
// while for the answers. A device answers its configured target IP, so only
// those set to this PC's adapter address are found.
class DeviceScan : public QObject
{
    Q_OBJECT

public:
    // A wider subnet is someone else's network as much as ours: a range must
    // narrow it down.
    static constexpr int kMaxAddresses = 1024;
    // Probes a second and the most sent at once after a late timer: in any
    // second no more than 2,000 leave, so a switch or a firewall never sees
    // a flood.
    static constexpr int kProbesPerSecond = 1980;
    static constexpr int kBurst = 20;
    static constexpr std::chrono::milliseconds kDefaultWait{2000};

    struct Range {
        quint32 first = 0;
        quint32 last = 0;
    };

    // The addresses to probe, ascending, or why there are none.
    struct Targets {
        QList<quint32> addresses;
        QString problem;
        bool ok() const { return problem.isEmpty(); }
    };

    // "FIRST-LAST", each end as the device IP check takes it, FIRST <= LAST.
    static std::optional<Range> parseRange(const QString &text, QString *why);
    // Every address of the adapter's subnet, or of `range` inside it, but the
    // adapter's own, the network and the broadcast address; at most
    // kMaxAddresses.
    static Targets targets(const QNetworkAddressEntry &adapter, const std::optional<Range> &range);

    // `transport` has the answer port and the adapter open, and no session
    // attached; it must outlive the scan.
    explicit DeviceScan(Transport *transport, QObject *parent = nullptr);
    ~DeviceScan() override;

    void start(quint32 adapter, const QList<quint32> &addresses,
               std::chrono::milliseconds wait = kDefaultWait);
    // Ends it now; finished() follows.
    void abort();
    bool isRunning() const { return _running; }

    // The devices that answered exactly A5 5A 0F, ascending.
    QList<QHostAddress> found() const;
    int probesSent() const { return _next; }
    // Probes the network refused, and why the first one was.
    int sendFailures() const { return _sendFailures; }
    QString sendError() const { return _sendError; }

signals:
    void finished();

private:
    void sendDue();
    bool answerArrived(quint32 sender, const char *data, qint64 size);
    void finish();

    Transport *_transport;
    quint32 _adapter = 0;
    QList<quint32> _addresses;
    int _next = 0;
    QSet<quint32> _probed;
    QSet<quint32> _found;
    double _tokens = 0;
    QElapsedTimer _refilled;
    QTimer _pace;
    QTimer _wait;
    bool _running = false;
    int _sendFailures = 0;
    QString _sendError;
};

#endif // DEVICESCAN_H
