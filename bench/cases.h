#ifndef BENCH_CASES_H
#define BENCH_CASES_H

// The cases, each run alone in a child process so that its CPU time and peak
// memory are its own.

#include "caseresult.h"

#include <QStringList>

#include <optional>

namespace bench {

// The TFTP clients, each putting the image to our own in.tftpd: the peers
// the program is compared with.
inline const QStringList kPeerCases = {"curl", "atftp"};
// The transfer cases, in the order they run and are shown: the peers, then
// the program's ways of sending the same image.
inline const QStringList kCases = {"curl", "atftp", "raw", "link", "link+flood", "window", "window+log", "cli",
                                   "idle"};

// The engine updating many devices at once: one case per device count and
// answer delay, named "fleet-N@Dms".
inline constexpr int kFleetDevices[] = {1, 8, 32};
inline constexpr int kFleetDelaysMs[] = {0, 1};
// Whatever --size-mib says: the fleet's figures stay comparable between runs.
inline constexpr int kFleetImageMib = 4;
inline constexpr int kFleetImages = 3;
// The whole update of every device, the pause after the erase included.
inline constexpr int kFleetLimitMs = 150000;

// The fleet window against the command line: the same devices, images and
// number at once, each updating the lot in its own process. Not in the
// default run: each run of either takes about a minute.
inline const QStringList kFleetWindowCases = {"fleet-window", "fleet-cli"};
inline constexpr int kFleetWindowDevices = 256;
inline constexpr int kFleetWindowParallel = 64;  // the most the window offers
inline constexpr int kFleetWindowImageMib = 2;
inline constexpr int kFleetWindowLimitMs = 300000;
// The window's ticker: a pause is any gap between its ticks beyond this.
inline constexpr int kFleetWindowTickMs = 5;

struct FleetRun
{
    int devices = 0;
    int delayMs = 0;
};

QString fleetCaseName(const FleetRun &run);
// The run a fleet case's name stands for; nothing for any other name.
std::optional<FleetRun> fleetRunOf(const QString &name);
// Every fleet case, delay by delay, fewest devices first.
QStringList fleetCases();
// Every case, in the order they run: the transfer cases, the fleet, then
// the fleet window and its command line.
QStringList allCases();
// What runs without --cases: all but the fleet window's pair.
QStringList defaultCases();

// How long a case may take to send `blocks`.
inline int caseLimitMs(quint32 blocks)
{
    return 60000 + int(blocks) * 2;
}

// A bare socket loop: the yardstick every other case is measured against.
CaseResult runRaw(const QString &path, quint32 expectedBlocks);
// The link alone, no window.
CaseResult runLink(const QString &path, quint32 expectedBlocks);
// The same under a flood of stray datagrams, sent from `flooderCpu`.
CaseResult runLinkUnderFlood(const QString &path, quint32 expectedBlocks, int flooderCpu);
// An unanswered erase: how much CPU the program burns while it waits.
CaseResult runIdle();
// Send File through the whole window, the log tab hidden or shown.
CaseResult runWindow(const QString &path, quint32 expectedBlocks, bool logShown);
// The command-line program sending the image as image 1, one process.
CaseResult runCli(const QString &path, quint32 expectedBlocks);

// Where the peer cases put the image.
struct PeerServer
{
    quint16 port = 0;   // in.tftpd's, on kLocalIp
    QString directory;  // where the puts land
};
// A TFTP client's path; empty when it is not installed.
QString peerProgram(const QString &client);
// `client` putting the image to `server` with 1400-byte blocks.
CaseResult runPeer(const QString &client, const QString &path, const PeerServer &server);

// The engine updating `run.devices` simulated devices at once, the simulator
// pinned to `simulatorCpu`.
CaseResult runFleet(const FleetRun &run, int simulatorCpu);

// The fleet window updating kFleetWindowDevices simulated devices, driven
// through its controls, and the command-line program updating the same.
CaseResult runFleetWindow(int simulatorCpu);
CaseResult runFleetCli(int simulatorCpu);

} // namespace bench

#endif // BENCH_CASES_H
