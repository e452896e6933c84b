#ifndef UDPUPDATER_H
#define UDPUPDATER_H

#include <QByteArray>
#include <QHostAddress>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QWaitCondition>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>

#include "updateimage.h"

class QFile;
class QUdpSocket;
class LogView;
namespace Ui { class MainWindow; }

enum message_types : quint32 {
    MT_READ = 0,
    MT_INIT = 15,
    MT_ERASE = 240,
    MT_WRITE = 255,
};

enum write_file_status_t : quint8 {
    WFS_MID = 0,
    WFS_START = 1,
    WFS_END = 2,
};

// The UDP conversation with the device: two sockets, the commands, the
// acknowledgement wait and the two long operations (erase, send one image).
// Lives on the GUI thread; eraseTarget() and sendFileToTarget() block and must
// run on a background thread.
class udpUpdater : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 kDevicePort = 1235;  // commands go here, and leave from here
    static constexpr quint16 kAckPort = 1246;     // the device answers here
    static constexpr int chunkSize = 1400;        // image bytes per write block
    static constexpr int kBlockHeaderSize = 5;    // image no, status, length (2), index

    // How an operation ended, for the window to tell the operator.
    enum class Outcome {
        Success,
        NotConnected,      // no device address yet ("Connect" not done)
        FileNotReadable,   // missing, not a regular file, unreadable, changed while read
        ImageEmpty,
        ImageTooLarge,     // over UpdateImage::kMaxSize
        SendFailed,        // the socket refused to send the datagram
        NoAnswer,          // the device did not acknowledge in time
        NotConfirmed,      // every byte went out, the last block was never acknowledged
        Refused,           // the device answered with an unexpected type
        AnsweredTwice,     // more answers than blocks: no answer of this image can be trusted
        Aborted,
    };
    Q_ENUM(Outcome)

    struct Result {
        // An operation that never got to say how it ended did not succeed.
        Outcome outcome = Outcome::Aborted;
        int fileNumber = 0;        // image number of a transfer, 0 for the erase
        quint32 blockIndex = 0;    // block that was in flight when it ended
        quint32 blockCount = 0;    // blocks of the image
        QString detail;            // file or socket error text, when there is one
        // Why the image was refused, for FileNotReadable, ImageEmpty, ImageTooLarge.
        UpdateImage::Problem imageProblem = UpdateImage::Problem::None;
        // Spent listening for surplus answers around the image's last block:
        // a fixed cost per image, not per block.
        std::chrono::milliseconds quietTime{0};
        bool ok() const { return outcome == Outcome::Success; }
    };

    // How long the link listens for surplus answers before the last block and
    // after its answer: 10 times the slowest answer of the image, within these.
    static constexpr std::chrono::milliseconds kMinQuiet{100};
    static constexpr std::chrono::milliseconds kMaxQuiet{2000};

    // How long each wait may last. The device's behaviour on a repeated
    // command is unknown and the acknowledgement carries no block number, so
    // nothing is ever resent: a wait that runs out ends the operation.
    struct Timeouts {
        // Erasing tens of MB of flash takes minutes.
        std::chrono::milliseconds erase = std::chrono::minutes(5);
        // A write block is acknowledged within milliseconds on a working link.
        std::chrono::milliseconds block = std::chrono::seconds(30);
        // The device may verify or commit the image on its last block.
        std::chrono::milliseconds lastBlock = std::chrono::minutes(5);
    };

    explicit udpUpdater(Ui::MainWindow *ui);
    ~udpUpdater() override;

    // Binds the sockets and sends the connect command. False, with
    // errorString(), when an address is not IPv4 or a port cannot be bound;
    // nothing is sent then.
    bool initialise(QHostAddress target, QHostAddress local);
    QString errorString() const { return _errorString; }
    // Why the latest initialise() failed.
    enum class ConnectError {
        None,
        BadAddress,          // not IPv4
        PortUnavailable,     // 1235 or 1246 taken, or another bind error
        AdapterUnavailable,  // the adapter's address is gone
        Unreachable,         // the network refused to send to the device at once
    };
    ConnectError connectError() const { return _connectError; }
    // What the system granted for the answer socket's receive buffer, in bytes.
    int receiveBufferSize() const { return _receiveBufferGranted; }
    static constexpr int kReceiveBuffer = 4 * 1024 * 1024;

    bool eraseTarget();
    // Reads and checks the whole file first: nothing is sent for a file that
    // is missing, not a regular file, empty, over the size limit or unreadable.
    bool sendFileToTarget(QString filePath, int fileNumber);
    // Sends bytes already read and checked, so that what goes out is exactly
    // what was checked.
    bool sendImageToTarget(const QByteArray &image, int fileNumber);

    // Forgets the device and any answer still awaited from it: a late answer
    // to an earlier "Connect" must not count for the next one.
    void forgetDevice();

    // How the latest eraseTarget()/sendFileToTarget() ended. Read it after the
    // operation has returned.
    Result lastResult() const { return _lastResult; }

    // Abandons the wait in flight, and every wait after it: used when the
    // window closes under a running operation.
    void abort();

    void setTimeouts(const Timeouts &timeouts);
    Timeouts timeouts() const;

    LogView *log() const { return _log; }

    // Write block `index` of `image` as it goes after A5 5A FF. Pure, so the
    // framing can be checked without a network.
    static quint32 blockCount(qsizetype imageSize);
    static QByteArray writeBlock(const QByteArray &image, quint8 fileNumber, quint32 index,
                                 quint32 checksum);

    std::atomic<bool> _waitingForAck{false};

signals:
    // An acknowledgement that answered the command in flight.
    void acknowledged(message_types type);
    // The device answered the command in flight with a type it does not have.
    void refused(message_types type);
    // Blocks acknowledged so far of the image being sent; emitted from the
    // sending thread whenever the whole percentage changes.
    void transferProgress(int fileNumber, quint32 blocksDone, quint32 blocksTotal);

private slots:
    void receiveAck();

private:
    enum class AckWait { Acked, TimedOut, Refused, SendFailed, AnsweredTwice, Aborted };
    // Blocks handed over ahead, and when to top them up: the sending thread
    // wakes about once per (kBlocksAhead - kRefillAt) blocks.
    static constexpr size_t kBlocksAhead = 64;
    static constexpr size_t kRefillAt = 16;

    bool sendCmd(message_types type);
    bool sendCmdWithData(message_types type, QByteArray data);
    // Hands write blocks over to go out one by one, each as soon as the
    // command before it is acknowledged.
    void enqueueBlocks(std::deque<QByteArray> &&datagrams);
    static QByteArray datagramFor(message_types type, const QByteArray &data);
    void raiseWait(message_types type);
    void handOver(const QByteArray &datagram);
    void transmit(const QByteArray &datagram);
    quint64 inFlightTarget() const;
    AckWait waitForAck(quint64 target, std::chrono::milliseconds limit);
    struct TransferWait {
        AckWait state = AckWait::Acked;
        quint32 answered = 0;  // blocks of this image answered so far
    };
    // Sleeps until the image is answered, a wait fails, or it is time to hand
    // more blocks over.
    TransferWait waitForBlocks(quint64 base, quint32 blocks, quint32 handedOver, quint32 total,
                               const Timeouts &limits);
    bool finish(Result result);
    // Sends the blocks [first, end) of the image, each after the answer to
    // the one before, and waits for all of them to be answered.
    TransferWait sendBlocks(const QByteArray &data, quint8 number, quint32 checksum, quint64 base,
                            quint32 first, quint32 end, const Timeouts &limits, int &reportedPercent);
    // Listens for surplus answers on a link that should be quiet.
    AckWait listenForSurplus();
    bool transferImage(const QByteArray &data, int fileNumber);
    // Whether an operation may start: Success, Aborted or NotConnected.
    Outcome readiness() const;
    static Outcome outcomeOf(AckWait wait, bool lastBlock);
    static Outcome outcomeOf(UpdateImage::Problem problem);

    Ui::MainWindow *_ui;
    QUdpSocket *_udpSender;
    QUdpSocket *_udpReceiver;
    QHostAddress _targetAddress;
    QHostAddress _localAddress;
    message_types _typeOfAckWaiting = MT_INIT;
    bool _receivedAck = false;
    message_types _typeOfAckReceived = MT_INIT;
    std::unique_ptr<QFile> _file;

    LogView *_log = nullptr;
    QByteArray _readBuffer;
    QString _errorString;
    ConnectError _connectError = ConnectError::None;
    int _receiveBufferGranted = 0;
    Result _lastResult;

    // Guards the wait: the GUI thread ends it, a background thread sleeps on it.
    mutable QMutex _ackMutex;
    QWaitCondition _ackArrived;
    bool _commandWritten = false;  // the awaited command has left the socket
    quint64 _acksAccepted = 0;     // acknowledgements that answered their command
    quint64 _ackTarget = 0;        // _acksAccepted once the command in flight is answered
    std::chrono::steady_clock::time_point _inFlightSince;
    // Write blocks handed over by the sending thread; receiveAck() sends the
    // next on each answer, so the thread need not wake for every block.
    std::deque<QByteArray> _queued;
    bool _ackRefused = false;
    bool _sendFailed = false;
    // From an image's first block until the quiet after its last answer,
    // every answer to a write from the device must answer a block.
    bool _imageOpen = false;
    bool _surplusAnswer = false;
    quint64 _imageBase = 0;        // _acksAccepted when the image began
    quint32 _imageBlocks = 0;
    std::chrono::steady_clock::duration _slowestAnswer{};  // of the blocks but the last
    QString _sendError;
    bool _aborted = false;
    Timeouts _timeouts;
};

#endif // UDPUPDATER_H
