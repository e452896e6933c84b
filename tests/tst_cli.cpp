// varnel-updater-cli as a script runs it: the real program, started with
// QProcess, against simulated devices on 127.0.0.2 and up, in a network
// namespace of the suite's own, which its child processes share. Every exit
// code is reached for real, and what the devices received is checked
// against the files.

#include "crc.h"
#include "devicesim.h"
#include "privatenetwork.h"
#include "protocol.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace testsupport;

// Well past any run here, so a hang fails the test instead of the suite.
constexpr int kRunLimitMs = 30000;
// A stop ends the program's waits within a second; the rest is a loaded machine's slack.
constexpr int kStopLimitMs = 1500;
// Images that end mid-block, on a block boundary, and in one short block.
const qsizetype kImageSizes[3] = {30001, 2800, 700};

QString device(int n)
{
    return QStringLiteral("127.0.0.%1").arg(n + 2);
}

// The program, run to its end with the event loop turning, so simulated
// devices in this process answer it meanwhile.
struct Cli {
    QProcess process;
    QByteArray out;
    QByteArray err;

    Cli()
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &process,
                         [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, &process,
                         [this] { err += process.readAllStandardError(); });
    }

    void start(const QStringList &arguments) { process.start(QStringLiteral(VARNEL_CLI_PATH), arguments); }

    // False when it did not end by itself in time.
    bool finish(int limitMs = kRunLimitMs)
    {
        const bool ended = runLoopUntil([&] { return process.state() == QProcess::NotRunning; }, limitMs);
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return ended && process.exitStatus() == QProcess::NormalExit;
    }

    int run(const QStringList &arguments)
    {
        start(arguments);
        if (!finish())
            return -1;
        return process.exitCode();
    }

    QString said() const
    {
        return QStringLiteral("exit %1\n--- stdout\n%2--- stderr\n%3")
            .arg(process.exitCode())
            .arg(QString::fromUtf8(out), QString::fromUtf8(err));
    }
};

// Every line of `out` as a JSON object with "v": 1, an "event" and a "time"
// in UTC with milliseconds; the first line that is not is described in `problem`.
QList<QJsonObject> jsonLines(const QByteArray &out, QString *problem)
{
    static const QRegularExpression time(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)"));
    QList<QJsonObject> objects;
    const QList<QByteArray> lines = out.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        if (lines[i].isEmpty() && i == lines.size() - 1)
            break;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(lines[i], &error);
        const QJsonObject object = document.object();
        QString why;
        if (error.error != QJsonParseError::NoError || !document.isObject())
            why = QStringLiteral("not a JSON object");
        else if (object.value(QStringLiteral("v")) != QJsonValue(1))
            why = QStringLiteral("no \"v\": 1");
        else if (object.value(QStringLiteral("event")).toString().isEmpty())
            why = QStringLiteral("no event");
        else if (!time.match(object.value(QStringLiteral("time")).toString()).hasMatch())
            why = QStringLiteral("no time with milliseconds");
        if (!why.isEmpty()) {
            *problem = QStringLiteral("line %1 (%2): %3").arg(i + 1).arg(why, QString::fromUtf8(lines[i]));
            return objects;
        }
        objects.append(object);
    }
    return objects;
}

QString eventOf(const QJsonObject &object)
{
    return object.value(QStringLiteral("event")).toString();
}

QString deviceOf(const QJsonObject &object)
{
    return object.value(QStringLiteral("device")).toString();
}

qint64 msOf(const QJsonObject &object)
{
    return QDateTime::fromString(object.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs)
        .toMSecsSinceEpoch();
}

QList<QJsonObject> eventsOf(const QList<QJsonObject> &events, const QString &device)
{
    QList<QJsonObject> mine;
    for (const QJsonObject &event : events) {
        if (deviceOf(event) == device)
            mine.append(event);
    }
    return mine;
}

int indexOf(const QList<QJsonObject> &events, const QString &event, const QString &device)
{
    for (int i = 0; i < events.size(); ++i) {
        if (eventOf(events[i]) == event && deviceOf(events[i]) == device)
            return i;
    }
    return -1;
}

// One device's events in a full update: connected, erased, then progress
// of image N until image-done N for 1, 2 and 3, device-done last; progress
// never oftener than once a second. Empty when they are so.
QString updateOrderProblem(const QList<QJsonObject> &events, const QString &device)
{
    const QList<QJsonObject> mine = eventsOf(events, device);
    QStringList seen;
    for (const QJsonObject &event : mine)
        seen.append(eventOf(event));
    const QString all = device + QStringLiteral(": ") + seen.join(QLatin1Char(' '));
    if (mine.size() < 6 || eventOf(mine[0]) != QLatin1String("connected")
        || eventOf(mine[1]) != QLatin1String("erased") || eventOf(mine.last()) != QLatin1String("device-done"))
        return all;
    int image = 1;
    qint64 lastProgress = -1;
    for (int i = 2; i < mine.size() - 1; ++i) {
        const QString event = eventOf(mine[i]);
        const int number = mine[i].value(QStringLiteral("image")).toInt();
        if (number != image || (event != QLatin1String("progress") && event != QLatin1String("image-done")))
            return all;
        if (event == QLatin1String("image-done")) {
            // At least one quiet spell of 100 ms (two for an image of more
            // than one block): who times the transfer can leave them out.
            const qint64 quiet = mine[i].value(QStringLiteral("quietMs")).toInteger(-1);
            if (quiet < 95 || quiet > 5000)
                return device + QStringLiteral(": image %1 quiet for %2 ms").arg(image).arg(quiet);
            ++image;
            continue;
        }
        const qint64 at = msOf(mine[i]);
        // The wall clock of the lines against the program's steady clock.
        if (lastProgress >= 0 && at - lastProgress < 990)
            return device + QStringLiteral(": progress %1 ms apart").arg(at - lastProgress);
        lastProgress = at;
        const int done = mine[i].value(QStringLiteral("blocksDone")).toInt();
        const int total = mine[i].value(QStringLiteral("blocksTotal")).toInt();
        if (done < 1 || done > total)
            return device + QStringLiteral(": progress %1 of %2").arg(done).arg(total);
    }
    if (image != 4)
        return all;
    return QString();
}

} // namespace

class tst_Cli : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fullUpdateOfSeveralDevices();
    void failingDevicesLeaveTheOthersAlone();
    void usageErrorsSendNothing_data();
    void usageErrorsSendNothing();
    void connectionCannotBeOpened_data();
    void connectionCannotBeOpened();
    void unfitImagesSendNothing_data();
    void unfitImagesSendNothing();
    void interruptedMidTransfer_data();
    void interruptedMidTransfer();
    void strayFloodSummarisedInTheLog();
    void manyDevicesFailingAtOnce();
    void checkErasesNothing();
    void sendOneImageUnderItsNumber();
    void devicesFileOneAtATime();
    void readerGoneMidRun();
    void helpAndVersion();

private:
    bool writeImages(const QString &dir, qsizetype scale = 1);
    QByteArray image(int number, qsizetype scale = 1) const;
    // Simulated devices on 127.0.0.2, .3, ...
    bool startSims(int count);
    int datagramsSeen() const;

    std::unique_ptr<QTemporaryDir> _dir;
    std::vector<std::unique_ptr<DeviceSim>> _sims;
};

void tst_Cli::init()
{
    _dir = std::make_unique<QTemporaryDir>();
    QVERIFY(_dir->isValid());
}

void tst_Cli::cleanup()
{
    _sims.clear();
    _dir.reset();
}

QByteArray tst_Cli::image(int number, qsizetype scale) const
{
    return pseudoImage(kImageSizes[number - 1] * scale, quint32(number) * 7919u);
}

bool tst_Cli::writeImages(const QString &dir, qsizetype scale)
{
    for (int n = 1; n <= 3; ++n) {
        if (!writeFile(QDir(dir).filePath(QStringLiteral("file%1.varnelfmw").arg(n)), image(n, scale)))
            return false;
    }
    return true;
}

bool tst_Cli::startSims(int count)
{
    for (int i = 0; i < count; ++i) {
        auto sim = std::make_unique<DeviceSim>();
        if (!sim->start(QHostAddress(device(i)))) {
            qWarning("%s", qPrintable(sim->errorString()));
            return false;
        }
        _sims.push_back(std::move(sim));
    }
    return true;
}

int tst_Cli::datagramsSeen() const
{
    int seen = 0;
    for (const auto &sim : _sims)
        seen += sim->receivedCount();
    return seen;
}

void tst_Cli::fullUpdateOfSeveralDevices()
{
    QVERIFY(writeImages(_dir->path()));
    QVERIFY(startSims(3));
    const QString logPath = _dir->filePath(QStringLiteral("datagrams.log"));

    Cli cli;
    const int code = cli.run({QStringLiteral("--json"), QStringLiteral("--log-file"), logPath,
                              QStringLiteral("--device"), device(0), QStringLiteral("--device"), device(1),
                              QStringLiteral("--device"), device(2), _dir->path()});
    QVERIFY2(code == 0, qPrintable(cli.said()));

    // Each device got each image exactly, once, after one erase.
    for (const auto &sim : _sims) {
        QCOMPARE(sim->eraseCount(), 1);
        const auto images = sim->images();
        QCOMPARE(images.size(), 3);
        for (int n = 1; n <= 3; ++n) {
            QVERIFY2(images[n - 1].clean(), qPrintable(images[n - 1].summary()));
            QCOMPARE(images[n - 1].imageNumber, n);
            // A one-block image carries no checksum.
            QCOMPARE(images[n - 1].checksumGood, images[n - 1].blocks > 1);
            QCOMPARE(images[n - 1].data, image(n));
        }
    }

    QString problem;
    const QList<QJsonObject> events = jsonLines(cli.out, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(events.size() >= 2 + 3 * 6);
    // Stdout is JSON only: the human text went to stderr.
    QCOMPARE(eventOf(events.first()), QStringLiteral("images"));
    const QJsonArray files = events.first().value(QStringLiteral("images")).toArray();
    QCOMPARE(files.size(), 3);
    for (int n = 1; n <= 3; ++n) {
        const QJsonObject file = files[n - 1].toObject();
        QCOMPARE(file.value(QStringLiteral("name")).toString(), QStringLiteral("file%1.varnelfmw").arg(n));
        QCOMPARE(file.value(QStringLiteral("size")).toInteger(), kImageSizes[n - 1]);
        QCOMPARE(file.value(QStringLiteral("checksum")).toString(),
                 QStringLiteral("%1").arg(crc().crc32(image(n)), 8, 16, QLatin1Char('0')));
    }
    for (int i = 1; i < events.size(); ++i)
        QVERIFY2(msOf(events[i - 1]) <= msOf(events[i]), "times go back");
    for (int i = 0; i < 3; ++i) {
        const QString order = updateOrderProblem(events, device(i));
        QVERIFY2(order.isEmpty(), qPrintable(order));
        const QJsonObject done = eventsOf(events, device(i)).last();
        QCOMPARE(done.value(QStringLiteral("outcome")).toString(), QStringLiteral("Success"));
        QCOMPARE(done.value(QStringLiteral("reason")).toString(), QString());
    }
    const QJsonObject summary = events.last();
    QCOMPARE(eventOf(summary), QStringLiteral("summary"));
    QCOMPARE(summary.value(QStringLiteral("succeeded")).toInt(), 3);
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(), 0);
    QCOMPARE(summary.value(QStringLiteral("exitCode")).toInt(), 0);
    QCOMPARE(summary.value(QStringLiteral("failedDevices")).toArray().size(), 0);

    // The log holds every datagram each device received, in order, and
    // every answer it sent.
    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    static const QRegularExpression line(QStringLiteral(
        R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (127\.0\.0\.\d+) (TX|RX) (\d+) ([0-9a-f]*)$)"));
    QHash<QString, QList<QByteArray>> sent;
    QHash<QString, int> answers;
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray &text : lines) {
        if (text.isEmpty())
            continue;
        const auto match = line.match(QString::fromLatin1(text));
        QVERIFY2(match.hasMatch(), text.constData());
        const QByteArray bytes = QByteArray::fromHex(match.captured(4).toLatin1());
        QCOMPARE(bytes.size(), match.captured(3).toInt());
        if (match.captured(2) == QLatin1String("TX"))
            sent[match.captured(1)].append(bytes);
        else
            ++answers[match.captured(1)];
    }
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(sent.value(device(i)), _sims[size_t(i)]->received());
        QCOMPARE(answers.value(device(i)), _sims[size_t(i)]->acksSent());
    }
}

void tst_Cli::failingDevicesLeaveTheOthersAlone()
{
    QVERIFY(writeImages(_dir->path(), 4));
    QVERIFY(startSims(7));
    // .3 refuses a block of image 1; .4 falls silent in image 1; .6 never
    // answers the erase; .2 and .5 are fine.
    DeviceSim::Faults refusing;
    refusing.wrongTypeAt = 5;
    _sims[1]->setFaults(refusing);
    DeviceSim::Faults silent;
    silent.silentAfter = 6;
    _sims[2]->setFaults(silent);
    DeviceSim::Faults eraseUnanswered;
    eraseUnanswered.silentAfter = 1;
    _sims[4]->setFaults(eraseUnanswered);
    // .7 copies the answer to each image's last block 1.9 s later and never
    // answers image 2's (datagram 96: connect, erase, 86 blocks, 8 blocks).
    DeviceSim::Faults lateCopy;
    lateCopy.duplicateLastAcks = true;
    lateCopy.duplicateDelayMs = 1900;
    lateCopy.dropAckOf = 96;
    _sims[5]->setFaults(lateCopy);
    // .8 answers everything twice, 250 ms apart: caught before the erase.
    DeviceSim::Faults doubling;
    doubling.duplicateAcks = true;
    doubling.duplicateDelayMs = 250;
    _sims[6]->setFaults(doubling);

    Cli cli;
    // The silent device waits longer than the others take in all, quiet spells included.
    const int code = cli.run({QStringLiteral("--json"), QStringLiteral("--timeout-block"), QStringLiteral("12"),
                              QStringLiteral("--timeout-erase"), QStringLiteral("1"), QStringLiteral("--device"),
                              device(0), QStringLiteral("--device"), device(1), QStringLiteral("--device"), device(2),
                              QStringLiteral("--device"), device(3), QStringLiteral("--device"), device(4),
                              QStringLiteral("--device"), device(5), QStringLiteral("--device"), device(6),
                              _dir->path()});
    QVERIFY2(code == 1, qPrintable(cli.said()));

    for (int good : {0, 3}) {
        const auto images = _sims[size_t(good)]->images();
        QCOMPARE(images.size(), 3);
        for (int n = 1; n <= 3; ++n)
            QCOMPARE(images[n - 1].data, image(n, 4));
    }
    // Neither failing device was sent anything past its failure.
    QCOMPARE(_sims[1]->receivedCount(), 5);
    QCOMPARE(_sims[2]->receivedCount(), 7);

    QString problem;
    const QList<QJsonObject> events = jsonLines(cli.out, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    const QJsonObject refused = eventsOf(events, device(1)).last();
    QCOMPARE(refused.value(QStringLiteral("outcome")).toString(), QStringLiteral("Refused"));
    QCOMPARE(refused.value(QStringLiteral("imagesDone")).toInt(), 0);
    QCOMPARE(refused.value(QStringLiteral("reason")).toString(),
             QStringLiteral("Device refused block 3 of %1.").arg(protocol::blockCount(kImageSizes[0] * 4)));
    const QJsonObject silentDone = eventsOf(events, device(2)).last();
    QCOMPARE(silentDone.value(QStringLiteral("outcome")).toString(), QStringLiteral("NoAnswer"));
    QCOMPARE(silentDone.value(QStringLiteral("reason")).toString(),
             QStringLiteral("No answer at block 5 of %1.").arg(protocol::blockCount(kImageSizes[0] * 4)));
    // Whether each may be left without firmware.
    QCOMPARE(silentDone.value(QStringLiteral("erased")).toString(), QStringLiteral("yes"));
    const QJsonObject eraseDone = eventsOf(events, device(4)).last();
    QCOMPARE(eraseDone.value(QStringLiteral("operation")).toString(), QStringLiteral("Erase"));
    QCOMPARE(eraseDone.value(QStringLiteral("erased")).toString(), QStringLiteral("possibly"));
    // Neither device that answered twice is called updated; the one that
    // doubled every answer was caught before its erase.
    const QJsonObject copied = eventsOf(events, device(5)).last();
    QCOMPARE(copied.value(QStringLiteral("outcome")).toString(), QStringLiteral("AnsweredTwice"));
    QCOMPARE(copied.value(QStringLiteral("imagesDone")).toInt(), 1);
    QCOMPARE(copied.value(QStringLiteral("reason")).toString(),
             QStringLiteral("The device answered twice; it needs a new update."));
    const auto copiedImages = _sims[5]->images();
    QVERIFY(copiedImages.size() <= 2 && (copiedImages.size() < 2 || !copiedImages.at(1).complete));
    const QJsonObject doubled = eventsOf(events, device(6)).last();
    QCOMPARE(doubled.value(QStringLiteral("outcome")).toString(), QStringLiteral("AnsweredTwice"));
    QCOMPARE(doubled.value(QStringLiteral("reason")).toString(),
             QStringLiteral("The device answered twice; nothing was erased."));
    QCOMPARE(doubled.value(QStringLiteral("erased")).toString(), QStringLiteral("no"));
    QCOMPARE(_sims[6]->eraseCount(), 0);
    // The good ones were done before the silent one's wait was over.
    const int silentEnd = indexOf(events, QStringLiteral("device-done"), device(2));
    for (int good : {0, 3}) {
        const QString order = updateOrderProblem(events, device(good));
        QVERIFY2(order.isEmpty(), qPrintable(order));
        QVERIFY(indexOf(events, QStringLiteral("device-done"), device(good)) < silentEnd);
    }

    const QJsonObject summary = events.last();
    QCOMPARE(eventOf(summary), QStringLiteral("summary"));
    QCOMPARE(summary.value(QStringLiteral("succeeded")).toInt(), 2);
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(), 5);
    QCOMPARE(summary.value(QStringLiteral("failedDevices")).toArray(),
             QJsonArray({device(1), device(2), device(4), device(5), device(6)}));
    QCOMPARE(summary.value(QStringLiteral("exitCode")).toInt(), 1);
}

void tst_Cli::usageErrorsSendNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("said");

    const QString dir = QStringLiteral("@DIR@");
    const QString dev = QStringLiteral("--device");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--frobnicate"), dev, device(0), dir}
                                    << "Unknown option 'frobnicate'";
    QTest::newRow("no device") << QStringList{dir} << "no device";
    QTest::newRow("no directory") << QStringList{dev, device(0)} << "give the DIRECTORY";
    QTest::newRow("device twice") << QStringList{dev, device(0), dev, device(1), dev, device(0), dir}
                                  << "device 127.0.0.2 is given twice (--device and --device)";
    QTest::newRow("device twice, once from a file")
        << QStringList{dev, device(1), QStringLiteral("--devices"), QStringLiteral("@LIST@"), dir}
        << "device 127.0.0.3 is given twice (--device and @LIST@:3)";
    QTest::newRow("broadcast") << QStringList{dev, device(0), dev, QStringLiteral("255.255.255.255"), dir}
                               << "255.255.255.255 is a broadcast address.";
    // Only the adapter, chosen first, tells this one.
    QTest::newRow("the adapter's subnet broadcast")
        << QStringList{dev, device(0), dev, QStringLiteral("127.255.255.255"), dir}
        << "device 127.255.255.255 (--device) from adapter lo - 127.0.0.1: 127.255.255.255 is a broadcast address.";
    QTest::newRow("the adapter's own address")
        << QStringList{dev, device(0), dev, QStringLiteral("127.0.0.1"), dir}
        << "device 127.0.0.1 (--device) from adapter lo - 127.0.0.1: 127.0.0.1 is this PC's own IP. Type the device's IP.";
    QTest::newRow("multicast") << QStringList{dev, QStringLiteral("224.0.0.1"), dir}
                               << "224.0.0.1 is a multicast address.";
    QTest::newRow("unspecified") << QStringList{dev, QStringLiteral("0.0.0.0"), dir}
                                 << "0.0.0.0 is not a device address.";
    QTest::newRow("octal-looking") << QStringList{dev, QStringLiteral("127.0.0.010"), dir}
                                   << "device \"127.0.0.010\" (--device): The device IP is not valid.";
    QTest::newRow("parallel 0") << QStringList{QStringLiteral("--parallel"), QStringLiteral("0"), dev, device(0), dir}
                                << "--parallel wants a whole number of 1 or more";
    QTest::newRow("image 4") << QStringList{dev, device(0), QStringLiteral("--send"), QStringLiteral("4=@DIR@/file1.varnelfmw")}
                             << "--send wants N=PATH with N 1, 2 or 3";
    QTest::newRow("erase-only with a directory") << QStringList{dev, device(0), QStringLiteral("--erase-only"), dir}
                                                 << "--erase-only sends no image";
    QTest::newRow("two modes") << QStringList{dev, device(0), QStringLiteral("--erase-only"), QStringLiteral("--check")}
                               << "exclude each other";
    QTest::newRow("zero timeout") << QStringList{QStringLiteral("--timeout-block"), QStringLiteral("0"), dev, device(0), dir}
                                  << "--timeout-block wants seconds over 0";
    QTest::newRow("adapter twice") << QStringList{QStringLiteral("--adapter"), QStringLiteral("lo"), QStringLiteral("--adapter"),
                                                  QStringLiteral("lo"), dev, device(0), dir}
                                   << "--adapter is given more than once";
    QTest::newRow("unwritable log") << QStringList{QStringLiteral("--log-file"), QStringLiteral("@DIR@/no/such/dir/log"), dev,
                                                   device(0), dir}
                                    << "cannot write the log file";
    // The log is opened after every input is read, and never over one of them.
    const QString log = QStringLiteral("--log-file");
    QTest::newRow("log is an image") << QStringList{log, QStringLiteral("@DIR@/file1.varnelfmw"), dev, device(0), dir}
                                     << "the log file @DIR@/file1.varnelfmw is the same file as the image "
                                        "@DIR@/file1.varnelfmw";
    QTest::newRow("log is an image behind a link")
        << QStringList{log, QStringLiteral("@DIR@/alias.log"), dev, device(0), dir}
        << "the log file @DIR@/alias.log is the same file as the image @DIR@/file2.varnelfmw";
    QTest::newRow("log is the devices file")
        << QStringList{QStringLiteral("--devices"), QStringLiteral("@LIST@"), log, QStringLiteral("@LIST@"), dir}
        << "the log file @LIST@ is the same file as the devices file @LIST@";
    QTest::newRow("log is a FIFO no one reads") << QStringList{log, QStringLiteral("@DIR@/fifo"), dev, device(0), dir}
                                                << "the log file @DIR@/fifo is a FIFO that no one reads";
    QTest::newRow("path not UTF-8") << QStringList{dev, device(0), QStringLiteral("@DIR@/caf@FF@")}
                                    << "\"@DIR@/caf\\xff\" is not valid UTF-8";
    QTest::newRow("control bytes in a devices-file line")
        << QStringList{QStringLiteral("--devices"), QStringLiteral("@DIR@/screen.txt"), dir}
        << "device \"127.0.0.\\x1b[2J4\" (@DIR@/screen.txt:1)";
}

void tst_Cli::usageErrorsSendNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, said);

    QVERIFY(writeImages(_dir->path()));
    const QString list = _dir->filePath(QStringLiteral("devices.txt"));
    const QByteArray listed = "# the bench\n127.0.0.4\n127.0.0.3\n";
    QVERIFY(writeFile(list, listed));
    QVERIFY(writeFile(_dir->filePath(QStringLiteral("screen.txt")), "127.0.0.\x1b[2J4\n"));
    QVERIFY(QFile::link(_dir->filePath(QStringLiteral("file2.varnelfmw")),
                        _dir->filePath(QStringLiteral("alias.log"))));
    QCOMPARE(::mkfifo(QFile::encodeName(_dir->filePath(QStringLiteral("fifo"))).constData(), 0600), 0);
    for (QString &argument : arguments)
        argument.replace(QStringLiteral("@DIR@"), _dir->path()).replace(QStringLiteral("@LIST@"), list);
    said.replace(QStringLiteral("@DIR@"), _dir->path()).replace(QStringLiteral("@LIST@"), list);
    // Every address of the namespace on the device port: a broadcast lands here too.
    QUdpSocket listener;
    QVERIFY2(listener.bind(QHostAddress::AnyIPv4, kCommandPort), qPrintable(listener.errorString()));

    // Text says it on stderr only; JSON also as the one event a script reads.
    for (const bool json : {false, true}) {
        Cli cli;
        const QStringList all = json ? QStringList{QStringLiteral("--json")} + arguments : arguments;
        // A byte that is not UTF-8 cannot pass through a QString: the shell puts it in.
        if (arguments.join(QLatin1Char(' ')).contains(QStringLiteral("@FF@")))
            cli.process.start(QStringLiteral("bash"),
                              QStringList{QStringLiteral("-c"),
                                          QStringLiteral(R"(ff=$(printf '\377'); exec "$0" "${@//@FF@/$ff}")"),
                                          QStringLiteral(VARNEL_CLI_PATH)}
                                  + all);
        else
            cli.start(all);
        QVERIFY2(cli.finish() && cli.process.exitCode() == 2, qPrintable(cli.said()));
        QVERIFY2(cli.err.contains(said.toUtf8()), qPrintable(cli.said()));
        // Nothing from the inputs moves the terminal's cursor.
        QVERIFY2(!cli.err.contains('\x1b'), qPrintable(cli.said()));
        if (!json) {
            QVERIFY(cli.out.isEmpty());
            continue;
        }
        QString problem;
        const QList<QJsonObject> events = jsonLines(cli.out, &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(events.size(), 1);
        QCOMPARE(eventOf(events[0]), QStringLiteral("error"));
        QCOMPARE(events[0].value(QStringLiteral("exitCode")).toInt(), 2);
        QVERIFY2(events[0].value(QStringLiteral("message")).toString().contains(said), qPrintable(cli.said()));
    }
    // Nothing was emptied or overwritten.
    for (int n = 1; n <= 3; ++n) {
        QFile file(_dir->filePath(QStringLiteral("file%1.varnelfmw").arg(n)));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), image(n));
    }
    QFile kept(list);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), listed);
    QVERIFY(!runLoopUntil([&] { return listener.hasPendingDatagrams(); }, 200));
}

void tst_Cli::connectionCannotBeOpened_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("holdAnswerPort");
    QTest::addColumn<QString>("said");

    const QString dev = QStringLiteral("--device");
    QTest::newRow("answer port taken") << QStringList{dev, device(0)} << true << "Port 1246 is already in use.";
    QTest::newRow("no such adapter") << QStringList{QStringLiteral("--adapter"), QStringLiteral("nosuch0"), dev, device(0)}
                                     << false << "No adapter named nosuch0";
    QTest::newRow("no adapter with that address")
        << QStringList{QStringLiteral("--adapter"), QStringLiteral("192.0.2.1"), dev, device(0)} << false
        << "No adapter has the address 192.0.2.1.";
    QTest::newRow("no adapter holds every device")
        << QStringList{dev, device(0), dev, QStringLiteral("198.51.100.7")} << false
        << "No adapter has a subnet holding every device";
}

void tst_Cli::connectionCannotBeOpened()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, holdAnswerPort);
    QFETCH(QString, said);

    QVERIFY(writeImages(_dir->path()));
    QVERIFY(startSims(1));
    QUdpSocket answerPort;
    if (holdAnswerPort)
        QVERIFY(answerPort.bind(QHostAddress::Any, kAckPort, QAbstractSocket::DontShareAddress));

    Cli cli;
    const int code = cli.run(arguments << _dir->path());
    QVERIFY2(code == 3, qPrintable(cli.said()));
    QVERIFY2(cli.err.contains(said.toUtf8()), qPrintable(cli.said()));
    // Without a single adapter, the user is shown the ones there are.
    if (!holdAnswerPort)
        QVERIFY2(cli.err.contains("Adapters:\n  lo  127.0.0.1/8"), qPrintable(cli.said()));
    QVERIFY(!runLoopUntil([&] { return datagramsSeen() > 0; }, 200));
}

void tst_Cli::unfitImagesSendNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("spoil");
    QTest::addColumn<QString>("said");

    const QString dir = QStringLiteral("@DIR@");
    QTest::newRow("update, image 2 empty") << QStringList{dir} << "file2.varnelfmw=empty" << "file2.varnelfmw is empty.";
    QTest::newRow("update, image 3 missing") << QStringList{dir} << "file3.varnelfmw=missing"
                                             << "file3.varnelfmw is missing.";
    QTest::newRow("update, image 1 a directory") << QStringList{dir} << "file1.varnelfmw=directory"
                                                 << "file1.varnelfmw is not a file.";
    QTest::newRow("check, image 2 empty") << QStringList{QStringLiteral("--check"), dir} << "file2.varnelfmw=empty"
                                          << "file2.varnelfmw is empty.";
    QTest::newRow("send, missing file") << QStringList{QStringLiteral("--send"), QStringLiteral("2=@DIR@/other.bin")}
                                        << "other.bin=missing" << "other.bin is missing.";
    // ESC and CSI (a C1 control in UTF-8) echoed as they are would drive the terminal.
    QTest::newRow("send, a name with control bytes")
        << QStringList{QStringLiteral("--send"), QStringLiteral("2=@DIR@/a\x1b[2J\u009b1mb.bin")}
        << "a\x1b[2J\u009b1mb.bin=missing" << "a\\x1b[2J\\x9b1mb.bin is missing.";
}

void tst_Cli::unfitImagesSendNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, spoil);
    QFETCH(QString, said);

    QVERIFY(writeImages(_dir->path()));
    const QString spoilt = _dir->filePath(spoil.section(QLatin1Char('='), 0, 0));
    const QString how = spoil.section(QLatin1Char('='), 1);
    QFile::remove(spoilt);
    if (how == QLatin1String("empty"))
        QVERIFY(writeFile(spoilt, QByteArray()));
    else if (how == QLatin1String("directory"))
        QVERIFY(QDir().mkpath(spoilt));
    for (QString &argument : arguments)
        argument.replace(QStringLiteral("@DIR@"), _dir->path());
    QVERIFY(startSims(2));

    // Text and JSON both say it; JSON also as an event a script can read.
    for (const bool json : {false, true}) {
        Cli cli;
        QStringList all{QStringLiteral("--device"), device(0), QStringLiteral("--device"), device(1)};
        if (json)
            all << QStringLiteral("--json");
        const int code = cli.run(all + arguments);
        QVERIFY2(code == 4, qPrintable(cli.said()));
        QVERIFY2(cli.err.contains("nothing was sent"), qPrintable(cli.said()));
        QVERIFY2(cli.err.contains(said.toUtf8()), qPrintable(cli.said()));
        // The whole path, as it can be shown.
        const QString shown = QDir(_dir->path()).filePath(said.section(QStringLiteral(" is "), 0, 0));
        QVERIFY2(cli.err.contains(shown.toUtf8()), qPrintable(cli.said()));
        QVERIFY2(!cli.err.contains('\x1b') && !cli.err.contains("\xc2\x9b"), qPrintable(cli.said()));
        if (json) {
            QString problem;
            const QList<QJsonObject> events = jsonLines(cli.out, &problem);
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
            QCOMPARE(events.size(), 1);
            QCOMPARE(eventOf(events[0]), QStringLiteral("error"));
            QCOMPARE(events[0].value(QStringLiteral("exitCode")).toInt(), 4);
        } else {
            QVERIFY(cli.out.isEmpty());
        }
    }
    QVERIFY(!runLoopUntil([&] { return datagramsSeen() > 0; }, 200));
}

void tst_Cli::interruptedMidTransfer_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("stalled");  // what else the program waits on when the signal comes

    QTest::newRow("SIGTERM") << int(SIGTERM) << QString();
    QTest::newRow("Ctrl+C") << int(SIGINT) << QString();
    QTest::newRow("SIGHUP, the terminal gone") << int(SIGHUP) << QString();
    QTest::newRow("Ctrl+C, the log's reader stalled") << int(SIGINT) << "log";
    QTest::newRow("Ctrl+C, the devices list never written") << int(SIGINT) << "devices";
}

void tst_Cli::interruptedMidTransfer()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, stalled);

    // Big enough to be mid-transfer for seconds at 2 ms an answer.
    QVERIFY(writeImages(_dir->path(), 40));
    QVERIFY(startSims(3));
    DeviceSim::Faults slow;
    slow.ackDelayMs = 2;
    for (const auto &sim : _sims)
        sim->setFaults(slow);

    // The test's ends of a FIFO: held open, never read or written.
    const QByteArray fifo = QFile::encodeName(_dir->filePath(QStringLiteral("pipe")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    int pipeEnd = -1;
    int pipeProbe = -1;  // polled for room
    const auto closePipe = qScopeGuard([&] {
        for (const int fd : {pipeEnd, pipeProbe}) {
            if (fd >= 0)
                ::close(fd);
        }
    });
    // Two at a time: the third is still waiting when the signal comes.
    QStringList arguments{QStringLiteral("--json"), QStringLiteral("--parallel"), QStringLiteral("2")};
    if (stalled == QLatin1String("devices"))
        arguments << QStringLiteral("--devices") << QFile::decodeName(fifo);
    else
        arguments << QStringLiteral("--device") << device(0) << QStringLiteral("--device") << device(1)
                  << QStringLiteral("--device") << device(2);
    if (stalled == QLatin1String("log")) {
        pipeEnd = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        pipeProbe = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(pipeEnd >= 0 && pipeProbe >= 0);
        arguments << QStringLiteral("--log-file") << QFile::decodeName(fifo);
    }

    Cli cli;
    cli.start(arguments << _dir->path());
    std::function<bool()> waiting = [&] { return cli.out.contains("\"event\":\"progress\""); };
    if (stalled == QLatin1String("log")) {
        // The log's pipe full: the program's write to it blocks.
        waiting = [&] {
            pollfd room{pipeProbe, POLLOUT, 0};
            return ::poll(&room, 1, 0) == 0;
        };
    } else if (stalled == QLatin1String("devices")) {
        // A writer can open only once the program waits at the other end.
        waiting = [&] {
            if (pipeEnd < 0)
                pipeEnd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return pipeEnd >= 0;
        };
    }
    QVERIFY2(runLoopUntil(waiting, kRunLimitMs), qPrintable(cli.said()));
    QVERIFY(cli.process.state() == QProcess::Running);
    QElapsedTimer sinceStop;
    sinceStop.start();
    QCOMPARE(::kill(pid_t(cli.process.processId()), signalNumber), 0);
    QVERIFY2(cli.finish(kStopLimitMs), qPrintable(cli.said()));
    QVERIFY2(sinceStop.elapsed() < kStopLimitMs, qPrintable(QString::number(sinceStop.elapsed())));
    QVERIFY2(cli.process.exitCode() == 130, qPrintable(cli.said()));

    QString problem;
    const QList<QJsonObject> events = jsonLines(cli.out, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    if (stalled == QLatin1String("devices")) {
        // No device known yet: the one error says why, and nothing was sent.
        QCOMPARE(events.size(), 1);
        QCOMPARE(eventOf(events[0]), QStringLiteral("error"));
        QCOMPARE(events[0].value(QStringLiteral("exitCode")).toInt(), 130);
        QVERIFY2(cli.err.contains("the devices file"), qPrintable(cli.said()));
        QCOMPARE(datagramsSeen(), 0);
        return;
    }
    for (int i = 0; i < 3; ++i) {
        const QList<QJsonObject> mine = eventsOf(events, device(i));
        QVERIFY2(!mine.isEmpty(), qPrintable(device(i)));
        QCOMPARE(eventOf(mine.last()), QStringLiteral("device-done"));
        QCOMPARE(mine.last().value(QStringLiteral("outcome")).toString(), QStringLiteral("Aborted"));
        QCOMPARE(mine.last().value(QStringLiteral("reason")).toString(), QStringLiteral("Aborted."));
        // Each device's answer to the erase is what tells.
        QCOMPARE(mine.last().value(QStringLiteral("erased")).toString(),
                 _sims[size_t(i)]->eraseCount() > 0 ? QStringLiteral("yes") : QStringLiteral("no"));
    }
    const QJsonObject summary = events.last();
    QCOMPARE(eventOf(summary), QStringLiteral("summary"));
    QCOMPARE(summary.value(QStringLiteral("aborted")).toInt(), 3);
    QCOMPARE(summary.value(QStringLiteral("exitCode")).toInt(), 130);
    if (stalled == QLatin1String("log")) {
        QVERIFY2(cli.err.contains("is incomplete"), qPrintable(cli.said()));
        return;
    }
    // The first two were cut off mid-image; the third never started.
    for (int i = 0; i < 2; ++i) {
        QVERIFY(_sims[size_t(i)]->imageOpen() || _sims[size_t(i)]->images().size() < 3);
        QVERIFY(_sims[size_t(i)]->receivedCount() > 2);
    }
    QCOMPARE(_sims[2]->receivedCount(), 0);
}

void tst_Cli::strayFloodSummarisedInTheLog()
{
    QVERIFY(startSims(1));
    // The device answers late: the flood has the run to itself meanwhile.
    DeviceSim::Faults late;
    late.ackDelayMs = 700;
    _sims[0]->setFaults(late);
    const QString logPath = _dir->filePath(QStringLiteral("datagrams.log"));

    Cli cli;
    cli.start({QStringLiteral("--check"), QStringLiteral("--device"), device(0), QStringLiteral("--log-file"),
               logPath});
    // The connect out: the program's sockets are open.
    QVERIFY2(runLoopUntil([&] { return _sims[0]->receivedCount() > 0; }, kRunLimitMs), qPrintable(cli.said()));
    QUdpSocket flood;
    QVERIFY(flood.bind(otherAddress(), 0));
    const QByteArray stray(1400, '\x5a');
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, &flood, [&] {
        for (int i = 0; i < 20; ++i)
            flood.writeDatagram(stray, pcAddress(), kAckPort);
    });
    pace.start(1);
    QVERIFY2(cli.finish(), qPrintable(cli.said()));
    pace.stop();
    QVERIFY2(cli.process.exitCode() == 0, qPrintable(cli.said()));

    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    static const QRegularExpression hidden(
        QStringLiteral(R"( RX (\d+) more stray datagrams in this second, not shown$)"));
    QHash<QByteArray, int> shownIn;  // by second
    qint64 summarised = 0;
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.endsWith(" stray"))
            ++shownIn[line.left(19)];
        const auto match = hidden.match(QString::fromLatin1(line));
        if (match.hasMatch())
            summarised += match.captured(1).toLongLong();
    }
    for (auto second = shownIn.cbegin(); second != shownIn.cend(); ++second)
        QVERIFY2(second.value() <= 100, qPrintable(QStringLiteral("%1 strays shown in %2").arg(second.value()).arg(
                                            QString::fromLatin1(second.key()))));
    QVERIFY2(summarised > 0, qPrintable(QStringLiteral("%1 lines, none summarised").arg(lines.size())));
}

void tst_Cli::manyDevicesFailingAtOnce()
{
    // No route to these in the namespace: each connect fails as it is sent.
    // The one device that answers comes last in the list.
    constexpr int kUnreachable = 20000;
    QByteArray list;
    for (int i = 0; i < kUnreachable; ++i)
        list += QByteArray("198.51.") + QByteArray::number(i / 250) + '.' + QByteArray::number(i % 250 + 1) + '\n';
    list += device(0).toLatin1() + '\n';
    const QString path = _dir->filePath(QStringLiteral("building.txt"));
    QVERIFY(writeFile(path, list));
    QVERIFY(startSims(1));

    Cli cli;
    const int code = cli.run({QStringLiteral("--check"), QStringLiteral("--json"), QStringLiteral("--adapter"),
                              QStringLiteral("lo"), QStringLiteral("--devices"), path});
    QVERIFY2(code == 1, qPrintable(cli.said().left(2000)));
    QString problem;
    const QList<QJsonObject> events = jsonLines(cli.out, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    int failed = 0;
    for (const QJsonObject &event : events) {
        if (eventOf(event) == QLatin1String("device-done")
            && event.value(QStringLiteral("outcome")).toString() == QLatin1String("SendFailed"))
            ++failed;
    }
    QCOMPARE(failed, kUnreachable);
    QCOMPARE(eventsOf(events, device(0)).last().value(QStringLiteral("outcome")).toString(), QStringLiteral("Success"));
    QCOMPARE(_sims[0]->receivedCount(), 1);
    const QJsonObject summary = events.last();
    QCOMPARE(summary.value(QStringLiteral("succeeded")).toInt(), 1);
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(), kUnreachable);
}

void tst_Cli::checkErasesNothing()
{
    QVERIFY(writeImages(_dir->path()));
    QVERIFY(startSims(2));

    Cli cli;
    // A log thrown away is still a log that works.
    const int code = cli.run({QStringLiteral("--check"), QStringLiteral("--json"), QStringLiteral("--log-file"),
                              QStringLiteral("/dev/null"), QStringLiteral("--device"), device(0),
                              QStringLiteral("--device"), device(1), _dir->path()});
    QVERIFY2(code == 0, qPrintable(cli.said()));
    QString problem;
    const QList<QJsonObject> events = jsonLines(cli.out, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(eventOf(events.first()), QStringLiteral("images"));
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(_sims[size_t(i)]->eraseCount(), 0);
        QCOMPARE(_sims[size_t(i)]->images().size(), 0);
        // The connect command, and nothing else.
        QCOMPARE(_sims[size_t(i)]->receivedCount(), 1);
        QStringList seen;
        for (const QJsonObject &event : eventsOf(events, device(i)))
            seen.append(eventOf(event));
        QCOMPARE(seen, QStringList({QStringLiteral("connected"), QStringLiteral("device-done")}));
    }
    QCOMPARE(events.last().value(QStringLiteral("succeeded")).toInt(), 2);
}

void tst_Cli::sendOneImageUnderItsNumber()
{
    const QString path = _dir->filePath(QStringLiteral("engineering.bin"));
    const QByteArray bytes = pseudoImage(5000, 42);
    QVERIFY(writeFile(path, bytes));
    QVERIFY(startSims(1));

    Cli cli;
    const int code = cli.run({QStringLiteral("--device"), device(0), QStringLiteral("--send"),
                              QStringLiteral("2=") + path, QStringLiteral("--log-file"),
                              QStringLiteral("/dev/stderr")});
    QVERIFY2(code == 0, qPrintable(cli.said()));
    QVERIFY2(cli.err.contains(" 127.0.0.2 TX 3 a55a0f\n"), qPrintable(cli.said()));
    QCOMPARE(_sims[0]->eraseCount(), 0);
    const auto images = _sims[0]->images();
    QCOMPARE(images.size(), 1);
    QCOMPARE(images[0].imageNumber, 2);
    QVERIFY2(images[0].clean(), qPrintable(images[0].summary()));
    QCOMPARE(images[0].data, bytes);

    // Not a terminal: plain lines, no cursor movements.
    const QString text = QString::fromUtf8(cli.out);
    QVERIFY2(!text.contains(QLatin1Char('\x1b')), qPrintable(text));
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(lines.size() >= 5, qPrintable(text));
    QCOMPARE(lines.first(), QStringLiteral("image 2: %1, 5000 bytes, checksum %2")
                                .arg(path, QStringLiteral("%1").arg(crc().crc32(bytes), 8, 16, QLatin1Char('0'))));
    QCOMPARE(lines[1], QStringLiteral("127.0.0.2: connected"));
    QVERIFY2(lines[2].startsWith(QStringLiteral("127.0.0.2: image 2 ")) && lines[2].endsWith(QStringLiteral(" left")),
             qPrintable(lines[2]));
    QCOMPARE(lines[lines.size() - 3], QStringLiteral("127.0.0.2: image 2 sent"));
    QCOMPARE(lines[lines.size() - 2], QStringLiteral("127.0.0.2: done"));
    QCOMPARE(lines.last(), QStringLiteral("1 of 1 devices done."));
}

void tst_Cli::devicesFileOneAtATime()
{
    QVERIFY(startSims(4));
    // .4 is commented out: it must be left alone.
    const QString list = _dir->filePath(QStringLiteral("devices.txt"));
    QVERIFY(writeFile(list, "# workshop bench\n\n127.0.0.2\n  127.0.0.3   # the spare\n#127.0.0.4\n127.0.0.5\n"));

    Cli cli;
    const int code = cli.run({QStringLiteral("--erase-only"), QStringLiteral("--json"), QStringLiteral("--parallel"),
                              QStringLiteral("1"), QStringLiteral("--devices"), list});
    QVERIFY2(code == 0, qPrintable(cli.said()));
    QString problem;
    const QList<QJsonObject> events = jsonLines(cli.out, &problem);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));

    const QStringList erased{device(0), device(1), device(3)};
    for (const QString &address : erased) {
        QStringList seen;
        for (const QJsonObject &event : eventsOf(events, address))
            seen.append(eventOf(event));
        QCOMPARE(seen, QStringList({QStringLiteral("connected"), QStringLiteral("erased"), QStringLiteral("device-done")}));
    }
    QCOMPARE(_sims[0]->eraseCount(), 1);
    QCOMPARE(_sims[1]->eraseCount(), 1);
    QCOMPARE(_sims[2]->receivedCount(), 0);
    QCOMPARE(_sims[3]->eraseCount(), 1);
    QCOMPARE(_sims[3]->images().size(), 0);
    // One at a time, in the file's order.
    QVERIFY(indexOf(events, QStringLiteral("device-done"), device(0)) < indexOf(events, QStringLiteral("connected"), device(1)));
    QVERIFY(indexOf(events, QStringLiteral("device-done"), device(1)) < indexOf(events, QStringLiteral("connected"), device(3)));
    QCOMPARE(events.last().value(QStringLiteral("devices")).toInt(), 3);
}

void tst_Cli::readerGoneMidRun()
{
    QVERIFY(writeImages(_dir->path()));
    QVERIFY(startSims(1));

    // The output's reader leaves after the first line. QProcess has us
    // ignore SIGPIPE, and children inherit that: the program gets it back.
    Cli cli;
    cli.process.start(QStringLiteral("bash"),
                      {QStringLiteral("-c"),
                       QStringLiteral("set -o pipefail; env --default-signal=PIPE \"$0\" \"$@\" | head -n 1"),
                       QStringLiteral(VARNEL_CLI_PATH), QStringLiteral("--device"), device(0), _dir->path()});
    QVERIFY2(cli.finish(), qPrintable(cli.said()));
    QVERIFY2(cli.process.exitCode() == 0, qPrintable(cli.said()));
    QCOMPARE(cli.out.count('\n'), 1);
    const auto images = _sims[0]->images();
    QCOMPARE(images.size(), 3);
    for (int n = 1; n <= 3; ++n)
        QCOMPARE(images[n - 1].data, image(n));
}

void tst_Cli::helpAndVersion()
{
    Cli help;
    QCOMPARE(help.run({QStringLiteral("--help")}), 0);
    const QString text = QString::fromUtf8(help.out);
    QVERIFY(text.startsWith(QStringLiteral("Usage: varnel-updater-cli [options]")));
    for (const char *code : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  130 "})
        QVERIFY2(text.contains(QLatin1String(code)), code);

    Cli version;
    QCOMPARE(version.run({QStringLiteral("--version")}), 0);
    QCOMPARE(version.out, QByteArray("varnel-updater-cli " VARNEL_VERSION "\n"));
}

PRIVATE_NETWORK_TEST_MAIN(tst_Cli)

#include "tst_cli.moc"
