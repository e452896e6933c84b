#ifndef BENCH_CASERESULT_H
#define BENCH_CASERESULT_H

// What one case measured in its child process, and the JSON file that
// carries it to the parent.

#include <QString>

#include <optional>

namespace bench {

struct CaseResult
{
    bool ok = false;
    QString error;
    quint32 blocks = 0;
    // A transfer ends with the responder's last answer: whatever the program
    // does after it (a quiet period watching for duplicate answers) is
    // quietMs, apart, so blocks/s stay comparable whatever that wait is.
    double seconds = 0;
    double quietMs = -1;
    double cpu = 0;  // the whole operation, quiet period included
    long peakKb = 0;
    double tabShowMs = -1;
    double logFillMs = -1;
    double fillStallMs = -1;
    double checksumMs = -1;
    double stallMs = -1;
    // The fleet window: the 99th percentile of its event loop's pauses
    // (stallMs the longest) over the whole run.
    double stallP99Ms = -1;
    // Its longest pause less the time its thread waited for a CPU meanwhile,
    // other processes running: the window's own work.
    double ownStallMs = -1;
    // Under a flood: strays sent while the operation ran, their rate, and
    // datagrams dropped meanwhile for a full receive buffer.
    double straysSent = -1;
    double strayRate = -1;
    double receiveBufferDrops = -1;
    // A fleet: `blocks` and `seconds` are every device's and the wall time
    // from start to finish; pauseMs is the part of it that the device
    // finishing last spent in fixed waits (after the erase, and the quiet
    // spells around each last block). The simulator's CPU, for who limits.
    double pauseMs = -1;
    double simulatorCpu = -1;
    // A case timing another program's process: `seconds` and `blocks` are
    // the image's run less a two-block run's (its start-up, startupMs, a
    // median). A TFTP put also counts the datagrams it took.
    double startupMs = -1;
    double datagrams = -1;

    double peakMb() const { return double(peakKb) * 1024.0 / 1e6; }
};

// Writes `result` of case `caseName` to `path` as one JSON object.
bool writeResultFile(const QString &path, const QString &caseName, const CaseResult &result, QString *error);
// The result in `path`; nothing, with `error`, when the file is missing, not
// the result of `caseName`, or lacks a figure.
std::optional<CaseResult> readResultFile(const QString &path, const QString &caseName, QString *error);

} // namespace bench

#endif // BENCH_CASERESULT_H
