#ifndef DATAGRAMLOG_H
#define DATAGRAMLOG_H

#include "datagramtap.h"
#include "fdoutput.h"

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
class DatagramLog : public QObject, public DatagramTap
{
    Q_OBJECT

public:
    explicit DatagramLog(QObject *parent = nullptr);
    ~DatagramLog() override;

    // Creates or empties the file.
    bool open(const QString &path, QString *error);
    void attach(Transport *transport);
    // Written so far reaches the file; false once anything was lost.
    bool flush();
    QString errorString() const;

    void sent(quint32 device, const QByteArray &datagram) override;
    void received(quint32 from, const char *data, qint64 size, bool fromDevice) override;

private:
    void writeLine(quint32 peer, const char *direction, qint64 size, const QByteArray &bytes, bool stray);
    void writeOut();

    std::unique_ptr<FdOutput> _output;
    QByteArray _pending;
    QTimer _flushSoon;
};

#endif // DATAGRAMLOG_H
