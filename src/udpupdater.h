#ifndef UDPUPDATER_H
#define UDPUPDATER_H

#include "devicesession.h"
#include "operationresult.h"
#include "protocol.h"

#include <QByteArray>
#include <QHostAddress>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWaitCondition>

#include <atomic>
#include <chrono>

class LogView;
class Transport;
namespace Ui { class MainWindow; }

// The window's update link: one device session of the engine, with the
// blocking interface the window's background tasks call. eraseTarget() and
// sendFileToTarget() block their caller, a background thread, until the
// session (event-driven on the GUI thread) has finished; the device's answers
// also show in the form: the log, "Connected!", the erase's bar and prompt.
class udpUpdater : public QObject
{
    Q_OBJECT

public:
    using Outcome = OperationResult::Outcome;
    using Result = OperationResult;
    using Timeouts = DeviceSession::Timeouts;
    using Scope = DeviceSession::Scope;

    static constexpr quint16 kDevicePort = protocol::kDevicePort;
    static constexpr quint16 kAckPort = protocol::kAckPort;
    static constexpr int chunkSize = protocol::chunkSize;
    static constexpr int kBlockHeaderSize = protocol::kBlockHeaderSize;

    explicit udpUpdater(Ui::MainWindow *ui);
    ~udpUpdater() override;

    // Binds the sockets and sends the connect command. False, with
    // connectError() and errorString(), when an address is not IPv4, a port
    // or the adapter cannot be bound, or the network refused the command.
    bool initialise(QHostAddress target, QHostAddress local);
    enum class ConnectError {
        None,
        BadAddress,          // not IPv4
        PortUnavailable,     // 1235 or 1246 taken, or another bind error
        AdapterUnavailable,  // the adapter's address is gone
        Unreachable,         // the network refused to send to the device at once
    };
    ConnectError connectError() const { return _connectError; }
    QString errorString() const { return _errorString; }
    // What the system granted for the answer socket's receive buffer, in bytes.
    int receiveBufferSize() const;

    // Forgets the device and any answer still awaited from it: a late answer
    // to an earlier "Connect" must not count for the next one.
    void forgetDevice();

    // Block until the device has answered, the wait ran out or abort().
    // Never on the GUI thread. The guided update counts the device's answers
    // since the connect (Scope::SinceConnect); the Engineering tab's
    // operations each count on their own.
    bool eraseTarget(Scope scope = Scope::Operation);
    // Reads and checks the whole file first: nothing is sent for a file that
    // is missing, not a regular file, empty, over the size limit or unreadable.
    bool sendFileToTarget(QString filePath, int fileNumber);
    // Sends bytes already read and checked, so that what goes out is exactly
    // what was checked.
    bool sendImageToTarget(const QByteArray &image, int fileNumber, Scope scope = Scope::Operation);

    // How the latest eraseTarget()/sendFileToTarget() ended. Read it after the
    // operation has returned.
    Result lastResult() const;

    // Abandons the wait in flight, and every operation after it: used when
    // the window closes under a running operation.
    void abort();

    void setTimeouts(const Timeouts &timeouts);
    Timeouts timeouts() const;

    LogView *log() const { return _log; }
    // The device's session; null before a Connect that got its command out.
    DeviceSession *session() const { return _session; }

    static quint32 blockCount(qsizetype imageSize) { return protocol::blockCount(imageSize); }
    static QByteArray writeBlock(const QByteArray &image, quint8 fileNumber, quint32 index, quint32 checksum)
    {
        return protocol::writeBlock(image, fileNumber, index, checksum);
    }

    // A command is out and not answered yet.
    std::atomic<bool> _waitingForAck{false};

signals:
    // An answer to the command in flight.
    void acknowledged(message_types type);
    // The device answered the command in flight with a type it does not have.
    void refused(message_types type);
    // Blocks answered so far of the image being sent, whenever the whole
    // percentage changes.
    void transferProgress(int fileNumber, quint32 blocksDone, quint32 blocksTotal);

private slots:
    // The device answered the command in flight: what the operator sees of it.
    void receiveAck(message_types type);

private:
    // Runs `start` on the session from the GUI thread and waits for its end.
    bool runOperation(int fileNumber, const std::function<void(DeviceSession &)> &start);
    void onSessionFinished(const OperationResult &result);
    void endOperation(const OperationResult &result);

    Ui::MainWindow *_ui;
    Transport *_transport;
    QPointer<DeviceSession> _session;
    QHostAddress _targetAddress;
    QHostAddress _localAddress;
    bool _receivedAck = false;
    message_types _typeOfAckReceived = MT_INIT;

    LogView *_log = nullptr;
    QString _errorString;
    ConnectError _connectError = ConnectError::None;

    // Shared with the background thread that waits for an operation.
    mutable QMutex _mutex;
    QWaitCondition _operationEnded;
    Result _lastResult;
    bool _operationRunning = false;  // a blocking caller waits for the session
    bool _aborted = false;
    Timeouts _timeouts;
};

#endif // UDPUPDATER_H
