#ifndef TEXTREPORT_H
#define TEXTREPORT_H

#include "clireport.h"
#include "fleetupdate.h"
#include "progresspacer.h"
#include "transfermeter.h"

#include <QElapsedTimer>

#include <functional>
#include <optional>
#include <vector>

class QTextStream;

// The run as text for a person. Events are lines of their own, results on
// `out` and failures on `err`; the devices in transfer each have a progress
// line (image, percentage, rate, time left, or how long the device has kept
// silent), redrawn in place below the events on a terminal, in no more rows
// than it has, and printed as plain lines at most once a second per device
// anywhere else.
class TextReport : public CliReport
{
public:
    using WaitOf = std::function<std::optional<FleetUpdate::Wait>(const QHostAddress &)>;

    // Silent this long, a device's line says how long it has waited instead
    // of a rate that no longer holds, as the window does.
    static constexpr std::chrono::seconds kQuietBeforeWaiting{3};

    TextReport(QTextStream &out, QTextStream &err, bool terminal, FleetUpdate::Mode mode);

    void setWaits(WaitOf waitOf) { _waitOf = std::move(waitOf); }
    // The terminal's height, asked at each redraw; without it, no limit.
    void setTerminalRows(std::function<int()> rows) { _rows = std::move(rows); }

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
    void refresh() override;

    static QString rateText(double bytesPerSecond);
    static QString durationText(qint64 seconds);

private:
    struct Transfer {
        QHostAddress device;
        TransferMeter meter;
    };

    QString imageLabel(int image) const;
    QString progressLine(const Transfer &transfer) const;
    std::optional<FleetUpdate::Wait> longWait(const QHostAddress &device) const;
    QString stepOf(const OperationResult &result) const;
    void forget(const QHostAddress &device);
    QString stoppedAt(const OperationResult &result, int imagesDone, FleetUpdate::Erasure erasure) const;
    // A line above the progress block, which is drawn again under it.
    void print(const QString &line, QTextStream &stream);
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
    WaitOf _waitOf;
    std::function<int()> _rows;
};

#endif // TEXTREPORT_H
