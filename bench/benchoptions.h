#ifndef BENCH_BENCHOPTIONS_H
#define BENCH_BENCHOPTIONS_H

// The command line. The parent takes the public options; it starts itself
// once per case with the hidden ones.

#include <QString>
#include <QStringList>

#include <optional>

namespace bench {

struct BenchOptions
{
    int sizeMib = 32;
    int runs = 5;
    // Empty: both one CPU ("same") and unpinned ("free"), round by round.
    QString placement;
    QStringList cases;  // to run, in the bench's order; all by default

    // Set only in a case's child process.
    QString caseName;
    QString imagePath;
    quint32 blocks = 0;
    QString resultPath;  // where the child writes its result
    int flooderCpu = -1;  // where a flood case pins its flooder
    int simulatorCpu = -1;  // where a fleet case pins the simulated devices
    quint16 tftpPort = 0;   // the peer cases' in.tftpd
    QString tftpDir;

    bool isChild() const { return !caseName.isEmpty(); }
};

// The options in argv. Nothing when the program should stop at once: then
// `exitCode` is 0 after --help, 2 after a usage error (both already printed).
std::optional<BenchOptions> parseOptions(int argc, char **argv, int *exitCode);

} // namespace bench

#endif // BENCH_BENCHOPTIONS_H
