#include "progresspacer.h"

ProgressPacer::ProgressPacer(std::chrono::milliseconds interval)
    : _interval(interval)
{
    _clock.start();
}

bool ProgressPacer::due(const QHostAddress &device)
{
    const quint32 key = device.toIPv4Address();
    const qint64 now = _clock.elapsed();
    const auto last = _lastMs.constFind(key);
    if (last != _lastMs.constEnd() && now - *last < _interval.count())
        return false;
    _lastMs.insert(key, now);
    return true;
}

void ProgressPacer::forget(const QHostAddress &device)
{
    _lastMs.remove(device.toIPv4Address());
}
