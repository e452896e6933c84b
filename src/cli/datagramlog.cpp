#include "datagramlog.h"

#include "transport.h"

#include <QDateTime>
#include <QHostAddress>

namespace {

// Written out in pieces this big, and at the latest this long after a line.
constexpr qsizetype kWriteBytes = 64 * 1024;
constexpr int kWriteAfterMs = 500;

QByteArray timeText(qint64 msecsSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1();
}

} // namespace

DatagramLog::DatagramLog(QObject *parent)
    : QObject(parent)
{
    _flushSoon.setSingleShot(true);
    _flushSoon.setInterval(kWriteAfterMs);
    connect(&_flushSoon, &QTimer::timeout, this, [this] {
        countStrays(QDateTime::currentMSecsSinceEpoch() / 1000);
        writeOut();
        // A count still open is told once its second is over, flood or not.
        if (_straysHidden > 0)
            _flushSoon.start();
    });
}

DatagramLog::~DatagramLog()
{
    flush();
}

bool DatagramLog::open(const QString &path, const QList<NamedInput> &inputs, QString *error)
{
    const OutputFile file = OutputFile::open(path, inputs);
    if (file.fd < 0) {
        *error = file.error;
        return false;
    }
    _output = std::make_unique<FdOutput>(file.fd, true);
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
    // The strays of the last second count too.
    countStrays(-1);
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

void DatagramLog::countStrays(qint64 second)
{
    if (second == _straySecond)
        return;
    if (_straysHidden > 0) {
        _pending += timeText(_straySecond * 1000 + 999);
        _pending += " RX ";
        _pending += QByteArray::number(_straysHidden);
        _pending += " more stray datagrams in this second, not shown\n";
    }
    _straySecond = second;
    _straysInSecond = 0;
    _straysHidden = 0;
}

void DatagramLog::writeLine(quint32 peer, const char *direction, qint64 size, const QByteArray &bytes, bool stray)
{
    if (!_output)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    countStrays(now / 1000);
    if (stray && ++_straysInSecond > kStraysShownPerSecond) {
        ++_straysHidden;
        if (!_flushSoon.isActive())
            _flushSoon.start();
        return;
    }
    _pending += timeText(now);
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
