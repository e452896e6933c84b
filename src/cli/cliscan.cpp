#include "cliscan.h"

#include "adapterchoice.h"
#include "datagramlog.h"
#include "devicescan.h"
#include "exitcode.h"
#include "jsonreport.h"
#include "networkadapter.h"
#include "printable.h"
#include "stopsignals.h"
#include "transport.h"

#include <QEventLoop>
#include <QTextStream>
#include <QTimer>

namespace {

const QString kName = QStringLiteral("varnel-updater-cli: ");

} // namespace

CliScan::CliScan(const CliArguments &arguments, StopSignals &stopSignals, QTextStream &out, QTextStream &err)
    : _arguments(arguments)
    , _stopSignals(stopSignals)
    , _out(out)
    , _err(err)
{
}

int CliScan::stop(int exitCode, const QString &message)
{
    if (_arguments.json) {
        JsonReport(_out, _err).stopped(exitCode, kName + message);
    } else {
        _err << kName << message << '\n';
        _err.flush();
    }
    return exitCode;
}

int CliScan::exec()
{
    // Loopback only when asked for: its adapter may hold other addresses too.
    const auto loopback =
        _arguments.adapter.isEmpty() ? NetworkAdapter::Loopback::Exclude : NetworkAdapter::Loopback::Include;
    const AdapterChoice choice = AdapterChoice::choose(NetworkAdapter::list(loopback), _arguments.adapter, {});
    if (!choice.ok())
        return stop(exitcode::kConnection, choice.error);
    const NetworkAdapter &adapter = *choice.adapter;
    const QString shownAdapter = printable::escaped(adapter.displayText());

    const DeviceScan::Targets targets = DeviceScan::targets(adapter.entry, _arguments.scanRange);
    if (!targets.ok())
        return stop(exitcode::kUsage, QStringLiteral("cannot scan from %1: %2").arg(shownAdapter, targets.problem));

    QString error;
    DatagramLog log;
    if (!_arguments.logFile.isEmpty() && !log.open(_arguments.logFile, {}, &error))
        return stop(exitcode::kUsage, error);

    Transport transport;
    const quint32 adapterIp = adapter.entry.ip().toIPv4Address();
    if (!transport.openAnswerPort() || !transport.openAdapter(adapter.entry.ip()))
        return stop(exitcode::kConnection, QStringLiteral("cannot open the connection from %1: %2")
                                               .arg(shownAdapter, transport.errorString()));
    if (!_arguments.logFile.isEmpty())
        log.attach(&transport);

    DeviceScan scan(&transport);
    QEventLoop loop;
    bool interrupted = false;
    QObject::connect(&scan, &DeviceScan::finished, &loop, &QEventLoop::quit);
    QObject::connect(&_stopSignals, &StopSignals::stopRequested, &loop, [&] {
        interrupted = true;
        if (scan.isRunning())
            scan.abort();
        else
            loop.quit();
    });
    QTimer::singleShot(0, &loop, [&] {
        if (!interrupted)
            scan.start(adapterIp, targets.addresses, _arguments.scanWait);
    });
    if (_stopSignals.requested())
        interrupted = true;
    else
        loop.exec();

    const QList<QHostAddress> found = scan.found();
    const int exitCode = interrupted ? exitcode::kInterrupted
                         : found.isEmpty() ? exitcode::kDeviceFailed
                                           : exitcode::kSuccess;
    if (_arguments.json) {
        JsonReport report(_out, _err);
        for (const QHostAddress &device : found)
            report.found(device);
        report.scanSummary(int(found.size()), scan.probesSent(), exitCode);
    } else {
        // Addresses only on stdout, for a script to read line by line.
        for (const QHostAddress &device : found)
            _out << device.toString() << '\n';
        _out.flush();
    }

    // What a person reads goes to stderr in both forms.
    _err << QStringLiteral("%1 of %2 addresses answered from %3%4.")
                .arg(found.size())
                .arg(scan.probesSent())
                .arg(shownAdapter, interrupted ? QStringLiteral(" before the scan was stopped") : QString())
         << '\n';
    if (scan.sendFailures() > 0)
        _err << QStringLiteral("%1 probes could not be sent: %2").arg(scan.sendFailures()).arg(scan.sendError())
             << '\n';
    const QString pc = adapter.entry.ip().toString();
    if (found.isEmpty())
        _err << QStringLiteral("No device answered. Check that each device's target IP is this PC's adapter "
                               "address (%1), and that the device is in update mode.")
                    .arg(pc)
             << '\n';
    else
        _err << QStringLiteral("A device missing? Check that its target IP is this PC's adapter address (%1), "
                               "and that it is in update mode.")
                    .arg(pc)
             << '\n';
    _err.flush();

    if (!_arguments.logFile.isEmpty() && !log.flush())
        _err << kName << "the log file " << printable::escaped(_arguments.logFile)
             << " is incomplete: " << log.errorString() << Qt::endl;
    return exitCode;
}
