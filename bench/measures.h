#ifndef BENCH_MEASURES_H
#define BENCH_MEASURES_H

// What a case reads off its own process.

#include <QtGlobal>

namespace bench {

// User and system CPU seconds of this process, all threads.
double cpuSeconds();
// Peak resident memory of this process so far.
long peakResidentKb();
// CLOCK_MONOTONIC in nanoseconds: the clock the responder stamps its answers
// with, shared by every process on the machine.
qint64 monotonicNs();
// Datagrams the kernel dropped for a full socket receive buffer, all UDP
// sockets of this network namespace; -1 when it does not say.
qint64 udpReceiveBufferErrors();
// UDP datagrams delivered to any socket of this network namespace; -1 when
// the kernel does not say.
qint64 udpDatagramsReceived();

} // namespace bench

#endif // BENCH_MEASURES_H
