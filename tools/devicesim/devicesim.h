#ifndef DEVICESIM_H
#define DEVICESIM_H

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QTimer;
class QUdpSocket;

// A stand-in for the device in its update mode, on loopback or on another
// address this machine holds (a test's own adapter in its own namespace). It
// answers each command datagram on ADDRESS:1235 with A5 5A <type> sent from
// that address to the sender's address (or its target IP), port 1246,
// checks every image it receives against the write-block protocol, and can
// be told to misbehave.
class DeviceSim : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 kCommandPort = 1235;
    static constexpr quint16 kAckPort = 1246;

    // What the simulator made of one image (one run START ... END, or a
    // single START block for a one-block image).
    struct ImageReport {
        int imageNumber = 0;
        int blocks = 0;
        qint64 bytes = 0;
        QByteArray data;               // the image as assembled (empty when not kept)
        bool checksumPresent = false;  // the last block carried a checksum
        bool checksumGood = false;     // ... and it matched the assembled image
        QStringList errors;            // protocol violations, empty when clean
        bool complete = false;         // END seen (or the single START block)
        QString summary() const;       // one line: image, blocks, bytes, checksum
        // Complete, no protocol error, checksum good or absent.
        bool clean() const { return complete && errors.isEmpty(); }
    };

    // Fault switches. Datagram numbers count every command datagram received
    // since start() (or since clear()), starting at 1; 0 means "off".
    struct Faults {
        int ackDelayMs = 0;            // delay every acknowledgement
        int jitterMs = 0;              // ... and each by 0 to this much more, at random
        int spikeEvery = 0;            // answer every Nth datagram spikeMs late
        int spikeMs = 0;
        int eraseDelayMs = 0;          // extra time before acknowledging an erase
        int dropAckOf = 0;             // do not acknowledge datagram N
        int wrongTypeAt = 0;           // answer datagram N with type 0x55
        int silentAfter = 0;           // answer nothing after datagram N
        int strayAt = 0;               // on datagram N, first send a stray A5 5A <type>
                                       // from 127.0.0.3 to the ack port, then answer
        bool duplicateAcks = false;    // answer each datagram twice
        int duplicateDelayMs = 0;      // ... the copy this long after the answer
        bool duplicateLastAcks = false;  // answer each image's last block twice, the copy
                                         // duplicateDelayMs after the answer
        int duplicateAckOf = 0;        // answer datagram N twice, the copy duplicateDelayMs later
        bool unansweredEnd = false;    // never answer an END block
        bool once = false;             // the switches and silence hit the first update only:
                                       // from the second connect command on, it behaves
    };

    explicit DeviceSim(QObject *parent = nullptr);
    ~DeviceSim() override;

    // Binds ADDRESS:1235, a loopback address or one this machine holds.
    // False with errorString() when it is neither, or the bind fails.
    bool start(const QHostAddress &address = QHostAddress(QStringLiteral("127.0.0.2")));
    void stop();
    QString errorString() const { return _error; }

    void setFaults(const Faults &faults) { _faults = faults; }
    Faults faults() const { return _faults; }
    // Stop answering at all (true) or answer again (false).
    void setSilent(bool silent) { _silent = silent; }
    // Answer TARGET:1246, whoever sent the command, as a real device
    // answers the PC it was set to; null: the sender. From the next start().
    void setTarget(const QHostAddress &target) { _target = target; }
    // A target the simulator may answer: loopback, or a network kept for
    // examples that no real network routes, so it never reaches another PC.
    static bool targetAllowed(const QHostAddress &target);

    // Save every completed image as <dir>/image<N>-<seq>.bin (seq counts from 1).
    void setSaveDirectory(const QString &dir) { _saveDir = dir; }
    // Print one summary line per completed image to stdout.
    void setPrintSummaries(bool print) { _printSummaries = print; }
    // Keep every datagram for received() (true, the default). Off for long
    // runs of big images, where the copies would only cost memory.
    void setRecordDatagrams(bool record) { _recordDatagrams = record; }
    // Keep each image's bytes in images() (true, the default). Off, the
    // checksum and sizes are still checked and reported, and a save
    // directory still gets every image; only the copy in memory goes.
    void setKeepImageData(bool keep) { _keepImageData = keep; }
    // Put in front of every printed line, so a fleet's lines tell apart.
    void setLinePrefix(const QString &prefix) { _linePrefix = prefix; }

    // The address start() bound, null when stopped.
    QHostAddress address() const;

    // Every datagram received, in arrival order, exactly as it came.
    QList<QByteArray> received() const { return _received; }
    // Datagrams received, counted even when they are not recorded.
    int receivedCount() const { return _datagramCount; }
    // Images, completed or still in progress, in the order they started.
    QList<ImageReport> images() const { return _images; }
    // An image has started and not ended yet (it is the last of images()).
    bool imageOpen() const { return _openImage >= 0; }
    int eraseCount() const { return _erases; }
    int acksSent() const { return _acksSent; }
    // Delayed acknowledgements not sent yet.
    int acksPending() const { return _acksPending; }
    // Forget what was received (the fault switches and counters restart too).
    void clear();

signals:
    void datagramReceived(const QByteArray &datagram);
    void imageCompleted(const DeviceSim::ImageReport &report);

private slots:
    void readPending();

private:
    void handle(const QByteArray &datagram, const QHostAddress &sender);
    // Checks one write block; true when it was an END block.
    bool checkWriteBlock(const QByteArray &datagram);
    void openImage(int imageNumber, int expectedIndex);
    void finishImage();
    void sendAck(quint8 type, const QHostAddress &to, int delayMs);

    void answer(quint8 type, const QHostAddress &to, bool endBlock, bool lastBlock);
    void writeAck(quint8 type, const QHostAddress &to, int datagramNumber);
    void sendStray(quint8 type, const QHostAddress &to);
    void addError(const QString &error);
    void closeImage(bool complete);
    void closePendingSingle();
    void singleBlockQuiet();
    void printLine(const QString &line) const;
    QHostAddress answerTo(const QHostAddress &sender);

    QUdpSocket *_socket = nullptr;
    QUdpSocket *_straySocket = nullptr;
    QString _error;
    Faults _faults;
    bool _silent = false;
    QHostAddress _target;
    QHostAddress _knownSender;     // the last sender found to be this machine's
    QString _saveDir;
    bool _printSummaries = false;
    QString _linePrefix;
    bool _keepImageData = true;
    quint32 _checksum = 0;         // running checksum of the open image
    QList<QByteArray> _received;
    QList<ImageReport> _images;
    bool _imageOpen = false;       // a START was seen and no END yet
    int _expectedIndex = 0;        // next index byte expected
    int _erases = 0;
    int _acksSent = 0;
    int _acksPending = 0;
    int _savedCount = 0;

    bool _recordDatagrams = true;
    int _datagramCount = 0;        // datagrams since clear()
    int _faultBase = 0;            // _datagramCount at start(): fault numbers count from there
    int _connects = 0;             // connect commands since start() or clear(), for Faults::once
    int _openImage = -1;           // index in _images of the open image
    // A START carrying a full 1400 bytes may be a whole one-block image or
    // the first of many: only what follows (or a quiet link) tells.
    int _singleDatagram = 0;       // datagram number of such a START, 0 if none
    bool _singleAcked = false;     // ... and it was properly acknowledged
    QTimer *_quietTimer = nullptr;
    quint64 _generation = 0;       // stop() voids acknowledgements still delayed
    quint64 _epoch = 0;            // clear() restarts the datagram numbers
    quint32 _jitterState = 1;      // the same jitter run after run, for repeatable tests
};

#endif // DEVICESIM_H
