// "Start Update" from the window to the simulated device and back: the
// prompts and bar values in order, the wire, the images as the device got
// them, a device that falls silent, an image gone after "Connect", and
// closing the window under a running transfer.

#include "mainwindow.h"
#include "privatenetwork.h"
#include "testsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include <functional>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(DeviceSim::Faults)

namespace {

using namespace testsupport;


const QString kConnected = QStringLiteral("Connected!\nReady to start the update.");
const QString kFilesFound = QStringLiteral("Files found!\nConnecting to device ...");
const QString kErasing = QStringLiteral("Erasing device ...\nDO NOT INTERRUPT POWER");
const QString kErased = QStringLiteral("Device Erased!\nGetting update files ready ...");
const QString kStarting = QStringLiteral("Device Erased! Starting file transfer ...\nDO NOT INTERRUPT POWER");
const QString kFile1 = QStringLiteral("Transfering file 1/3 ...\nDO NOT INTERRUPT POWER");
const QString kFile2 = QStringLiteral("Transfering file 2/3 ...\nDO NOT INTERRUPT POWER");
const QString kFile3 = QStringLiteral("Transfering file 3/3 ...\nDO NOT INTERRUPT POWER");
const QString kComplete = QStringLiteral("Update Complete!\nYou can now POWER CYCLE the device.");
const QString kNotUpdated = QStringLiteral("\nNot updated: keep power on, retry.");
const QString kNothingErased = QStringLiteral("\nNothing was erased.");



QString enabledButtons(const Form &f)
{
    QStringList names;
    for (QPushButton *button : f.deviceButtons()) {
        if (button->isEnabled())
            names << button->objectName();
    }
    return names.join(QLatin1Char(' '));
}

// Writes down every prompt text with the bar value it came with. QLabel has
// no change signal, so it samples whenever something could have changed:
// at each acknowledgement the link hands over (on the GUI thread, right after
// the link's own widget updates), at each progress report, at every event
// the label gets, and in every wait of the test.
class PromptRecorder : public QObject
{
public:
    struct Step {
        QString text;
        int bar;
        qint64 firstSeenMs;
        qint64 lastSeenMs;
    };

    PromptRecorder(MainWindow &window, const Form &form)
        : _form(form)
    {
        _form.userPrompt->installEventFilter(this);
        connect(window.link(), &udpUpdater::acknowledged, this, [this](message_types) {
            sample();
            ++acknowledgements;
            const QString enabled = enabledButtons(_form);
            if (!enabled.isEmpty())
                enabledDuringTask << enabled;
        });
        connect(window.link(), &udpUpdater::transferProgress, this, [this] { sample(); },
                Qt::QueuedConnection);
        _clock.start();
    }

    ~PromptRecorder() override { _form.userPrompt->removeEventFilter(this); }

    void sample()
    {
        const QString text = _form.userPrompt->text();
        const qint64 now = _clock.elapsed();
        if (steps.isEmpty() || steps.last().text != text)
            steps.append({text, _form.bar->value(), now, now});
        else
            steps.last().lastSeenMs = now;
        const QString format = _form.bar->format();
        if (formats.isEmpty() || formats.last() != format)
            formats.append(format);
    }

    bool waitFor(const std::function<bool()> &condition, int timeoutMs)
    {
        return QTest::qWaitFor([&] {
            sample();
            return condition();
        }, timeoutMs);
    }

    QStringList texts() const
    {
        QStringList result;
        for (const Step &step : steps)
            result << step.text;
        return result;
    }

    // How long the GUI thread was seen running while `text` showed.
    qint64 seenFor(const QString &text) const
    {
        for (const Step &step : steps) {
            if (step.text == text)
                return step.lastSeenMs - step.firstSeenMs;
        }
        return -1;
    }

    QList<int> bars() const
    {
        QList<int> result;
        for (const Step &step : steps)
            result << step.bar;
        return result;
    }

    QList<Step> steps;
    QStringList formats;
    QStringList enabledDuringTask;
    int acknowledgements = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == _form.userPrompt)
            sample();
        return QObject::eventFilter(watched, event);
    }

private:
    const Form &_form;
    QElapsedTimer _clock;
};

struct WriteBlock {
    int image;
    int status;
    int index;
};

// Image number, status and index byte of every write datagram; the erase as {-1, 0, 0}.
QList<WriteBlock> wireLayout(const QList<QByteArray> &wire)
{
    QList<WriteBlock> layout;
    for (const QByteArray &datagram : wire) {
        if (datagram == QByteArray::fromHex("a55af0"))
            layout.append({-1, 0, 0});
        else if (datagram.size() > 8 && datagram.startsWith(QByteArray::fromHex("a55aff")))
            layout.append({quint8(datagram[3]), quint8(datagram[4]), quint8(datagram[7])});
        else
            layout.append({-2, 0, 0});
    }
    return layout;
}

QString describe(const QList<WriteBlock> &layout)
{
    QStringList parts;
    for (const WriteBlock &b : layout)
        parts << QStringLiteral("%1/%2/%3").arg(b.image).arg(b.status).arg(b.index);
    return parts.join(QLatin1Char(' '));
}

} // namespace

class tst_GuidedUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void completeRunAndRepeat();
    void stopsWhereTheDeviceFails_data();
    void stopsWhereTheDeviceFails();
    void imageRemovedAfterConnect();
    void unfitImagesEraseNothing_data();
    void unfitImagesEraseNothing();
    void lateCopiesOfAnswers_data();
    void lateCopiesOfAnswers();
    void longWaitsAreShown();
    void closeDuringTransfer();

private:
    // "Connect" and wait for the device's answer.
    void connectToDevice(const Form &f);
};

void tst_GuidedUpdate::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
}

void tst_GuidedUpdate::init()
{
    QVERIFY2(QTest::qWaitFor(fixedPortsFree, kPortWaitMs),
             "ports 1235/1246 stayed busy: another suite is still running");
}

void tst_GuidedUpdate::connectToDevice(const Form &f)
{
    f.connectButton->click();
    QTRY_COMPARE_WITH_TIMEOUT(f.userPrompt->text(), kConnected, 8000);
    QVERIFY(f.startButton->isEnabled());
}

void tst_GuidedUpdate::completeRunAndRepeat()
{
    DeviceSim sim;
    QVERIFY2(startSim(sim), qPrintable(sim.errorString()));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 1401, 4200}));
    MainWindow &window = fx.window;
    const Form &f = fx.f;
    const QList<QByteArray> &images = fx.images;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // No "Start Update" before the device has answered this "Connect".
    sim.setSilent(true);
    fx.prepare();
    f.connectButton->click();
    QTRY_COMPARE_WITH_TIMEOUT(sim.receivedCount(), 1, 5000);
    QCOMPARE(f.userPrompt->text(), kFilesFound);
    QVERIFY(!f.startButton->isEnabled());
    sim.setSilent(false);
    connectToDevice(f);
    if (QTest::currentTestFailed())
        return;

    sim.clear();
    DeviceSim::Faults faults;
    faults.ackDelayMs = 20;
    sim.setFaults(faults);

    const QStringList expectedTexts{kErasing, kErased, kStarting, kFile1, kFile2, kFile3, kComplete};
    QList<QByteArray> firstWire;
    for (int run = 1; run <= 2; ++run) {
        PromptRecorder recorder(window, f);
        f.startButton->click();
        recorder.sample();
        QCOMPARE(f.userPrompt->text(), kErasing);
        QCOMPARE(enabledButtons(f), QString());

        QVERIFY2(recorder.waitFor([&] {
            return f.userPrompt->text() == kComplete || f.connectButton->isEnabled();
        }, 30000), qPrintable(f.userPrompt->text()));
        QCOMPARE(recorder.texts(), expectedTexts);
        QList<int> bars = recorder.bars();
        if (run == 1)
            QCOMPARE(bars.first(), 10);
        bars.removeFirst();
        QCOMPARE(bars, (QList<int>{30, 30, 30, 50, 70, 100}));
        QCOMPARE(f.bar->value(), 100);
        // The second before image 1 is a pause the window lives through.
        QVERIFY2(recorder.seenFor(kStarting) >= 700, qPrintable(QString::number(recorder.seenFor(kStarting))));

        // The bar told how far each image was while it went out; at the
        // first block nothing is timed yet, so no time left is made up.
        const QRegularExpression barText(QStringLiteral("^File ([123])/3: \\d{1,3}%(, \\d+:\\d\\d left)?$"));
        QStringList perImage;
        for (const QString &format : std::as_const(recorder.formats)) {
            const QRegularExpressionMatch match = barText.match(format);
            if (match.hasMatch() && !perImage.contains(match.captured(1)))
                perImage << match.captured(1);
        }
        QCOMPARE(perImage, (QStringList{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")}));
        QVERIFY2(recorder.formats.contains(QStringLiteral("File 1/3: 0%")),
                 qPrintable(recorder.formats.join(QStringLiteral(" | "))));
        QCOMPARE(f.bar->format(), QStringLiteral("%p%"));

        QVERIFY(recorder.acknowledgements >= 9);
        QVERIFY2(recorder.enabledDuringTask.isEmpty(), qPrintable(recorder.enabledDuringTask.join(QStringLiteral(", "))));
        QCOMPARE(enabledButtons(f), QStringLiteral("btn_initUpdate btn_startUpdate btn_erase btn_sendFile"));

        if (run == 1) {
            firstWire = sim.received();
            const QList<WriteBlock> layout = wireLayout(firstWire);
            const QString expected = QStringLiteral("-1/0/0 1/1/0 1/0/1 1/2/2 2/1/0 2/2/1 3/1/0 3/0/1 3/2/2");
            QCOMPARE(describe(layout), expected);

            const QList<DeviceSim::ImageReport> reports = sim.images();
            QCOMPARE(reports.size(), 3);
            for (int i = 0; i < 3; ++i) {
                QCOMPARE(reports[i].imageNumber, i + 1);
                QVERIFY2(reports[i].clean(), qPrintable(reports[i].errors.join(QStringLiteral("; "))));
                QVERIFY(reports[i].checksumPresent);
                QVERIFY(reports[i].checksumGood);
                QCOMPARE(reports[i].data, images[i]);
            }

            const QPixmap grab = window.grab();
            const QString path = outputPath(QStringLiteral("window-complete.png"));
            QVERIFY2(grab.save(path), qPrintable(path));
        } else {
            // Back at image 1: the second run is the first one again, from the erase.
            const QList<QByteArray> wire = sim.received();
            QCOMPARE(wire.size(), 2 * firstWire.size());
            QCOMPARE(wire.mid(firstWire.size()), firstWire);
            const QList<DeviceSim::ImageReport> reports = sim.images();
            QCOMPARE(reports.size(), 6);
            for (int i = 3; i < 6; ++i) {
                QCOMPARE(reports[i].imageNumber, i - 2);
                QVERIFY(reports[i].checksumGood);
                QCOMPARE(reports[i].data, images[i - 3]);
            }
            QCOMPARE(sim.eraseCount(), 2);
        }
    }
}

void tst_GuidedUpdate::stopsWhereTheDeviceFails_data()
{
    QTest::addColumn<DeviceSim::Faults>("faults");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<QString>("stalledIn");  // the step the prompt kept until the wait gave up
    QTest::addColumn<int>("bar");
    QTest::addColumn<QString>("wire");

    // Datagrams: 1 erase, 2-4 image 1, 5-6 image 2.
    DeviceSim::Faults f;
    f.ackDelayMs = 20;
    f.silentAfter = 4;
    QTest::newRow("silent in image 2") << f << QStringLiteral("File 2/3: no answer at block 1.") + kNotUpdated
                                       << kFile2 << 50 << QStringLiteral("-1/0/0 1/1/0 1/0/1 1/2/2 2/1/0");
    f = {};
    f.wrongTypeAt = 1;
    QTest::newRow("erase refused") << f
                                   << QStringLiteral("Update stopped at the erase.\nThe device refused the erase.")
                                   << kErasing << 10 << QStringLiteral("-1/0/0");
}

void tst_GuidedUpdate::stopsWhereTheDeviceFails()
{
    QFETCH(DeviceSim::Faults, faults);
    QFETCH(QString, prompt);
    QFETCH(QString, stalledIn);
    QFETCH(int, bar);
    QFETCH(QString, wire);

    DeviceSim sim;
    QVERIFY2(startSim(sim), qPrintable(sim.errorString()));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 1401, 4200}));
    MainWindow &window = fx.window;
    const Form &f = fx.f;
    fx.prepare();
    connectToDevice(f);
    if (QTest::currentTestFailed())
        return;

    udpUpdater::Timeouts timeouts = window.link()->timeouts();
    timeouts.erase = std::chrono::seconds(5);
    timeouts.block = std::chrono::milliseconds(500);
    timeouts.lastBlock = std::chrono::milliseconds(500);
    window.link()->setTimeouts(timeouts);
    sim.clear();
    sim.setFaults(faults);

    PromptRecorder recorder(window, f);
    f.startButton->click();
    QVERIFY2(recorder.waitFor([&] {
        return f.userPrompt->text() == kComplete || f.connectButton->isEnabled();
    }, 20000), qPrintable(f.userPrompt->text()));

    QCOMPARE(f.userPrompt->text(), prompt);
    QVERIFY(!recorder.texts().contains(kComplete));
    QCOMPARE(recorder.texts().value(recorder.texts().size() - 2), stalledIn);
    QCOMPARE(f.bar->value(), bar);
    QCOMPARE(f.bar->format(), QStringLiteral("%p%"));
    QCOMPARE(enabledButtons(f), QStringLiteral("btn_initUpdate btn_startUpdate btn_erase btn_sendFile"));
    QVERIFY(recorder.enabledDuringTask.isEmpty());
    // Nothing follows the step that failed.
    QCOMPARE(describe(wireLayout(sim.received())), wire);

    // The next Connect no longer shows where this run stopped.
    f.connectButton->click();
    QCOMPARE(f.bar->value(), 0);
}

void tst_GuidedUpdate::imageRemovedAfterConnect()
{
    DeviceSim sim;
    QVERIFY2(startSim(sim), qPrintable(sim.errorString()));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 1401, 4200}));
    MainWindow &window = fx.window;
    const Form &f = fx.f;
    const QTemporaryDir &dir = fx.dir;
    const QList<QByteArray> &images = fx.images;
    fx.prepare();
    connectToDevice(f);
    if (QTest::currentTestFailed())
        return;

    // Gone before "Start Update": found while the device is still untouched.
    QVERIFY(QFile::remove(dir.filePath(QStringLiteral("file2.varnelfmw"))));
    sim.clear();
    PromptRecorder recorder(window, f);
    f.startButton->click();
    QVERIFY2(recorder.waitFor([&] {
        return f.userPrompt->text() == kComplete || f.userPrompt->text().endsWith(kNothingErased);
    }, 20000), qPrintable(f.userPrompt->text()));

    QCOMPARE(f.userPrompt->text(), QStringLiteral("file2.varnelfmw is missing.\nNothing was erased."));
    QVERIFY(!recorder.texts().contains(kComplete));
    QCOMPARE(enabledButtons(f), QStringLiteral("btn_initUpdate btn_startUpdate btn_erase btn_sendFile"));
    QVERIFY(sim.received().isEmpty());

    // Gone once the update runs: what was checked is what goes out.
    QVERIFY(writeFile(dir.filePath(QStringLiteral("file2.varnelfmw")), images[1]));
    sim.clear();
    bool removed = false;
    connect(&sim, &DeviceSim::datagramReceived, this, [&](const QByteArray &datagram) {
        if (!removed && datagram.size() > 3 && quint8(datagram.at(2)) == MT_WRITE) {
            removed = QFile::remove(dir.filePath(QStringLiteral("file3.varnelfmw")))
                   && QFile::remove(dir.filePath(QStringLiteral("file2.varnelfmw")));
        }
    });
    f.startButton->click();
    QVERIFY2(runLoopUntil([&] { return f.connectButton->isEnabled(); }, 20000), qPrintable(f.userPrompt->text()));
    QVERIFY(removed);
    QCOMPARE(f.userPrompt->text(), kComplete);
    const QList<DeviceSim::ImageReport> reports = sim.images();
    QCOMPARE(reports.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QVERIFY2(reports[i].clean() && reports[i].checksumGood, qPrintable(reports[i].summary()));
        QCOMPARE(reports[i].data, images[i]);
    }
}

void tst_GuidedUpdate::unfitImagesEraseNothing_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("which");  // 1..3, 0 for all three
    QTest::addColumn<QString>("prompt");

    QTest::newRow("empty image 2") << "empty" << 2 << "file2.varnelfmw is empty.\nNothing was erased.";
    QTest::newRow("three empty images") << "empty" << 0 << "file1.varnelfmw is empty.\nNothing was erased.";
    QTest::newRow("directory") << "directory" << 1 << "file1.varnelfmw is not a file.\nNothing was erased.";
    QTest::newRow("FIFO") << "fifo" << 1 << "file1.varnelfmw is not a file.\nNothing was erased.";
    QTest::newRow("link to /dev/null") << "devnull" << 3 << "file3.varnelfmw is not a file.\nNothing was erased.";
    QTest::newRow("link to /dev/zero") << "devzero" << 1 << "file1.varnelfmw is not a file.\nNothing was erased.";
    QTest::newRow("over the size limit") << "huge" << 1 << "file1.varnelfmw is over 512 MiB.\nNothing was erased.";
    // Root reads it anyway: then the update must simply be whole.
    QTest::newRow("unreadable") << "unreadable" << 2 << "Cannot read file2.varnelfmw\nNothing was erased.";
}

void tst_GuidedUpdate::unfitImagesEraseNothing()
{
    QFETCH(QString, kind);
    QFETCH(int, which);
    QFETCH(QString, prompt);

    DeviceSim sim;
    QVERIFY2(startSim(sim), qPrintable(sim.errorString()));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 1401, 4200}));
    const Form &f = fx.f;
    const QTemporaryDir &dir = fx.dir;
    const QList<QByteArray> &images = fx.images;
    fx.prepare();
    connectToDevice(f);
    if (QTest::currentTestFailed())
        return;

    for (int n = 1; n <= 3; ++n) {
        if (which != 0 && which != n)
            continue;
        const QString path = dir.filePath(QStringLiteral("file%1.varnelfmw").arg(n));
        const QByteArray encoded = QFile::encodeName(path);
        QVERIFY(QFile::remove(path));
        if (kind == QLatin1String("empty")) {
            QVERIFY(writeFile(path, {}));
        } else if (kind == QLatin1String("directory")) {
            QVERIFY(QDir().mkdir(path));
        } else if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(encoded.constData(), 0600), 0);
        } else if (kind == QLatin1String("devnull")) {
            QVERIFY(QFile::link(QStringLiteral("/dev/null"), path));
        } else if (kind == QLatin1String("devzero")) {
            QVERIFY(QFile::link(QStringLiteral("/dev/zero"), path));
        } else if (kind == QLatin1String("huge")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(UpdateImage::kMaxSize + 1));
        } else if (kind == QLatin1String("unreadable")) {
            QVERIFY(writeFile(path, images[n - 1]));
            QCOMPARE(::chmod(encoded.constData(), 0), 0);
        }
    }

    sim.clear();
    f.startButton->click();
    QVERIFY2(runLoopUntil([&] { return f.connectButton->isEnabled(); }, 30000), qPrintable(f.userPrompt->text()));

    if (sim.eraseCount() == 0) {
        QCOMPARE(f.userPrompt->text(), prompt);
        QVERIFY(sim.received().isEmpty());
        return;
    }
    // Something was erased: then every image must have arrived whole.
    QVERIFY2(kind == QLatin1String("unreadable") && ::geteuid() == 0, qPrintable(f.userPrompt->text()));
    QCOMPARE(f.userPrompt->text(), kComplete);
    const QList<DeviceSim::ImageReport> reports = sim.images();
    QCOMPARE(reports.size(), 3);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(reports[i].data, images[i]);
}

void tst_GuidedUpdate::lateCopiesOfAnswers_data()
{
    QTest::addColumn<DeviceSim::Faults>("faults");
    QTest::addColumn<bool>("beforeConnect");
    QTest::addColumn<bool>("programQuiet");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<int>("erases");

    // Every answer twice, the copy 20 ms later: the connect's copy comes
    // before "Start Update", so the device keeps its firmware.
    DeviceSim::Faults f;
    f.duplicateAcks = true;
    f.duplicateDelayMs = 20;
    QTest::newRow("connect answered twice")
        << f << true << false << QStringLiteral("The device answered twice.") + kNothingErased << 0;
    // The erase's answer alone twice: the copy comes in the pause after the
    // erase, between two steps.
    f = {};
    f.duplicateAckOf = 1;
    f.duplicateDelayMs = 20;
    QTest::newRow("erase answered twice") << f << false << false
                                          << QStringLiteral("File 1/3: device answered twice.") + kNotUpdated << 1;
    // Image 1's last answer copied 1.9 s later, image 2's last block (datagram
    // 6: erase, three blocks, two) never answered, at the program's spells.
    f = {};
    f.duplicateLastAcks = true;
    f.duplicateDelayMs = 1900;
    f.dropAckOf = 6;
    QTest::newRow("late copy, last block unanswered")
        << f << false << true << QStringLiteral("File 2/3: device answered twice.") + kNotUpdated << 1;
}

void tst_GuidedUpdate::lateCopiesOfAnswers()
{
    QFETCH(DeviceSim::Faults, faults);
    QFETCH(bool, beforeConnect);
    QFETCH(bool, programQuiet);
    QFETCH(QString, prompt);
    QFETCH(int, erases);

    DeviceSim sim;
    QVERIFY2(startSim(sim), qPrintable(sim.errorString()));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 1401, 4200}));
    const Form &f = fx.f;
    if (programQuiet)
        fx.window.link()->setTimeouts(udpUpdater::Timeouts());
    fx.prepare();
    if (beforeConnect)
        sim.setFaults(faults);
    connectToDevice(f);
    if (QTest::currentTestFailed())
        return;
    if (!beforeConnect) {
        sim.clear();
        sim.setFaults(faults);
    }

    bool completeSeen = false;
    f.startButton->click();
    QVERIFY2(runLoopUntil([&] {
        completeSeen = completeSeen || f.userPrompt->text() == kComplete;
        return f.connectButton->isEnabled();
    }, 30000), qPrintable(f.userPrompt->text()));
    QVERIFY(!completeSeen);
    QCOMPARE(f.userPrompt->text(), prompt);
    QCOMPARE(sim.eraseCount(), erases);
    if (programQuiet || beforeConnect)
        return;

    // The engineering send of an image: never "File Sent!".
    sim.clear();
    sim.setFaults(faults);
    MainWindow::addAndSelectPath(f.filePath, fx.imagePath(3));
    f.fileNumber->setValue(3);
    bool sentSeen = false;
    f.sendButton->click();
    QVERIFY2(runLoopUntil([&] {
        sentSeen = sentSeen || f.engPrompt->text() == QStringLiteral("File Sent!");
        return f.sendButton->isEnabled();
    }, 30000), qPrintable(f.engPrompt->text()));
    QVERIFY(!sentSeen);
    QCOMPARE(f.engPrompt->text(), QStringLiteral("The device answered twice."));
}

void tst_GuidedUpdate::longWaitsAreShown()
{
    DeviceSim sim;
    QVERIFY2(startSim(sim), qPrintable(sim.errorString()));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 1401, 4200}));
    const Form &f = fx.f;
    fx.prepare();
    connectToDevice(f);
    if (QTest::currentTestFailed())
        return;

    // A slow erase, then a last block that is never answered.
    fx.window.link()->setTimeouts(WindowFixture::withShortQuiet(
        {std::chrono::seconds(8), std::chrono::seconds(2), std::chrono::seconds(5)}));
    DeviceSim::Faults faults;
    faults.eraseDelayMs = 4500;
    faults.unansweredEnd = true;
    sim.clear();
    sim.setFaults(faults);
    f.startButton->click();

    // After a few seconds the bar says how long, of how long at most.
    const QRegularExpression eraseWait(QStringLiteral("^waiting 0:0[34] of 0:08$"));
    QVERIFY2(runLoopUntil([&] { return eraseWait.match(f.bar->format()).hasMatch(); }, 8000),
             qPrintable(f.bar->format()));
    QCOMPARE(f.userPrompt->text(), QStringLiteral("Erasing device ...\nDO NOT INTERRUPT POWER"));
    // Nothing the update was started with can be changed meanwhile.
    for (QWidget *input : std::initializer_list<QWidget *>{f.interfaces, f.targetIp, f.updatePath, f.filePath,
                                                           f.fileNumber, f.connectButton, f.startButton})
        QVERIFY2(!input->isEnabled(), qPrintable(input->objectName()));
    QVERIFY(!fx.window.findChild<QPushButton *>(QStringLiteral("btn_selectUpdatePath"))->isEnabled());

    // Answered: the bar tells the transfer again ...
    QVERIFY2(runLoopUntil([&] { return f.bar->format().startsWith(QStringLiteral("File 1/3: ")); }, 8000),
             qPrintable(f.bar->format()));
    // ... until the last block waits long.
    const QRegularExpression lastWait(QStringLiteral("^waiting 0:0[34] of 0:05$"));
    QVERIFY2(runLoopUntil([&] { return lastWait.match(f.bar->format()).hasMatch(); }, 8000),
             qPrintable(f.bar->format()));

    // The device is erased and has no firmware now: the prompt says so.
    QVERIFY(runLoopUntil([&] { return f.connectButton->isEnabled(); }, 10000));
    QCOMPARE(f.userPrompt->text(), QStringLiteral("File 1/3 was not confirmed.") + kNotUpdated);
    QCOMPARE(f.bar->format(), QStringLiteral("%p%"));
    for (QWidget *input : std::initializer_list<QWidget *>{f.interfaces, f.targetIp, f.updatePath, f.filePath,
                                                           f.fileNumber})
        QVERIFY2(input->isEnabled(), qPrintable(input->objectName()));
}

void tst_GuidedUpdate::closeDuringTransfer()
{
    DeviceSim sim;
    QVERIFY2(startSim(sim), qPrintable(sim.errorString()));
    // Ten blocks at 300 ms each: image 1 alone takes three seconds.
    auto fx = std::make_unique<WindowFixture>();
    QVERIFY(fx->writeImages({14000, 1401, 4200}));
    MainWindow *window = &fx->window;
    const Form &f = fx->f;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    fx->prepare();
    connectToDevice(f);
    if (QTest::currentTestFailed())
        return;

    sim.clear();
    DeviceSim::Faults faults;
    faults.ackDelayMs = 300;
    sim.setFaults(faults);
    f.startButton->click();
    QTRY_COMPARE_WITH_TIMEOUT(f.userPrompt->text(), kFile1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(sim.receivedCount() >= 2, 5000);
    // Once a few blocks are timed, the bar tells the time left for all three images.
    const QRegularExpression timeLeft(QStringLiteral("^File 1/3: \\d{1,2}%, 0:\\d\\d left$"));
    QVERIFY2(runLoopUntil([&] { return timeLeft.match(f.bar->format()).hasMatch(); }, 5000),
             qPrintable(f.bar->format()));

    // Answers the confirmation with `reply` as soon as it is up.
    QMessageBox::StandardButton reply = QMessageBox::No;
    bool answered = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int ticks = 0;
    QTimer answerer;
    answerer.setInterval(20);
    connect(&answerer, &QTimer::timeout, this, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            icon = box->icon();
            if (QAbstractButton *button = box->button(reply)) {
                answered = true;
                answerer.stop();
                button->click();
            }
        } else if (++ticks > 500) {
            answerer.stop();
        }
    });

    // "No": the window stays and the transfer goes on.
    const int sentBefore = sim.receivedCount();
    answerer.start();
    QVERIFY(!window->close());
    answerer.stop();
    QVERIFY(answered);
    QCOMPARE(icon, QMessageBox::Warning);
    QVERIFY(window->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(sim.receivedCount() > sentBefore, 5000);

    reply = QMessageBox::Yes;
    answered = false;
    ticks = 0;
    answerer.start();
    QElapsedTimer clock;
    clock.start();
    const bool closed = window->close();
    const qint64 closeMs = clock.elapsed();
    answerer.stop();
    QVERIFY(answered);
    QVERIFY(closed);
    QVERIFY(!window->isVisible());
    QVERIFY2(closeMs < 3000, qPrintable(QString::number(closeMs)));
    // The transfer was stopped by the close itself, not later by the destructor.
    const udpUpdater::Result result = window->link()->lastResult();
    QCOMPARE(int(result.outcome), int(udpUpdater::Outcome::Aborted));
    QCOMPARE(result.fileNumber, 1);

    clock.restart();
    fx.reset();
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));

    // The transfer did not run on, and the window let go of the fixed ports.
    QVERIFY(!sim.images().isEmpty());
    QVERIFY(!sim.images().first().complete);
    QUdpSocket ack, pc;
    QVERIFY(ack.bind(QHostAddress::Any, kAckPort, QAbstractSocket::DontShareAddress));
    QVERIFY(pc.bind(pcAddress(), kCommandPort, QAbstractSocket::DontShareAddress));
}

PRIVATE_NETWORK_TEST_MAIN(tst_GuidedUpdate)
#include "tst_guidedupdate.moc"
