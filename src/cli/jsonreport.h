#ifndef JSONREPORT_H
#define JSONREPORT_H

#include "clireport.h"
#include "progresspacer.h"

#include <QJsonObject>

class QTextStream;

// One JSON object per line on `out`, each with "v", "event", "time" and, when
// it concerns one, "device"; a line is flushed as soon as it is whole, so a
// script sees each event when it happens. Human text goes to `err` only.
class JsonReport : public CliReport
{
public:
    static constexpr int kVersion = 1;

    JsonReport(QTextStream &out, QTextStream &err);

    void images(const QList<Image> &images) override;
    void attempt(const QHostAddress &device, int number, int of) override;
    void attemptFailed(const QHostAddress &device, int number, int of, const OperationResult &result,
                       const QString &reason, std::chrono::milliseconds pause) override;
    void connected(const QHostAddress &device) override;
    void erased(const QHostAddress &device) override;
    void progress(const QHostAddress &device, int image, quint32 blocksDone, quint32 blocksTotal) override;
    void imageDone(const QHostAddress &device, const OperationResult &result) override;
    void deviceDone(const QHostAddress &device, const OperationResult &result, int imagesDone,
                    FleetUpdate::Erasure erasure, const QString &reason, int attempts) override;
    void summary(const Summary &summary) override;
    void stopped(int exitCode, const QString &message) override;

    // A scan's: each device that answered, then how many did of how many probed.
    void found(const QHostAddress &device);
    void scanSummary(int found, int probed, int exitCode);

private:
    void write(const char *event, QJsonObject fields, const QHostAddress &device = QHostAddress());

    QTextStream &_out;
    QTextStream &_err;
    ProgressPacer _pacer;
};

#endif // JSONREPORT_H
