// varnel-updater-cli as a script runs it: the real program, started with
// QProcess, against simulated devices on 127.0.0.2 and up (a scan's on a
// /24 of the suite's own), in a network namespace of the suite's own, which
// its child processes share. Every exit
// code is reached for real, and what the devices received is checked
// against the files. The program keeps its own pauses (a quiet spell of
// 1 s before the erase, 1 s after it, two spells per image): a full update
// takes 8 s, so only one run here makes one.

#include "crc.h"
#include "devicesim.h"
#include "privatenetwork.h"
#include "networkadapter.h"
#include "protocol.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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

// "--device 127.0.0.2 --device 127.0.0.3 ..." for the first `count`.
QStringList deviceArguments(int count)
{
    QStringList arguments;
    for (int i = 0; i < count; ++i)
        arguments << QStringLiteral("--device") << device(i);
    return arguments;
}

// Every line of `out` as a JSON object with "v": 1, an "event" and a "time"
// in UTC with milliseconds: empty when so, else why not (with the objects
// before that line in `objects`).
QString jsonLines(const QByteArray &out, QList<QJsonObject> *objects)
{
    static const QRegularExpression time(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)"));
    const QList<QByteArray> lines = out.chopped(out.endsWith('\n') ? 1 : 0).split('\n');
    for (int i = 0; i < lines.size(); ++i) {
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
        if (!why.isEmpty())
            return QStringLiteral("line %1 (%2): %3").arg(i + 1).arg(why, QString::fromUtf8(lines[i]));
        objects->append(object);
    }
    return QString();
}

// The program, run to its end with the event loop turning, so simulated
// devices in this process answer it meanwhile.
struct Cli : Child {
    QString problem;  // why its standard output was not JSON events, shown with what it wrote

    void start(const QStringList &arguments) { process.start(QStringLiteral(VARNEL_CLI_PATH), arguments); }
    bool finish(int limitMs = kRunLimitMs) { return Child::finish(limitMs); }

    int run(const QStringList &arguments)
    {
        start(arguments);
        return finish() ? process.exitCode() : -1;
    }

    // Its standard output as JSON events; false, with `problem` set, when it is not.
    bool events(QList<QJsonObject> *objects)
    {
        problem = jsonLines(out, objects);
        return problem.isEmpty();
    }

    QString said() const
    {
        return QStringLiteral("exit %1\n--- stdout\n%2--- stderr\n%3%4")
            .arg(process.exitCode())
            .arg(QString::fromUtf8(out), QString::fromUtf8(err), problem);
    }
};

// Every address of the namespace on the device port: whatever the program
// sends to a device, or broadcasts, lands here.
struct Wire {
    QUdpSocket socket;

    bool listen() { return socket.bind(QHostAddress::AnyIPv4, kCommandPort); }

    // Once the program has ended: a datagram of ours, sent after it, comes in
    // behind anything it sent, and nothing else may be there.
    bool quiet()
    {
        const QByteArray mark("the test's own");
        QUdpSocket marker;
        marker.writeDatagram(mark, QHostAddress(QStringLiteral("127.0.0.9")), kCommandPort);
        int others = 0;
        bool marked = false;
        runLoopUntil([&] {
            while (socket.hasPendingDatagrams()) {
                if (socket.receiveDatagram().data() == mark)
                    marked = true;
                else
                    ++others;
            }
            return marked;
        }, 5000);
        return marked && others == 0;
    }
};

// A text field of an event.
QString text(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toString();
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
        if (text(event, "device") == device)
            mine.append(event);
    }
    return mine;
}

// The names of one device's events, in order.
QStringList namesOf(const QList<QJsonObject> &events, const QString &device)
{
    QStringList names;
    for (const QJsonObject &event : eventsOf(events, device))
        names.append(text(event, "event"));
    return names;
}

int indexOf(const QList<QJsonObject> &events, const QString &event, const QString &device)
{
    for (int i = 0; i < events.size(); ++i) {
        if (text(events[i], "event") == event && text(events[i], "device") == device)
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
    const QString all = device + QStringLiteral(": ") + namesOf(events, device).join(QLatin1Char(' '));
    if (mine.size() < 6 || text(mine[0], "event") != QLatin1String("connected")
        || text(mine[1], "event") != QLatin1String("erased")
        || text(mine.last(), "event") != QLatin1String("device-done"))
        return all;
    int image = 1;
    qint64 lastProgress = -1;
    for (int i = 2; i < mine.size() - 1; ++i) {
        const QString event = text(mine[i], "event");
        const int number = mine[i].value(QStringLiteral("image")).toInt();
        if (number != image || (event != QLatin1String("progress") && event != QLatin1String("image-done")))
            return all;
        if (event == QLatin1String("image-done")) {
            // Its two quiet spells of 1 to 5 s: who times the transfer can leave them out.
            const qint64 quiet = mine[i].value(QStringLiteral("quietMs")).toInteger(-1);
            if (quiet < 1990 || quiet > 10000)
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

    void failingDevicesLeaveTheOthersAlone();
    void refusedRunsSendNothing_data();
    void refusedRunsSendNothing();
    void interruptedMidTransfer_data();
    void interruptedMidTransfer();
    void checkFromADevicesFile();
    void readerGoneMidRun();
    void retriedAndRecorded_data();
    void retriedAndRecorded();
    void scanListsTheDevicesSetToThisPc_data();
    void scanListsTheDevicesSetToThisPc();

private:
    bool writeImages(const QString &dir, qsizetype scale = 1);
    QByteArray image(int number, qsizetype scale = 1) const;
    // Simulated devices on 127.0.0.2, .3, ...
    bool startSims(int count);

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

// The one full update of the suite: the good devices are checked whole,
// each failing one for how it ends and what it was left with.
void tst_Cli::failingDevicesLeaveTheOthersAlone()
{
    QVERIFY(writeImages(_dir->path()));
    QVERIFY(startSims(6));
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
    // .7 answers everything twice, 250 ms apart: caught before the erase.
    // Late copies at the program's own spells: tst_fleet and tst_guidedupdate.
    DeviceSim::Faults doubling;
    doubling.duplicateAcks = true;
    doubling.duplicateDelayMs = 250;
    _sims[5]->setFaults(doubling);
    const QString logPath = _dir->filePath(QStringLiteral("datagrams.log"));

    Cli cli;
    // The silent device waits longer than the others take in all, quiet spells included.
    const int code = cli.run(QStringList{"--json", "--log-file", logPath, "--timeout-block", "12", "--timeout-erase",
                                         "1"} + deviceArguments(6) + QStringList{_dir->path()});
    QVERIFY2(code == 1, qPrintable(cli.said()));
    QList<QJsonObject> events;
    QVERIFY2(cli.events(&events), qPrintable(cli.said()));

    // Each good device got each image exactly, once, after one erase.
    for (int good : {0, 3}) {
        const DeviceSim &sim = *_sims[size_t(good)];
        QCOMPARE(sim.eraseCount(), 1);
        const auto images = sim.images();
        QCOMPARE(images.size(), 3);
        for (int n = 1; n <= 3; ++n) {
            QVERIFY2(images[n - 1].clean(), qPrintable(images[n - 1].summary()));
            QCOMPARE(images[n - 1].imageNumber, n);
            // A one-block image carries no checksum.
            QCOMPARE(images[n - 1].checksumGood, images[n - 1].blocks > 1);
            QCOMPARE(images[n - 1].data, image(n));
        }
        const QString order = updateOrderProblem(events, device(good));
        QVERIFY2(order.isEmpty(), qPrintable(order));
        // Done before the silent one's wait was over.
        QVERIFY(indexOf(events, "device-done", device(good)) < indexOf(events, "device-done", device(2)));
    }
    // Stdout is JSON only, the images first: the human text went to stderr.
    QCOMPARE(text(events.first(), "event"), QStringLiteral("images"));
    const QJsonArray files = events.first().value(QStringLiteral("images")).toArray();
    QCOMPARE(files.size(), 3);
    for (int n = 1; n <= 3; ++n) {
        QCOMPARE(text(files[n - 1].toObject(), "name"), QStringLiteral("file%1.varnelfmw").arg(n));
        QCOMPARE(files[n - 1].toObject().value(QStringLiteral("size")).toInteger(), kImageSizes[n - 1]);
        QCOMPARE(text(files[n - 1].toObject(), "checksum"),
                 QStringLiteral("%1").arg(crc().crc32(image(n)), 8, 16, QLatin1Char('0')));
    }
    for (int i = 1; i < events.size(); ++i)
        QVERIFY2(msOf(events[i - 1]) <= msOf(events[i]), "times go back");

    // How each ended: step, outcome, images done, whether it may be left
    // without firmware, and why. Image 1 is 22 blocks.
    const QStringList ended{
        QStringLiteral("image 3 Success, 3 done, erased yes: "),
        QStringLiteral("image 1 Refused, 0 done, erased yes: Device refused block 3 of 22."),
        QStringLiteral("image 1 NoAnswer, 0 done, erased yes: No answer at block 5 of 22."),
        QStringLiteral("image 3 Success, 3 done, erased yes: "),
        QStringLiteral("erase NoAnswer, 0 done, erased possibly: The device did not answer."),
        // Caught before its erase.
        QStringLiteral("erase AnsweredTwice, 0 done, erased no: The device answered twice; nothing was erased.")};
    for (int i = 0; i < 6; ++i) {
        const QJsonObject done = eventsOf(events, device(i)).last();
        const QString step = text(done, "operation") == QLatin1String("Image")
            ? QStringLiteral("image %1").arg(done.value(QStringLiteral("image")).toInt())
            : text(done, "operation").toLower();
        QCOMPARE(QStringLiteral("%1 %2, %3 done, erased %4: %5")
                     .arg(step, text(done, "outcome"))
                     .arg(done.value(QStringLiteral("imagesDone")).toInt())
                     .arg(text(done, "erased"), text(done, "reason")),
                 ended[i]);
    }
    // None was sent anything past its failure.
    QCOMPARE(_sims[1]->receivedCount(), 5);
    QCOMPARE(_sims[2]->receivedCount(), 7);
    QCOMPARE(_sims[5]->eraseCount(), 0);

    const QJsonObject summary = events.last();
    QCOMPARE(text(summary, "event"), QStringLiteral("summary"));
    QCOMPARE(summary.value(QStringLiteral("succeeded")).toInt(), 2);
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(), 4);
    QCOMPARE(summary.value(QStringLiteral("failedDevices")).toArray(),
             QJsonArray({device(1), device(2), device(4), device(5)}));
    QCOMPARE(summary.value(QStringLiteral("exitCode")).toInt(), 1);

    // The log holds every datagram each device received, in order, and
    // every answer it sent.
    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    static const QRegularExpression line(QStringLiteral(
        R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (127\.0\.0\.\d+) (TX|RX) (\d+) ([0-9a-f]*)$)"));
    QHash<QString, QList<QByteArray>> sent;
    QHash<QString, int> answers;
    for (const QByteArray &logged : log.readAll().split('\n')) {
        if (logged.isEmpty())
            continue;
        const auto match = line.match(QString::fromLatin1(logged));
        QVERIFY2(match.hasMatch(), logged.constData());
        const QByteArray bytes = QByteArray::fromHex(match.captured(4).toLatin1());
        QCOMPARE(bytes.size(), match.captured(3).toInt());
        if (match.captured(2) == QLatin1String("TX"))
            sent[match.captured(1)].append(bytes);
        else
            ++answers[match.captured(1)];
    }
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(sent.value(device(i)), _sims[size_t(i)]->received());
        QCOMPARE(answers.value(device(i)), _sims[size_t(i)]->acksSent());
    }
}

void tst_Cli::refusedRunsSendNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("said");

    const QString dir = QStringLiteral("@DIR@");
    const QString dev = QStringLiteral("--device");
    const QString log = QStringLiteral("--log-file");
    QTest::newRow("unknown option") << QStringList{"--frobnicate", dev, device(0), dir} << 2
                                    << "Unknown option 'frobnicate'";
    QTest::newRow("no device") << QStringList{dir} << 2 << "no device";
    QTest::newRow("no directory") << QStringList{dev, device(0)} << 2 << "give the DIRECTORY";
    QTest::newRow("device twice") << QStringList{dev, device(0), dev, device(1), dev, device(0), dir} << 2
                                  << "device 127.0.0.2 is given twice (--device and --device)";
    QTest::newRow("device twice, once from a file") << QStringList{dev, device(1), "--devices", "@LIST@", dir} << 2
                                                    << "device 127.0.0.3 is given twice (--device and @LIST@:3)";
    // Which addresses are refused is decided in tst_deviceaddress; here, how
    // a refusal is told. Only the adapter, chosen first, tells this one.
    QTest::newRow("the adapter's subnet broadcast")
        << QStringList{dev, device(0), dev, "127.255.255.255", dir} << 2
        << "device 127.255.255.255 (--device) from adapter lo - 127.0.0.1: 127.255.255.255 is a broadcast address.";
    QTest::newRow("octal-looking") << QStringList{dev, "127.0.0.010", dir} << 2
                                   << "device \"127.0.0.010\" (--device): The device IP is not valid.";
    QTest::newRow("control bytes in a devices-file line") << QStringList{"--devices", "@DIR@/screen.txt", dir} << 2
                                                          << "device \"127.0.0.\\x1b[2J4\" (@DIR@/screen.txt:1)";
    QTest::newRow("parallel 0") << QStringList{"--parallel", "0", dev, device(0), dir} << 2
                                << "--parallel wants a whole number of 1 or more";
    QTest::newRow("image 4") << QStringList{dev, device(0), "--send", "4=@DIR@/file1.varnelfmw"} << 2
                             << "--send wants N=PATH with N 1, 2 or 3";
    QTest::newRow("erase-only with a directory") << QStringList{dev, device(0), "--erase-only", dir} << 2
                                                 << "--erase-only sends no image";
    QTest::newRow("two modes") << QStringList{dev, device(0), "--erase-only", "--check"} << 2 << "exclude each other";
    QTest::newRow("zero timeout") << QStringList{"--timeout-block", "0", dev, device(0), dir} << 2
                                  << "--timeout-block wants seconds over 0";
    QTest::newRow("adapter twice") << QStringList{"--adapter", "lo", "--adapter", "lo", dev, device(0), dir} << 2
                                   << "--adapter is given more than once";
    QTest::newRow("path not UTF-8") << QStringList{dev, device(0), "@DIR@/caf@FF@"} << 2
                                    << "\"@DIR@/caf\\xff\" is not valid UTF-8";
    // The log is opened after every input is read, and never over one of them.
    QTest::newRow("unwritable log") << QStringList{log, "@DIR@/no/such/dir/log", dev, device(0), dir} << 2
                                    << "cannot write the log file";
    QTest::newRow("log is an image")
        << QStringList{log, "@DIR@/file1.varnelfmw", dev, device(0), dir} << 2
        << "the log file @DIR@/file1.varnelfmw is the same file as the image @DIR@/file1.varnelfmw";
    QTest::newRow("log is an image behind a link")
        << QStringList{log, "@DIR@/alias.log", dev, device(0), dir} << 2
        << "the log file @DIR@/alias.log is the same file as the image @DIR@/file2.varnelfmw";
    QTest::newRow("log is the devices file") << QStringList{"--devices", "@LIST@", log, "@LIST@", dir} << 2
                                             << "the log file @LIST@ is the same file as the devices file @LIST@";
    QTest::newRow("report as text") << QStringList{"--report", "@DIR@/run.txt", dev, device(0), dir} << 2
                                    << "--report wants a file ending in .json or .csv";
    QTest::newRow("report in no folder") << QStringList{"--report", "@DIR@/no/such/run.csv", dev, device(0), dir}
                                         << 2 << "cannot write the report @DIR@/no/such/run.csv";
    QTest::newRow("report is an image behind a link")
        << QStringList{"--report", "@DIR@/alias.json", dev, device(0), dir} << 2
        << "the report @DIR@/alias.json is the same file as the image @DIR@/file3.varnelfmw";
    QTest::newRow("report is the log") << QStringList{log, "@DIR@/run.json", "--report", "@DIR@/run.json", dev,
                                                      device(0), dir}
                                       << 2 << "the report @DIR@/run.json is the same file as the log file @DIR@/run.json";
    QTest::newRow("log is a FIFO no one reads") << QStringList{log, "@DIR@/fifo", dev, device(0), dir} << 2
                                                << "the log file @DIR@/fifo is a FIFO that no one reads";
    // Which adapter is chosen is decided in tst_cliparts; here, that the
    // user is shown the ones there are.
    QTest::newRow("no adapter holds every device")
        << QStringList{dev, device(0), dev, "198.51.100.7", dir} << 3
        << "No adapter has a subnet holding every device: choose one with --adapter.\nAdapters:\n  lo  127.0.0.1/8";
    QTest::newRow("answer port taken") << QStringList{dev, device(0), dir} << 3 << "Port 1246 is already in use.";
    // A scan: which addresses it probes is decided in tst_devicescan.
    QTest::newRow("scan with a device") << QStringList{"--scan", dev, device(0)} << 2 << "--scan takes no --device";
    QTest::newRow("scan range without a scan")
        << QStringList{"--scan-range", "127.0.0.2-127.0.0.9", dev, device(0), dir} << 2
        << "--scan-range and --scan-wait go with --scan";
    QTest::newRow("scan, only loopback here") << QStringList{"--scan"} << 3 << "No adapter other than loopback is up";
    QTest::newRow("scan range outside the subnet")
        << QStringList{"--scan", "--adapter", "lo", "--scan-range", "198.51.100.1-198.51.100.9"} << 2
        << "cannot scan from lo - 127.0.0.1: the range 198.51.100.1-198.51.100.9 is not inside the adapter's subnet "
           "127.0.0.0/8";
    // Which files are unfit is decided in tst_updateimage; here, that an
    // unfit image stops every device, in each mode that reads images.
    QTest::newRow("update, image 2 empty")
        << QStringList{dev, device(0), dev, device(1), "@DIR@/spoilt"} << 4
        << "nothing was sent:\n  file2.varnelfmw is empty. (@DIR@/spoilt/file2.varnelfmw)";
    QTest::newRow("check, image 3 a directory") << QStringList{dev, device(0), "--check", "@DIR@/spoilt"} << 4
                                                << "file3.varnelfmw is not a file. (@DIR@/spoilt/file3.varnelfmw";
    // ESC and CSI (a C1 control in UTF-8) echoed as they are would drive the terminal.
    QTest::newRow("send, a missing file with control bytes in its name")
        << QStringList{dev, device(0), "--send", "2=@DIR@/a\x1b[2J\u009b1mb.bin"} << 4
        << "a\\x1b[2J\\x9b1mb.bin is missing. (@DIR@/a\\x1b[2J\\x9b1mb.bin";
}

void tst_Cli::refusedRunsSendNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, said);

    QVERIFY(writeImages(_dir->path()));
    const QString list = _dir->filePath(QStringLiteral("devices.txt"));
    const QByteArray listed = "# the bench\n127.0.0.4\n127.0.0.3\n";
    QVERIFY(writeFile(list, listed));
    QVERIFY(writeFile(_dir->filePath(QStringLiteral("screen.txt")), "127.0.0.\x1b[2J4\n"));
    QVERIFY(QFile::link(_dir->filePath(QStringLiteral("file2.varnelfmw")),
                        _dir->filePath(QStringLiteral("alias.log"))));
    QVERIFY(QFile::link(_dir->filePath(QStringLiteral("file3.varnelfmw")),
                        _dir->filePath(QStringLiteral("alias.json"))));
    QCOMPARE(::mkfifo(QFile::encodeName(_dir->filePath(QStringLiteral("fifo"))).constData(), 0600), 0);
    // Image 1 fit, image 2 empty, image 3 a directory.
    const QDir spoilt(_dir->filePath(QStringLiteral("spoilt")));
    QVERIFY(QDir().mkpath(spoilt.filePath(QStringLiteral("file3.varnelfmw"))));
    QVERIFY(writeFile(spoilt.filePath(QStringLiteral("file1.varnelfmw")), image(1)));
    QVERIFY(writeFile(spoilt.filePath(QStringLiteral("file2.varnelfmw")), QByteArray()));
    for (QString &argument : arguments)
        argument.replace(QStringLiteral("@DIR@"), _dir->path()).replace(QStringLiteral("@LIST@"), list);
    said.replace(QStringLiteral("@DIR@"), _dir->path()).replace(QStringLiteral("@LIST@"), list);
    Wire wire;
    QVERIFY2(wire.listen(), qPrintable(wire.socket.errorString()));
    // The port is opened last, once the images are read and shown.
    const bool portTaken = said.startsWith(QStringLiteral("Port 1246"));
    QUdpSocket answerPort;
    if (portTaken)
        QVERIFY(answerPort.bind(QHostAddress::Any, kAckPort, QAbstractSocket::DontShareAddress));

    // Text says it on stderr only; JSON also as the one event a script reads.
    for (const bool json : {false, true}) {
        Cli cli;
        const QStringList all = json ? QStringList{"--json"} + arguments : arguments;
        // A byte that is not UTF-8 cannot pass through a QString: the shell puts it in.
        if (arguments.join(QLatin1Char(' ')).contains(QStringLiteral("@FF@")))
            cli.process.start(QStringLiteral("bash"),
                              QStringList{"-c", R"(ff=$(printf '\377'); exec "$0" "${@//@FF@/$ff}")", VARNEL_CLI_PATH}
                                  + all);
        else
            cli.start(all);
        QVERIFY2(cli.finish() && cli.process.exitCode() == code, qPrintable(cli.said()));
        QVERIFY2(cli.err.contains(said.toUtf8()), qPrintable(cli.said()));
        // Nothing from the inputs moves the terminal's cursor.
        QVERIFY2(!cli.err.contains('\x1b') && !cli.err.contains("\xc2\x9b"), qPrintable(cli.said()));
        if (!json) {
            QVERIFY2(portTaken ? cli.out.startsWith("image 1/3: ") && cli.out.count('\n') == 3 : cli.out.isEmpty(),
                     qPrintable(cli.said()));
            continue;
        }
        QList<QJsonObject> events;
        QVERIFY2(cli.events(&events), qPrintable(cli.said()));
        QCOMPARE(events.size(), portTaken ? 2 : 1);
        QCOMPARE(text(events.last(), "event"), QStringLiteral("error"));
        QCOMPARE(events.last().value(QStringLiteral("exitCode")).toInt(), code);
        QVERIFY2(text(events.last(), "message").contains(said), qPrintable(cli.said()));
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
    QVERIFY(wire.quiet());
}

void tst_Cli::interruptedMidTransfer_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("stalled");  // what else the program waits on when the signal comes
    QTest::addColumn<int>("received");     // datagrams the first two devices have had by then

    QTest::newRow("SIGTERM, in the quiet spell before the erase") << int(SIGTERM) << QString() << 1;
    QTest::newRow("Ctrl+C, mid-image") << int(SIGINT) << QString() << 10;
    QTest::newRow("SIGHUP, the terminal gone") << int(SIGHUP) << QString() << 1;
    QTest::newRow("Ctrl+C, the log's reader stalled") << int(SIGINT) << "log" << 0;
    QTest::newRow("Ctrl+C, the devices list never written") << int(SIGINT) << "devices" << 0;
}

void tst_Cli::interruptedMidTransfer()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, stalled);
    QFETCH(int, received);

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
    const QString report = _dir->filePath(QStringLiteral("run.json"));
    QStringList arguments{"--json", "--parallel", "2", "--report", report};
    if (stalled == QLatin1String("devices"))
        arguments << QStringLiteral("--devices") << QFile::decodeName(fifo);
    else
        arguments << deviceArguments(3);
    std::function<bool()> waiting = [&] {
        return _sims[0]->receivedCount() >= received && _sims[1]->receivedCount() >= received;
    };
    if (stalled == QLatin1String("log")) {
        pipeEnd = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        pipeProbe = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(pipeEnd >= 0 && pipeProbe >= 0);
        arguments << QStringLiteral("--log-file") << QFile::decodeName(fifo);
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

    Cli cli;
    cli.start(arguments << _dir->path());
    QVERIFY2(runLoopUntil(waiting, kRunLimitMs), qPrintable(cli.said()));
    QVERIFY(cli.process.state() == QProcess::Running);
    QElapsedTimer sinceStop;
    sinceStop.start();
    QCOMPARE(::kill(pid_t(cli.process.processId()), signalNumber), 0);
    QVERIFY2(cli.finish(kStopLimitMs), qPrintable(cli.said()));
    QVERIFY2(sinceStop.elapsed() < kStopLimitMs, qPrintable(QString::number(sinceStop.elapsed())));
    QVERIFY2(cli.process.exitCode() == 130, qPrintable(cli.said()));

    QList<QJsonObject> events;
    QVERIFY2(cli.events(&events), qPrintable(cli.said()));
    if (stalled == QLatin1String("devices")) {
        // No device known yet: the one error says why, and nothing was sent.
        QCOMPARE(events.size(), 1);
        QCOMPARE(text(events[0], "event"), QStringLiteral("error"));
        QCOMPARE(events[0].value(QStringLiteral("exitCode")).toInt(), 130);
        QVERIFY2(cli.err.contains("the devices file"), qPrintable(cli.said()));
        for (const auto &sim : _sims)
            QCOMPARE(sim->receivedCount(), 0);
        QVERIFY(!QFile::exists(report));
        return;
    }
    // The record is written all the same, every device in it as aborted.
    QFile recorded(report);
    QVERIFY(recorded.open(QIODevice::ReadOnly));
    const QJsonArray devices = QJsonDocument::fromJson(recorded.readAll()).object().value("devices").toArray();
    QCOMPARE(devices.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QList<QJsonObject> mine = eventsOf(events, device(i));
        QVERIFY2(!mine.isEmpty(), qPrintable(device(i)));
        QCOMPARE(text(mine.last(), "event"), QStringLiteral("device-done"));
        QCOMPARE(text(mine.last(), "outcome"), QStringLiteral("Aborted"));
        QCOMPARE(text(mine.last(), "reason"), QStringLiteral("Aborted."));
        // Each device's answer to the erase is what tells.
        QCOMPARE(text(mine.last(), "erased"), QLatin1String(_sims[size_t(i)]->eraseCount() > 0 ? "yes" : "no"));
        QCOMPARE(text(devices[i].toObject(), "outcome"), QStringLiteral("Aborted"));
        QCOMPARE(text(devices[i].toObject(), "erased"), text(mine.last(), "erased"));
    }
    const QJsonObject summary = events.last();
    QCOMPARE(text(summary, "event"), QStringLiteral("summary"));
    QCOMPARE(summary.value(QStringLiteral("aborted")).toInt(), 3);
    QCOMPARE(summary.value(QStringLiteral("exitCode")).toInt(), 130);
    if (stalled == QLatin1String("log"))
        QVERIFY2(cli.err.contains("is incomplete"), qPrintable(cli.said()));
    // The first two were cut off before image 1 was whole; the third never started.
    for (int i = 0; i < 2; ++i)
        QVERIFY(_sims[size_t(i)]->images().isEmpty() || !_sims[size_t(i)]->images().first().complete);
    QCOMPARE(_sims[2]->receivedCount(), 0);
}

// Check mode, one device at a time, from a devices file that names a
// building's worth of devices out of reach, while strays flood the answer port.
void tst_Cli::checkFromADevicesFile()
{
    QVERIFY(writeImages(_dir->path()));
    QVERIFY(startSims(4));
    // .2 answers late: were .3 started alongside it, .3 would be done first.
    DeviceSim::Faults late;
    late.ackDelayMs = 300;
    _sims[0]->setFaults(late);
    // .4 is commented out: it must be left alone. No route to the 20,000
    // after it in the namespace: each connect fails as it is sent. .5 comes last.
    constexpr int kUnreachable = 20000;
    QByteArray list = "# workshop bench\n\n127.0.0.2\n  127.0.0.3   # the spare\n#127.0.0.4\n";
    for (int i = 0; i < kUnreachable; ++i)
        list += QByteArray("198.51.") + QByteArray::number(i / 250) + '.' + QByteArray::number(i % 250 + 1) + '\n';
    list += "127.0.0.5\n";
    const QString path = _dir->filePath(QStringLiteral("building.txt"));
    QVERIFY(writeFile(path, list));
    const QString logPath = _dir->filePath(QStringLiteral("datagrams.log"));

    Cli cli;
    cli.start({"--check", "--json", "--parallel", "1", "--adapter", "lo", "--log-file", logPath, "--devices", path,
               _dir->path()});
    // The connect out: the program's sockets are open.
    QVERIFY2(runLoopUntil([&] { return _sims[0]->receivedCount() > 0; }, kRunLimitMs), qPrintable(cli.said()));
    QUdpSocket flood;
    QVERIFY(flood.bind(QHostAddress(QStringLiteral("127.0.0.9")), 0));
    const QByteArray stray(1400, '\x5a');
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, &flood, [&] {
        for (int i = 0; i < 20; ++i)
            flood.writeDatagram(stray, pcAddress(), kAckPort);
    });
    pace.start(1);
    QVERIFY2(cli.finish() && cli.process.exitCode() == 1, qPrintable(cli.said().left(2000)));
    pace.stop();
    QList<QJsonObject> events;
    QVERIFY2(cli.events(&events), qPrintable(cli.said().left(2000)));

    QCOMPARE(text(events.first(), "event"), QStringLiteral("images"));
    for (int i : {0, 1, 3}) {
        QCOMPARE(namesOf(events, device(i)), QStringList({"connected", "device-done"}));
        // The connect command, and nothing else.
        QCOMPARE(_sims[size_t(i)]->receivedCount(), 1);
    }
    QCOMPARE(_sims[2]->receivedCount(), 0);
    // One at a time, in the file's order.
    QVERIFY(indexOf(events, "device-done", device(0)) < indexOf(events, "connected", device(1)));
    QVERIFY(indexOf(events, "device-done", device(1)) < indexOf(events, "connected", device(3)));
    int failed = 0;
    for (const QJsonObject &event : events)
        failed += text(event, "outcome") == QLatin1String("SendFailed");
    QCOMPARE(failed, kUnreachable);
    QCOMPARE(events.last().value(QStringLiteral("succeeded")).toInt(), 3);
    QCOMPARE(events.last().value(QStringLiteral("failed")).toInt(), kUnreachable);

    // No more than 100 strays a second are shown; the rest are counted.
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

void tst_Cli::readerGoneMidRun()
{
    QVERIFY(startSims(2));

    // The output's reader leaves after the first line, a second before the
    // next; the second device starts only after that. QProcess has us ignore
    // SIGPIPE, and children inherit that: the program gets it back. A log
    // thrown away is still a log that works.
    Cli cli;
    cli.process.start(QStringLiteral("bash"),
                      QStringList{"-c", "set -o pipefail; env --default-signal=PIPE \"$0\" \"$@\" | head -n 1",
                                  VARNEL_CLI_PATH, "--erase-only", "--parallel", "1", "--log-file", "/dev/null"}
                          + deviceArguments(2));
    QVERIFY2(cli.finish(), qPrintable(cli.said()));
    QVERIFY2(cli.process.exitCode() == 0, qPrintable(cli.said()));
    QCOMPARE(cli.out, QByteArray("127.0.0.2: connected\n"));
    // Each erased, and sent nothing else.
    for (const auto &sim : _sims) {
        QCOMPARE(sim->eraseCount(), 1);
        QCOMPARE(sim->receivedCount(), 2);
    }
}

void tst_Cli::retriedAndRecorded_data()
{
    QTest::addColumn<QStringList>("what");
    QTest::addColumn<QString>("report");
    QTest::newRow("update, JSON report, JSON lines") << QStringList{"@DIR@"} << "run.json";
    QTest::newRow("one image, CSV report, text, log to stderr")
        << QStringList{"--send", "2=@DIR@/file2.varnelfmw", "--log-file", "/dev/stderr"} << "run.csv";
}

// .2 leaves a block unanswered in its first attempt only; .3 answers
// everything twice, in every attempt; .4 behaves.
void tst_Cli::retriedAndRecorded()
{
    QFETCH(QStringList, what);
    QFETCH(QString, report);
    const bool update = what.size() == 1;
    QVERIFY(writeImages(_dir->path()));
    QVERIFY(startSims(3));
    DeviceSim::Faults once;
    once.dropAckOf = 3;
    once.once = true;
    _sims[0]->setFaults(once);
    DeviceSim::Faults doubling;
    doubling.duplicateAcks = true;
    doubling.duplicateDelayMs = 250;
    _sims[1]->setFaults(doubling);
    // An old report stays until the new one takes its place.
    const QString path = _dir->filePath(report);
    QVERIFY(writeFile(path, "the last run's"));
    for (QString &argument : what)
        argument.replace(QStringLiteral("@DIR@"), _dir->path());

    Cli cli;
    cli.start(QStringList{"--retries", "1", "--retry-pause", "0.1", "--timeout-block", "1", "--timeout-last", "1",
                          "--report", path}
              + QStringList(update ? QStringList{"--json"} : QStringList()) + deviceArguments(3) + what);
    QVERIFY(runLoopUntil([&] { return _sims[0]->receivedCount() >= 3 || cli.process.state() != QProcess::Running; },
                         kRunLimitMs));
    QFile old(path);
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("the last run's"));
    old.close();
    QVERIFY2(cli.finish() && cli.process.exitCode() == 1, qPrintable(cli.said()));

    // .2's second attempt sent every image whole.
    const QList<int> numbers = update ? QList<int>{1, 2, 3} : QList<int>{2};
    const auto received = _sims[0]->images();
    QVERIFY(received.size() > numbers.size());
    for (int i = 0; i < numbers.size(); ++i) {
        const DeviceSim::ImageReport &got = received.at(received.size() - numbers.size() + i);
        QVERIFY2(got.clean() && got.imageNumber == numbers[i] && got.data == image(numbers[i]),
                 qPrintable(got.summary()));
    }
    QCOMPARE(_sims[2]->eraseCount(), update ? 1 : 0);

    // What the record says of each: outcome, attempts, erased, and a reason for the failure.
    const QString erased = QLatin1String(update ? "yes" : "no");
    const QStringList expected{"127.0.0.2 Success 2 " + erased, "127.0.0.3 AnsweredTwice 2 no",
                               "127.0.0.4 Success 1 " + erased};
    QStringList recorded;
    QStringList checksums;
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray content = file.readAll();
    if (update) {
        const QJsonObject json = QJsonDocument::fromJson(content).object();
        for (const QJsonValue &value : json.value(QStringLiteral("devices")).toArray()) {
            const QJsonObject d = value.toObject();
            recorded << QStringLiteral("%1 %2 %3 %4")
                            .arg(text(d, "device"), text(d, "outcome"))
                            .arg(d.value(QStringLiteral("attempts")).toInt())
                            .arg(text(d, "erased"));
            QCOMPARE(text(d, "reason").isEmpty(), text(d, "outcome") == QLatin1String("Success"));
            QVERIFY(text(d, "start") <= text(d, "end"));
        }
        for (const QJsonValue &value : json.value(QStringLiteral("images")).toArray())
            checksums << text(value.toObject(), "checksum");
    } else {
        // Quoting is RunRecord's to decide (tst_cliparts); no field here holds a comma.
        QList<QStringList> rows;
        for (const QString &row : QString::fromUtf8(content).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
            rows << row.split(QLatin1Char(','));
        QCOMPARE(rows.size(), 4);
        const QStringList header = rows.first();
        for (const QStringList &row : rows.mid(1)) {
            QCOMPARE(row.size(), header.size());
            recorded << QStringList{row[0], row[3], row[5], row[6]}.join(QLatin1Char(' '));
            QCOMPARE(row[4].isEmpty(), row[3] == QLatin1String("Success"));
        }
        checksums << rows[1].at(header.indexOf(QStringLiteral("image 2 checksum")));
    }
    QCOMPARE(recorded, expected);
    QStringList files;
    for (int n : numbers)
        files << QStringLiteral("%1").arg(crc().crc32(image(n)), 8, 16, QLatin1Char('0'));
    QCOMPARE(checksums, files);

    // Each retry told as it came, and the attempts in the summary.
    if (update) {
        QList<QJsonObject> events;
        QVERIFY2(cli.events(&events), qPrintable(cli.said()));
        const QStringList mine = namesOf(events, device(0));
        QCOMPARE(mine.count(QStringLiteral("attempt")), 2);
        QCOMPARE(mine.count(QStringLiteral("attempt-failed")), 1);
        QCOMPARE(events.last().value(QStringLiteral("attempts")).toObject(),
                 QJsonObject({{device(0), 2}, {device(1), 2}, {device(2), 1}}));
    } else {
        // Not a terminal: plain lines, no cursor movements.
        const QString file2 = _dir->filePath(QStringLiteral("file2.varnelfmw"));
        QVERIFY2(cli.out.startsWith(QStringLiteral("image 2: %1, 2800 bytes, checksum %2\n")
                                        .arg(file2, checksums.first()).toUtf8()) && !cli.out.contains('\x1b'),
                 qPrintable(cli.said()));
        static const QRegularExpression progress(QStringLiteral("^127\\.0\\.0\\.4: image 2 .* left$"),
                                                 QRegularExpression::MultilineOption);
        QVERIFY2(QString::fromUtf8(cli.out).contains(progress) && cli.out.contains("127.0.0.4: image 2 sent\n")
                     && cli.out.contains("127.0.0.4: done\n") && cli.err.contains(" 127.0.0.4 TX 3 a55a0f\n"),
                 qPrintable(cli.said()));
        QVERIFY2(cli.out.contains("127.0.0.2: attempt 2 of 2\n"), qPrintable(cli.said()));
        QVERIFY2(cli.err.contains("127.0.0.2: attempt 1 of 2 failed at image 2: "), qPrintable(cli.said()));
        QVERIFY2(cli.out.endsWith("Attempts: 2 for 127.0.0.2, 2 for 127.0.0.3, 1 for the others.\n"),
                 qPrintable(cli.said()));
    }
}

void tst_Cli::scanListsTheDevicesSetToThisPc_data()
{
    QTest::addColumn<int>("answering");     // devices set to this PC, from 198.51.100.20 on
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("signalNumber");  // sent once every answer is logged; 0: none
    QTest::addColumn<int>("code");

    QTest::newRow("eight answer") << 8 << QStringList() << 0 << 0;
    QTest::newRow("none answers") << 0 << QStringList() << 0 << 1;
    QTest::newRow("Ctrl+C while it waits") << 8 << QStringList{"--scan-wait", "30"} << int(SIGINT) << 130;
}

// The PC on a /24 of its own, devices on addresses of it (held by the
// loopback adapter, so the PC's is still the only other one), one device
// set to another PC, which the probe reaches but which never answers this
// one, and one that answers the connect with another type.
void tst_Cli::scanListsTheDevicesSetToThisPc()
{
    QFETCH(int, answering);
    QFETCH(QStringList, extra);
    QFETCH(int, signalNumber);
    QFETCH(int, code);

    const auto at = [](int host) { return QStringLiteral("198.51.100.%1").arg(host); };
    constexpr int kElsewhere = 30;
    constexpr int kWrongType = 31;
    QStringList setUp{"link add vscan0 type veth peer name vscan0p", "addr add 198.51.100.1/24 dev vscan0",
                      "link set vscan0p up", "link set vscan0 up"};
    for (int i = 0; i < answering; ++i)
        setUp << QStringLiteral("addr add %1/32 dev lo").arg(at(20 + i));
    for (const int host : {kElsewhere, kWrongType})
        setUp << QStringLiteral("addr add %1/32 dev lo").arg(at(host));
    const auto takeDown = qScopeGuard([&] {
        QString ignored;
        for (const QString &command : std::as_const(setUp)) {
            if (command.startsWith(QStringLiteral("addr add")) && command.endsWith(QStringLiteral("dev lo")))
                testsupport::ip(QString(command).replace(QStringLiteral("addr add"), QStringLiteral("addr del")),
                                &ignored);
        }
        testsupport::ip(QStringLiteral("link del vscan0"), &ignored);
    });
    QString error;
    for (const QString &command : std::as_const(setUp))
        QVERIFY2(testsupport::ip(command, &error), qPrintable(error));
    for (int i = 0; i < answering; ++i) {
        auto sim = std::make_unique<DeviceSim>();
        QVERIFY2(sim->start(QHostAddress(at(20 + i))), qPrintable(sim->errorString()));
        _sims.push_back(std::move(sim));
    }
    auto elsewhere = std::make_unique<DeviceSim>();
    elsewhere->setTarget(QHostAddress(at(250)));
    QVERIFY2(elsewhere->start(QHostAddress(at(kElsewhere))), qPrintable(elsewhere->errorString()));
    _sims.push_back(std::move(elsewhere));
    auto wrong = std::make_unique<DeviceSim>();
    DeviceSim::Faults wrongType;
    wrongType.wrongTypeAt = 1;
    wrong->setFaults(wrongType);
    QVERIFY2(wrong->start(QHostAddress(at(kWrongType))), qPrintable(wrong->errorString()));
    _sims.push_back(std::move(wrong));
    // The kernel settles a link's running state a moment after `ip` returns.
    QVERIFY(runLoopUntil([] { return NetworkAdapter::list().size() == 1; }, 5000));

    const QString logPath = _dir->filePath(QStringLiteral("scan.log"));
    QElapsedTimer wall;
    wall.start();
    Cli cli;
    cli.start(QStringList{"--scan", "--json", "--log-file", logPath} + extra);
    if (signalNumber) {
        // The log is written out half a second after its first line.
        QVERIFY2(runLoopUntil(
                     [&] {
                         QFile log(logPath);
                         const QByteArray lines = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
                         return lines.count(" TX ") == 253 && lines.count(" RX ") == answering + 1;
                     },
                     kRunLimitMs),
                 qPrintable(cli.said()));
        QCOMPARE(::kill(pid_t(cli.process.processId()), signalNumber), 0);
        QVERIFY2(cli.finish(kStopLimitMs), qPrintable(cli.said()));
    } else {
        QVERIFY2(cli.finish(), qPrintable(cli.said()));
    }
    // Two seconds of waiting for answers, bounded whatever the machine's load.
    QVERIFY2(wall.elapsed() < 10000, qPrintable(QString::number(wall.elapsed())));
    QVERIFY2(cli.process.exitCode() == code, qPrintable(cli.said()));

    QList<QJsonObject> events;
    QVERIFY2(cli.events(&events), qPrintable(cli.said()));
    QStringList found;
    for (const QJsonObject &event : std::as_const(events)) {
        if (text(event, "event") == QLatin1String("found"))
            found << text(event, "device");
    }
    QStringList expected;
    for (int i = 0; i < answering; ++i)
        expected << at(20 + i);
    QCOMPARE(found, expected);
    const QJsonObject summary = events.last();
    QCOMPARE(text(summary, "event"), QStringLiteral("summary"));
    QCOMPARE(summary.value(QStringLiteral("found")).toInt(), answering);
    QCOMPARE(summary.value(QStringLiteral("probed")).toInt(), 253);
    QCOMPARE(summary.value(QStringLiteral("exitCode")).toInt(), code);
    QVERIFY2(cli.err.contains("target IP is this PC's adapter address (198.51.100.1)"), qPrintable(cli.said()));
    if (answering == 0)
        QVERIFY2(cli.err.contains("No device answered."), qPrintable(cli.said()));
    // Each device, those not listed too, had the connect command and nothing else.
    for (const auto &sim : _sims) {
        QCOMPARE(sim->received(), QList<QByteArray>{protocol::commandDatagram(MT_INIT)});
        QCOMPARE(sim->acksSent(), 1);
    }

    // One probe to each address but the PC's, the network's and the
    // broadcast, paced; each answer logged as one, not as a stray, and the
    // answer of another type as a stray.
    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly));
    static const QRegularExpression line(
        QStringLiteral(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) 198\.51\.100\.(\d+) (TX 3 a55a0f|RX 3 a55a0f|RX 3 a55a55 stray)$)"));
    QSet<int> probed;
    QList<qint64> sentAt;
    int answers = 0;
    int strays = 0;
    for (const QByteArray &logged : log.readAll().split('\n')) {
        if (logged.isEmpty())
            continue;
        const auto match = line.match(QString::fromLatin1(logged));
        QVERIFY2(match.hasMatch(), logged.constData());
        if (match.captured(3).startsWith(QLatin1String("RX"))) {
            answers += match.captured(3).endsWith(QLatin1String("a55a0f"));
            strays += match.captured(3).endsWith(QLatin1String("stray"));
            continue;
        }
        probed.insert(match.captured(2).toInt());
        sentAt << QDateTime::fromString(match.captured(1), Qt::ISODateWithMs).toMSecsSinceEpoch();
    }
    QCOMPARE(sentAt.size(), 253);
    QCOMPARE(probed.size(), 253);
    QVERIFY(!probed.contains(0) && !probed.contains(1) && !probed.contains(255));
    QCOMPARE(answers, answering);
    QCOMPARE(strays, 1);
    // Under 2,000 a second, even with the first twenty at once.
    QVERIFY2(sentAt.last() - sentAt.first() >= 100,
             qPrintable(QStringLiteral("253 probes in %1 ms").arg(sentAt.last() - sentAt.first())));
}

PRIVATE_NETWORK_TEST_MAIN(tst_Cli)

#include "tst_cli.moc"
