#ifndef STOPSIGNALS_H
#define STOPSIGNALS_H

#include <QObject>
#include <QString>

class QSocketNotifier;

// Ctrl+C (SIGINT), SIGTERM and SIGHUP (the terminal or ssh gone) as a Qt
// signal: the handler only writes the signal's number to a socket pair, and
// the event loop reads it there, so the run is stopped where stopping is
// safe. Nothing restarts after a stop signal: a blocked open, read or write
// returns, and from the first stop on a tick every 50 ms interrupts whatever
// blocks again, so the program's own waits can give up (see caught()). One
// instance at a time; the system's handling comes back when it is destroyed.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    bool install(QString *error);
    // A stop asked for already, though perhaps not yet delivered by the loop.
    bool requested();
    // The first stop signal caught, or 0; safe anywhere, without the loop.
    static int caught();

signals:
    void stopRequested(int signalNumber);

private:
    void readPending();

    QSocketNotifier *_notifier = nullptr;
    bool _requested = false;
};

#endif // STOPSIGNALS_H
