#include "devicesimoptions.h"

#include "devicesimfleet.h"

#include <QCommandLineParser>
#include <QNetworkInterface>

#include <limits>

int DeviceSimOptions::longestDelayMs() const
{
    const qint64 longest = qint64(faults.ackDelayMs) + faults.jitterMs + faults.spikeMs + faults.eraseDelayMs
                         + (faults.duplicateAcks || faults.duplicateLastAcks || faults.duplicateAckOf > 0
                                ? faults.duplicateDelayMs
                                : 0);
    return int(qMin<qint64>(longest, std::numeric_limits<int>::max()));
}

bool DeviceSimOptions::parse(const QStringList &arguments, DeviceSimOptions *options, QString *why)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated device in update mode: answers commands on ADDRESS:1235 with "
        "acknowledgements to the sender's port 1246 (or --target's) and checks every image it receives. "
        "With --count, stands in for that many devices, each on an address of its own. "
        "Fault switches count datagrams per device, from 1."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption address(
        QStringLiteral("address"),
        QStringLiteral("Listen on ADDRESS; with --count, the first device's (127.0.0.0/8, or addresses this "
                       "machine holds)."),
        QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.2"));
    const QCommandLineOption count(
        QStringLiteral("count"),
        QStringLiteral("Stand in for N devices (1 to %1) on consecutive addresses from --address "
                       "on. With more than one, each line starts with the device's address. Each device "
                       "holds a socket: when the open-file limit is too low for N, its soft limit is "
                       "raised to the hard limit at start.")
            .arg(DeviceSimFleet::kMaxDevices),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption only(
        QStringLiteral("only"),
        QStringLiteral("Give the fault switches and --silent to the device at ADDRESS only; the "
                       "others behave. Repeat it, or give a comma list. Without it, they apply to all."),
        QStringLiteral("ADDRESS"));
    const QCommandLineOption target(
        QStringLiteral("target"),
        QStringLiteral("Answer IP's port 1246, whoever sent the command, as a device set to that PC does "
                       "(loopback, 192.0.2.0/24, 198.51.100.0/24 or 203.0.113.0/24 only)."),
        QStringLiteral("IP"));
    const QCommandLineOption saveDir(
        QStringLiteral("save-dir"),
        QStringLiteral("Save each completed image in DIR (with several devices, in DIR/<address>)."),
        QStringLiteral("DIR"));
    // The fault switches that take a number: milliseconds or a datagram count.
    const auto numberOption = [](const QStringList &names, const char *help, const char *valueName) {
        return QCommandLineOption(names, QString::fromLatin1(help), QString::fromLatin1(valueName));
    };
    // --ack-delay is the old name, kept for the scripts that use it.
    const QCommandLineOption ackDelay = numberOption(
        {QStringLiteral("ack-delay-ms"), QStringLiteral("ack-delay")},
        "Send every acknowledgement MS late, as a device across a switch does.", "MS");
    const QCommandLineOption eraseDelay =
        numberOption({QStringLiteral("erase-delay")}, "Extra MS before acknowledging an erase.", "MS");
    const QCommandLineOption dropAck =
        numberOption({QStringLiteral("drop-ack")}, "Do not acknowledge datagram N.", "N");
    const QCommandLineOption wrongType =
        numberOption({QStringLiteral("wrong-type")}, "Answer datagram N with type 0x55.", "N");
    const QCommandLineOption silentAfter =
        numberOption({QStringLiteral("silent-after")}, "Answer nothing after datagram N.", "N");
    const QCommandLineOption stray = numberOption(
        {QStringLiteral("stray")},
        "Before answering datagram N, send a stray acknowledgement from 127.0.0.3.", "N");
    const QCommandLineOption duplicateAcks(QStringLiteral("duplicate-acks"),
                                           QStringLiteral("Answer each datagram twice."));
    const QCommandLineOption jitter = numberOption(
        {QStringLiteral("jitter-ms")}, "Delay each acknowledgement by 0 to MS more, at random.", "MS");
    const QCommandLineOption spikeEvery = numberOption(
        {QStringLiteral("spike-every")}, "Delay the acknowledgement of every Nth datagram by --spike-ms.", "N");
    const QCommandLineOption spike =
        numberOption({QStringLiteral("spike-ms")}, "With --spike-every: how much later.", "MS");
    const QCommandLineOption duplicateLast(QStringLiteral("duplicate-last"),
                                           QStringLiteral("Answer the last block of each image twice."));
    const QCommandLineOption duplicateOne =
        numberOption({QStringLiteral("duplicate-ack")}, "Answer datagram N twice.", "N");
    const QCommandLineOption duplicateDelay = numberOption(
        {QStringLiteral("duplicate-delay")},
        "With --duplicate-acks, --duplicate-last or --duplicate-ack: send the copy MS after the answer.", "MS");
    const QCommandLineOption unansweredEnd(QStringLiteral("unanswered-end"),
                                           QStringLiteral("Never answer the END block of an image."));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Answer nothing."));
    const QCommandLineOption faultOnce(
        QStringLiteral("fault-once"),
        QStringLiteral("The fault switches and --silent hit each device's first update only: from its "
                       "second connect command on, it behaves (a retried update passes)."));
    const QCommandLineOption exitAfterImages(
        QStringLiteral("exit-after-images"),
        QStringLiteral("Quit after N completed images, counted across all devices: exit code 0 "
                       "when all were clean, 1 otherwise."),
        QStringLiteral("N"));
    const QCommandLineOption exitAfterDevices(
        QStringLiteral("exit-after-devices"),
        QStringLiteral("Quit once N devices have each completed %1 clean images: exit code 0, "
                       "or 1 if any image was bad.")
            .arg(DeviceSimFleet::kImagesPerUpdate),
        QStringLiteral("N"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Quit after S seconds (0: run until killed)."),
                                     QStringLiteral("S"), QStringLiteral("0"));
    parser.addOptions({address, count, only, target, saveDir, ackDelay, eraseDelay, dropAck, wrongType, silentAfter,
                       stray, jitter, spikeEvery, spike, duplicateAcks, duplicateLast, duplicateOne, duplicateDelay,
                       unansweredEnd, silent, faultOnce, exitAfterImages, exitAfterDevices, timeout});

    if (!parser.parse(arguments)) {
        *why = parser.errorText();
        return false;
    }
    if (parser.isSet(help))
        parser.showHelp(0);
    if (!parser.positionalArguments().isEmpty()) {
        *why = QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first());
        return false;
    }

    bool numbersOk = true;
    QString badOption;
    auto number = [&](const QCommandLineOption &option) {
        if (!parser.isSet(option) && option.defaultValues().isEmpty())
            return 0;
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        if ((!ok || value < 0) && numbersOk) {
            numbersOk = false;
            badOption = option.names().first();
        }
        return ok ? value : 0;
    };
    DeviceSimOptions o;
    o.faults.ackDelayMs = number(ackDelay);
    o.faults.jitterMs = number(jitter);
    o.faults.spikeEvery = number(spikeEvery);
    o.faults.spikeMs = number(spike);
    o.faults.eraseDelayMs = number(eraseDelay);
    o.faults.dropAckOf = number(dropAck);
    o.faults.wrongTypeAt = number(wrongType);
    o.faults.silentAfter = number(silentAfter);
    o.faults.strayAt = number(stray);
    o.faults.duplicateAcks = parser.isSet(duplicateAcks);
    o.faults.duplicateLastAcks = parser.isSet(duplicateLast);
    o.faults.duplicateAckOf = number(duplicateOne);
    o.faults.duplicateDelayMs = number(duplicateDelay);
    o.faults.unansweredEnd = parser.isSet(unansweredEnd);
    o.faults.once = parser.isSet(faultOnce);
    o.silent = parser.isSet(silent);
    o.count = number(count);
    o.imagesWanted = number(exitAfterImages);
    o.devicesWanted = number(exitAfterDevices);
    o.seconds = number(timeout);
    o.saveDir = parser.value(saveDir);
    if (!numbersOk) {
        *why = QStringLiteral("--%1 wants a whole number of 0 or more, not \"%2\"")
                   .arg(badOption, parser.value(badOption));
        return false;
    }

    o.first = QHostAddress(parser.value(address));
    QString rangeProblem;
    const QList<QHostAddress> devices =
        DeviceSimFleet::addressRange(o.first, o.count, &rangeProblem, QNetworkInterface::allAddresses());
    if (devices.isEmpty()) {
        *why = QStringLiteral("refusing --address %1 --count %2: %3")
                   .arg(parser.value(address), parser.value(count), rangeProblem);
        return false;
    }
    if (o.devicesWanted > o.count) {
        *why = QStringLiteral("--exit-after-devices %1 with only %2 %3: it would never be reached")
                   .arg(o.devicesWanted)
                   .arg(o.count)
                   .arg(o.count == 1 ? QStringLiteral("device") : QStringLiteral("devices"));
        return false;
    }

    if (parser.isSet(target)) {
        o.target = QHostAddress(parser.value(target));
        if (!DeviceSim::targetAllowed(o.target)) {
            *why = QStringLiteral("--target %1: only loopback, 192.0.2.0/24, 198.51.100.0/24 or 203.0.113.0/24, "
                                  "which no real network routes")
                       .arg(parser.value(target));
            return false;
        }
    }

    for (const QString &value : parser.values(only)) {
        for (const QString &part : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const QHostAddress target(part.trimmed());
            if (target.isNull() || !devices.contains(target)) {
                *why = QStringLiteral("--only %1: not one of the simulated devices (%2)")
                           .arg(part.trimmed(),
                                o.count == 1 ? devices.first().toString()
                                             : devices.first().toString() + QStringLiteral(" to ")
                                                   + devices.last().toString());
                return false;
            }
            if (!o.only.contains(target))
                o.only << target;
        }
    }
    if (parser.isSet(only) && o.only.isEmpty()) {
        *why = QStringLiteral("--only names no address");
        return false;
    }

    *options = o;
    return true;
}
