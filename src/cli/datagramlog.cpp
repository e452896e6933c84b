#include "datagramlog.h"

#include "transport.h"

#include <QDateTime>

DatagramLog::DatagramLog(QObject *parent)
    : QObject(parent)
{
}

DatagramLog::~DatagramLog()
{
    flush();
}

bool DatagramLog::open(const QString &path, QString *error)
{
    _file.setFileName(path);
    if (!_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot write the log file %1: %2").arg(path, _file.errorString());
        return false;
    }
    return true;
}

void DatagramLog::attach(Transport *transport)
{
    connect(transport, &Transport::datagramSent, this, &DatagramLog::sent);
    connect(transport, &Transport::datagramReceived, this, &DatagramLog::received);
}

bool DatagramLog::flush()
{
    if (_file.isOpen() && !_failed && !_file.flush())
        _failed = true;
    return !_failed;
}

void DatagramLog::sent(const QHostAddress &device, const QByteArray &datagram)
{
    writeLine(device, "TX", datagram.size(), datagram, false);
}

void DatagramLog::received(const QHostAddress &from, const QByteArray &head, qint64 size, bool fromDevice)
{
    writeLine(from, "RX", size, head, !fromDevice);
}

void DatagramLog::writeLine(const QHostAddress &peer, const char *direction, qint64 size, const QByteArray &bytes,
                            bool stray)
{
    // A full disk must not stop the update: the log just ends there.
    if (_failed || !_file.isOpen())
        return;
    QByteArray line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toLatin1();
    line += ' ';
    // The answer socket takes IPv4 and IPv6: show a mapped sender as plain IPv4.
    bool isIPv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIPv4);
    line += (isIPv4 ? QHostAddress(ipv4) : peer).toString().toLatin1();
    line += ' ';
    line += direction;
    line += ' ';
    line += QByteArray::number(size);
    line += ' ';
    line += bytes.toHex();
    if (stray)
        line += " stray";
    line += '\n';
    if (_file.write(line) != line.size())
        _failed = true;
}
