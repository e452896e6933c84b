// varnel-devicesim: the simulated device as a console program, for trying the
// updater by hand or from a script, on loopback only.

#include "devicesim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kExitClean = 0;
constexpr int kExitImagesBad = 1;
constexpr int kExitUsage = 2;
constexpr int kExitBind = 3;

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

int refuse(const QString &why)
{
    std::fputs(qPrintable(QStringLiteral("varnel-devicesim: %1\n").arg(why)), stderr);
    return kExitUsage;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("varnel-devicesim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated device in update mode: answers commands on ADDRESS:1235 with "
        "acknowledgements to the sender's port 1246 and checks every image it receives."));
    parser.addHelpOption();
    const QCommandLineOption address(QStringLiteral("address"),
                                     QStringLiteral("Listen on ADDRESS (127.0.0.0/8 only)."),
                                     QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.2"));
    const QCommandLineOption saveDir(QStringLiteral("save-dir"),
                                     QStringLiteral("Save each completed image in DIR."),
                                     QStringLiteral("DIR"));
    // The fault switches that take a number: milliseconds or a datagram count.
    const auto numberOption = [](const char *name, const char *help, const char *valueName) {
        return QCommandLineOption(QString::fromLatin1(name), QString::fromLatin1(help),
                                  QString::fromLatin1(valueName));
    };
    const QCommandLineOption ackDelay = numberOption("ack-delay", "Delay every acknowledgement by MS.", "MS");
    const QCommandLineOption eraseDelay =
        numberOption("erase-delay", "Extra MS before acknowledging an erase.", "MS");
    const QCommandLineOption dropAck = numberOption("drop-ack", "Do not acknowledge datagram N.", "N");
    const QCommandLineOption wrongType = numberOption("wrong-type", "Answer datagram N with type 0x55.", "N");
    const QCommandLineOption silentAfter = numberOption("silent-after", "Answer nothing after datagram N.", "N");
    const QCommandLineOption stray = numberOption(
        "stray", "Before answering datagram N, send a stray acknowledgement from 127.0.0.3.", "N");
    const QCommandLineOption duplicateAcks(QStringLiteral("duplicate-acks"),
                                           QStringLiteral("Answer each datagram twice."));
    const QCommandLineOption duplicateDelay =
        numberOption("duplicate-delay", "With --duplicate-acks: send the copy MS after the answer.", "MS");
    const QCommandLineOption unansweredEnd(QStringLiteral("unanswered-end"),
                                           QStringLiteral("Never answer the END block of an image."));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Answer nothing."));
    const QCommandLineOption exitAfter(QStringLiteral("exit-after-images"),
                                       QStringLiteral("Quit after N completed images: exit code 0 "
                                                      "when all were clean, 1 otherwise."),
                                       QStringLiteral("N"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Quit after S seconds (0: run until killed)."),
                                     QStringLiteral("S"), QStringLiteral("0"));
    parser.addOptions({address, saveDir, ackDelay, eraseDelay, dropAck, wrongType, silentAfter,
                       stray, duplicateAcks, duplicateDelay, unansweredEnd, silent, exitAfter, timeout});
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        return refuse(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

    bool numbersOk = true;
    QString badOption;
    auto number = [&](const QCommandLineOption &option) {
        if (!parser.isSet(option))
            return 0;
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        if (!ok || value < 0) {
            numbersOk = false;
            badOption = option.names().first();
        }
        return ok ? value : 0;
    };
    DeviceSim::Faults faults;
    faults.ackDelayMs = number(ackDelay);
    faults.eraseDelayMs = number(eraseDelay);
    faults.dropAckOf = number(dropAck);
    faults.wrongTypeAt = number(wrongType);
    faults.silentAfter = number(silentAfter);
    faults.strayAt = number(stray);
    faults.duplicateAcks = parser.isSet(duplicateAcks);
    faults.duplicateDelayMs = number(duplicateDelay);
    faults.unansweredEnd = parser.isSet(unansweredEnd);
    const int imagesWanted = number(exitAfter);
    const int seconds = number(timeout);
    if (!numbersOk)
        return refuse(QStringLiteral("--%1 wants a whole number of 0 or more, not \"%2\"")
                          .arg(badOption, parser.value(badOption)));

    const QHostAddress listen(parser.value(address));
    bool isIPv4 = false;
    const quint32 ip = listen.toIPv4Address(&isIPv4);
    if (listen.protocol() != QAbstractSocket::IPv4Protocol || !isIPv4 || (ip >> 24) != 127)
        return refuse(QStringLiteral("refusing address \"%1\": only 127.0.0.0/8 is allowed")
                          .arg(parser.value(address)));

    DeviceSim sim;
    sim.setFaults(faults);
    sim.setSilent(parser.isSet(silent));
    sim.setSaveDirectory(parser.value(saveDir));
    sim.setPrintSummaries(true);
    // Nothing here reads them back, and a big image would keep them all.
    sim.setRecordDatagrams(false);

    if (!sim.start(listen)) {
        std::fputs(qPrintable(QStringLiteral("varnel-devicesim: %1\n").arg(sim.errorString())), stderr);
        return kExitBind;
    }
    say(QStringLiteral("listening on %1:%2").arg(listen.toString()).arg(DeviceSim::kCommandPort));

    QString reason = QStringLiteral("killed");
    int completed = 0;
    QObject::connect(&sim, &DeviceSim::imageCompleted, &app, [&] {
        if (imagesWanted > 0 && ++completed >= imagesWanted) {
            reason = QStringLiteral("%1 images done").arg(completed);
            // Queued, so the last acknowledgement still leaves first.
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
        }
    });
    if (seconds > 0) {
        QTimer::singleShot(seconds * 1000, &app, [&] {
            reason = QStringLiteral("timeout after %1 s").arg(seconds);
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
    sim.stop();

    const QList<DeviceSim::ImageReport> images = sim.images();
    int clean = 0;
    for (const DeviceSim::ImageReport &image : images) {
        if (image.clean())
            ++clean;
    }
    if (sim.imageOpen())
        say(images.last().summary());  // cut short: not printed yet
    const bool allClean = clean == images.size() && (imagesWanted == 0 || completed >= imagesWanted);
    say(QStringLiteral("exiting (%1): %2 datagrams, %3 images, %4 clean, %5 erases, %6 acknowledgements")
            .arg(reason)
            .arg(sim.receivedCount())
            .arg(images.size())
            .arg(clean)
            .arg(sim.eraseCount())
            .arg(sim.acksSent()));
    return allClean ? kExitClean : kExitImagesBad;
}
