#include "datagramlog.h"

#include "transport.h"

#include <QDateTime>
#include <QFile>
#include <QHostAddress>

#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace {

// Written out in pieces this big, and at the latest this long after a line.
constexpr qsizetype kWriteBytes = 64 * 1024;
constexpr int kWriteAfterMs = 500;

} // namespace

DatagramLog::DatagramLog(QObject *parent)
    : QObject(parent)
{
    _flushSoon.setSingleShot(true);
    _flushSoon.setInterval(kWriteAfterMs);
    connect(&_flushSoon, &QTimer::timeout, this, &DatagramLog::writeOut);
}

DatagramLog::~DatagramLog()
{
    flush();
}

bool DatagramLog::open(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = QStringLiteral("cannot write the log file %1: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    _output = std::make_unique<FdOutput>(fd, true);
    return true;
}

void DatagramLog::attach(Transport *transport)
{
    transport->setTap(this);
}

bool DatagramLog::flush()
{
    if (!_output)
        return true;
    writeOut();
    return !_output->dropped();
}

QString DatagramLog::errorString() const
{
    return _output ? _output->errorString() : QString();
}

void DatagramLog::writeOut()
{
    _flushSoon.stop();
    if (_pending.isEmpty())
        return;
    _output->write(_pending);
    _pending.clear();
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
    if (!_output)
        return;
    _pending += QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toLatin1();
    _pending += ' ';
    _pending += QHostAddress(peer).toString().toLatin1();
    _pending += ' ';
    _pending += direction;
    _pending += ' ';
    _pending += QByteArray::number(size);
    _pending += ' ';
    _pending += bytes.toHex();
    if (stray)
        _pending += " stray";
    _pending += '\n';
    // A full disk must not stop the update: the output drops what it cannot write.
    if (_pending.size() >= kWriteBytes)
        writeOut();
    else if (!_flushSoon.isActive())
        _flushSoon.start();
}
