#ifndef STOPSIGNALS_H
#define STOPSIGNALS_H

#include <QObject>
#include <QString>

class QSocketNotifier;

// Ctrl+C (SIGINT) and SIGTERM as a Qt signal: the handler only writes the
// signal's number to a socket pair, and the event loop reads it there, so
// the run is stopped where stopping is safe. One instance at a time; the
// system's handling comes back when it is destroyed.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    bool install(QString *error);
    // A stop asked for already, though perhaps not yet delivered by the loop.
    bool requested();

signals:
    void stopRequested(int signalNumber);

private:
    void readPending();

    QSocketNotifier *_notifier = nullptr;
    bool _requested = false;
};

#endif // STOPSIGNALS_H
