#ifndef BENCH_BENCHRUN_H
#define BENCH_BENCHRUN_H

// The parent: writes the image, starts the responder, runs every case as a
// fresh child of itself, round after round, and hands the runs to the report.

namespace bench {

struct BenchOptions;

// The exit code: 0 all goals met, 1 a case failed its check, 3 a goal missed.
int runBench(int argc, char **argv, const BenchOptions &options);

} // namespace bench

#endif // BENCH_BENCHRUN_H
