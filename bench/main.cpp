// Transfer benchmark: how much the updater adds to the stop-and-wait round
// trip, measured against a plain socket loop and against TFTP clients
// putting the same image on the same machine.
//
//   varnel-bench [--size-mib N] [--runs N] [--placement same|spread|free] [--cases LIST]
//
// The parent writes one image, starts varnel-bench-responder on 127.0.0.2 and
// in.tftpd on 127.0.0.1 (a free port, a private folder), and runs every case
// as a fresh child of itself (--case NAME), so CPU time and peak memory
// belong to that case alone; the cli, curl and atftp cases run their program
// in turn and take its own. The child writes its figures as one JSON object
// to the file named by --result; the parent prints the medians. Without
// --placement the rounds alternate between one CPU and unpinned, the
// responder and in.tftpd moved to match. The link+flood case starts
// varnel-bench-flooder on the other CPU itself, and each fleet case one
// varnel-devicesim for all its devices.

#include "benchoptions.h"
#include "benchrun.h"
#include "casechild.h"

int main(int argc, char **argv)
{
    int exitCode = 0;
    const auto options = bench::parseOptions(argc, argv, &exitCode);
    if (!options)
        return exitCode;
    if (options->isChild())
        return bench::runCaseChild(argc, argv, *options);
    return bench::runBench(argc, argv, *options);
}
