#include "clirun.h"

#include "adapterchoice.h"
#include "crc.h"
#include "datagramlog.h"
#include "deviceaddress.h"
#include "exitcode.h"
#include "fleetupdate.h"
#include "jsonreport.h"
#include "networkadapter.h"
#include "operatortexts.h"
#include "printable.h"
#include "reportfile.h"
#include "runrecord.h"
#include "stopsignals.h"
#include "textreport.h"
#include "transport.h"
#include "updateimage.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTextStream>
#include <QTimer>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const QString kName = QStringLiteral("varnel-updater-cli: ");

QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1Char(' '));
}

// Asked at each redraw, so a resized window is followed.
int terminalRows()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0)
        return 24;  // a terminal that does not say: the smallest usual one
    return size.ws_row;
}

} // namespace

CliRun::CliRun(const CliArguments &arguments, StopSignals &stopSignals, QTextStream &out, QTextStream &err,
               bool terminal)
    : _arguments(arguments)
    , _stopSignals(stopSignals)
    , _err(err)
{
    if (arguments.json) {
        _report = std::make_unique<JsonReport>(out, err);
        return;
    }
    auto text = std::make_unique<TextReport>(out, err, terminal, arguments.mode);
    if (terminal)
        text->setTerminalRows(terminalRows);
    _text = text.get();
    _report = std::move(text);
}

CliRun::~CliRun() = default;

int CliRun::stop(int exitCode, const QString &message)
{
    _report->stopped(exitCode, kName + message);
    return exitCode;
}

QString CliRun::pathOf(int imageNumber) const
{
    const auto files = _arguments.imageFiles();
    for (const auto &[number, path] : files) {
        if (number == imageNumber)
            return path;
    }
    return QString();
}

int CliRun::exec()
{
    const QDateTime runStarted = QDateTime::currentDateTimeUtc();
    QString error;
    QList<QHostAddress> devices;
    for (const DeviceEntry &entry : std::as_const(_arguments.devices))
        devices.append(entry.address);

    const AdapterChoice choice = AdapterChoice::choose(NetworkAdapter::list(NetworkAdapter::Loopback::Include),
                                                       _arguments.adapter, devices);
    if (!choice.ok())
        return stop(exitcode::kConnection, choice.error);
    const NetworkAdapter &adapter = *choice.adapter;

    // Its subnet broadcast would reach every device behind it.
    for (const DeviceEntry &entry : std::as_const(_arguments.devices)) {
        const DeviceAddress checked = DeviceAddress::check(entry.address.toString(), adapter.entry);
        if (!checked.ok()) {
            return stop(exitcode::kUsage,
                        QStringLiteral("device %1 (%2) from adapter %3: %4")
                            .arg(entry.address.toString(), entry.origin, printable::escaped(adapter.displayText()),
                                 oneLine(OperatorTexts::deviceAddressProblem(checked.problem,
                                                                             entry.address.toString()))));
        }
    }

    // Every image whole and checked before the first datagram.
    QList<QByteArray> images;
    QList<CliReport::Image> described;
    QList<quint32> checksums;  // worked out once: for the report and for every device
    QStringList unfit;
    QList<NamedInput> inputs = _arguments.devicesFiles;
    const auto files = _arguments.imageFiles();
    for (const auto &[number, path] : files) {
        const UpdateImage image = UpdateImage::load(path);
        if (!image.ok()) {
            QString where = printable::escaped(path);
            if (!image.systemError().isEmpty())
                where += QStringLiteral(": ") + image.systemError();
            unfit.append(QStringLiteral("  %1 (%2)")
                             .arg(printable::escaped(OperatorTexts::imageProblem(image.problem(), path)), where));
            continue;
        }
        inputs.append({FileIdentity::ofPath(path), QStringLiteral("the image %1").arg(printable::escaped(path))});
        images.append(image.data());
        checksums.append(crc().crc32(image.data()));
        described.append({number, path, image.data().size(), checksums.last()});
    }
    if (!unfit.isEmpty())
        return stop(exitcode::kImagesUnfit,
                    QStringLiteral("the images are not fit to send; nothing was sent:\n") + unfit.join(QLatin1Char('\n')));

    // Only now, with every input read: the log may not be one of them, nor
    // the report one of them or the log, which is checked before the log
    // empties it and again once the log is there.
    const QString shownLog = QStringLiteral("the log file %1").arg(printable::escaped(_arguments.logFile));
    ReportFile reportFile;
    if (!_arguments.reportFile.isEmpty()
        && !ReportFile::check(_arguments.reportFile,
                              inputs + QList<NamedInput>{{FileIdentity::ofPath(_arguments.logFile), shownLog}},
                              &error))
        return stop(exitcode::kUsage, error);
    DatagramLog log;
    if (!_arguments.logFile.isEmpty() && !log.open(_arguments.logFile, inputs, &error))
        return stop(exitcode::kUsage, error);
    if (!_arguments.reportFile.isEmpty()
        && !reportFile.open(_arguments.reportFile,
                            inputs + QList<NamedInput>{{FileIdentity::ofPath(_arguments.logFile), shownLog}}, &error))
        return stop(exitcode::kUsage, error);

    if (!described.isEmpty())
        _report->images(described);

    Transport transport;
    if (!transport.openAnswerPort() || !transport.openAdapter(adapter.entry.ip()))
        return stop(exitcode::kConnection,
                    QStringLiteral("cannot open the connection from %1: %2")
                        .arg(printable::escaped(adapter.displayText()), transport.errorString()));
    if (!_arguments.logFile.isEmpty())
        log.attach(&transport);

    FleetUpdate::Options options;
    options.mode = _arguments.mode;
    options.devices = devices;
    options.adapter = adapter.entry.ip();
    options.parallel = _arguments.parallel;
    options.images = images;
    options.checksums = checksums;
    options.sendNumber = _arguments.sendNumber;
    options.timeouts = _arguments.timeouts;
    options.retries = _arguments.retries;
    options.retryPause = _arguments.retryPause;

    FleetUpdate fleet(&transport);
    CliReport *report = _report.get();
    if (_text)
        _text->setWaits([&fleet](const QHostAddress &device) { return fleet.wait(device); });
    const auto forgetWaits = qScopeGuard([this] {
        if (_text)
            _text->setWaits({});
    });
    const int attempts = _arguments.retries + 1;
    if (_arguments.retries > 0) {
        QObject::connect(&fleet, &FleetUpdate::attempt, [report, attempts](const QHostAddress &device, int number) {
            report->attempt(device, number, attempts);
        });
    }
    QObject::connect(&fleet, &FleetUpdate::attemptFailed,
                     [&](const QHostAddress &device, int number, const OperationResult &result) {
                         report->attemptFailed(device, number, attempts, result,
                                               printable::escaped(OperatorTexts::failureReason(
                                                   result, pathOf(result.fileNumber))),
                                               _arguments.retryPause);
                     });
    QObject::connect(&fleet, &FleetUpdate::connected, [report](const QHostAddress &device) {
        report->connected(device);
    });
    QObject::connect(&fleet, &FleetUpdate::erased, [report](const QHostAddress &device) { report->erased(device); });
    QObject::connect(&fleet, &FleetUpdate::progress,
                     [report](const QHostAddress &device, int image, quint32 done, quint32 total) {
                         report->progress(device, image, done, total);
                     });
    QObject::connect(&fleet, &FleetUpdate::imageDone, [report](const QHostAddress &device, const OperationResult &result) {
        report->imageDone(device, result);
    });
    const auto reasonOf = [this](const FleetUpdate::DeviceReport &ended) {
        return ended.ok() ? QString()
                          : printable::escaped(OperatorTexts::failureReason(ended, pathOf(ended.result.fileNumber)));
    };
    QObject::connect(&fleet, &FleetUpdate::deviceDone, [&](const QHostAddress &device, const OperationResult &result) {
        const FleetUpdate::DeviceReport *ended = fleet.report(device);
        report->deviceDone(device, result, ended->imagesDone, ended->erasure, reasonOf(*ended), ended->attempts);
    });

    QEventLoop loop;
    bool interrupted = false;
    bool started = false;
    QObject::connect(&fleet, &FleetUpdate::finished, &loop, &QEventLoop::quit);
    QObject::connect(&_stopSignals, &StopSignals::stopRequested, &loop, [&] {
        interrupted = true;
        if (fleet.isRunning())
            fleet.abort();  // every device reports, then finished() ends the loop
        else
            loop.quit();
    });
    // Started from the loop, so a fleet that ends at once still ends the loop.
    QTimer::singleShot(0, &loop, [&] {
        if (interrupted) {
            loop.quit();
            return;
        }
        started = true;
        fleet.start(options);
        if (!fleet.isRunning())
            loop.quit();
    });
    // A silent device's line says how long it has waited, though nothing moves.
    QTimer refresh;
    refresh.setInterval(1000);
    QObject::connect(&refresh, &QTimer::timeout, &loop, [report] { report->refresh(); });
    refresh.start();
    // A stop asked for while the images were read ends the run here.
    if (!_stopSignals.requested())
        loop.exec();
    refresh.stop();

    CliReport::Summary summary;
    RunRecord record;
    record.program = QCoreApplication::applicationName();
    record.adapterName = adapter.name;
    record.adapterAddress = adapter.entry.ip();
    for (const CliReport::Image &image : std::as_const(described))
        record.images.append({image.number, QFileInfo(image.path).fileName(), image.size, image.checksum});
    record.startedAt = runStarted;
    if (started) {
        const auto reports = fleet.reports();
        for (const FleetUpdate::DeviceReport &device : reports) {
            summary.attempts.append({device.device, device.attempts});
            record.devices.append(RunRecord::deviceOf(device, reasonOf(device)));
            if (device.ok())
                summary.succeeded.append(device.device);
            else if (device.result.outcome == OperationResult::Outcome::Aborted)
                summary.aborted.append(device.device);
            else
                summary.failed.append(device.device);
        }
    } else {
        // Stopped before anything was sent: each device is still told of.
        OperationResult aborted;
        aborted.operation = OperationResult::Operation::Connect;
        aborted.outcome = OperationResult::Outcome::Aborted;
        for (const QHostAddress &device : std::as_const(devices)) {
            report->deviceDone(device, aborted, 0, FleetUpdate::Erasure::No, OperatorTexts::failureReason(aborted), 0);
            summary.aborted.append(device);
            summary.attempts.append({device, 0});
            FleetUpdate::DeviceReport never;
            never.device = device;
            record.devices.append(RunRecord::deviceOf(never, OperatorTexts::failureReason(aborted)));
        }
    }
    if (interrupted)
        summary.exitCode = exitcode::kInterrupted;
    else if (summary.failed.isEmpty() && summary.aborted.isEmpty())
        summary.exitCode = exitcode::kSuccess;
    else
        summary.exitCode = exitcode::kDeviceFailed;
    report->summary(summary);

    record.endedAt = QDateTime::currentDateTimeUtc();
    if (reportFile.isOpen()
        && !reportFile.write(record.serialized(RunRecord::formatOf(_arguments.reportFile)), &error))
        _err << kName << error << Qt::endl;

    if (!_arguments.logFile.isEmpty() && !log.flush())
        _err << kName << "the log file " << printable::escaped(_arguments.logFile)
             << " is incomplete: " << log.errorString() << Qt::endl;
    return summary.exitCode;
}
