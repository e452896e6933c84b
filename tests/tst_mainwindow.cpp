// The window on loopback: "Connect" end to end, which acknowledgements count,
// the files gone at the next "Connect", a choice changed after "Connect", an
// adapter plugged in while the window runs, the form and the engineering tab.
// The device is either the simulator or a bare socket the test answers from
// by hand (once a dual-stack one), always at 127.0.0.2; the PC side is 127.0.0.1 (or 127.0.0.3, or
// 127.0.0.10 on an adapter the test adds in its own namespace).

#include "logview.h"
#include "mainwindow.h"
#include "networkadapter.h"
#include "operatortexts.h"
#include "privatenetwork.h"
#include "testsupport.h"

#include <QApplication>
#include <QScopeGuard>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

using namespace testsupport;

const QByteArray kInit = QByteArray::fromHex("a55a0f");
const QString kChecking = QStringLiteral("Checking update files ...");
const QString kFilesMissing = QStringLiteral("Files could not be found.\nPlease start over.");

// The Log tab's lines; with `colours`, the colour each starts in.
QStringList logTexts(MainWindow &window, const Form &f, QList<QColor> *colours = nullptr)
{
    window.link()->log()->flush();
    QStringList texts;
    for (QTextBlock block = f.log->document()->begin(); block.isValid(); block = block.next()) {
        if (block.text().isEmpty())  // the empty first block of an empty document
            continue;
        texts << block.text();
        if (colours)
            colours->append(block.begin().fragment().charFormat().foreground().color());
    }
    return texts;
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void acknowledgementSources();
    void filesGoneAtTheNextConnect();
    void choiceChangedAfterConnect_data();
    void choiceChangedAfterConnect();
    void adapterListReadWhenOpened();
    void engineeringTab();
    void adapterEntry_data();
    void adapterEntry();
    void composedTextsFit();
    void keyboard();
};

void tst_MainWindow::initTestCase()
{
    // Windows are closed and destroyed per test; the test decides when to stop.
    QApplication::setQuitOnLastWindowClosed(false);
}


// The device answers from a dual-stack socket, as the link sees it: from
// ::ffff:127.0.0.2, which is still the device's address.
void tst_MainWindow::acknowledgementSources()
{
    // Qt refuses to bind a mapped address itself, so the device's socket is
    // made by hand and handed over.
    const int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
    QVERIFY(fd >= 0);
    int v6only = 0;
    QCOMPARE(::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only), 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(kCommandPort);
    QCOMPARE(::inet_pton(AF_INET6, "::ffff:127.0.0.2", &address.sin6_addr), 1);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    if (!bound)
        ::close(fd);
    QVERIFY2(bound, "::ffff:127.0.0.2:1235 is taken");
    FakePeer device;
    QVERIFY(device.socket.setSocketDescriptor(fd, QAbstractSocket::BoundState));
    // What a listener bound like the link's sees of this device: the mapped form.
    QUdpSocket probe;
    QVERIFY(probe.bind(QHostAddress::Any, 0));
    device.socket.writeDatagram("probe", pcAddress(), probe.localPort());
    QVERIFY(runLoopUntil([&] { return probe.hasPendingDatagrams(); }, 5000));
    QCOMPARE(probe.receiveDatagram().senderAddress(), QHostAddress(QStringLiteral("::ffff:127.0.0.2")));
    FakePeer stranger;  // any port: 127.0.0.3:1235 is wanted by the second "Connect"
    QVERIFY(stranger.socket.bind(otherAddress(), 0));

    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 1401, 4200}));
    MainWindow &window = fx.window;
    const Form &f = fx.f;
    // Blanks around the typed address are forgiven.
    fx.prepare(QStringLiteral("lo - 127.0.0.1"), QStringLiteral(" 127.0.0.2 "));

    f.connectButton->click();
    const QNetworkDatagram init = device.next();
    QCOMPARE(init.data(), kInit);
    QCOMPARE(QHostAddress(init.senderAddress().toIPv4Address()), pcAddress());
    QCOMPARE(init.senderPort(), int(kCommandPort));
    QCOMPARE(f.userPrompt->text(), kFilesFound);

    // The right answer from the wrong host: logged, nothing else.
    stranger.answer(kInit);
    QVERIFY(runLoopUntil([&] { return logTexts(window, f).filter("RX: ").size() == 1; }, 5000));
    QCOMPARE(f.userPrompt->text(), kFilesFound);
    QVERIFY(!f.startButton->isEnabled());
    QVERIFY(!f.bar->isEnabled());
    QCOMPARE(f.bar->value(), 0);

    // Three datagrams waiting before the link gets to read any of them; the
    // genuine answer comes last and must still be acted on.
    device.answer(QByteArray::fromHex("a55a00"));
    device.answer(QByteArray::fromHex("a55a"));
    device.answer(kInit);
    QTRY_COMPARE_WITH_TIMEOUT(f.userPrompt->text(), kConnected, 5000);
    QCOMPARE(logTexts(window, f),
             (QStringList{"TX: a5-5a-0f", "RX: a5-5a-0f", "RX: a5-5a-00", "RX: a5-5a", "RX: a5-5a-0f"}));
    QList<QColor> colours;
    logTexts(window, f, &colours);
    QCOMPARE(colours.mid(0, 2), (QList<QColor>{QColorConstants::Red, QColorConstants::DarkGreen}));
    QVERIFY(f.startButton->isEnabled());
    QVERIFY(f.bar->isEnabled());
    QCOMPARE(f.bar->value(), 10);
    // The form's size is fixed.
    window.show();
    window.resize(800, 600);
    QCOMPARE(window.size(), QSize(620, 361));

    // Another adapter chosen: the next connect command leaves from its address.
    f.interfaces->addItem(QStringLiteral("lo2 - 127.0.0.3"));
    f.interfaces->setCurrentIndex(f.interfaces->count() - 1);
    f.connectButton->click();
    QVERIFY(!f.startButton->isEnabled());
    const QNetworkDatagram again = device.next();
    QCOMPARE(again.data(), kInit);
    QCOMPARE(QHostAddress(again.senderAddress().toIPv4Address()), otherAddress());
    QCOMPARE(again.senderPort(), int(kCommandPort));
    QCOMPARE(f.userPrompt->text(), kFilesFound);
    QVERIFY(!f.startButton->isEnabled());
    device.answer(kInit, otherAddress());
    QTRY_COMPARE_WITH_TIMEOUT(f.userPrompt->text(), kConnected, 5000);
    QVERIFY(f.startButton->isEnabled());

    // The largest datagrams UDP carries, from anyone: logged by their first
    // 1408 bytes and their length, so the log stays light to lay out.
    const QByteArray giant = pseudoImage(65507, 11);
    const qsizetype before = logTexts(window, f).size();
    stranger.answer(giant);
    device.answer(giant, otherAddress());
    QVERIFY(runLoopUntil([&] { return logTexts(window, f).size() == before + 2; }, 5000));
    const QString expected = QStringLiteral("RX: ") + QString::fromLatin1(giant.left(1408).toHex('-'))
                           + QStringLiteral(" ... (65507 bytes)");
    QCOMPARE(logTexts(window, f).mid(before), (QStringList{expected, expected}));
    QCOMPARE(f.userPrompt->text(), kConnected);
}

void tst_MainWindow::filesGoneAtTheNextConnect()
{
    DeviceSim sim;
    WindowFixture fx;
    QVERIFY(fx.connectSim(sim));
    MainWindow &window = fx.window;
    const Form &f = fx.f;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // file2 gone, and Connect again: the device is forgotten at once; the
    // check still takes its second, but the window does not freeze for it.
    sim.clear();
    QVERIFY(QFile::remove(fx.imagePath(2)));
    QElapsedTimer clock;
    clock.start();
    f.connectButton->click();
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(f.userPrompt->text(), kChecking);
    for (QPushButton *button : f.deviceButtons())
        QVERIFY2(!button->isEnabled(), qPrintable(button->objectName()));

    QTRY_COMPARE_WITH_TIMEOUT(f.userPrompt->text(), kFilesMissing, 5000);
    QVERIFY2(clock.elapsed() >= 950, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(f.connectButton->isEnabled());
    QVERIFY(!f.startButton->isEnabled());
    f.eraseButton->click();
    QVERIFY(runLoopUntil([&] { return f.eraseButton->isEnabled(); }, 5000));
    QCOMPARE(f.engPrompt->text(), QStringLiteral("Not erased: press Connect first."));
    QCOMPARE(sim.receivedCount(), 0);
}

void tst_MainWindow::choiceChangedAfterConnect_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");       // "other" or "same" for the directory
    QTest::addColumn<bool>("whileConnecting");
    QTest::addColumn<QString>("prompt");      // empty: still connected

    const QString ipChanged = QStringLiteral("Device IP changed: press Connect.");
    QTest::newRow("IP changed after answer") << "ip" << "127.0.0.3" << false << ipChanged;
    QTest::newRow("IP changed while connecting") << "ip" << "127.0.0.3" << true << ipChanged;
    QTest::newRow("directory changed") << "directory" << "other" << false
                                       << "Directory changed: press Connect.";
    QTest::newRow("adapter changed") << "adapter" << "lo2 - 127.0.0.3" << false << "Adapter changed: press Connect.";
    QTest::newRow("same directory chosen again: still connected") << "directory" << "same" << false << QString();
    QTest::newRow("same IP with blanks: still connected") << "ip" << " 127.0.0.2 " << false << QString();
}

void tst_MainWindow::choiceChangedAfterConnect()
{
    QFETCH(QString, field);
    QFETCH(QString, value);
    QFETCH(bool, whileConnecting);
    QFETCH(QString, prompt);

    DeviceSim sim;
    QVERIFY2(startSim(sim), qPrintable(sim.errorString()));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 1401, 4200}));
    const Form &f = fx.f;
    fx.prepare();
    const QString adapter = f.interfaces->currentText();
    // An answer on its way while the choice changes.
    DeviceSim::Faults faults;
    faults.ackDelayMs = whileConnecting ? 1500 : 0;
    sim.setFaults(faults);
    QElapsedTimer sincePressed;
    sincePressed.start();
    f.connectButton->click();
    QVERIFY(runLoopUntil([&] { return whileConnecting ? sim.receivedCount() == 1 : f.startButton->isEnabled(); },
                         8000));

    const auto choose = [&](const QString &choice) {
        if (field == QLatin1String("ip"))
            f.targetIp->setText(choice);
        else if (field == QLatin1String("directory"))
            MainWindow::addAndSelectPath(f.updatePath, choice == QLatin1String("other")
                                                           ? fx.dir.filePath(QStringLiteral("other"))
                                                           : fx.dir.path());
        else
            MainWindow::addAndSelectPath(f.interfaces, choice);
    };
    choose(value);
    if (!prompt.isEmpty()) {
        QCOMPARE(f.userPrompt->text(), prompt);
        QVERIFY(!f.startButton->isEnabled());
        // The choice Connect used, back again: still no device until Connect.
        choose(field == QLatin1String("ip") ? QStringLiteral("127.0.0.2")
               : field == QLatin1String("directory") ? QStringLiteral("same") : adapter);
    }
    if (whileConnecting) {
        // Neither the late answer nor the end of the wait for it has a say.
        QVERIFY(!runLoopUntil([&] { return f.startButton->isEnabled() || f.userPrompt->text() != prompt; },
                              1000 + int(MainWindow::kConnectAnswerTimeout.count()) + 300
                                  - int(sincePressed.elapsed())));
    }
    QCOMPARE(f.startButton->isEnabled(), prompt.isEmpty());
    QCOMPARE(f.userPrompt->text(), prompt.isEmpty() ? kConnected : prompt);
    // Only a device still known is reached, from the Engineering tab too.
    f.eraseButton->click();
    QVERIFY(runLoopUntil([&] { return f.eraseButton->isEnabled(); }, 5000));
    QCOMPARE(f.engPrompt->text(), prompt.isEmpty() ? QStringLiteral("instructions here...")
                                                   : QStringLiteral("Not erased: press Connect first."));
    QCOMPARE(sim.eraseCount(), prompt.isEmpty() ? 1 : 0);
}

void tst_MainWindow::adapterListReadWhenOpened()
{
#ifndef Q_OS_LINUX
    QSKIP("plugs in an adapter through Linux's ip");
#else
    // Whatever fails below, the later tests do not find it listed.
    QString error;
    const auto unplug = qScopeGuard([&] { testsupport::ip(QStringLiteral("link del varneltest0"), &error); });
    const QString entry = QStringLiteral("varneltest0 - 127.0.0.10");
    const auto listed = [] { return NetworkAdapter::list().size(); };
    DeviceSim sim;
    QVERIFY2(startSim(sim), qPrintable(sim.errorString()));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 1401, 4200}));
    const Form &f = fx.f;
    QCOMPARE(f.interfaces->count(), 0);
    fx.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&fx.window));

    // An adapter plugged in after start-up: a veth pair in this suite's own
    // namespace, carrying a loopback address so the simulator is reachable.
    for (const char *command : {"link add varneltest0 type veth peer name varneltest1",
                                "addr add 127.0.0.10/32 dev varneltest0", "link set varneltest1 up",
                                "link set varneltest0 up"})
        QVERIFY2(testsupport::ip(QLatin1String(command), &error), qPrintable(error));
    QVERIFY(runLoopUntil([&] { return listed() == 1; }, 5000));
    const auto open = [&] {
        f.interfaces->showPopup();
        f.interfaces->hidePopup();
    };
    open();
    QCOMPARE(f.interfaces->count(), 1);
    QCOMPARE(f.interfaces->currentText(), entry);

    f.targetIp->setText(QStringLiteral("127.0.0.2"));
    MainWindow::addAndSelectPath(f.updatePath, fx.dir.path());
    f.connectButton->click();
    QVERIFY(runLoopUntil([&] { return f.startButton->isEnabled(); }, 8000));
    // Another one since, and the choice still there: it stays, and so does the device.
    QVERIFY2(testsupport::ip(QStringLiteral("addr add 127.0.0.11/32 dev varneltest1"), &error), qPrintable(error));
    QVERIFY(runLoopUntil([&] { return listed() == 2; }, 5000));
    open();
    QCOMPARE(f.interfaces->count(), 2);
    QCOMPARE(f.interfaces->currentText(), entry);
    QVERIFY(f.startButton->isEnabled());

    // Unplugged: gone from the list, and the device with it.
    QVERIFY2(testsupport::ip(QStringLiteral("link del varneltest0"), &error), qPrintable(error));
    QVERIFY(runLoopUntil([&] { return listed() == 0; }, 5000));
    open();
    QCOMPARE(f.interfaces->count(), 0);
    QCOMPARE(f.userPrompt->text(), QStringLiteral("Adapter changed: press Connect."));
    QVERIFY(!f.startButton->isEnabled());
    QCOMPARE(sim.eraseCount(), 0);
#endif
}

void tst_MainWindow::engineeringTab()
{
    DeviceSim sim;
    WindowFixture fx;
    QVERIFY(fx.connectSim(sim));
    const Form &f = fx.f;
    const QTemporaryDir &dir = fx.dir;

    // Nothing chosen yet.
    sim.clear();
    f.sendButton->click();
    QCOMPARE(f.engPrompt->text(), QStringLiteral("No file chosen."));
    QVERIFY(f.sendButton->isEnabled());
    QCOMPARE(sim.receivedCount(), 0);

    // An empty file is no image: nothing leaves, and it says so.
    const QString emptyPath = dir.filePath(QStringLiteral("empty.bin"));
    QVERIFY(writeFile(emptyPath, {}));
    MainWindow::addAndSelectPath(f.filePath, emptyPath);
    // The reason to choose one goes once one is chosen.
    QCOMPARE(f.engPrompt->text(), QStringLiteral("instructions here..."));
    f.sendButton->click();
    QVERIFY(runLoopUntil([&] { return f.sendButton->isEnabled(); }, 5000));
    QCOMPARE(f.engPrompt->text(), QStringLiteral("empty.bin is empty."));
    QCOMPARE(sim.receivedCount(), 0);

    // Any file, sent under the number in the spin box.
    const QByteArray image = pseudoImage(3000, 7);
    const QString path = dir.filePath(QStringLiteral("bench-image.bin"));
    QVERIFY(writeFile(path, image));
    MainWindow::addAndSelectPath(f.filePath, path);
    f.fileNumber->setValue(2);
    f.sendButton->click();
    QCOMPARE(f.engPrompt->text(), QStringLiteral("sending file, please wait ..."));
    // Nothing the send was started with can change until it ends.
    for (QWidget *input : std::initializer_list<QWidget *>{f.connectButton, f.startButton, f.eraseButton, f.sendButton,
                                                           f.filePath, f.fileNumber, f.interfaces, f.targetIp, f.updatePath})
        QVERIFY2(!input->isEnabled(), qPrintable(input->objectName()));
    QTRY_COMPARE_WITH_TIMEOUT(f.engPrompt->text(), QStringLiteral("File Sent!"), 10000);
    for (QPushButton *button : {f.connectButton, f.startButton, f.eraseButton, f.sendButton})
        QVERIFY2(button->isEnabled(), qPrintable(button->objectName()));

    QCOMPARE(wireLayout(sim.received()), QStringLiteral("2/1/0 2/0/1 2/2/2"));
    const QList<DeviceSim::ImageReport> images = sim.images();
    QCOMPARE(images.size(), 1);
    QVERIFY2(images[0].clean() && images[0].checksumGood, qPrintable(images[0].summary()));
    QCOMPARE(images[0].data, image);

    // Erase: the sign is in the guided-update prompt and the bar only.
    sim.clear();
    f.eraseButton->click();
    QVERIFY(!f.eraseButton->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(f.userPrompt->text(),
                              QStringLiteral("Device Erased!\nGetting update files ready ..."), 5000);
    QCOMPARE(f.bar->value(), 30);
    QTRY_VERIFY_WITH_TIMEOUT(f.eraseButton->isEnabled(), 5000);
    QCOMPARE(f.engPrompt->text(), QStringLiteral("File Sent!"));
    QCOMPARE(sim.received(), QList<QByteArray>{QByteArray::fromHex("a55af0")});
    QCOMPARE(sim.eraseCount(), 1);

    // A failed erase's reason goes once the next erase runs.
    fx.window.link()->setTimeouts(WindowFixture::withShortQuiet(
        {std::chrono::milliseconds(300), std::chrono::seconds(2), std::chrono::milliseconds(300)}));
    sim.setSilent(true);
    f.eraseButton->click();
    QVERIFY(runLoopUntil([&] { return f.eraseButton->isEnabled(); }, 5000));
    QCOMPARE(f.engPrompt->text(), QStringLiteral("No answer: may be erased."));
    sim.setSilent(false);
    f.eraseButton->click();
    QVERIFY(runLoopUntil([&] { return f.eraseButton->isEnabled(); }, 5000));
    QCOMPARE(sim.eraseCount(), 3);
    QCOMPARE(f.engPrompt->text(), QStringLiteral("instructions here..."));

    // A send whose last block is never answered was not sent.
    DeviceSim::Faults endUnanswered;
    endUnanswered.unansweredEnd = true;
    sim.setFaults(endUnanswered);
    f.sendButton->click();
    QVERIFY(runLoopUntil([&] { return f.sendButton->isEnabled(); }, 5000));
    QCOMPARE(f.engPrompt->text(), QStringLiteral("Image 2 was not confirmed."));

    // Chosen paths are listed once, compared with case.
    const int before = f.filePath->count();
    const QString chosen = dir.filePath(QStringLiteral("Image.bin"));
    MainWindow::addAndSelectPath(f.filePath, chosen);
    MainWindow::addAndSelectPath(f.filePath, path);
    MainWindow::addAndSelectPath(f.filePath, chosen);
    QCOMPARE(f.filePath->count(), before + 1);
    QCOMPARE(f.filePath->currentText(), chosen);
    const QString otherCase = dir.filePath(QStringLiteral("image.bin"));
    MainWindow::addAndSelectPath(f.filePath, otherCase);
    QCOMPARE(f.filePath->count(), before + 2);
    QCOMPARE(f.filePath->currentText(), otherCase);
}

void tst_MainWindow::adapterEntry_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("address");
    QTest::newRow("plain") << QStringLiteral("lo - 127.0.0.1") << QStringLiteral("127.0.0.1");
    QTest::newRow("name holds the separator") << QStringLiteral("Port - A - 127.0.0.1")
                                              << QStringLiteral("127.0.0.1");
    QTest::newRow("no address") << QStringLiteral("Port - A") << QString();
    QTest::newRow("empty") << QString() << QString();
}

void tst_MainWindow::adapterEntry()
{
    QFETCH(QString, entry);
    QFETCH(QString, address);
    // acknowledgementSources shows the connect command leaving from it.
    QCOMPARE(MainWindow::adapterEntryAddress(entry), address.isEmpty() ? QHostAddress() : QHostAddress(address));
}

void tst_MainWindow::composedTextsFit()
{
    // Each text the program composes for the two prompt labels, measured with
    // the label's own font and size: neither label wraps, so what does not
    // fit is clipped at both ends. Worst-case arguments throughout.
    WindowFixture fx;
    QVERIFY(fx.f.complete());
    fx.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&fx.window));
    const QString path = QStringLiteral("/tmp/encoder-v2.1-update3.bin");  // a 24-character name

    QStringList oneLine{OperatorTexts::engineeringStart(), OperatorTexts::sending(), OperatorTexts::fileSent(),
                        OperatorTexts::noFileChosen()};
    QStringList twoLines{OperatorTexts::checkingFiles(), OperatorTexts::filesNotFound(), OperatorTexts::filesFound(),
                         OperatorTexts::connected(), OperatorTexts::erasing(), OperatorTexts::erased(),
                         OperatorTexts::startingTransfer(), OperatorTexts::transferring(3), OperatorTexts::complete(),
                         OperatorTexts::noAdapter(), OperatorTexts::adapterWithoutIPv4(),
                         OperatorTexts::adapterUnavailable(QStringLiteral("Local Area Connection* 12")),
                         OperatorTexts::unreachable(QStringLiteral("255.255.255.254")),
                         OperatorTexts::cannotOpen(QStringLiteral("Port 1246 is already in use.")),
                         OperatorTexts::noAnswerToConnect(), OperatorTexts::connectRefused(),
                         OperatorTexts::adapterChanged(), OperatorTexts::deviceIpChanged(),
                         OperatorTexts::directoryChanged()};
    const QMetaEnum addressProblems = QMetaEnum::fromType<DeviceAddress::Problem>();
    for (int i = 0; i < addressProblems.keyCount(); ++i) {
        const auto problem = DeviceAddress::Problem(addressProblems.value(i));
        if (problem != DeviceAddress::Problem::None)
            twoLines << OperatorTexts::deviceAddressProblem(problem, QStringLiteral("239.255.255.255"));
    }
    const QMetaEnum imageProblems = QMetaEnum::fromType<UpdateImage::Problem>();
    const QMetaEnum outcomes = QMetaEnum::fromType<OperationResult::Outcome>();
    // The longest reason the system gives for a refused send: each text names it, cut or whole.
    const QString reason = QStringLiteral("Resource temporarily unavailable");
    for (int o = 0; o < outcomes.keyCount(); ++o) {
        using Outcome = OperationResult::Outcome;
        OperationResult result;
        result.outcome = Outcome(outcomes.value(o));
        result.fileNumber = 3;
        result.blockIndex = 65534;
        result.blockCount = 65535;
        if (result.ok())
            continue;
        if (result.outcome == Outcome::SendFailed)
            result.detail = reason;
        else if (result.outcome == Outcome::AdapterLost || result.outcome == Outcome::NoLink)
            result.detail = QStringLiteral("Local Area Connection* 12");
        for (int p = 0; p < imageProblems.keyCount(); ++p) {
            result.imageProblem = UpdateImage::Problem(imageProblems.value(p));
            result.operation = OperationResult::Operation::Image;
            oneLine << OperatorTexts::sendFailed(result, path);
            twoLines << OperatorTexts::stoppedAtFile(3, result, path);
            if (result.imageProblem != UpdateImage::Problem::None)
                twoLines << OperatorTexts::imagesRefused(result.imageProblem, path);
        }
        result.imageProblem = UpdateImage::Problem::None;
        result.operation = OperationResult::Operation::Erase;
        result.fileNumber = 0;
        for (bool sent : {false, true}) {
            result.sent = sent;
            oneLine << OperatorTexts::eraseFailed(result);
            twoLines << OperatorTexts::stoppedAtErase(result);
        }
        if (result.outcome == Outcome::SendFailed) {
            for (const QString &text : {OperatorTexts::sendFailed(result, path), OperatorTexts::stoppedAtFile(3, result, path),
                                        OperatorTexts::eraseFailed(result), OperatorTexts::stoppedAtErase(result)})
                QVERIFY2(text.contains(reason.left(13)), qPrintable(text));
            QCOMPARE(OperatorTexts::failureReason(result), QStringLiteral("The network refused to send: %1.").arg(reason));
        }
    }

    const auto check = [](const QLabel *label, const QString &text, int maxLines) {
        QCOMPARE(label->wordWrap(), false);
        const QFontMetrics metrics(label->font());
        const QStringList lines = text.split(QLatin1Char('\n'));
        QVERIFY2(lines.size() <= maxLines, qPrintable(text));
        const QRect room = label->contentsRect();
        QVERIFY2(lines.size() * metrics.height() <= room.height(),
                 qPrintable(QStringLiteral("%1: %2 lines of %3 px in %4 px (%5)")
                                .arg(text).arg(lines.size()).arg(metrics.height()).arg(room.height())
                                .arg(QFontInfo(label->font()).family())));
        for (const QString &line : lines) {
            QVERIFY2(metrics.horizontalAdvance(line) <= room.width(),
                     qPrintable(QStringLiteral("\"%1\" is %2 px, the label has %3 px")
                                    .arg(line).arg(metrics.horizontalAdvance(line)).arg(room.width())));
        }
    };
    oneLine.removeDuplicates();
    twoLines.removeDuplicates();
    for (const auto &[label, texts, most] : {std::tuple{fx.f.engPrompt, &oneLine, 1}, {fx.f.userPrompt, &twoLines, 2}}) {
        for (const QString &text : std::as_const(*texts)) {
            check(label, text, most);
            if (QTest::currentTestFailed())
                return;
        }
    }
    // The bar's text with the longest time left it could tell, and a few pixels
    // for the padding the style draws it with.
    const QString barText = OperatorTexts::transferBar(3, 100, 99 * 3600 + 59 * 60 + 59);
    const int barTextWidth = QFontMetrics(fx.f.bar->font()).horizontalAdvance(barText);
    QVERIFY2(barTextWidth <= fx.f.bar->contentsRect().width() - 8,
             qPrintable(QStringLiteral("\"%1\" is %2 px, the bar has %3 px")
                            .arg(barText).arg(barTextWidth).arg(fx.f.bar->contentsRect().width())));
    // The build stamp on the widest day and hour.
    const QLabel *build = fx.window.findChild<QLabel *>(QStringLiteral("label_build"));
    QVERIFY(build);
    check(build, QStringLiteral("Dec 28 2026 - 20:28:28"), 1);
}

void tst_MainWindow::keyboard()
{
    FakePeer device;
    QVERIFY(bindWhenFree(device.socket, deviceAddress(), kCommandPort));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 1401, 4200}));
    const Form &f = fx.f;
    fx.prepare();
    fx.window.show();
    QApplication::setActiveWindow(&fx.window);
    QVERIFY(QTest::qWaitForWindowActive(&fx.window));

    // Tab follows the screen: the left column top down, then the tabs.
    f.interfaces->setFocus();
    QStringList order{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 6; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    // "Start Update" is disabled until the device answers, so Tab passes it.
    QCOMPARE(order, (QStringList{QStringLiteral("combo_interfaces"), QStringLiteral("txt_targetIp"),
                                 QStringLiteral("btn_selectUpdatePath"), QStringLiteral("combo_updatePath"),
                                 QStringLiteral("btn_initUpdate"), QStringLiteral("qt_tabwidget_tabbar"),
                                 QStringLiteral("textBrowser")}));

    // Focus on the IP field selects it, so typing replaces it.
    f.interfaces->setFocus();
    QTest::keyClick(f.interfaces, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), f.targetIp);
    QVERIFY(runLoopUntil([&] { return f.targetIp->selectedText() == f.targetIp->text(); }, 2000));
    // ... and so does a click into it.
    f.updatePath->setFocus();
    QTest::mouseClick(f.targetIp, Qt::LeftButton, {}, QPoint(5, f.targetIp->height() / 2));
    QCOMPARE(QApplication::focusWidget(), f.targetIp);
    QVERIFY(runLoopUntil([&] { return f.targetIp->selectedText() == f.targetIp->text(); }, 2000));
    QTest::keyClicks(f.targetIp, QStringLiteral("127.0.0.2"));
    QCOMPARE(f.targetIp->text(), QStringLiteral("127.0.0.2"));

    // Enter there is "Connect".
    QTest::keyClick(f.targetIp, Qt::Key_Return);
    QCOMPARE(device.next().data(), kInit);
    device.answer(kInit);
    QVERIFY(runLoopUntil([&] { return f.startButton->isEnabled(); }, 5000));

    // Enter on a focused button presses it; the focus then does not land in
    // the IP field with its text selected.
    f.startButton->setFocus();
    QTest::keyClick(f.startButton, Qt::Key_Return);
    QCOMPARE(f.userPrompt->text(), QStringLiteral("Erasing device ...\nDO NOT INTERRUPT POWER"));
    QVERIFY(QApplication::focusWidget() != f.targetIp);
    QVERIFY(f.targetIp->selectedText().isEmpty() || QApplication::focusWidget() != f.targetIp);
    for (QWidget *input : std::initializer_list<QWidget *>{f.interfaces, f.targetIp, f.updatePath, f.filePath,
                                                           f.fileNumber})
        QVERIFY2(!input->isEnabled(), qPrintable(input->objectName()));
    fx.window.link()->abort();
    QVERIFY(runLoopUntil([&] { return f.connectButton->isEnabled(); }, 5000));
    // Back where the next step is.
    QCOMPARE(QApplication::focusWidget(), f.startButton);

    // Send File from the keyboard: it holds the inputs, and the focus does
    // not pass through the IP field on its way out.
    const QString path = fx.dir.filePath(QStringLiteral("one.bin"));
    QVERIFY(writeFile(path, pseudoImage(3000)));
    MainWindow::addAndSelectPath(f.filePath, path);
    f.sendButton->setFocus();
    QTest::keyClick(f.sendButton, Qt::Key_Return);
    QVERIFY(!f.sendButton->isEnabled());
    QVERIFY(f.targetIp->selectedText().isEmpty());
    QVERIFY(QApplication::focusWidget() != f.targetIp);
    QVERIFY(runLoopUntil([&] { return f.sendButton->isEnabled(); }, 5000));
}

PRIVATE_NETWORK_TEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
