#ifndef BENCH_CASECHILD_H
#define BENCH_CASECHILD_H

// A case's child process: sets up the application the case needs, runs it
// and hands its result to the parent.

namespace bench {

struct BenchOptions;

// The exit code of the child: 0 when the case passed its checks.
int runCaseChild(int argc, char **argv, const BenchOptions &options);

} // namespace bench

#endif // BENCH_CASECHILD_H
