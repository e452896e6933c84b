#ifndef DATAGRAMLOG_H
#define DATAGRAMLOG_H

#include "datagramtap.h"
#include "fdoutput.h"
#include "outputfile.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class Transport;

// --log-file: every datagram of the run, one line each: UTC time, the
// device (or whoever sent it), TX or RX, the size, the bytes in hex. A
// received datagram shows only its first bytes, as the transport hands them
// over, with its real size; one from no device of the run ends in "stray".
// Past kStraysShownPerSecond strays in a second, the rest of that second is
// one line with their count: a flood must not fill the disk.
class DatagramLog : public QObject, public DatagramTap
{
    Q_OBJECT

public:
    static constexpr int kStraysShownPerSecond = 100;

    explicit DatagramLog(QObject *parent = nullptr);
    ~DatagramLog() override;

    // See OutputFile: never one of `inputs`, never a wait.
    bool open(const QString &path, const QList<NamedInput> &inputs, QString *error);
    void attach(Transport *transport);
    // Written so far reaches the file; false once anything was lost.
    bool flush();
    QString errorString() const;

    void sent(quint32 device, const QByteArray &datagram) override;
    void received(quint32 from, const char *data, qint64 size, bool fromDevice) override;

private:
    void writeLine(quint32 peer, const char *direction, qint64 size, const QByteArray &bytes, bool stray);
    void countStrays(qint64 second);
    void writeOut();

    std::unique_ptr<FdOutput> _output;
    QByteArray _pending;
    QTimer _flushSoon;
    qint64 _straySecond = -1;  // since the epoch
    int _straysInSecond = 0;
    qint64 _straysHidden = 0;
};

#endif // DATAGRAMLOG_H
