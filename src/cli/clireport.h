#ifndef CLIREPORT_H
#define CLIREPORT_H

#include "fleetupdate.h"
#include "operationresult.h"

#include <QHostAddress>
#include <QList>
#include <QString>

#include <chrono>
#include <utility>

// What a run tells as it goes, whichever way it is printed: as text for a
// person, or as JSON lines for a script.
class CliReport
{
public:
    struct Image {
        int number = 0;
        QString path;
        qint64 size = 0;
        quint32 checksum = 0;  // as the last block carries it
    };

    struct Summary {
        QList<QHostAddress> succeeded;
        QList<QHostAddress> failed;   // ended on a failure of their own
        QList<QHostAddress> aborted;  // stopped by Ctrl+C or SIGTERM
        QList<std::pair<QHostAddress, int>> attempts;  // every device's, in the run's order
        int exitCode = 0;
        int devices() const { return int(succeeded.size() + failed.size() + aborted.size()); }
    };

    virtual ~CliReport() = default;

    virtual void images(const QList<Image> &images) = 0;
    // With retries allowed: each attempt as it starts, of `of` at most.
    virtual void attempt(const QHostAddress &device, int number, int of) = 0;
    // An attempt failed; the next starts after `pause`.
    virtual void attemptFailed(const QHostAddress &device, int number, int of, const OperationResult &result,
                               const QString &reason, std::chrono::milliseconds pause) = 0;
    virtual void connected(const QHostAddress &device) = 0;
    virtual void erased(const QHostAddress &device) = 0;
    virtual void progress(const QHostAddress &device, int image, quint32 blocksDone, quint32 blocksTotal) = 0;
    virtual void imageDone(const QHostAddress &device, const OperationResult &result) = 0;
    // `reason` is empty on success; `erasure` says whether the device may be
    // left without firmware, after all its `attempts`.
    virtual void deviceDone(const QHostAddress &device, const OperationResult &result, int imagesDone,
                            FleetUpdate::Erasure erasure, const QString &reason, int attempts) = 0;
    virtual void summary(const Summary &summary) = 0;
    // The run stopped before any device was started.
    virtual void stopped(int exitCode, const QString &message) = 0;
    // Called about once a second while devices run, whether or not they move.
    virtual void refresh() {}
};

#endif // CLIREPORT_H
