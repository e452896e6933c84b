#ifndef PROGRESSPACER_H
#define PROGRESSPACER_H

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>

#include <chrono>

// Lets a device's progress through at most once per interval, so a log or a
// script reading JSON is not flooded by a fleet of fast devices. A device's
// first report always goes through.
class ProgressPacer
{
public:
    explicit ProgressPacer(std::chrono::milliseconds interval = std::chrono::seconds(1));

    // True when the device's report may go out now; it then counts as sent.
    bool due(const QHostAddress &device);
    void forget(const QHostAddress &device);

private:
    std::chrono::milliseconds _interval;
    QElapsedTimer _clock;
    QHash<quint32, qint64> _lastMs;
};

#endif // PROGRESSPACER_H
