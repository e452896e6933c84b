// The command-line program's parts that a run on loopback cannot show: the
// adapter chosen among adapters this machine does not have, the time left
// over several images, the progress lines redrawn on a terminal of a given
// height, a device silent for longer than a test should wait, and how each
// device's end is told.

#include "adapterchoice.h"
#include "runrecord.h"
#include "textreport.h"
#include "transfermeter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QtTest>

#include <chrono>

namespace {

// An image that went out whole.
OperationResult imageResult(int fileNumber)
{
    OperationResult result;
    result.outcome = OperationResult::Outcome::Success;
    result.fileNumber = fileNumber;
    return result;
}

// "name address/prefix" each.
QList<NetworkAdapter> adapters(const QStringList &described)
{
    QList<NetworkAdapter> list;
    for (const QString &text : described) {
        const QStringList parts = text.split(QLatin1Char(' '));
        const QStringList address = parts.value(1).split(QLatin1Char('/'));
        QNetworkAddressEntry entry;
        entry.setIp(QHostAddress(address.value(0)));
        entry.setPrefixLength(address.value(1).toInt());
        list.append({parts.value(0), entry});
    }
    return list;
}

QList<QHostAddress> addresses(const QStringList &typed)
{
    QList<QHostAddress> list;
    for (const QString &text : typed)
        list.append(QHostAddress(text));
    return list;
}

// Just enough of a terminal for the progress block: text, newline (as the
// tty turns it into CR LF), carriage return, cursor up, erase below.
struct Screen {
    QStringList lines{QString()};
    int row = 0;
    int column = 0;

    void feed(const QString &output)
    {
        for (int i = 0; i < output.size(); ++i) {
            const QChar c = output[i];
            if (c == QLatin1Char('\n')) {
                ++row;
                column = 0;
                while (lines.size() <= row)
                    lines.append(QString());
            } else if (c == QLatin1Char('\r')) {
                column = 0;
            } else if (c == QLatin1Char('\x1b')) {
                int end = i + 2;
                while (end < output.size() && output[end].isDigit())
                    ++end;
                const int count = output.mid(i + 2, end - i - 2).toInt();
                if (output.at(end) == QLatin1Char('A'))
                    row = qMax(0, row - qMax(1, count));
                else if (output.at(end) == QLatin1Char('J')) {
                    lines[row].truncate(column);
                    while (lines.size() > row + 1)
                        lines.removeLast();
                } else
                    QTest::qFail(qPrintable(QStringLiteral("unknown sequence at %1").arg(i)), __FILE__, __LINE__);
                i = end;
            } else {
                QString &line = lines[row];
                if (line.size() <= column)
                    line.resize(column, QLatin1Char(' '));
                line.replace(column, 1, c);
                ++column;
            }
        }
    }
    // What the user sees, without the empty line the cursor waits on.
    QStringList shown() const
    {
        QStringList seen = lines;
        while (!seen.isEmpty() && seen.last().isEmpty())
            seen.removeLast();
        return seen;
    }
};

// Standard output or error: what went to it alone, and to the screen both share.
class Channel : public QIODevice
{
public:
    explicit Channel(Screen *screen)
        : _screen(screen)
    {
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    QString written;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        const QString text = QString::fromUtf8(data, size);
        written += text;
        _screen->feed(text);
        return size;
    }

private:
    Screen *_screen;
};

// Standard output and error on one terminal, as a person sees them.
struct Terminal {
    Screen screen;
    Channel outChannel{&screen};
    Channel errChannel{&screen};
    QTextStream out{&outChannel};
    QTextStream err{&errChannel};

    QStringList step()
    {
        out.flush();
        err.flush();
        return screen.shown();
    }
};

QHostAddress deviceAt(int n)
{
    return QHostAddress(QStringLiteral("127.0.0.%1").arg(n + 2));
}

} // namespace

class tst_CliParts : public QObject
{
    Q_OBJECT

private slots:
    void adapterChoice_data();
    void adapterChoice();
    void timeLeftOverSeveralImages();
    void progressRedrawnInPlaceOnATerminal();
    void progressBlock_data();
    void progressBlock();
    void progressPacedElsewhere();
    void deviceEnd_data();
    void deviceEnd();
    void reportFormat_data();
    void reportFormat();
    void runRecordWritten();
};

void tst_CliParts::adapterChoice_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QString>("chosen");  // "name address", or what the refusal says

    const QStringList workshop{"lo 127.0.0.1/8", "eth0 198.51.100.5/24", "eth1 100.64.0.1/16"};
    QTest::newRow("devices on loopback") << workshop << QString() << QStringList{"127.0.0.2", "127.0.0.9"}
                                         << "lo 127.0.0.1";
    QTest::newRow("devices on the LAN") << workshop << QString() << QStringList{"198.51.100.20", "198.51.100.21"}
                                        << "eth0 198.51.100.5";
    QTest::newRow("devices on two subnets")
        << workshop << QString() << QStringList{"198.51.100.20", "100.64.3.4"}
        << "No adapter has a subnet holding every device: choose one with --adapter.\nAdapters:\n"
           "  lo  127.0.0.1/8\n  eth0  198.51.100.5/24\n  eth1  100.64.0.1/16";
    QTest::newRow("two adapters on one subnet")
        << QStringList{"eth0 198.51.100.5/24", "wlan0 198.51.100.6/24"} << QString() << QStringList{"198.51.100.20"}
        << "More than one adapter has a subnet holding every device";
    QTest::newRow("named, device behind a router") << workshop << "eth1" << QStringList{"192.0.2.9"}
                                                   << "eth1 100.64.0.1";
    QTest::newRow("by address") << workshop << "198.51.100.5" << QStringList{"127.0.0.2"} << "eth0 198.51.100.5";
    QTest::newRow("named, two addresses, one holds the devices")
        << QStringList{"eth0 198.51.100.5/24", "eth0 100.64.0.5/10"} << "eth0" << QStringList{"100.100.2.3"}
        << "eth0 100.64.0.5";
    QTest::newRow("named, two addresses, neither holds the devices")
        << QStringList{"eth0 198.51.100.5/24", "eth0 100.64.0.5/10"} << "eth0" << QStringList{"192.0.2.9"}
        << "No address of eth0 has a subnet holding every device";
    QTest::newRow("no such name") << workshop << "eth9" << QStringList{"198.51.100.20"}
                                  << "No adapter named eth9 is up with an IPv4 address.\nAdapters:\n  lo  127.0.0.1/8";
    QTest::newRow("no adapter has the address") << workshop << "198.51.100.99" << QStringList{"198.51.100.20"}
                                                << "No adapter has the address 198.51.100.99.";
    QTest::newRow("no adapter at all") << QStringList{} << QString() << QStringList{"127.0.0.2"}
                                       << "No adapter is up with an IPv4 address.";
    // A scan has no device yet.
    QTest::newRow("scan, one adapter but loopback") << QStringList{"lo 127.0.0.1/8", "eth0 198.51.100.5/24"}
                                                    << QString() << QStringList{} << "eth0 198.51.100.5";
    QTest::newRow("scan, two adapters") << workshop << QString() << QStringList{}
                                        << "More than one adapter is up with an IPv4 address: choose one with "
                                           "--adapter ADDRESS.\nAdapters:\n  lo  127.0.0.1/8";
    QTest::newRow("scan, loopback only") << QStringList{"lo 127.0.0.1/8"} << QString() << QStringList{}
                                         << "No adapter other than loopback is up";
    QTest::newRow("scan, loopback asked for") << workshop << "lo" << QStringList{} << "lo 127.0.0.1";
    QTest::newRow("scan, a name with two addresses")
        << QStringList{"eth0 198.51.100.5/24", "eth0 100.64.0.5/10"} << "eth0" << QStringList{}
        << "eth0 has more than one IPv4 address";
}

void tst_CliParts::adapterChoice()
{
    QFETCH(QStringList, present);
    QFETCH(QString, wanted);
    QFETCH(QStringList, devices);
    QFETCH(QString, chosen);

    const AdapterChoice choice = AdapterChoice::choose(adapters(present), wanted, addresses(devices));
    const QString got = choice.ok() ? choice.adapter->name + QLatin1Char(' ') + choice.adapter->entry.ip().toString()
                                    : choice.error;
    QVERIFY2(choice.ok() ? got == chosen : got.contains(chosen), qPrintable(got));
}

void tst_CliParts::timeLeftOverSeveralImages()
{
    // Blocks of images 1, 2 and 3, sent in that order.
    TransferMeter meter({{1, 100}, {2, 50}, {3, 10}});
    meter.update(1, 10, 100, 5000);
    QCOMPARE(meter.percent(), 10);
    QVERIFY(meter.bytesPerSecond() < 0);
    QVERIFY(meter.secondsLeft() < 0);
    // Too soon to tell a rate.
    meter.update(1, 20, 100, 5400);
    QVERIFY(meter.bytesPerSecond() < 0);

    // 50 blocks in a second; 40 of image 1 left, and 60 of images 2 and 3.
    meter.update(1, 60, 100, 6000);
    QCOMPARE(meter.bytesPerSecond(), 50.0 * 1400);
    QCOMPARE(meter.secondsLeft(), 2);

    // Into image 2: its blocks count on from image 1's 100.
    meter.update(2, 40, 50, 7000);
    QCOMPARE(meter.image(), 2);
    QCOMPARE(meter.percent(), 80);
    QCOMPARE(meter.bytesPerSecond(), 65.0 * 1400);  // 130 blocks in 2 s
    QCOMPARE(meter.secondsLeft(), 1);               // 20 blocks at 65 a second

    // One image sent on its own, under its number.
    TransferMeter one({{2, 30}});
    one.update(2, 5, 30, 0);
    one.update(2, 15, 30, 2000);
    QCOMPARE(one.bytesPerSecond(), 5.0 * 1400);
    QCOMPARE(one.secondsLeft(), 3);

    QCOMPARE(TextReport::durationText(3725), QStringLiteral("1:02:05"));
    QCOMPARE(TextReport::durationText(65), QStringLiteral("1:05"));
    QCOMPARE(TextReport::rateText(2.5 * 1024 * 1024), QStringLiteral("2.5 MiB/s"));
    QCOMPARE(TextReport::rateText(70000), QStringLiteral("68 KiB/s"));
}

void tst_CliParts::progressRedrawnInPlaceOnATerminal()
{
    Terminal terminal;
    TextReport report(terminal.out, terminal.err, true, FleetUpdate::Mode::Update);
    // Within a second of the first report: too soon for a rate.
    const auto line = [](int device, int percent) {
        return QStringLiteral("127.0.0.%1: image 1/3 %2%  --- KiB/s  --:-- left").arg(device + 2).arg(percent, 3);
    };
    report.images({{1, QStringLiteral("/u/file1.varnelfmw"), 14000, 0xdeadbeef}});
    report.connected(deviceAt(0));
    report.progress(deviceAt(0), 1, 1, 10);
    QStringList above{"image 1/3: /u/file1.varnelfmw, 14000 bytes, checksum deadbeef", "127.0.0.2: connected"};
    QCOMPARE(terminal.step(), above + QStringList({line(0, 10)}));

    // A second device gets a line of its own under the first.
    report.connected(deviceAt(1));
    report.progress(deviceAt(1), 1, 2, 10);
    above << "127.0.0.3: connected";
    QCOMPARE(terminal.step(), above + QStringList({line(0, 10), line(1, 20)}));

    // Events go above the block, which stays whole under them.
    report.imageDone(deviceAt(0), imageResult(1));
    above << "127.0.0.2: image 1/3 sent";
    QCOMPARE(terminal.step(), above + QStringList({line(0, 10), line(1, 20)}));

    // A device that ends leaves the block; its end stays above, and a
    // failure goes to standard error, between the block's erasure and its redraw.
    OperationResult failed;
    failed.operation = OperationResult::Operation::Image;
    failed.outcome = OperationResult::Outcome::NoAnswer;
    failed.fileNumber = 1;
    report.deviceDone(deviceAt(1), failed, 0, FleetUpdate::Erasure::Yes, QStringLiteral("No answer at block 3 of 10."), 1);
    above << "127.0.0.3: FAILED at image 1/3: No answer at block 3 of 10.";
    QCOMPARE(terminal.step(), above + QStringList({line(0, 10)}));
    QCOMPARE(terminal.errChannel.written, above.last() + QLatin1Char('\n'));

    report.deviceDone(deviceAt(0), imageResult(3), 3, FleetUpdate::Erasure::Yes, QString(), 1);
    CliReport::Summary summary;
    summary.succeeded = {deviceAt(0)};
    summary.failed = {deviceAt(1)};
    summary.exitCode = 1;
    report.summary(summary);
    above << "127.0.0.2: done" << "1 of 2 devices done. Failed: 127.0.0.3.";
    QCOMPARE(terminal.step(), above);
    QCOMPARE(terminal.screen.row, above.size());
}

void tst_CliParts::progressBlock_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("devices");
    QTest::addColumn<int>("firstWaitedMs");  // below 0: waiting for nothing
    QTest::addColumn<QStringList>("block");

    const QString fresh = QStringLiteral("127.0.0.%1: image 1/3  10%  --- KiB/s  --:-- left");
    QTest::newRow("silent 12 s of 30") << 24 << 2 << 12000
                                       << QStringList{"127.0.0.2: image 1/3  10%  waiting 0:12 of 0:30", fresh.arg(3)};
    QTest::newRow("silent not quite 3 s") << 24 << 2 << 2999 << QStringList{fresh.arg(2), fresh.arg(3)};
    QTest::newRow("fits the terminal") << 5 << 3 << -1 << QStringList{fresh.arg(2), fresh.arg(3), fresh.arg(4)};
    QTest::newRow("taller than the terminal")
        << 5 << 10 << -1 << QStringList{fresh.arg(2), fresh.arg(3), fresh.arg(4), "and 7 more in transfer"};
    QTest::newRow("a terminal of one row") << 1 << 3 << -1 << QStringList{"3 devices in transfer"};
}

void tst_CliParts::progressBlock()
{
    QFETCH(int, rows);
    QFETCH(int, devices);
    QFETCH(int, firstWaitedMs);
    QFETCH(QStringList, block);

    Terminal terminal;
    TextReport report(terminal.out, terminal.err, true, FleetUpdate::Mode::Update);
    report.setTerminalRows([rows] { return rows; });
    report.setWaits([&](const QHostAddress &device) -> std::optional<FleetUpdate::Wait> {
        if (firstWaitedMs < 0 || device != deviceAt(0))
            return std::nullopt;
        return FleetUpdate::Wait{std::chrono::milliseconds(firstWaitedMs), std::chrono::seconds(30)};
    });
    for (int i = 0; i < devices; ++i)
        report.progress(deviceAt(i), 1, 1, 10);
    // Redrawn with nothing new from the devices: the wait goes on all the same.
    report.refresh();
    QStringList shown = terminal.step();
    QCOMPARE(shown, block);
    QCOMPARE(terminal.screen.row, shown.size());

    // An event above it leaves it whole, and still within the terminal.
    report.connected(deviceAt(devices));
    shown = terminal.step();
    QCOMPARE(shown.mid(1), block);
}

void tst_CliParts::progressPacedElsewhere()
{
    Terminal streams;
    TextReport report(streams.out, streams.err, false, FleetUpdate::Mode::SendOne);
    // Within a second: one plain line per device, however many reports.
    for (quint32 done = 1; done <= 5; ++done) {
        report.progress(deviceAt(0), 2, done, 100);
        report.progress(deviceAt(1), 2, done, 100);
    }
    // Events are never held back.
    report.imageDone(deviceAt(0), imageResult(2));
    const QString fresh = QStringLiteral("127.0.0.%1: image 2   1%  --- KiB/s  --:-- left");
    QCOMPARE(streams.step(), QStringList({fresh.arg(2), fresh.arg(3), "127.0.0.2: image 2 sent"}));
}

void tst_CliParts::deviceEnd_data()
{
    QTest::addColumn<FleetUpdate::Mode>("mode");
    QTest::addColumn<OperationResult::Operation>("operation");
    QTest::addColumn<int>("fileNumber");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<OperationResult::Outcome>("outcome");
    QTest::addColumn<FleetUpdate::Erasure>("erasure");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<QString>("said");

    using Op = OperationResult::Operation;
    using Outcome = OperationResult::Outcome;
    using Erasure = FleetUpdate::Erasure;
    const auto update = FleetUpdate::Mode::Update;
    QTest::newRow("done") << update << Op::Image << 3 << true << Outcome::Success << Erasure::Yes << 1 << "127.0.0.2: done";
    QTest::newRow("failed in image 2") << update << Op::Image << 2 << true << Outcome::NoAnswer << Erasure::Yes
                                       << 1 << "127.0.0.2: FAILED at image 2/3: the reason";
    QTest::newRow("stopped in image 2") << update << Op::Image << 2 << true << Outcome::Aborted << Erasure::Yes
                                        << 1 << "127.0.0.2: aborted at image 2/3 (erased)";
    QTest::newRow("stopped awaiting the erase") << update << Op::Erase << 0 << true << Outcome::Aborted
                                                << Erasure::Possibly
                                                << 1 << "127.0.0.2: aborted at the erase (possibly erased)";
    QTest::newRow("stopped between the erase and image 1")
        << update << Op::Connect << 0 << false << Outcome::Aborted << Erasure::Yes
        << 1 << "127.0.0.2: aborted before image 1/3 (erased)";
    QTest::newRow("stopped awaiting the connect") << update << Op::Connect << 0 << true << Outcome::Aborted
                                                  << Erasure::No << 1 << "127.0.0.2: aborted at connect (not erased)";
    QTest::newRow("stopped before it started") << update << Op::Connect << 0 << false << Outcome::Aborted
                                               << Erasure::No << 1 << "127.0.0.2: aborted before it started (not erased)";
    QTest::newRow("one image, stopped in it") << FleetUpdate::Mode::SendOne << Op::Image << 2 << true
                                              << Outcome::Aborted << Erasure::No
                                              << 1 << "127.0.0.2: aborted at image 2 (not erased)";
    QTest::newRow("done on the second attempt") << update << Op::Image << 3 << true << Outcome::Success << Erasure::Yes
                                                << 2 << "127.0.0.2: done, attempt 2";
    // The last attempt erased nothing; the one before did.
    QTest::newRow("failed at connect, erased before") << update << Op::Connect << 0 << true << Outcome::NoAnswer
                                                      << Erasure::Yes << 3
                                                      << "127.0.0.2: FAILED at connect: the reason (3 attempts, erased)";
}

void tst_CliParts::deviceEnd()
{
    QFETCH(FleetUpdate::Mode, mode);
    QFETCH(OperationResult::Operation, operation);
    QFETCH(int, fileNumber);
    QFETCH(bool, sent);
    QFETCH(OperationResult::Outcome, outcome);
    QFETCH(FleetUpdate::Erasure, erasure);
    QFETCH(int, attempts);
    QFETCH(QString, said);

    Terminal streams;
    TextReport report(streams.out, streams.err, false, mode);
    OperationResult result;
    result.operation = operation;
    result.fileNumber = fileNumber;
    result.sent = sent;
    result.outcome = outcome;
    report.deviceDone(deviceAt(0), result, qMax(0, fileNumber - 1), erasure,
                      result.ok() ? QString() : QStringLiteral("the reason"), attempts);
    streams.step();
    // Results on standard output, the rest on standard error, for a script to tell apart.
    const bool done = outcome == OperationResult::Outcome::Success;
    QCOMPARE(done ? streams.outChannel.written : streams.errChannel.written, said + QLatin1Char('\n'));
    QCOMPARE(done ? streams.errChannel.written : streams.outChannel.written, QString());
}

void tst_CliParts::reportFormat_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<RunRecord::Format>("format");
    QTest::newRow("json") << "/r/run.json" << RunRecord::Format::Json;
    QTest::newRow("CSV in capitals") << "run.CSV" << RunRecord::Format::Csv;
    QTest::newRow("csv before another extension") << "run.csv.txt" << RunRecord::Format::Unknown;
    QTest::newRow("none") << "run" << RunRecord::Format::Unknown;
    QTest::newRow("a folder named .json") << "/r.json/run" << RunRecord::Format::Unknown;
}

void tst_CliParts::reportFormat()
{
    QFETCH(QString, path);
    QFETCH(RunRecord::Format, format);
    QCOMPARE(int(RunRecord::formatOf(path)), int(format));
}

void tst_CliParts::runRecordWritten()
{
    const auto at = [](int minute, int second, int ms) {
        return QDateTime(QDate(2026, 12, 8), QTime(14, minute, second, ms), Qt::UTC);
    };
    RunRecord record;
    record.program = QStringLiteral("prog");
    record.version = QStringLiteral("9.9");
    record.adapterName = QStringLiteral("lo");
    record.adapterAddress = QHostAddress(QStringLiteral("127.0.0.1"));
    record.images = {{1, QStringLiteral("file1.varnelfmw"), 14000, 0xdeadbeef}};
    record.startedAt = at(3, 5, 0);
    record.endedAt = at(5, 0, 0);
    using Outcome = OperationResult::Outcome;
    using Erasure = FleetUpdate::Erasure;
    const QString reason = QStringLiteral("No answer, \"really\"\r\nat block 3 of 10.");
    record.devices = {
        {QHostAddress(QStringLiteral("127.0.0.2")), at(3, 5, 120), at(4, 0, 0), Outcome::Success, {}, 1, Erasure::Yes},
        {QHostAddress(QStringLiteral("127.0.0.3")), at(3, 5, 121), at(4, 1, 5), Outcome::NoAnswer, reason, 2,
         Erasure::Possibly},
        {QHostAddress(QStringLiteral("127.0.0.4")), {}, {}, Outcome::Aborted, QStringLiteral("Aborted."), 0, Erasure::No},
    };

    // Quoted where a comma, quote or line end is, quotes doubled, CRLF after each row.
    const QByteArray run = ",prog,9.9,lo,127.0.0.1,2026-12-08T14:03:05.000Z,2026-12-08T14:05:00.000Z,"
                           "file1.varnelfmw,14000,deadbeef\r\n";
    QCOMPARE(record.toCsv(),
             "device,start,end,outcome,reason,attempts,erased,program,version,adapter,adapter address,run start,"
             "run end,image 1,image 1 size,image 1 checksum\r\n"
             "127.0.0.2,2026-12-08T14:03:05.120Z,2026-12-08T14:04:00.000Z,Success,,1,yes" + run +
             "127.0.0.3,2026-12-08T14:03:05.121Z,2026-12-08T14:04:01.005Z,NoAnswer,"
             "\"No answer, \"\"really\"\"\r\nat block 3 of 10.\",2,possibly" + run +
             "127.0.0.4,,,Aborted,Aborted.,0,no" + run);

    QJsonParseError error;
    const QJsonObject json = QJsonDocument::fromJson(record.toJson(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(json.value("adapterAddress").toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(json.value("start").toString(), QStringLiteral("2026-12-08T14:03:05.000Z"));
    QCOMPARE(json.value("images").toArray().at(0).toObject().value("checksum").toString(), QStringLiteral("deadbeef"));
    const QJsonArray devices = json.value("devices").toArray();
    QCOMPARE(devices.size(), 3);
    QCOMPARE(devices.at(1).toObject().value("reason").toString(), reason);
    QCOMPARE(devices.at(1).toObject().value("attempts").toInt(), 2);
    QCOMPARE(devices.at(1).toObject().value("erased").toString(), QStringLiteral("possibly"));
    QVERIFY(devices.at(2).toObject().value("start").isNull());
    QCOMPARE(devices.at(2).toObject().value("outcome").toString(), QStringLiteral("Aborted"));
}

QTEST_GUILESS_MAIN(tst_CliParts)

#include "tst_cliparts.moc"
