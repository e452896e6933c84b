#include "measures.h"

#include <QFile>
#include <QList>

#include <sys/resource.h>
#include <time.h>

namespace bench {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long peakResidentKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

namespace {

// A counter of the "Udp:" lines of /proc/net/snmp, this network namespace's.
qint64 udpCounter(const char *name)
{
    // Two "Udp:" lines: the names, then the values. A /proc file has no size,
    // so it is read whole rather than line by line up to its "end".
    QFile file(QStringLiteral("/proc/net/snmp"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    QList<QByteArray> names;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.startsWith("Udp: "))
            continue;
        const QList<QByteArray> words = line.trimmed().split(' ');
        if (names.isEmpty()) {
            names = words;
            continue;
        }
        const qsizetype column = names.indexOf(name);
        if (column < 0 || column >= words.size())
            return -1;
        bool ok = false;
        const qint64 value = words[column].toLongLong(&ok);
        return ok ? value : -1;
    }
    return -1;
}

} // namespace

qint64 udpReceiveBufferErrors()
{
    return udpCounter("RcvbufErrors");
}

qint64 udpDatagramsReceived()
{
    return udpCounter("InDatagrams");
}

} // namespace bench
