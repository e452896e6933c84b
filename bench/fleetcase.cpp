// The fleet case: the engine's guided update (connect, erase, pause, images
// 1 to 3) of many simulated devices at once, as the command-line program
// runs it, against one varnel-devicesim standing in for all of them on the
// other CPU.

#include "cases.h"

#include "casesupport.h"
#include "fleetupdate.h"
#include "loopback.h"
#include "measures.h"
#include "protocol.h"
#include "simulatorprocess.h"
#include "transport.h"

#include <QEventLoop>
#include <QHash>
#include <QTimer>

#include <array>

namespace bench {

namespace {

// An abort ends every session at once; this only bounds it.
constexpr int kAbortGraceMs = 10000;

// When each step of one device ended, on monotonicNs().
struct Timeline
{
    qint64 erased = -1;
    qint64 eraseQuietNs = 0;  // the spell before the erase, as the engine reports it
    qint64 firstAnswer = -1;  // of image 1's first block
    std::array<qint64, kFleetImages> lastAnswer{-1, -1, -1};
    std::array<qint64, kFleetImages> imageDone{-1, -1, -1};
    std::array<qint64, kFleetImages> quietNs{0, 0, 0};  // as the engine reports them
    std::array<quint32, kFleetImages> blocks{0, 0, 0};
    qint64 done = -1;

    bool complete() const
    {
        for (int i = 0; i < kFleetImages; ++i) {
            if (lastAnswer[i] < 0 || imageDone[i] < lastAnswer[i])
                return false;
        }
        return erased >= 0 && firstAnswer >= erased && done >= 0;
    }

    // The fixed waits: the quiet spell before the erase, the pause after it
    // (to the first block's answer, one round trip more), and each image's
    // two quiet spells.
    qint64 pauses() const
    {
        qint64 total = eraseQuietNs + firstAnswer - erased;
        for (int i = 0; i < kFleetImages; ++i)
            total += quietNs[size_t(i)];
        return total;
    }
};

} // namespace

CaseResult runFleet(const FleetRun &run, int simulatorCpu)
{
    CaseResult result;
    const QList<QByteArray> images = fleetImages(kFleetImageMib);
    const quint32 blocksPerImage = protocol::blockCount(images.first().size());
    QList<QHostAddress> devices;
    const quint32 first = QHostAddress(QString::fromLatin1(kFleetFirstIp)).toIPv4Address();
    for (int i = 0; i < run.devices; ++i)
        devices << QHostAddress(first + quint32(i));

    SimulatorProcess simulator(simulatorCpu);
    if (!simulator.start(run, kFleetLimitMs, &result.error))
        return result;
    Transport transport;
    const QHostAddress adapter(QString::fromLatin1(kLocalIp));
    if (!transport.openAnswerPort() || !transport.openAdapter(adapter)) {
        result.error = QStringLiteral("transport: %1").arg(transport.errorString());
        return result;
    }

    FleetUpdate fleet(&transport);
    QHash<quint32, Timeline> timelines;
    for (const QHostAddress &device : devices)
        timelines.insert(device.toIPv4Address(), Timeline());
    QHostAddress lastDone;
    int doneCount = 0;
    // Clock reads only where a step ends, not on every progress report.
    QObject::connect(&fleet, &FleetUpdate::erased, &fleet, [&](const QHostAddress &device, const OperationResult &erase) {
        Timeline &timeline = timelines[device.toIPv4Address()];
        timeline.erased = monotonicNs();
        timeline.eraseQuietNs = qint64(erase.quietTime.count()) * 1000000;
    });
    QObject::connect(&fleet, &FleetUpdate::progress, &fleet,
                     [&](const QHostAddress &device, int fileNumber, quint32 done, quint32 total) {
                         if (fileNumber < 1 || fileNumber > kFleetImages)
                             return;
                         Timeline &timeline = timelines[device.toIPv4Address()];
                         if (fileNumber == 1 && timeline.firstAnswer < 0)
                             timeline.firstAnswer = monotonicNs();
                         timeline.blocks[size_t(fileNumber - 1)] = done;
                         if (done == total)
                             timeline.lastAnswer[size_t(fileNumber - 1)] = monotonicNs();
                     });
    QObject::connect(&fleet, &FleetUpdate::imageDone, &fleet,
                     [&](const QHostAddress &device, const OperationResult &result) {
                         const int fileNumber = result.fileNumber;
                         if (fileNumber < 1 || fileNumber > kFleetImages)
                             return;
                         Timeline &timeline = timelines[device.toIPv4Address()];
                         timeline.imageDone[size_t(fileNumber - 1)] = monotonicNs();
                         timeline.quietNs[size_t(fileNumber - 1)] = qint64(result.quietTime.count()) * 1000000;
                     });
    QObject::connect(&fleet, &FleetUpdate::deviceDone, &fleet,
                     [&](const QHostAddress &device, const OperationResult &) {
                         timelines[device.toIPv4Address()].done = monotonicNs();
                         lastDone = device;
                         ++doneCount;
                     });

    FleetUpdate::Options options;
    options.mode = FleetUpdate::Mode::Update;
    options.devices = devices;
    options.adapter = adapter;
    options.parallel = run.devices;
    options.images = images;

    QEventLoop loop;
    QObject::connect(&fleet, &FleetUpdate::finished, &loop, &QEventLoop::quit);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);

    const double cpuBefore = cpuSeconds();
    const qint64 startNs = monotonicNs();
    guard.start(kFleetLimitMs);
    fleet.start(options);
    if (fleet.isRunning())
        loop.exec();
    const qint64 endNs = monotonicNs();
    result.cpu = cpuSeconds() - cpuBefore;
    result.seconds = double(endNs - startNs) / 1e9;

    if (fleet.isRunning()) {
        fleet.abort();
        waitUntil([&] { return !fleet.isRunning(); }, kAbortGraceMs);
        result.error = QStringLiteral("the update still ran after %1 s").arg(kFleetLimitMs / 1000);
        return result;
    }

    quint64 blocks = 0;
    const QList<FleetUpdate::DeviceReport> reports = fleet.reports();
    if (reports.size() != run.devices || doneCount != run.devices) {
        result.error = QStringLiteral("%1 reports and %2 devices done, expected %3")
                           .arg(reports.size())
                           .arg(doneCount)
                           .arg(run.devices);
        return result;
    }
    for (const FleetUpdate::DeviceReport &report : reports) {
        const OperationResult &last = report.result;
        if (!report.ok() || report.imagesDone != kFleetImages || last.operation != OperationResult::Operation::Image
            || last.fileNumber != kFleetImages || last.blockCount != blocksPerImage) {
            result.error = QStringLiteral("%1: outcome %2, %3 images done, ended on image %4 at block %5 of %6 %7")
                               .arg(report.device.toString())
                               .arg(int(last.outcome))
                               .arg(report.imagesDone)
                               .arg(last.fileNumber)
                               .arg(last.blockIndex)
                               .arg(last.blockCount)
                               .arg(last.detail);
            return result;
        }
        const Timeline &timeline = timelines.value(report.device.toIPv4Address());
        for (const quint32 imageBlocks : timeline.blocks) {
            if (imageBlocks != blocksPerImage) {
                result.error = QStringLiteral("%1: an image reported %2 blocks answered of %3")
                                   .arg(report.device.toString())
                                   .arg(imageBlocks)
                                   .arg(blocksPerImage);
                return result;
            }
            blocks += imageBlocks;
        }
        if (!timeline.complete()) {
            result.error = QStringLiteral("%1: a step went unreported").arg(report.device.toString());
            return result;
        }
    }
    result.blocks = quint32(blocks);

    // The device that finished last started with the others: its waits all
    // lie within the wall time.
    const Timeline &last = timelines.value(lastDone.toIPv4Address());
    const qint64 pauseNs = last.pauses();
    if (pauseNs <= 0 || pauseNs >= endNs - startNs) {
        result.error =
            QStringLiteral("%1 ms of pauses in a %2 ms update").arg(pauseNs / 1e6).arg((endNs - startNs) / 1e6);
        return result;
    }
    result.pauseMs = double(pauseNs) / 1e6;

    if (!simulator.finish(run.devices, blocksPerImage, &result.error))
        return result;
    result.simulatorCpu = simulator.cpuSeconds();
    result.ok = true;
    return result;
}

} // namespace bench
