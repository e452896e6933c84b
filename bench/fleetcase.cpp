// The fleet case: the engine's guided update (connect, erase, pause, images
// 1 to 3) of many simulated devices at once, as the command-line program
// runs it, against one varnel-devicesim standing in for all of them on the
// other CPU.

#include "cases.h"

#include "casesupport.h"
#include "fleetupdate.h"
#include "loopback.h"
#include "measures.h"
#include "placement.h"
#include "protocol.h"
#include "transport.h"

#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <array>

namespace bench {

namespace {

// After finished(): the simulator has quit by then, or is about to.
constexpr int kSimulatorExitMs = 10000;
// An abort ends every session at once; this only bounds it.
constexpr int kAbortGraceMs = 10000;

double childrenCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// One varnel-devicesim for every device of the run. Its output goes to a
// file: a pipe nobody reads mid-run could fill and stall the devices.
class Simulator
{
public:
    explicit Simulator(int cpu) : _cpu(cpu) {}
    ~Simulator()
    {
        if (_process.state() != QProcess::NotRunning) {
            _process.kill();
            _process.waitForFinished(5000);
        }
    }
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Returns once every device listens.
    bool start(const FleetRun &run, QString *error)
    {
        if (!_dir.isValid()) {
            *error = QStringLiteral("no temporary folder for the simulator's output");
            return false;
        }
        _outputPath = _dir.filePath(QStringLiteral("devicesim.out"));
        _cpuBefore = childrenCpuSeconds();
        pinTo(_process, _cpu);
        _process.setProcessChannelMode(QProcess::MergedChannels);
        _process.setStandardOutputFile(_outputPath);
        // Its own timeout too: it never outlives the bench, whatever happens here.
        _process.start(QStringLiteral(VARNEL_DEVICESIM),
                       {QStringLiteral("--address"), QString::fromLatin1(kFleetFirstIp), QStringLiteral("--count"),
                        QString::number(run.devices), QStringLiteral("--ack-delay-ms"),
                        QString::number(run.delayMs), QStringLiteral("--exit-after-devices"),
                        QString::number(run.devices), QStringLiteral("--timeout"),
                        QString::number(kFleetLimitMs / 1000 + 30)});
        if (!_process.waitForStarted(5000)) {
            *error = QStringLiteral("cannot start %1: %2")
                         .arg(QStringLiteral(VARNEL_DEVICESIM), _process.errorString());
            return false;
        }
        const bool listening = waitUntil(
            [this] { return output().contains("listening on") || _process.state() != QProcess::Running; }, 10000);
        if (!listening || !output().contains("listening on")) {
            *error = QStringLiteral("the simulator does not listen: %1").arg(tail());
            return false;
        }
        return true;
    }

    // Waits for it to quit by itself, and checks that it saw what was sent:
    // every device through connect, one erase and three clean images of
    // `blocks` blocks, each command answered once.
    bool finish(int devices, quint32 blocks, QString *error)
    {
        // It may have quit already, seen by the event loop.
        if (_process.state() != QProcess::NotRunning && !_process.waitForFinished(kSimulatorExitMs)) {
            _process.kill();
            _process.waitForFinished(5000);
            *error = QStringLiteral("the simulator did not quit by itself: %1").arg(tail());
            return false;
        }
        _cpuSeconds = childrenCpuSeconds() - _cpuBefore;
        if (_process.exitStatus() != QProcess::NormalExit || _process.exitCode() != 0) {
            *error = QStringLiteral("the simulator exited with %1: %2").arg(_process.exitCode()).arg(tail());
            return false;
        }
        static const QRegularExpression exiting(
            QStringLiteral("^exiting \\((.*)\\): (\\d+) datagrams, (\\d+) images, (\\d+) clean, (\\d+) erases, "
                           "(\\d+) acknowledgements"),
            QRegularExpression::MultilineOption);
        const QRegularExpressionMatch match = exiting.match(QString::fromLocal8Bit(output()));
        if (!match.hasMatch()) {
            *error = QStringLiteral("the simulator did not say what it saw: %1").arg(tail());
            return false;
        }
        const auto count = [&](int group) { return match.captured(group).toLongLong(); };
        const qint64 commands = qint64(devices) * (2 + kFleetImages * qint64(blocks));
        const qint64 images = qint64(devices) * kFleetImages;
        if (!match.captured(1).contains(QLatin1String("through")) || count(2) != commands || count(3) != images
            || count(4) != images || count(5) != devices || count(6) != commands) {
            *error = QStringLiteral("the simulator saw \"%1\", expected %2 datagrams, %3 images all clean, %4 "
                                    "erases, %2 acknowledgements")
                         .arg(match.captured(0))
                         .arg(commands)
                         .arg(images)
                         .arg(devices);
            return false;
        }
        return true;
    }

    double cpuSeconds() const { return _cpuSeconds; }

private:
    QByteArray output() const
    {
        QFile file(_outputPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QString tail() const { return QString::fromLocal8Bit(output().right(600)).trimmed(); }

    int _cpu;
    QTemporaryDir _dir;
    QString _outputPath;
    QProcess _process;
    double _cpuBefore = 0;
    double _cpuSeconds = -1;
};

// Three different images, the same bytes every run.
QList<QByteArray> makeImages()
{
    QList<QByteArray> images;
    for (int number = 1; number <= kFleetImages; ++number) {
        QByteArray image(qsizetype(kFleetImageMib) * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator generator(20261207u + quint32(number));
        generator.fillRange(reinterpret_cast<quint32 *>(image.data()), image.size() / qsizetype(sizeof(quint32)));
        images << image;
    }
    return images;
}

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
    const QList<QByteArray> images = makeImages();
    const quint32 blocksPerImage = protocol::blockCount(images.first().size());
    QList<QHostAddress> devices;
    const quint32 first = QHostAddress(QString::fromLatin1(kFleetFirstIp)).toIPv4Address();
    for (int i = 0; i < run.devices; ++i)
        devices << QHostAddress(first + quint32(i));

    Simulator simulator(simulatorCpu);
    if (!simulator.start(run, &result.error))
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
