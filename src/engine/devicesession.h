#ifndef DEVICESESSION_H
#define DEVICESESSION_H

#include "operationresult.h"
#include "protocol.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <optional>

class Transport;

// One device: connect, erase, send an image. Event-driven on the thread of
// its transport: no thread of its own, no busy wait. Stop-and-wait on the
// wire: each command leaves only after the answer to the one before.
//
// Only the awaited type from this device counts as an answer; an unknown
// type is a refusal; every wait is bounded; nothing is ever resent, as the
// device's behaviour on a repeated command is unknown and its answers carry
// no block number. A last block never answered is NotConfirmed, never
// success, and abort() is sticky.
//
// With no block number on the wire, a late copy of an answer can only be
// told by counting: an answer that answers no command ends the operation as
// AnsweredTwice. An update counts from the device's answer to the connect
// until the quiet spell after its last image (Scope::SinceConnect), so a copy
// arriving between two steps counts too; an operation started by hand counts
// on its own (Scope::Operation).
class DeviceSession : public QObject
{
    Q_OBJECT

public:
    using Outcome = OperationResult::Outcome;

    // How long each wait may last.
    struct Timeouts {
        // Erasing tens of MB of flash takes minutes.
        std::chrono::milliseconds erase = std::chrono::minutes(5);
        // A write block is answered within milliseconds on a working link.
        std::chrono::milliseconds block = std::chrono::seconds(30);
        // The device may verify or commit the image on its last block.
        std::chrono::milliseconds lastBlock = std::chrono::minutes(5);
        // Quiet spells, before the erase, before each image's last block and
        // after its answer: 10 times the slowest block answer so far (no
        // image's last counted), within these bounds. Two spells lie between
        // an image's last answer and the next image's last block, so a copy
        // of that answer up to twice the shortest spell late lands in one of
        // them and is caught, instead of standing in for an answer the
        // device never gave. Tests shorten them; the programs never do.
        std::chrono::milliseconds quietMin = std::chrono::seconds(1);
        std::chrono::milliseconds quietMax = std::chrono::seconds(5);
    };

    // How far back surplus answers count: see the class comment.
    enum class Scope { Operation, SinceConnect };

    DeviceSession(Transport *transport, const QHostAddress &adapter, const QHostAddress &device,
                  QObject *parent = nullptr);
    ~DeviceSession() override;

    QHostAddress device() const { return _device; }
    QHostAddress adapter() const { return _adapter; }
    void setTimeouts(const Timeouts &timeouts) { _timeouts = timeouts; }
    Timeouts timeouts() const { return _timeouts; }

    // Each operation ends with exactly one finished(), unless another one
    // replaces a connect still waiting for its answer. Connect waits `limit`
    // (zero: until another operation starts); it returns false when the
    // network refused the command at once, after finished() said so.
    bool connectDevice(std::chrono::milliseconds limit);
    // SinceConnect: fails with nothing sent once the device answered more
    // often than asked since the connect; else the erase leaves after a quiet
    // spell since the device's latest answer.
    void erase(Scope scope = Scope::Operation);
    // `image` is sent as it is: read and check it first. Many sessions
    // sending the same image pass its checksum, worked out once.
    void sendImage(const QByteArray &image, int fileNumber, std::optional<quint32> checksum = std::nullopt,
                   Scope scope = Scope::Operation);
    // Ends the operation in flight, and every later one, as Aborted.
    void abort();

    bool isBusy() const { return _phase != Phase::Idle; }
    // How the latest operation ended (or how far the running one got).
    OperationResult lastResult() const { return _result; }
    bool isAborted() const { return _aborted; }
    // Answers since the connect's that answered no command.
    int surplusSinceConnect() const { return _surplusSinceConnect; }
    // The quiet spell as it stands now.
    std::chrono::milliseconds quietSpell() const;
    // A command is out and not answered yet.
    bool isAwaiting() const { return _awaiting; }
    // How long the command in flight has waited, and may wait (zero: no limit).
    std::chrono::milliseconds waited() const;
    std::chrono::milliseconds waitLimit() const { return currentLimit(); }

    // Called by the transport.
    void handleAnswer(const char *datagram, qint64 size);
    void sendDeferred();
    void transportGone();

signals:
    // The answer to the command in flight, from this device.
    void acknowledged(message_types type);
    // The device answered the command in flight with a type it does not have.
    void refused(message_types type);
    // Blocks answered so far, whenever the whole percentage changes.
    void progress(int fileNumber, quint32 blocksDone, quint32 blocksTotal);
    void awaitingChanged(bool awaiting);
    void finished(const OperationResult &result);

private:
    enum class Phase { Idle, Connecting, QuietBeforeErase, Erasing, Sending, QuietBeforeLast, QuietAfterLast };

    bool begin(Phase phase, OperationResult::Operation operation, int fileNumber, Scope scope);
    void surplusAnswer();
    // Sends _datagram, the command `type`, and waits for its answer.
    bool command(message_types type);
    void sendBlock(quint32 index);
    bool transmit();
    void onAnswer();
    void startQuiet(Phase phase, std::chrono::nanoseconds length);
    void quietOver();
    void deadlineCheck();
    std::chrono::milliseconds currentLimit() const;
    void setAwaiting(bool awaiting);
    void finish(Outcome outcome, const QString &detail = QString());
    // Ends with `outcome`, unless the PC's own adapter lost its address or
    // link meanwhile: then that is what the operator must hear of.
    void failUnlessAdapterFault(Outcome outcome, const QString &detail = QString());

    Transport *_transport;
    QHostAddress _adapter;
    QHostAddress _device;
    quint32 _adapterIp;
    quint32 _deviceIp;
    Timeouts _timeouts;
    std::chrono::milliseconds _connectLimit{0};

    Phase _phase = Phase::Idle;
    bool _aborted = false;
    OperationResult _result;

    // Counting answers: see the class comment.
    bool _connected = false;                        // the device answered the connect
    bool _lateConnectAnswer = false;                // a connect was given up unanswered
    int _surplusSinceConnect = 0;
    std::chrono::steady_clock::time_point _lastAnswerAt;
    qint64 _slowestNs = 0;                          // slowest block answer, no image's last

    // The command in flight.
    message_types _awaitedType = MT_INIT;
    bool _awaiting = false;
    bool _awaitingReported = false;  // as last told through awaitingChanged()
    bool _written = false;           // it has left the socket
    QByteArray _datagram;            // the command in flight, its memory kept from block to block
    bool _held = false;              // ... held back until the transport has read everything
    std::chrono::steady_clock::time_point _sentAt;
    QTimer _deadline;                // checks the wait's limit now and then, not per block
    std::chrono::steady_clock::time_point _deadlineDue;

    // The image being sent.
    QByteArray _image;
    quint8 _number = 0;
    quint32 _checksum = 0;
    quint32 _blocks = 0;
    quint32 _answered = 0;
    int _reportedPercent = -1;
    QTimer _quiet;
    QElapsedTimer _quietClock;
    std::chrono::nanoseconds _quietSpent{0};
};

#endif // DEVICESESSION_H
