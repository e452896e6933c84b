#include "transfermeter.h"

#include "protocol.h"

#include <cmath>

namespace {

// Under this, a rate is mostly noise.
constexpr qint64 kMinSpanMs = 500;

} // namespace

TransferMeter::TransferMeter(const QList<std::pair<int, quint32>> &images)
    : _images(images)
{
}

quint32 TransferMeter::blocksBefore(int image) const
{
    quint32 blocks = 0;
    for (const auto &[number, count] : _images) {
        if (number == image)
            return blocks;
        blocks += count;
    }
    return 0;
}

void TransferMeter::update(int image, quint32 blocksDone, quint32 blocksTotal, qint64 nowMs)
{
    _image = image;
    _done = blocksDone;
    _total = blocksTotal;
    _lastBlocks = quint64(blocksBefore(image)) + blocksDone;
    _lastMs = nowMs;
    if (_firstMs < 0) {
        _firstMs = nowMs;
        _firstBlocks = _lastBlocks;
    }
}

int TransferMeter::percent() const
{
    return _total == 0 ? 0 : int(quint64(_done) * 100 / _total);
}

double TransferMeter::bytesPerSecond() const
{
    const qint64 span = _lastMs - _firstMs;
    if (_firstMs < 0 || span < kMinSpanMs || _lastBlocks <= _firstBlocks)
        return -1;
    return double(_lastBlocks - _firstBlocks) * protocol::chunkSize * 1000.0 / double(span);
}

qint64 TransferMeter::secondsLeft() const
{
    const double rate = bytesPerSecond();
    if (rate <= 0)
        return -1;
    quint64 all = 0;
    for (const auto &entry : _images)
        all += entry.second;
    // An image missing from the list still has its own blocks to go.
    if (all < _lastBlocks + (_total - _done))
        all = _lastBlocks + (_total - _done);
    const double bytesLeft = double(all - _lastBlocks) * protocol::chunkSize;
    return qint64(std::ceil(bytesLeft / rate));
}

QString TransferMeter::rateText(double bytesPerSecond)
{
    if (bytesPerSecond < 0)
        return QString();
    if (bytesPerSecond >= 1024.0 * 1024.0)
        return QStringLiteral("%1 MiB/s").arg(bytesPerSecond / (1024.0 * 1024.0), 0, 'f', 1);
    return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 0);
}

QString TransferMeter::durationText(qint64 seconds)
{
    if (seconds < 0)
        return QString();
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3").arg(seconds / 3600).arg(two(seconds / 60 % 60), two(seconds % 60));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(two(seconds % 60));
}
