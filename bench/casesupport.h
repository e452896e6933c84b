#ifndef BENCH_CASESUPPORT_H
#define BENCH_CASESUPPORT_H

// Helpers that several cases share.

#include "caseresult.h"
#include "udpupdater.h"

#include <chrono>
#include <functional>
#include <vector>

namespace bench {

class ResponderClient;

// The link and the window keep the program's own waits.
constexpr int kConnectLimitMs = 10000;

// The cases that time another program's whole process (the TFTP clients,
// the command line) take its fixed cost from a put of a two-block file, the
// image's first bytes, run this many times: its median is subtracted.
constexpr int kStartupBytes = udpUpdater::chunkSize + udpUpdater::chunkSize / 2;
constexpr int kStartupRuns = 3;
// Writes the start-up file to `path`; false when the image is too small.
bool writeStartupFile(const QByteArray &image, const QString &path);
double medianOf(std::vector<double> values);
// A fleet case's three images of `mib` MiB each, different, the same bytes every run.
QList<QByteArray> fleetImages(int mib);

// Waits on the event loop, checking now and then; only outside timed parts.
bool waitUntil(const std::function<bool()> &done, int timeoutMs);

// How a link operation ended, for an error message.
QString describe(const udpUpdater::Result &result);

// Closes a transfer timed from `startNs` to `endNs` (monotonicNs()): the
// responder must have answered exactly the commands the case sent, the last
// of them in between. The program's quiet spells around the image's last
// block (`quiet`, as it reports them) are a fixed cost per image: `seconds`
// leaves them out and `quietMs` holds them.
bool endTransfer(ResponderClient &responder, qint64 expected, qint64 startNs, qint64 endNs,
                 std::chrono::milliseconds quiet, CaseResult &result);

} // namespace bench

#endif // BENCH_CASESUPPORT_H
