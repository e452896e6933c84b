#include "cliarguments.h"

#include "deviceaddress.h"
#include "devicescan.h"
#include "operatortexts.h"
#include "printable.h"
#include "runrecord.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>

#include <cmath>

namespace {

// A devices file is a list typed by hand or made by a script: anything
// bigger is the wrong file.
constexpr qint64 kMaxDevicesFileBytes = 4 * 1024 * 1024;
// Longer than any wait a device needs, short enough to stay a number of ms.
constexpr double kMaxTimeoutSeconds = 24 * 3600;
// A device that failed this often has something the next try will not mend.
constexpr int kMaxRetries = 10;
constexpr double kMaxRetryPauseSeconds = 3600;
// A device answers a connect at once: a longer wait only hides a wrong address.
constexpr double kMaxScanWaitSeconds = 60;

const char *const kDescription =
    "Updates the firmware of one or many devices over UDP, each device on its own:\n"
    "  varnel-updater-cli [options] --device IP [--device IP ...] DIRECTORY\n"
    "      connect, erase, send file1.varnelfmw, file2.varnelfmw and file3.varnelfmw\n"
    "  varnel-updater-cli [options] --device IP ... --erase-only\n"
    "  varnel-updater-cli [options] --device IP ... --send N=PATH\n"
    "  varnel-updater-cli [options] --device IP ... --check [DIRECTORY]\n"
    "  varnel-updater-cli [options] --scan [--scan-range FIRST-LAST]\n"
    "      list the devices in update mode that answer this PC\n"
    "All images are read and checked before anything is sent.";

const char *const kExitCodes =
    "\nExit codes:\n"
    "  0    every device did what was asked (--scan: at least one answered)\n"
    "  1    at least one device failed; the others finished (--scan: none answered)\n"
    "  2    usage error, including a refused device address\n"
    "  3    the connection could not be opened (port taken, adapter missing,\n"
    "       or no single adapter found)\n"
    "  4    the images are not fit to send; nothing was sent\n"
    "  130  interrupted by Ctrl+C, SIGTERM or SIGHUP; every device is still reported\n";

QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1Char(' '));
}

// Checked without an adapter: its subnet broadcast is checked once it is chosen.
bool addDevice(const QString &typed, const QString &origin, QList<DeviceEntry> &devices, QSet<quint32> &seen,
               QString *error)
{
    const DeviceAddress checked = DeviceAddress::check(typed);
    if (!checked.ok()) {
        *error = QStringLiteral("device \"%1\" (%2): %3")
                     .arg(printable::escaped(typed.trimmed()), origin,
                          printable::escaped(
                              oneLine(OperatorTexts::deviceAddressProblem(checked.problem, typed.trimmed()))));
        return false;
    }
    const quint32 ip = checked.address.toIPv4Address();
    if (seen.contains(ip)) {
        QString first;
        for (const DeviceEntry &entry : devices) {
            if (entry.address == checked.address)
                first = entry.origin;
        }
        *error = QStringLiteral("device %1 is given twice (%2 and %3)")
                     .arg(checked.address.toString(), first, origin);
        return false;
    }
    seen.insert(ip);
    devices.append({checked.address, origin});
    return true;
}

// Origins and messages name the file as it is safe to echo.
bool readDevicesFile(const QString &path, CliArguments &result, QSet<quint32> &seen, QString *error)
{
    const QString shown = printable::escaped(path);
    // Read to the end rather than by its size: the list may come through a pipe.
    const InputFile file = InputFile::read(path, kMaxDevicesFileBytes);
    if (file.interrupted) {
        result.interrupted = true;
        *error = QStringLiteral("stopped while waiting for the devices file %1").arg(shown);
        return false;
    }
    if (!file.ok()) {
        *error = QStringLiteral("cannot read the devices file %1: %2").arg(shown, file.error);
        return false;
    }
    result.devicesFiles.append({file.identity, QStringLiteral("the devices file %1").arg(shown)});
    const QByteArray &content = file.content;
    if (content.size() > kMaxDevicesFileBytes) {
        *error = QStringLiteral("the devices file %1 is over %2 MiB")
                     .arg(shown, QString::number(kMaxDevicesFileBytes >> 20));
        return false;
    }
    QList<DeviceEntry> &devices = result.devices;
    const QList<QByteArray> lines = content.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QString line = QString::fromUtf8(lines[i]);
        const int comment = line.indexOf(QLatin1Char('#'));
        if (comment >= 0)
            line.truncate(comment);
        if (line.trimmed().isEmpty())
            continue;
        if (!addDevice(line, QStringLiteral("%1:%2").arg(shown, QString::number(i + 1)), devices, seen, error))
            return false;
    }
    return true;
}

bool parseSeconds(const QString &text, std::chrono::milliseconds *value, double most = kMaxTimeoutSeconds)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > most)
        return false;
    *value = std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
    return true;
}

} // namespace

CliArguments CliArguments::parse(const QList<QByteArray> &raw)
{
    QStringList arguments;
    QByteArray notUtf8;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        arguments.append(QFile::decodeName(raw[i]));
        // The program's own path may be anything: it names no input.
        if (i > 0 && notUtf8.isNull() && !printable::isUtf8(raw[i]))
            notUtf8 = raw[i];
    }

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QString::fromLatin1(kDescription));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and the exit codes."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the program's version."));
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("A device's IPv4 address. May be repeated."),
                                    QStringLiteral("IP"));
    const QCommandLineOption devicesFile(
        QStringLiteral("devices"),
        QStringLiteral("Read device addresses from FILE, one per line; blank lines and # comments are skipped."),
        QStringLiteral("FILE"));
    const QCommandLineOption adapter(
        QStringLiteral("adapter"),
        QStringLiteral("Send from this local IPv4 address or interface name. Default: the one adapter whose "
                       "subnet holds every device; with --scan, the one adapter other than loopback."),
        QStringLiteral("ADDRESS|NAME"));
    const QCommandLineOption parallel(QStringLiteral("parallel"),
                                      QStringLiteral("Devices updated at the same time (default 8)."),
                                      QStringLiteral("N"));
    const QCommandLineOption check(QStringLiteral("check"),
                                   QStringLiteral("Check the images (when DIRECTORY is given) and connect to "
                                                  "each device; erase nothing, send no image."));
    const QCommandLineOption eraseOnly(QStringLiteral("erase-only"),
                                       QStringLiteral("Connect and erase each device; send no image."));
    const QCommandLineOption send(QStringLiteral("send"),
                                  QStringLiteral("Send one file as image N (1-3), without erasing."),
                                  QStringLiteral("N=PATH"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("One JSON object per line on stdout; human text on stderr."));
    const QCommandLineOption logFile(QStringLiteral("log-file"),
                                     QStringLiteral("Write every datagram sent and received to PATH."),
                                     QStringLiteral("PATH"));
    const QCommandLineOption timeoutErase(QStringLiteral("timeout-erase"),
                                          QStringLiteral("Seconds to wait for the erase's answer (default 300)."),
                                          QStringLiteral("S"));
    const QCommandLineOption timeoutBlock(QStringLiteral("timeout-block"),
                                          QStringLiteral("Seconds to wait for a block's answer (default 30)."),
                                          QStringLiteral("S"));
    const QCommandLineOption timeoutLast(
        QStringLiteral("timeout-last"),
        QStringLiteral("Seconds to wait for the answer to an image's last block (default 300)."),
        QStringLiteral("S"));
    const QCommandLineOption retries(
        QStringLiteral("retries"),
        QStringLiteral("Give a device that failed the whole update again, from the connect, up to N more "
                       "times (0-%1, default 0).")
            .arg(kMaxRetries),
        QStringLiteral("N"));
    const QCommandLineOption retryPause(QStringLiteral("retry-pause"),
                                        QStringLiteral("Seconds before each retry (default 5)."),
                                        QStringLiteral("S"));
    const QCommandLineOption report(
        QStringLiteral("report"),
        QStringLiteral("Write the run's record to FILE when it ends: JSON for .json, CSV for .csv."),
        QStringLiteral("FILE"));
    const QCommandLineOption scan(
        QStringLiteral("scan"),
        QStringLiteral("Send the connect command, and nothing else, to every address of the adapter's subnet "
                       "(at most %1) and list the devices that answer. A device being updated by another PC may "
                       "take the probe for an extra answer and fail: scan only when no update is running on "
                       "that LAN.")
            .arg(DeviceScan::kMaxAddresses));
    const QCommandLineOption scanRange(
        QStringLiteral("scan-range"),
        QStringLiteral("With --scan: probe only FIRST to LAST, inside the adapter's subnet (needed when the "
                       "subnet is wider)."),
        QStringLiteral("FIRST-LAST"));
    const QCommandLineOption scanWait(
        QStringLiteral("scan-wait"),
        QStringLiteral("With --scan: seconds to wait for answers after the last probe (default %1).")
            .arg(DeviceScan::kDefaultWait.count() / 1000.0),
        QStringLiteral("S"));
    parser.addOptions({device, devicesFile, adapter, parallel, check, eraseOnly, send, json, logFile, timeoutErase,
                       timeoutBlock, timeoutLast, retries, retryPause, report, scan, scanRange, scanWait, version, help});
    parser.addPositionalArgument(QStringLiteral("DIRECTORY"),
                                 QStringLiteral("Holds file1.varnelfmw, file2.varnelfmw and file3.varnelfmw."),
                                 QStringLiteral("[DIRECTORY]"));

    const bool parsed = parser.parse(arguments);
    // Known even when the rest is refused: a script reading JSON gets its error event.
    const bool wantsJson = parser.isSet(json);
    CliArguments result;
    const auto refuse = [&result, wantsJson](const QString &why) {
        result.action = Action::Error;
        result.error = why;
        result.json = wantsJson;
        return result;
    };
    if (!parsed)
        return refuse(printable::escaped(parser.errorText()));
    if (!notUtf8.isNull())
        return refuse(QStringLiteral("\"%1\" is not valid UTF-8; give every path in UTF-8")
                          .arg(printable::bytes(notUtf8)));

    if (parser.isSet(help)) {
        result.action = Action::Help;
        result.helpText = parser.helpText() + QString::fromLatin1(kExitCodes);
        // The usage line names the program, not the path it was started by.
        const QString started = QStringLiteral("Usage: ") + arguments.value(0);
        if (!arguments.isEmpty() && result.helpText.startsWith(started))
            result.helpText.replace(0, started.size(), QStringLiteral("Usage: varnel-updater-cli"));
        return result;
    }
    if (parser.isSet(version)) {
        result.action = Action::Version;
        return result;
    }

    // The last of two values would win silently: a script's mistake.
    for (const QCommandLineOption *once :
         {&adapter, &parallel, &send, &logFile, &timeoutErase, &timeoutBlock, &timeoutLast, &retries, &retryPause,
          &report, &scanRange, &scanWait}) {
        if (parser.values(*once).size() > 1)
            return refuse(QStringLiteral("--%1 is given more than once").arg(once->names().constFirst()));
    }

    result.adapter = parser.value(adapter).trimmed();
    if (parser.isSet(adapter) && result.adapter.isEmpty())
        return refuse(QStringLiteral("--adapter names no adapter"));
    result.json = parser.isSet(json);
    result.logFile = parser.value(logFile);
    if (parser.isSet(logFile) && result.logFile.isEmpty())
        return refuse(QStringLiteral("--log-file names no file"));

    if (parser.isSet(scan)) {
        // Only the connect command goes out, to addresses the scan works out.
        for (const QCommandLineOption *other : {&device, &devicesFile, &parallel, &check, &eraseOnly, &send,
                                                &timeoutErase, &timeoutBlock, &timeoutLast, &retries,
                                                &retryPause, &report}) {
            if (parser.isSet(*other))
                return refuse(QStringLiteral("--scan takes no --%1").arg(other->names().constFirst()));
        }
        if (!parser.positionalArguments().isEmpty())
            return refuse(QStringLiteral("--scan sends no image: leave out DIRECTORY"));
        QString why;
        if (parser.isSet(scanRange) && !(result.scanRange = DeviceScan::parseRange(parser.value(scanRange), &why)))
            return refuse(
                QStringLiteral("--scan-range \"%1\": %2").arg(printable::escaped(parser.value(scanRange)), why));
        if (parser.isSet(scanWait) && !parseSeconds(parser.value(scanWait), &result.scanWait, kMaxScanWaitSeconds))
            return refuse(QStringLiteral("--scan-wait wants seconds over 0 and up to %1, not \"%2\"")
                              .arg(kMaxScanWaitSeconds)
                              .arg(printable::escaped(parser.value(scanWait))));
        result.scan = true;
        result.action = Action::Run;
        return result;
    }
    if (parser.isSet(scanRange) || parser.isSet(scanWait))
        return refuse(QStringLiteral("--scan-range and --scan-wait go with --scan"));

    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        return refuse(QStringLiteral("one DIRECTORY at most, not \"%1\"")
                          .arg(printable::escaped(positional.join(QLatin1Char(' ')))));
    const bool hasDirectory = positional.size() == 1;
    const int modes = int(parser.isSet(check)) + int(parser.isSet(eraseOnly)) + int(parser.isSet(send));
    if (modes > 1)
        return refuse(QStringLiteral("--check, --erase-only and --send exclude each other"));
    if (parser.isSet(eraseOnly)) {
        if (hasDirectory)
            return refuse(QStringLiteral("--erase-only sends no image: leave out DIRECTORY"));
        result.mode = FleetUpdate::Mode::EraseOnly;
    } else if (parser.isSet(send)) {
        if (hasDirectory)
            return refuse(QStringLiteral("--send sends its one file: leave out DIRECTORY"));
        const QString value = parser.value(send);
        const int equals = value.indexOf(QLatin1Char('='));
        const QString number = value.left(equals);
        if (equals < 0 || (number != QLatin1String("1") && number != QLatin1String("2")
                           && number != QLatin1String("3")))
            return refuse(QStringLiteral("--send wants N=PATH with N 1, 2 or 3, not \"%1\"")
                              .arg(printable::escaped(value)));
        result.sendNumber = number.toInt();
        result.sendPath = value.mid(equals + 1);
        if (result.sendPath.isEmpty())
            return refuse(QStringLiteral("--send %1= names no file").arg(number));
        result.mode = FleetUpdate::Mode::SendOne;
    } else if (parser.isSet(check)) {
        result.mode = FleetUpdate::Mode::Check;
    } else {
        if (!hasDirectory)
            return refuse(QStringLiteral("give the DIRECTORY holding the images, or --erase-only, --send or --check"));
        result.mode = FleetUpdate::Mode::Update;
    }
    if (hasDirectory)
        result.directory = positional.constFirst();

    QSet<quint32> seen;
    QString error;
    const QStringList typed = parser.values(device);
    for (const QString &text : typed) {
        if (!addDevice(text, QStringLiteral("--device"), result.devices, seen, &error))
            return refuse(error);
    }
    const QStringList files = parser.values(devicesFile);
    for (const QString &path : files) {
        if (!readDevicesFile(path, result, seen, &error))
            return refuse(error);
    }
    if (result.devices.isEmpty())
        return refuse(QStringLiteral("no device: give --device IP or --devices FILE"));

    if (parser.isSet(parallel)) {
        bool ok = false;
        result.parallel = parser.value(parallel).toInt(&ok);
        if (!ok || result.parallel < 1)
            return refuse(QStringLiteral("--parallel wants a whole number of 1 or more, not \"%1\"")
                              .arg(printable::escaped(parser.value(parallel))));
    }

    const std::pair<const QCommandLineOption *, std::chrono::milliseconds *> timeouts[] = {
        {&timeoutErase, &result.timeouts.erase},
        {&timeoutBlock, &result.timeouts.block},
        {&timeoutLast, &result.timeouts.lastBlock},
    };
    for (const auto &[option, value] : timeouts) {
        if (parser.isSet(*option) && !parseSeconds(parser.value(*option), value))
            return refuse(QStringLiteral("--%1 wants seconds over 0 and up to %2, not \"%3\"")
                              .arg(option->names().constFirst())
                              .arg(kMaxTimeoutSeconds)
                              .arg(printable::escaped(parser.value(*option))));
    }

    if (parser.isSet(retries)) {
        bool ok = false;
        result.retries = parser.value(retries).toInt(&ok);
        if (!ok || result.retries < 0 || result.retries > kMaxRetries)
            return refuse(QStringLiteral("--retries wants a whole number from 0 to %1, not \"%2\"")
                              .arg(kMaxRetries)
                              .arg(printable::escaped(parser.value(retries))));
    }
    if (parser.isSet(retryPause)) {
        bool ok = false;
        const double seconds = parser.value(retryPause).toDouble(&ok);
        if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > kMaxRetryPauseSeconds)
            return refuse(QStringLiteral("--retry-pause wants seconds from 0 to %1, not \"%2\"")
                              .arg(kMaxRetryPauseSeconds)
                              .arg(printable::escaped(parser.value(retryPause))));
        result.retryPause = std::chrono::milliseconds(std::llround(seconds * 1000));
    }
    result.reportFile = parser.value(report);
    if (parser.isSet(report) && RunRecord::formatOf(result.reportFile) == RunRecord::Format::Unknown)
        return refuse(QStringLiteral("--report wants a file ending in .json or .csv, not \"%1\"")
                          .arg(printable::escaped(result.reportFile)));

    result.action = Action::Run;
    return result;
}

QList<std::pair<int, QString>> CliArguments::imageFiles() const
{
    QList<std::pair<int, QString>> files;
    if (mode == FleetUpdate::Mode::SendOne) {
        files.append({sendNumber, sendPath});
    } else if (!directory.isEmpty()
               && (mode == FleetUpdate::Mode::Update || mode == FleetUpdate::Mode::Check)) {
        const QDir dir(directory);
        for (int n = 1; n <= 3; ++n)
            files.append({n, dir.filePath(QStringLiteral("file%1.varnelfmw").arg(n))});
    }
    return files;
}
