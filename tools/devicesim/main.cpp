// varnel-devicesim: the simulated device as a console program, for trying the
// updater by hand or from a script, on loopback or the machine's own
// addresses only. One process may stand
// in for a whole fleet of devices.

#include "devicesimfleet.h"
#include "devicesimoptions.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kExitClean = 0;
constexpr int kExitImagesBad = 1;
constexpr int kExitUsage = 2;
constexpr int kExitBind = 3;
// After the last image, how long the delayed answers get beyond their delay.
constexpr int kDrainSlackMs = 1000;

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    // Only the write is safe here; the event loop does the rest.
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}

void say(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

void complain(const QString &why)
{
    std::fputs(qPrintable(QStringLiteral("varnel-devicesim: %1\n").arg(why)), stderr);
}

QString counts(int datagrams, int images, int clean, int erases, int acks)
{
    return QStringLiteral("%1 datagrams, %2 images, %3 clean, %4 erases, %5 acknowledgements")
        .arg(datagrams)
        .arg(images)
        .arg(clean)
        .arg(erases)
        .arg(acks);
}

// Each device holds a socket; the common soft limit of 1,024 open files
// would end a full fleet at its last few devices.
bool allowOpenFiles(int devices, QString *why)
{
    constexpr rlim_t kOtherFiles = 16;  // standard streams, the event loop's, the signal pair
    const rlim_t needed = rlim_t(devices) + kOtherFiles;
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= needed)
        return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
        *why = QStringLiteral("%1 devices need about %2 open files; the hard limit here is %3 (ulimit -Hn)")
                   .arg(devices)
                   .arg(quint64(needed))
                   .arg(quint64(limit.rlim_max));
        return false;
    }
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        *why = QStringLiteral("cannot raise the open-file limit for %1 devices: %2")
                   .arg(devices)
                   .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("varnel-devicesim"));

    DeviceSimOptions options;
    QString why;
    if (!DeviceSimOptions::parse(QCoreApplication::arguments(), &options, &why)) {
        complain(why);
        return kExitUsage;
    }

    if (!allowOpenFiles(options.count, &why)) {
        complain(why);
        return kExitBind;
    }

    DeviceSimFleet fleet;
    fleet.setFaults(options.faults, options.only);
    fleet.setSilent(options.silent, options.only);
    fleet.setTarget(options.target);
    fleet.setSaveDirectory(options.saveDir);
    fleet.setPrintSummaries(true);
    // Nothing here reads them back, and a fleet of big images would keep
    // them all; a save directory gets each image all the same.
    fleet.setRecordDatagrams(false);
    fleet.setKeepImageData(false);

    if (!fleet.start(options.first, options.count)) {
        complain(fleet.errorString());
        return kExitBind;
    }
    const QList<QHostAddress> addresses = fleet.addresses();
    const bool several = addresses.size() > 1;
    if (several)
        say(QStringLiteral("listening on %1:%3 to %2:%3 (%4 devices)")
                .arg(addresses.first().toString(), addresses.last().toString())
                .arg(DeviceSim::kCommandPort)
                .arg(addresses.size()));
    else
        say(QStringLiteral("listening on %1:%2").arg(addresses.first().toString()).arg(DeviceSim::kCommandPort));

    QString reason = QStringLiteral("killed");
    bool finishing = false;
    QTimer drain;
    QElapsedTimer drainClock;
    const int drainLimitMs = options.longestDelayMs() + kDrainSlackMs;
    // Quits once the answers still held back have left, so the last sender
    // hears its last answer; bounded by the longest delay.
    const auto finish = [&](const QString &why) {
        if (finishing)
            return;
        finishing = true;
        reason = why;
        drainClock.start();
        drain.start(5);
    };
    QObject::connect(&drain, &QTimer::timeout, &app, [&] {
        if (fleet.acksPending() == 0 || drainClock.elapsed() > drainLimitMs)
            QCoreApplication::quit();
    });
    QObject::connect(&fleet, &DeviceSimFleet::imageCompleted, &app, [&] {
        if (options.imagesWanted > 0 && fleet.imagesCompleted() >= options.imagesWanted)
            finish(QStringLiteral("%1 images done").arg(fleet.imagesCompleted()));
    });
    QObject::connect(&fleet, &DeviceSimFleet::deviceDone, &app, [&] {
        if (options.devicesWanted > 0 && fleet.devicesDone() >= options.devicesWanted)
            finish(QStringLiteral("%1 %2 through %3 clean images")
                       .arg(fleet.devicesDone())
                       .arg(fleet.devicesDone() == 1 ? QStringLiteral("device") : QStringLiteral("devices"))
                       .arg(DeviceSimFleet::kImagesPerUpdate));
    });
    if (options.seconds > 0) {
        QTimer::singleShot(std::chrono::seconds(options.seconds), &app, [&] {
            reason = QStringLiteral("timeout after %1 s").arg(options.seconds);
            QCoreApplication::quit();
        });
    }

    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
        signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[1], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &app, [&] {
            char byte = 0;
            [[maybe_unused]] const ssize_t got = ::read(signalPipe[1], &byte, 1);
            reason = QStringLiteral("stopped by a signal");
            QCoreApplication::quit();
        });
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
    }

    app.exec();
    fleet.stop();

    int datagrams = 0, images = 0, clean = 0, erases = 0, acks = 0;
    for (int i = 0; i < addresses.size(); ++i) {
        const DeviceSim *device = fleet.devices().at(i);
        const QString prefix = several ? addresses.at(i).toString() + QStringLiteral(": ") : QString();
        const QList<DeviceSim::ImageReport> reports = device->images();
        int deviceClean = 0;
        for (const DeviceSim::ImageReport &report : reports) {
            if (report.clean())
                ++deviceClean;
        }
        if (device->imageOpen())
            say(prefix + reports.last().summary());  // cut short: not printed yet
        if (several)
            say(prefix + counts(device->receivedCount(), int(reports.size()), deviceClean, device->eraseCount(),
                                device->acksSent()));
        datagrams += device->receivedCount();
        images += int(reports.size());
        clean += deviceClean;
        erases += device->eraseCount();
        acks += device->acksSent();
    }
    const bool allClean = clean == images
                       && (options.imagesWanted == 0 || fleet.imagesCompleted() >= options.imagesWanted)
                       && (options.devicesWanted == 0 || fleet.devicesDone() >= options.devicesWanted);
    say(QStringLiteral("exiting (%1): %2%3")
            .arg(reason, counts(datagrams, images, clean, erases, acks),
                 several ? QStringLiteral(" on %1 devices").arg(addresses.size()) : QString()));
    return allClean ? kExitClean : kExitImagesBad;
}
