// "Start Update" from the window to the simulated device and back: the
// prompts and bar values in order, the wire, the images as the device got
// them, a device that falls silent, unfit images, late copies of answers,
// long waits, and closing the window under a running transfer.

#include "mainwindow.h"
#include "privatenetwork.h"
#include "testsupport.h"

#include <QApplication>
#include <QMessageBox>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

#include <unistd.h>

Q_DECLARE_METATYPE(DeviceSim::Faults)

namespace {

using namespace testsupport;

const QString kErasing = QStringLiteral("Erasing device ...\nDO NOT INTERRUPT POWER");
const QString kErased = QStringLiteral("Device Erased!\nGetting update files ready ...");
const QString kStarting = QStringLiteral("Device Erased! Starting file transfer ...\nDO NOT INTERRUPT POWER");
const QString kFile1 = QStringLiteral("Transfering file 1/3 ...\nDO NOT INTERRUPT POWER");
const QString kFile2 = QStringLiteral("Transfering file 2/3 ...\nDO NOT INTERRUPT POWER");
const QString kFile3 = QStringLiteral("Transfering file 3/3 ...\nDO NOT INTERRUPT POWER");
const QString kComplete = QStringLiteral("Update Complete!\nYou can now POWER CYCLE the device.");
const QString kNotUpdated = QStringLiteral("\nNot updated: keep power on, retry.");
const QString kNothingErased = QStringLiteral("\nNothing was erased.");
const QString kAllButtons = QStringLiteral("btn_initUpdate btn_startUpdate btn_erase btn_sendFile");

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
        qint64 firstSeenMs, lastSeenMs;
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
        return runLoopUntil([&] {
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

} // namespace

class tst_GuidedUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void completeRunAndRepeat();
    void stopsWhereTheDeviceFails_data();
    void stopsWhereTheDeviceFails();
    void lateCopiesOfAnswers_data();
    void lateCopiesOfAnswers();
    void longWaitsAreShown();
    void closeDuringTransfer();

};

void tst_GuidedUpdate::initTestCase()
{
    QApplication::setQuitOnLastWindowClosed(false);
}


void tst_GuidedUpdate::completeRunAndRepeat()
{
    DeviceSim sim;
    QVERIFY2(startSim(sim), qPrintable(sim.errorString()));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 1401, 4200}));
    const Form &f = fx.f;
    fx.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&fx.window));

    // No "Start Update" before the device has answered this "Connect".
    DeviceSim::Faults faults;
    faults.ackDelayMs = 300;
    sim.setFaults(faults);
    fx.prepare();
    f.connectButton->click();
    QVERIFY(runLoopUntil([&] { return sim.receivedCount() == 1; }, 5000));
    QCOMPARE(f.userPrompt->text(), kFilesFound);
    QVERIFY(!f.startButton->isEnabled());
    QVERIFY(runLoopUntil([&] { return f.startButton->isEnabled(); }, 5000));
    QCOMPARE(f.userPrompt->text(), kConnected);

    // Answers 20 ms late, so the bar's first figure of each image shows;
    // quiet spells no longer than the time it takes to look.
    sim.clear();
    faults.ackDelayMs = 20;
    sim.setFaults(faults);
    udpUpdater::Timeouts timeouts = fx.window.link()->timeouts();
    timeouts.quietMax = std::chrono::milliseconds(100);
    fx.window.link()->setTimeouts(timeouts);
    const QString firstRun = QStringLiteral("erase 1/1/0 1/0/1 1/2/2 2/1/0 2/2/1 3/1/0 3/0/1 3/2/2");
    // The second run is the first one again, from the erase and image 1,
    // although images 2 and 3 are gone once it runs: what was checked is
    // what goes out.
    bool removed = false;
    for (const QString &wire : {firstRun, firstRun + QLatin1Char(' ') + firstRun}) {
        PromptRecorder recorder(fx.window, f);
        if (wire != firstRun) {
            connect(&sim, &DeviceSim::datagramReceived, &recorder, [&](const QByteArray &datagram) {
                if (!removed && datagram.size() > 3 && quint8(datagram.at(2)) == MT_WRITE)
                    removed = QFile::remove(fx.imagePath(3)) && QFile::remove(fx.imagePath(2));
            });
        }
        f.startButton->click();
        recorder.sample();
        QCOMPARE(f.userPrompt->text(), kErasing);
        QCOMPARE(enabledButtons(f), QString());

        QVERIFY2(recorder.waitFor([&] {
            return f.userPrompt->text() == kComplete || f.connectButton->isEnabled();
        }, 30000), qPrintable(f.userPrompt->text()));
        QCOMPARE(recorder.texts(), (QStringList{kErasing, kErased, kStarting, kFile1, kFile2, kFile3, kComplete}));
        QStringList bars;
        for (const PromptRecorder::Step &step : std::as_const(recorder.steps))
            bars << QString::number(step.bar);
        if (wire == firstRun)
            QCOMPARE(bars.first(), QStringLiteral("10"));  // Connect's
        QCOMPARE(bars.mid(1), (QStringList{"30", "30", "30", "50", "70", "100"}));
        QCOMPARE(f.bar->value(), 100);
        // The second before image 1 is a pause the window lives through.
        const qint64 pauseMs = recorder.steps.at(2).lastSeenMs - recorder.steps.at(2).firstSeenMs;
        QVERIFY2(pauseMs >= 700, qPrintable(QString::number(pauseMs)));

        // The bar told how far each image was while it went out; at the
        // first block nothing is timed yet, so no time left is made up.
        const QRegularExpression barText(QStringLiteral("^File ([123])/3: \\d{1,3}%(, \\d+:\\d\\d left)?$"));
        QStringList perImage;
        for (const QString &format : std::as_const(recorder.formats)) {
            const QRegularExpressionMatch match = barText.match(format);
            if (match.hasMatch() && !perImage.contains(match.captured(1)))
                perImage << match.captured(1);
        }
        QCOMPARE(perImage, (QStringList{"1", "2", "3"}));
        QVERIFY2(recorder.formats.contains(QStringLiteral("File 1/3: 0%")),
                 qPrintable(recorder.formats.join(QStringLiteral(" | "))));
        QCOMPARE(f.bar->format(), QStringLiteral("%p%"));

        QVERIFY(recorder.acknowledgements >= 9);
        QVERIFY2(recorder.enabledDuringTask.isEmpty(), qPrintable(recorder.enabledDuringTask.join(", ")));
        QCOMPARE(enabledButtons(f), kAllButtons);

        QCOMPARE(wireLayout(sim.received()), wire);
        const QList<DeviceSim::ImageReport> reports = sim.images();
        QCOMPARE(reports.size(), wire.count(QStringLiteral("erase")) * 3);
        for (int i = 0; i < reports.size(); ++i) {
            QCOMPARE(reports[i].imageNumber, i % 3 + 1);
            QVERIFY2(reports[i].clean() && reports[i].checksumGood, qPrintable(reports[i].summary()));
            QCOMPARE(reports[i].data, fx.images[i % 3]);
        }
    }
    QVERIFY(removed);
}

void tst_GuidedUpdate::stopsWhereTheDeviceFails_data()
{
    QTest::addColumn<DeviceSim::Faults>("faults");
    QTest::addColumn<QString>("unfit");  // how images are spoilt after "Connect" found them
    QTest::addColumn<int>("which");      // the image spoilt, 1..3; 0 for all three
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<QString>("stalledIn");  // the step the prompt kept until the wait gave up
    QTest::addColumn<int>("bar");
    QTest::addColumn<QString>("wire");

    // Datagrams: 1 erase, 2-4 image 1, 5-6 image 2.
    DeviceSim::Faults f;
    f.ackDelayMs = 20;
    f.silentAfter = 4;
    QTest::newRow("silent in image 2") << f << QString() << 0
                                       << QStringLiteral("File 2/3: no answer at block 1.") + kNotUpdated << kFile2
                                       << 50 << QStringLiteral("erase 1/1/0 1/0/1 1/2/2 2/1/0");
    f = {};
    f.wrongTypeAt = 1;
    QTest::newRow("erase refused") << f << QString() << 0
                                   << QStringLiteral("Update stopped at the erase.\nThe device refused the erase.")
                                   << kErasing << 10 << QStringLiteral("erase");
    // Which files are unfit is UpdateImage::load's to decide; here, that
    // nothing is erased for one, and which file the window names.
    f = {};
    QTest::newRow("image 2 missing") << f << "missing" << 2 << "file2.varnelfmw is missing.\nNothing was erased."
                                     << QString() << -1 << QString();
    QTest::newRow("three empty images") << f << "empty" << 0 << "file1.varnelfmw is empty.\nNothing was erased."
                                        << QString() << -1 << QString();
    // Root reads it anyway: then the update must simply be whole.
    QTest::newRow("unreadable") << f << "unreadable" << 2 << "Cannot read file2.varnelfmw\nNothing was erased."
                                << QString() << -1 << QString();
}

void tst_GuidedUpdate::stopsWhereTheDeviceFails()
{
    QFETCH(DeviceSim::Faults, faults);
    QFETCH(QString, unfit);
    QFETCH(int, which);
    QFETCH(QString, prompt);
    QFETCH(QString, stalledIn);
    QFETCH(int, bar);
    QFETCH(QString, wire);

    DeviceSim sim;
    WindowFixture fx;
    QVERIFY(fx.connectSim(sim));
    const Form &f = fx.f;
    fx.window.link()->setTimeouts(WindowFixture::withShortQuiet(
        {std::chrono::seconds(5), std::chrono::milliseconds(500), std::chrono::milliseconds(500)}));
    sim.clear();
    sim.setFaults(faults);
    for (int n = 1; n <= 3 && !unfit.isEmpty(); ++n) {
        const QString path = fx.imagePath(n);
        if (which != 0 && which != n)
            continue;
        QVERIFY(QFile::remove(path));
        if (unfit == QLatin1String("empty"))
            QVERIFY(writeFile(path, {}));
        else if (unfit == QLatin1String("unreadable"))
            QVERIFY(writeFile(path, fx.images[n - 1]) && QFile::setPermissions(path, {}));
    }

    PromptRecorder recorder(fx.window, f);
    f.startButton->click();
    QVERIFY2(recorder.waitFor([&] {
        return f.userPrompt->text() == kComplete || f.connectButton->isEnabled();
    }, 20000), qPrintable(f.userPrompt->text()));
    QVERIFY(runLoopUntil([&] { return f.connectButton->isEnabled(); }, 5000));
    if (unfit == QLatin1String("unreadable") && ::geteuid() == 0) {
        QCOMPARE(f.userPrompt->text(), kComplete);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(sim.images().value(i).data, fx.images[i]);
        return;
    }

    QCOMPARE(f.userPrompt->text(), prompt);
    QVERIFY(!recorder.texts().contains(kComplete));
    if (!stalledIn.isEmpty())
        QCOMPARE(recorder.texts().value(recorder.texts().size() - 2), stalledIn);
    if (bar >= 0)
        QCOMPARE(f.bar->value(), bar);
    QCOMPARE(f.bar->format(), QStringLiteral("%p%"));
    QCOMPARE(enabledButtons(f), kAllButtons);
    QVERIFY(recorder.enabledDuringTask.isEmpty());
    // Nothing follows the step that failed.
    QCOMPARE(wireLayout(sim.received()), wire);

    // The next Connect no longer shows where this run stopped.
    f.connectButton->click();
    QCOMPARE(f.bar->value(), 0);
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
    WindowFixture fx;
    const Form &f = fx.f;
    if (programQuiet)
        fx.window.link()->setTimeouts(udpUpdater::Timeouts());
    if (beforeConnect)
        sim.setFaults(faults);
    QVERIFY(fx.connectSim(sim));
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
    WindowFixture fx;
    QVERIFY(fx.connectSim(sim));
    const Form &f = fx.f;

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
    QCOMPARE(f.userPrompt->text(), kErasing);
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
    // Ten blocks at 300 ms each: image 1 alone takes three seconds.
    auto fx = std::make_unique<WindowFixture>();
    MainWindow *window = &fx->window;
    const Form &f = fx->f;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QVERIFY(fx->connectSim(sim, {14000, 1401, 4200}));

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

    // Closes the window, answering the confirmation with `reply` as soon as it is up.
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int answers = 0;
    const auto closeAnswering = [&](QMessageBox::StandardButton reply) {
        QTimer answerer;
        int ticks = 0;
        connect(&answerer, &QTimer::timeout, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (box && box->button(reply)) {
                icon = box->icon();
                ++answers;
                answerer.stop();
                box->button(reply)->click();
            } else if (++ticks > 500) {
                answerer.stop();
            }
        });
        answerer.start(20);
        return window->close();
    };

    // "No": the window stays and the transfer goes on.
    const int sentBefore = sim.receivedCount();
    QVERIFY(!closeAnswering(QMessageBox::No));
    QCOMPARE(answers, 1);
    QCOMPARE(icon, QMessageBox::Warning);
    QVERIFY(window->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(sim.receivedCount() > sentBefore, 5000);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(closeAnswering(QMessageBox::Yes));
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(answers, 2);
    QVERIFY(!window->isVisible());
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
