#ifndef BENCH_MEASURES_H
#define BENCH_MEASURES_H

// What a case reads off its own process.

namespace bench {

// User and system CPU seconds of this process, all threads.
double cpuSeconds();
// Peak resident memory of this process so far.
long peakResidentKb();

} // namespace bench

#endif // BENCH_MEASURES_H
