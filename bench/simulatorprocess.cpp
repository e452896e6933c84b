#include "simulatorprocess.h"

#include "casesupport.h"
#include "loopback.h"
#include "placement.h"

#include <QFile>
#include <QRegularExpression>

#include <sys/resource.h>

namespace bench {

namespace {

// After the run has ended: the simulator has quit by then, or is about to.
constexpr int kSimulatorExitMs = 10000;

double childrenCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

SimulatorProcess::~SimulatorProcess()
{
    if (_process.state() != QProcess::NotRunning) {
        _process.kill();
        _process.waitForFinished(5000);
    }
}

bool SimulatorProcess::start(const FleetRun &run, int limitMs, QString *error)
{
    if (!_dir.isValid()) {
        *error = QStringLiteral("no temporary folder for the simulator's output");
        return false;
    }
    // Its output goes to a file: a pipe nobody reads mid-run could fill and
    // stall the devices.
    _outputPath = _dir.filePath(QStringLiteral("devicesim.out"));
    _cpuBefore = childrenCpuSeconds();
    pinTo(_process, _cpu);
    _process.setProcessChannelMode(QProcess::MergedChannels);
    _process.setStandardOutputFile(_outputPath);
    // Its own timeout too: it never outlives the bench, whatever happens here.
    _process.start(QStringLiteral(VARNEL_DEVICESIM),
                   {QStringLiteral("--address"), QString::fromLatin1(kFleetFirstIp), QStringLiteral("--count"),
                    QString::number(run.devices), QStringLiteral("--ack-delay-ms"), QString::number(run.delayMs),
                    QStringLiteral("--exit-after-devices"), QString::number(run.devices), QStringLiteral("--timeout"),
                    QString::number(limitMs / 1000 + 30)});
    if (!_process.waitForStarted(5000)) {
        *error = QStringLiteral("cannot start %1: %2").arg(QStringLiteral(VARNEL_DEVICESIM), _process.errorString());
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

bool SimulatorProcess::finish(int devices, quint32 blocks, QString *error)
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

QByteArray SimulatorProcess::output() const
{
    QFile file(_outputPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString SimulatorProcess::tail() const
{
    return QString::fromLocal8Bit(output().right(600)).trimmed();
}

} // namespace bench
