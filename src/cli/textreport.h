#ifndef TEXTREPORT_H
#define TEXTREPORT_H

#include "clireport.h"
#include "fleetupdate.h"
#include "progresspacer.h"
#include "transfermeter.h"

#include <QElapsedTimer>

#include <vector>

class QTextStream;

// The run as text for a person. Events are lines of their own; the devices
// in transfer each have a progress line (image, percentage, rate, time
// left), redrawn in place below the events on a terminal, and printed as
// plain lines at most once a second per device anywhere else.
class TextReport : public CliReport
{
public:
    TextReport(QTextStream &out, QTextStream &err, bool terminal, FleetUpdate::Mode mode);

    void images(const QList<Image> &images) override;
    void connected(const QHostAddress &device) override;
    void erased(const QHostAddress &device) override;
    void progress(const QHostAddress &device, int image, quint32 blocksDone, quint32 blocksTotal) override;
    void imageDone(const QHostAddress &device, const OperationResult &result) override;
    void deviceDone(const QHostAddress &device, const OperationResult &result, int imagesDone,
                    const QString &reason) override;
    void summary(const Summary &summary) override;
    void stopped(int exitCode, const QString &message) override;

    static QString rateText(double bytesPerSecond);
    static QString durationText(qint64 seconds);

private:
    struct Transfer {
        QHostAddress device;
        TransferMeter meter;
    };

    QString imageLabel(int image) const;
    QString progressLine(const Transfer &transfer) const;
    // A line above the progress block, which is drawn again under it.
    void print(const QString &line);
    void eraseBlock();
    void drawBlock();

    QTextStream &_out;
    QTextStream &_err;
    bool _terminal;
    FleetUpdate::Mode _mode;
    QList<std::pair<int, quint32>> _imageBlocks;
    std::vector<Transfer> _transfers;  // in the order they started
    int _drawn = 0;                    // progress lines on screen under the events
    QElapsedTimer _clock;
    qint64 _lastDrawMs = -1;
    ProgressPacer _pacer;
};

#endif // TEXTREPORT_H
