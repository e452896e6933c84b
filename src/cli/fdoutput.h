#ifndef FDOUTPUT_H
#define FDOUTPUT_H

#include <QDeadlineTimer>
#include <QIODevice>

// The program's own output on a file descriptor: standard output, standard
// error, the log file. A write never fails to its caller and never holds the
// program after a stop: what cannot be written is dropped (a closed
// terminal, a reader gone, a full disk), and once the output has blocked
// after a stop signal, it has kAfterStopMs in all to write what it still
// has. Unbuffered: a QTextStream on it buffers.
class FdOutput : public QIODevice
{
public:
    static constexpr int kAfterStopMs = 300;

    // `owned`: closed with the device.
    explicit FdOutput(int fd, bool owned = false);
    ~FdOutput() override;

    bool isSequential() const override { return true; }
    // Something was dropped; errorString() says why.
    bool dropped() const { return _dropped; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    void drop(const QString &why);
    // After a blocked write or wait was interrupted: false once this output gave up.
    bool mayWaitOn();

    int _fd;
    bool _owned;
    bool _dropped = false;
    bool _stopSeen = false;
    QDeadlineTimer _afterStop;
};

#endif // FDOUTPUT_H
