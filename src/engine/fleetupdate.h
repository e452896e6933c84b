#ifndef FLEETUPDATE_H
#define FLEETUPDATE_H

#include "devicesession.h"
#include "operationresult.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class Transport;

// Many devices at once from one PC, each on its own session: the window's
// guided update (connect, erase, images 1 to 3), or one of its steps. One
// device failing never stops or slows the others. The images are read once
// and shared by every session, so memory does not grow with the devices.
// A device that failed may get the whole update again, from the connect, on
// a session of its own: nothing is ever resent within one.
class FleetUpdate : public QObject
{
    Q_OBJECT

public:
    enum class Mode {
        Update,     // connect, erase, images 1, 2 and 3
        Check,      // connect only: erase nothing, send nothing
        EraseOnly,  // connect, erase
        SendOne,    // connect, one image under its number, no erase
    };

    struct Options {
        Mode mode = Mode::Update;
        QList<QHostAddress> devices;
        QHostAddress adapter;
        int parallel = 8;
        // Update: images 1, 2 and 3; SendOne: the one image. Read and checked.
        QList<QByteArray> images;
        // Their checksums, when the caller has them already; else worked out.
        QList<quint32> checksums;
        int sendNumber = 1;
        DeviceSession::Timeouts timeouts;
        // A device in update mode answers the connect at once.
        std::chrono::milliseconds connectTimeout = std::chrono::seconds(5);
        // The window's pause between the erase and the first image.
        std::chrono::milliseconds eraseToTransfer = std::chrono::seconds(1);
        // A device that failed (not one aborted) starts again from the
        // connect this many more times at most, each after the pause: the
        // answers of the attempt before have time to come and go.
        int retries = 0;
        std::chrono::milliseconds retryPause = std::chrono::seconds(5);
    };

    // Whether a device's firmware store was erased, as far as the PC can
    // tell; over several attempts, the most any of them did. In this order.
    enum class Erasure {
        No,        // the erase command never left
        Possibly,  // it left, and the device never answered it
        Yes,       // the device answered it
    };

    // How one device ended.
    struct DeviceReport {
        QHostAddress device;
        bool started = false;
        bool done = false;
        OperationResult result;  // the step it ended on: its success, or its failure
        int imagesDone = 0;      // in its last attempt
        Erasure erasure = Erasure::No;
        int attempts = 0;        // started, the first included
        QDateTime startedAt;     // UTC; null for a device never started
        QDateTime endedAt;
        bool ok() const { return done && result.ok(); }
    };

    // How long a device has waited for its answer, and may wait in all.
    struct Wait {
        std::chrono::milliseconds waited{0};
        std::chrono::milliseconds limit{0};
    };

    // The transport must have the answer port and the adapter open.
    explicit FleetUpdate(Transport *transport, QObject *parent = nullptr);
    ~FleetUpdate() override;

    void start(const Options &options);
    // Every session ends as Aborted, devices not started yet too; finished()
    // follows once each has reported.
    void abort();
    bool isRunning() const { return _running; }
    QList<DeviceReport> reports() const;
    // One device's report as it stands; null for a device not in the run.
    const DeviceReport *report(const QHostAddress &device) const;
    // The wait of a device's command in flight; none while nothing is awaited.
    std::optional<Wait> wait(const QHostAddress &device) const;

signals:
    void connected(const QHostAddress &device);
    // `result` says, among the rest, how long the quiet spell before the erase took.
    void erased(const QHostAddress &device, const OperationResult &result);
    void progress(const QHostAddress &device, int fileNumber, quint32 blocksDone, quint32 blocksTotal);
    // `result` says, among the rest, how long the quiet spells around its last block took.
    void imageDone(const QHostAddress &device, const OperationResult &result);
    void deviceDone(const QHostAddress &device, const OperationResult &result);
    // Each attempt as it starts, numbered from 1.
    void attempt(const QHostAddress &device, int number);
    // An attempt failed and another follows after the retry pause.
    void attemptFailed(const QHostAddress &device, int number, const OperationResult &result);
    void finished();

private:
    struct Run;
    void fill();
    void startNext();
    void startAttempt(Run &run);
    void onFinished(Run &run, const OperationResult &result);
    void sendImage(Run &run, int fileNumber);
    void endDevice(Run &run, const OperationResult &result);
    static void noteErasure(Run &run, const OperationResult &result);

    Transport *_transport;
    Options _options;
    QList<quint32> _checksums;  // of _options.images, worked out once for every device
    std::vector<std::unique_ptr<Run>> _runs;
    QHash<quint32, Run *> _byDevice;
    int _nextToStart = 0;
    int _active = 0;
    int _done = 0;
    bool _running = false;
    bool _aborting = false;
    bool _filling = false;
};

#endif // FLEETUPDATE_H
