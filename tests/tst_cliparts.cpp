// The command-line program's parts that a run on loopback cannot show: the
// adapter chosen among adapters this machine does not have, the time left
// over several images, the progress lines redrawn on a terminal of a given
// height, a device silent for longer than a test should wait, and how each
// device's end is told.

#include "adapterchoice.h"
#include "textreport.h"
#include "transfermeter.h"

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

} // namespace

namespace {

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

// Standard output or error: what went to it alone, and to the terminal both share.
class Channel : public QIODevice
{
public:
    explicit Channel(QString *shared)
        : _shared(shared)
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
        *_shared += text;
        return size;
    }

private:
    QString *_shared;
};

// Standard output and error on one terminal, as a person sees them.
struct Terminal {
    QString both;
    Channel outChannel{&both};
    Channel errChannel{&both};
    QTextStream out{&outChannel};
    QTextStream err{&errChannel};
    Screen screen;

    QStringList step()
    {
        out.flush();
        err.flush();
        screen.feed(both);
        both.clear();
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
};

void tst_CliParts::adapterChoice_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<QStringList>("devices");
    QTest::addColumn<QString>("chosen");  // "name address", or empty for a refusal
    QTest::addColumn<QString>("said");

    const QStringList workshop{QStringLiteral("lo 127.0.0.1/8"), QStringLiteral("eth0 198.51.100.5/24"),
                               QStringLiteral("eth1 100.64.0.1/16")};
    QTest::newRow("devices on loopback") << workshop << QString() << QStringList{"127.0.0.2", "127.0.0.9"}
                                         << "lo 127.0.0.1" << QString();
    QTest::newRow("devices on the LAN") << workshop << QString() << QStringList{"198.51.100.20", "198.51.100.21"}
                                        << "eth0 198.51.100.5" << QString();
    QTest::newRow("devices on two subnets")
        << workshop << QString() << QStringList{"198.51.100.20", "100.64.3.4"} << QString()
        << "No adapter has a subnet holding every device: choose one with --adapter.\nAdapters:\n"
           "  lo  127.0.0.1/8\n  eth0  198.51.100.5/24\n  eth1  100.64.0.1/16";
    QTest::newRow("two adapters on one subnet")
        << QStringList{"eth0 198.51.100.5/24", "wlan0 198.51.100.6/24"} << QString() << QStringList{"198.51.100.20"}
        << QString() << "More than one adapter has a subnet holding every device";
    QTest::newRow("named, device behind a router") << workshop << "eth1" << QStringList{"192.0.2.9"}
                                                   << "eth1 100.64.0.1" << QString();
    QTest::newRow("by address") << workshop << "198.51.100.5" << QStringList{"127.0.0.2"} << "eth0 198.51.100.5"
                                << QString();
    QTest::newRow("named, two addresses, one holds the devices")
        << QStringList{"eth0 198.51.100.5/24", "eth0 100.64.0.5/10"} << "eth0" << QStringList{"100.100.2.3"}
        << "eth0 100.64.0.5" << QString();
    QTest::newRow("named, two addresses, neither holds the devices")
        << QStringList{"eth0 198.51.100.5/24", "eth0 100.64.0.5/10"} << "eth0" << QStringList{"192.0.2.9"}
        << QString() << "No address of eth0 has a subnet holding every device";
    QTest::newRow("no such name") << workshop << "eth9" << QStringList{"198.51.100.20"} << QString()
                                  << "No adapter named eth9 is up with an IPv4 address.\nAdapters:\n  lo  127.0.0.1/8";
    QTest::newRow("no adapter has the address") << workshop << "198.51.100.99" << QStringList{"198.51.100.20"}
                                                << QString() << "No adapter has the address 198.51.100.99.";
    QTest::newRow("no adapter at all") << QStringList{} << QString() << QStringList{"127.0.0.2"} << QString()
                                       << "No adapter is up with an IPv4 address.";
}

void tst_CliParts::adapterChoice()
{
    QFETCH(QStringList, present);
    QFETCH(QString, wanted);
    QFETCH(QStringList, devices);
    QFETCH(QString, chosen);
    QFETCH(QString, said);

    const AdapterChoice choice = AdapterChoice::choose(adapters(present), wanted, addresses(devices));
    if (chosen.isEmpty()) {
        QVERIFY(!choice.ok());
        QVERIFY2(choice.error.contains(said), qPrintable(choice.error));
        return;
    }
    QVERIFY2(choice.ok(), qPrintable(choice.error));
    QCOMPARE(choice.adapter->name + QLatin1Char(' ') + choice.adapter->entry.ip().toString(), chosen);
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
    Screen &screen = terminal.screen;
    const auto step = [&] { return terminal.step(); };
    const QHostAddress first(QStringLiteral("127.0.0.2"));
    const QHostAddress second(QStringLiteral("127.0.0.3"));

    report.images({{1, QStringLiteral("/u/file1.varnelfmw"), 14000, 0xdeadbeef}});
    report.connected(first);
    report.progress(first, 1, 1, 10);
    QStringList shown = step();
    QCOMPARE(shown.size(), 3);
    QCOMPARE(shown[0], QStringLiteral("image 1/3: /u/file1.varnelfmw, 14000 bytes, checksum deadbeef"));
    QCOMPARE(shown[1], QStringLiteral("127.0.0.2: connected"));
    QCOMPARE(shown[2], QStringLiteral("127.0.0.2: image 1/3  10%  --- KiB/s  --:-- left"));

    // A second device gets a line of its own under the first.
    report.connected(second);
    report.progress(second, 1, 2, 10);
    shown = step();
    QCOMPARE(shown.size(), 5);
    QCOMPARE(shown[2], QStringLiteral("127.0.0.3: connected"));
    QVERIFY(shown[3].startsWith(QStringLiteral("127.0.0.2: image 1/3  10%")));
    QVERIFY(shown[4].startsWith(QStringLiteral("127.0.0.3: image 1/3  20%")));

    // Events go above the block, which stays whole under them.
    report.imageDone(first, imageResult(1));
    shown = step();
    QCOMPARE(shown.size(), 6);
    QCOMPARE(shown[3], QStringLiteral("127.0.0.2: image 1/3 sent"));
    QVERIFY(shown[4].startsWith(QStringLiteral("127.0.0.2: image 1/3")));
    QVERIFY(shown[5].startsWith(QStringLiteral("127.0.0.3: image 1/3")));

    // A device that ends leaves the block; its end stays above.
    OperationResult failed;
    failed.operation = OperationResult::Operation::Image;
    failed.outcome = OperationResult::Outcome::NoAnswer;
    failed.fileNumber = 1;
    report.deviceDone(second, failed, 0, FleetUpdate::Erasure::Yes, QStringLiteral("No answer at block 3 of 10."));
    shown = step();
    QCOMPARE(shown.size(), 6);
    QCOMPARE(shown[4], QStringLiteral("127.0.0.3: FAILED at image 1/3: No answer at block 3 of 10."));
    QVERIFY(shown[5].startsWith(QStringLiteral("127.0.0.2: image 1/3")));
    // A failure goes to standard error, drawn between the block's erasure and its redraw.
    QCOMPARE(terminal.errChannel.written,
             QStringLiteral("127.0.0.3: FAILED at image 1/3: No answer at block 3 of 10.\n"));

    OperationResult success;
    success.outcome = OperationResult::Outcome::Success;
    report.deviceDone(first, success, 3, FleetUpdate::Erasure::Yes, QString());
    CliReport::Summary summary;
    summary.succeeded = {first};
    summary.failed = {second};
    summary.exitCode = 1;
    report.summary(summary);
    shown = step();
    QCOMPARE(shown.mid(5), QStringList({QStringLiteral("127.0.0.2: done"),
                                        QStringLiteral("1 of 2 devices done. Failed: 127.0.0.3.")}));
    QCOMPARE(screen.row, shown.size());
    QVERIFY(!terminal.outChannel.written.contains(QStringLiteral("FAILED")));
}

void tst_CliParts::progressBlock_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("devices");
    QTest::addColumn<int>("firstWaitedMs");  // below 0: waiting for nothing
    QTest::addColumn<QStringList>("block");

    const QString fresh = QStringLiteral("127.0.0.%1: image 1/3  10%  --- KiB/s  --:-- left");
    QTest::newRow("silent 12 s of 30") << 24 << 2 << 12000
                                       << QStringList{QStringLiteral("127.0.0.2: image 1/3  10%  waiting 0:12 of 0:30"),
                                                      fresh.arg(3)};
    QTest::newRow("silent not quite 3 s") << 24 << 2 << 2999 << QStringList{fresh.arg(2), fresh.arg(3)};
    QTest::newRow("fits the terminal") << 5 << 3 << -1 << QStringList{fresh.arg(2), fresh.arg(3), fresh.arg(4)};
    QTest::newRow("taller than the terminal")
        << 5 << 10 << -1
        << QStringList{fresh.arg(2), fresh.arg(3), fresh.arg(4), QStringLiteral("and 7 more in transfer")};
    QTest::newRow("a terminal of one row") << 1 << 3 << -1 << QStringList{QStringLiteral("3 devices in transfer")};
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
    QString output;
    QString errors;
    QTextStream out(&output);
    QTextStream err(&errors);
    TextReport report(out, err, false, FleetUpdate::Mode::SendOne);
    const QHostAddress first(QStringLiteral("127.0.0.2"));
    const QHostAddress second(QStringLiteral("127.0.0.3"));

    // Within a second: one line per device, however many reports.
    for (quint32 done = 1; done <= 5; ++done) {
        report.progress(first, 2, done, 100);
        report.progress(second, 2, done, 100);
    }
    QCOMPARE(output.count(QLatin1Char('\n')), 2);
    QVERIFY(output.startsWith(QStringLiteral("127.0.0.2: image 2   1%")));
    QVERIFY(!output.contains(QLatin1Char('\x1b')));
    // Events are never held back.
    report.imageDone(first, imageResult(2));
    QVERIFY(output.endsWith(QStringLiteral("127.0.0.2: image 2 sent\n")));
}

void tst_CliParts::deviceEnd_data()
{
    QTest::addColumn<FleetUpdate::Mode>("mode");
    QTest::addColumn<OperationResult::Operation>("operation");
    QTest::addColumn<int>("fileNumber");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<OperationResult::Outcome>("outcome");
    QTest::addColumn<FleetUpdate::Erasure>("erasure");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");

    using Op = OperationResult::Operation;
    using Outcome = OperationResult::Outcome;
    using Erasure = FleetUpdate::Erasure;
    const auto update = FleetUpdate::Mode::Update;
    QTest::newRow("done") << update << Op::Image << 3 << true << Outcome::Success << Erasure::Yes
                          << "127.0.0.2: done" << QString();
    QTest::newRow("failed in image 2") << update << Op::Image << 2 << true << Outcome::NoAnswer << Erasure::Yes
                                       << QString() << "127.0.0.2: FAILED at image 2/3: the reason";
    QTest::newRow("stopped in image 2") << update << Op::Image << 2 << true << Outcome::Aborted << Erasure::Yes
                                        << QString() << "127.0.0.2: aborted at image 2/3 (erased)";
    QTest::newRow("stopped awaiting the erase") << update << Op::Erase << 0 << true << Outcome::Aborted
                                                << Erasure::Possibly << QString()
                                                << "127.0.0.2: aborted at the erase (possibly erased)";
    QTest::newRow("stopped between the erase and image 1")
        << update << Op::Connect << 0 << false << Outcome::Aborted << Erasure::Yes << QString()
        << "127.0.0.2: aborted before image 1/3 (erased)";
    QTest::newRow("stopped awaiting the connect") << update << Op::Connect << 0 << true << Outcome::Aborted
                                                  << Erasure::No << QString()
                                                  << "127.0.0.2: aborted at connect (not erased)";
    QTest::newRow("stopped before it started") << update << Op::Connect << 0 << false << Outcome::Aborted
                                               << Erasure::No << QString()
                                               << "127.0.0.2: aborted before it started (not erased)";
    QTest::newRow("one image, stopped in it") << FleetUpdate::Mode::SendOne << Op::Image << 2 << true
                                              << Outcome::Aborted << Erasure::No << QString()
                                              << "127.0.0.2: aborted at image 2 (not erased)";
}

void tst_CliParts::deviceEnd()
{
    QFETCH(FleetUpdate::Mode, mode);
    QFETCH(OperationResult::Operation, operation);
    QFETCH(int, fileNumber);
    QFETCH(bool, sent);
    QFETCH(OperationResult::Outcome, outcome);
    QFETCH(FleetUpdate::Erasure, erasure);
    QFETCH(QString, out);
    QFETCH(QString, err);

    Terminal streams;
    TextReport report(streams.out, streams.err, false, mode);
    OperationResult result;
    result.operation = operation;
    result.fileNumber = fileNumber;
    result.sent = sent;
    result.outcome = outcome;
    report.deviceDone(deviceAt(0), result, qMax(0, fileNumber - 1), erasure,
                      result.ok() ? QString() : QStringLiteral("the reason"));
    streams.step();
    // Results on standard output, failures on standard error, for a script to tell apart.
    QCOMPARE(streams.outChannel.written, out.isEmpty() ? QString() : out + QLatin1Char('\n'));
    QCOMPARE(streams.errChannel.written, err.isEmpty() ? QString() : err + QLatin1Char('\n'));
}

QTEST_GUILESS_MAIN(tst_CliParts)

#include "tst_cliparts.moc"
