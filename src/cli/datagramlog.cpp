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
    transport->setTap(this);
}

bool DatagramLog::flush()
{
    if (_file.isOpen() && !_failed && !_file.flush())
        _failed = true;
    return !_failed;
}

void DatagramLog::sent(quint32 device, const QByteArray &datagram)
{
    writeLine(device, "TX", datagram.size(), datagram, false);
}

void DatagramLog::received(quint32 from, const char *data, qint64 size, bool fromDevice)
{
    // As in the window: a datagram from anyone may be 64 KiB.
    writeLine(from, "RX", size, QByteArray::fromRawData(data, qMin(size, kLoggedBytes)), !fromDevice);
}

void DatagramLog::writeLine(quint32 peer, const char *direction, qint64 size, const QByteArray &bytes, bool stray)
{
    // A full disk must not stop the update: the log just ends there.
    if (_failed || !_file.isOpen())
        return;
    QByteArray line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toLatin1();
    line += ' ';
    line += QHostAddress(peer).toString().toLatin1();
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
