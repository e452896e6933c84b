// "Connect" against addresses and networks that must not be used, and the
// reasons it gives when it cannot connect. The suite runs in a network
// namespace of its own with only a loopback adapter, so even a regression
// that sends to a broadcast or an unrouted address reaches nothing real.

#include "logview.h"
#include "mainwindow.h"
#include "privatenetwork.h"
#include "testsupport.h"

#include <QApplication>
#include <QtTest>

namespace {

using namespace testsupport;

const QByteArray kInit = QByteArray::fromHex("a55a0f");
const int kAnswerLimitMs = int(MainWindow::kConnectAnswerTimeout.count());

// Datagrams the window has logged as sent.
int sentLines(WindowFixture &fx)
{
    fx.window.link()->log()->flush();
    return fx.f.log->toPlainText().count(QStringLiteral("TX: "));
}

} // namespace

class tst_Connect : public QObject
{
    Q_OBJECT

private slots:
    void cannotConnect_data();
    void cannotConnect();
    void connectNotAccepted_data();
    void connectNotAccepted();
    void lateAnswerFromTheDeviceBefore();
};

// Which addresses are refused is DeviceAddress::check's to decide; the rows
// show that the window asks it with the chosen adapter, and that nothing leaves.
void tst_Connect::cannotConnect_data()
{
    QTest::addColumn<QString>("adapter");  // empty: none chosen
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<int>("watchMs");  // how long nothing may reach the namespace's port 1235
    QTest::addColumn<int>("tried");    // sends the log shows: the one the system refused

    const QString lo = QStringLiteral("lo - 127.0.0.1");
    // Past the second a "Connect" takes to check the files: nothing goes, ever.
    QTest::newRow("limited broadcast") << lo << "255.255.255.255"
                                       << "255.255.255.255 is a broadcast address.\nType one device's IP." << 1300 << 0;
    QTest::newRow("the adapter's subnet broadcast")
        << lo << "127.255.255.255" << "127.255.255.255 is a broadcast address.\nType one device's IP." << 0 << 0;
    QTest::newRow("the adapter's own address") << lo << "127.0.0.1" << "127.0.0.1 is this PC's own IP.\nType the device's IP."
                                               << 0 << 0;
    QTest::newRow("multicast, blanks around") << lo << " 224.0.0.1 "
                                              << "224.0.0.1 is a multicast address.\nType one device's IP." << 0 << 0;
    // Read as octal elsewhere, it would be 127.0.0.8: another device.
    QTest::newRow("leading zero") << lo << "127.0.0.010" << "The device IP is not valid.\nType an IPv4 address." << 0 << 0;
    // The namespace has only the loopback adapter, which is never listed.
    QTest::newRow("no adapter") << "" << "127.0.0.2" << "No network adapter with an IPv4 address." << 0 << 0;
    // No route to it in this namespace: the send fails at once.
    QTest::newRow("unreachable device") << lo << "198.51.100.7" << "198.51.100.7 cannot be reached\nfrom this adapter."
                                        << 0 << 1;
    // Listed once, gone since: no adapter holds this address now.
    QTest::newRow("adapter gone") << "wired one - 198.51.100.2" << "127.0.0.2"
                                  << "Adapter wired one is not available.\nChoose the adapter again." << 0 << 0;
    // Someone else holds the port the answers come to; the reason names it.
    QTest::newRow("answer port taken") << lo << "127.0.0.2"
                                       << "Cannot open the connection:\nPort 1246 is already in use." << 0 << 0;
}

void tst_Connect::cannotConnect()
{
    QFETCH(QString, adapter);
    QFETCH(QString, ip);
    QFETCH(QString, prompt);
    QFETCH(int, watchMs);
    QFETCH(int, tried);

    // Listens on every address of the namespace: a broadcast would land here.
    QUdpSocket listener;
    if (watchMs > 0)
        QVERIFY2(listener.bind(QHostAddress::AnyIPv4, kCommandPort), qPrintable(listener.errorString()));
    QUdpSocket squatter;
    if (prompt.contains(QStringLiteral("1246")))
        QVERIFY(bindWhenFree(squatter, QHostAddress::Any, kAckPort));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 3000, 3000}));
    QCOMPARE(fx.f.interfaces->count(), 0);
    if (!adapter.isEmpty())
        fx.prepare(adapter, ip);
    QElapsedTimer clock;
    clock.start();
    fx.f.connectButton->click();
    QVERIFY2(runLoopUntil([&] { return fx.f.userPrompt->text() == prompt; }, 8000),
             qPrintable(fx.f.userPrompt->text()));
    // Told at once or after the file check, not after the answer time-out.
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(fx.window.state(), MainWindow::State::Idle);
    QVERIFY(fx.f.connectButton->isEnabled());
    QVERIFY(!fx.f.startButton->isEnabled());
    if (watchMs > 0)
        QVERIFY(!runLoopUntil([&] { return listener.hasPendingDatagrams(); }, watchMs));
    QCOMPARE(sentLines(fx), tried);
    QCOMPARE(fx.f.userPrompt->text(), prompt);
    // Nothing waits for an answer: an erase now ends at once.
    fx.f.eraseButton->click();
    QVERIFY(runLoopUntil([&] { return fx.f.eraseButton->isEnabled(); }, 3000));
    QCOMPARE(fx.f.engPrompt->text(), QStringLiteral("Not erased: press Connect first."));
}

void tst_Connect::connectNotAccepted_data()
{
    QTest::addColumn<QByteArray>("answer");  // empty: none
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<int>("minMs");  // from the press, the one-second file check included
    QTest::addColumn<int>("maxMs");

    QTest::newRow("refused") << QByteArray::fromHex("a55a55")
                             << "The device refused to connect.\nCheck it is in update mode." << 0 << 3000;
    // A coarse timer may end 5 % early.
    QTest::newRow("no answer") << QByteArray() << "No answer from the device.\nCheck IPs and update mode."
                               << 950 + kAnswerLimitMs * 95 / 100 << 1000 + kAnswerLimitMs + 3000;
}

void tst_Connect::connectNotAccepted()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, prompt);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    FakePeer device;
    QVERIFY(bindWhenFree(device.socket, deviceAddress(), kCommandPort));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 3000, 3000}));
    fx.prepare();
    QElapsedTimer sincePressed;
    sincePressed.start();
    fx.f.connectButton->click();
    QCOMPARE(device.next().data(), kInit);
    QCOMPARE(fx.f.userPrompt->text(), kFilesFound);

    if (!answer.isEmpty())
        device.answer(answer);
    QVERIFY2(runLoopUntil([&] { return fx.f.userPrompt->text() == prompt; }, maxMs),
             qPrintable(fx.f.userPrompt->text()));
    const qint64 tookMs = sincePressed.elapsed();
    QVERIFY2(tookMs >= minMs && tookMs < maxMs, qPrintable(QString::number(tookMs)));
    QVERIFY(!fx.f.startButton->isEnabled());
    QVERIFY(!fx.f.bar->isEnabled());
    QVERIFY(fx.f.connectButton->isEnabled());
    // The end of the wait for an answer does not overwrite the reason later.
    QVERIFY(!runLoopUntil([&] { return fx.f.userPrompt->text() != prompt; },
                          1000 + kAnswerLimitMs + 500 - int(sincePressed.elapsed())));
}

void tst_Connect::lateAnswerFromTheDeviceBefore()
{
    FakePeer first;
    QVERIFY(bindWhenFree(first.socket, deviceAddress(), kCommandPort));
    FakePeer second;
    const QHostAddress secondAddress(QStringLiteral("127.0.0.4"));
    QVERIFY(bindWhenFree(second.socket, secondAddress, kCommandPort));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 3000, 3000}));
    fx.prepare();

    // The first device stays silent ...
    fx.f.connectButton->click();
    QCOMPARE(first.next().data(), kInit);
    // ... the operator types another one and connects again ...
    fx.f.targetIp->setText(secondAddress.toString());
    fx.f.connectButton->click();
    QVERIFY(!fx.f.startButton->isEnabled());
    // ... and the first one's answer comes in during the file check.
    first.answer(kInit);
    QVERIFY(!runLoopUntil([&] { return fx.f.startButton->isEnabled(); }, 300));
    QCOMPARE(second.next().data(), kInit);
    QCOMPARE(fx.f.userPrompt->text(), kFilesFound);
    // Again, now that the second device's answer is awaited.
    first.answer(kInit);
    QVERIFY(!runLoopUntil([&] { return fx.f.startButton->isEnabled(); }, 500));
    QCOMPARE(fx.f.userPrompt->text(), kFilesFound);

    second.answer(kInit);
    QVERIFY(runLoopUntil([&] { return fx.f.startButton->isEnabled(); }, 5000));
    QCOMPARE(fx.f.userPrompt->text(), kConnected);

    // The erase goes to the device that answered, and to no other (the
    // window's end stops the wait for its answer).
    fx.f.startButton->click();
    QCOMPARE(second.next().data(), QByteArray::fromHex("a55af0"));
    QVERIFY(!first.socket.hasPendingDatagrams());
}

PRIVATE_NETWORK_TEST_MAIN(tst_Connect)
#include "tst_connect.moc"
