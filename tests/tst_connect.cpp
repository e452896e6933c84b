// "Connect" against addresses and networks that must not be used, and the
// reasons it gives when it cannot connect. The suite runs in a network
// namespace of its own with only a loopback adapter, so even a regression
// that sends to a broadcast or an unrouted address reaches nothing real.

#include "logview.h"
#include "mainwindow.h"
#include "privatenetwork.h"
#include "testsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {

using namespace testsupport;

const QString kFilesFound = QStringLiteral("Files found!\nConnecting to device ...");
const QString kConnected = QStringLiteral("Connected!\nReady to start the update.");
const QByteArray kInit = QByteArray::fromHex("a55a0f");

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
    void refusedDeviceAddresses_data();
    void refusedDeviceAddresses();
    void unreachableDevice();
    void adapterGone();
    void deviceRefusesTheConnect();
    void noAdapter();
    void lateAnswerFromTheDeviceBefore();
};

void tst_Connect::refusedDeviceAddresses_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("prompt");

    const QString notValid = QStringLiteral("The device IP is not valid.\nType an IPv4 address.");
    QTest::newRow("limited broadcast") << "255.255.255.255"
                                       << "255.255.255.255 is a broadcast address.\nType one device's IP.";
    QTest::newRow("the adapter's subnet broadcast") << "127.255.255.255"
                                                    << "127.255.255.255 is a broadcast address.\nType one device's IP.";
    QTest::newRow("the adapter's own address") << "127.0.0.1" << "127.0.0.1 is this PC's own IP.\nType the device's IP.";
    QTest::newRow("unspecified") << "0.0.0.0" << "0.0.0.0 is not a device address.\nType the device's own IP.";
    QTest::newRow("multicast") << " 224.0.0.1 " << "224.0.0.1 is a multicast address.\nType one device's IP.";
    QTest::newRow("multicast, top") << "239.255.255.250"
                                    << "239.255.255.250 is a multicast address.\nType one device's IP.";
    // Read as octal elsewhere, it would be 127.0.0.8: another device.
    QTest::newRow("leading zero") << "127.0.0.010" << notValid;
    QTest::newRow("three numbers") << "127.0.2" << notValid;
    QTest::newRow("two numbers") << "127.1" << notValid;
    QTest::newRow("hex") << "0x7f.0.0.1" << notValid;
}

void tst_Connect::refusedDeviceAddresses()
{
    QFETCH(QString, typed);
    QFETCH(QString, prompt);

    // Listens on every address of the namespace: a broadcast would land here.
    QUdpSocket listener;
    QVERIFY2(listener.bind(QHostAddress::AnyIPv4, kCommandPort), qPrintable(listener.errorString()));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 3000, 3000}));
    fx.prepare(QStringLiteral("lo - 127.0.0.1"), typed);

    fx.f.connectButton->click();
    QCOMPARE(fx.f.userPrompt->text(), prompt);
    QVERIFY(fx.f.connectButton->isEnabled());
    QVERIFY(!fx.f.startButton->isEnabled());
    // Past the second a "Connect" takes to check the files: nothing goes, ever.
    QVERIFY(!runLoopUntil([&] { return listener.hasPendingDatagrams(); }, 1300));
    QCOMPARE(sentLines(fx), 0);
    QCOMPARE(fx.f.userPrompt->text(), prompt);
}

void tst_Connect::unreachableDevice()
{
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 3000, 3000}));
    // No route to it in this namespace: the send fails at once.
    fx.prepare(QStringLiteral("lo - 127.0.0.1"), QStringLiteral("198.51.100.7"));
    QElapsedTimer clock;
    clock.start();
    fx.f.connectButton->click();
    const QString expected = QStringLiteral("198.51.100.7 cannot be reached\nfrom this adapter.");
    QVERIFY2(runLoopUntil([&] { return fx.f.userPrompt->text() == expected; }, 8000),
             qPrintable(fx.f.userPrompt->text()));
    // Told after the file check, not after the answer time-out.
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(fx.f.connectButton->isEnabled());
    QVERIFY(!fx.f.startButton->isEnabled());
    // Nothing waits for an answer any more: an erase now ends at once.
    fx.f.eraseButton->click();
    QVERIFY(runLoopUntil([&] { return fx.f.eraseButton->isEnabled(); }, 3000));
    QCOMPARE(fx.f.engPrompt->text(), QStringLiteral("Not erased: press Connect first."));
}

void tst_Connect::adapterGone()
{
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 3000, 3000}));
    // Listed once, gone since: no adapter holds this address now.
    fx.prepare(QStringLiteral("wired one - 198.51.100.2"), QStringLiteral("127.0.0.2"));
    fx.f.connectButton->click();
    const QString expected = QStringLiteral("Adapter wired one is not available.\nChoose the adapter again.");
    QVERIFY2(runLoopUntil([&] { return fx.f.userPrompt->text() == expected; }, 8000),
             qPrintable(fx.f.userPrompt->text()));
    QCOMPARE(sentLines(fx), 0);
}

void tst_Connect::deviceRefusesTheConnect()
{
    FakePeer device;
    QVERIFY(bindWhenFree(device.socket, deviceAddress(), kCommandPort));
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 3000, 3000}));
    fx.prepare();
    fx.f.connectButton->click();
    QCOMPARE(device.next().data(), kInit);

    QElapsedTimer clock;
    clock.start();
    device.answer(QByteArray::fromHex("a55a55"));
    const QString expected = QStringLiteral("The device refused to connect.\nCheck it is in update mode.");
    QVERIFY2(runLoopUntil([&] { return fx.f.userPrompt->text() == expected; }, 8000),
             qPrintable(fx.f.userPrompt->text()));
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!fx.f.startButton->isEnabled());
    // The answer time-out does not overwrite the reason later.
    QVERIFY(!runLoopUntil([&] { return fx.f.userPrompt->text() != expected; },
                          int(MainWindow::kConnectAnswerTimeout.count()) + 500));
}

void tst_Connect::noAdapter()
{
    // The namespace has only the loopback adapter, which is never listed.
    WindowFixture fx;
    QVERIFY(fx.writeImages({3000, 3000, 3000}));
    QCOMPARE(fx.f.interfaces->count(), 0);
    fx.f.connectButton->click();
    QCOMPARE(fx.f.userPrompt->text(), QStringLiteral("No network adapter with an IPv4 address."));
    QCOMPARE(sentLines(fx), 0);
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

    // The erase goes to the device that answered, and to no other.
    fx.window.link()->setTimeouts({std::chrono::seconds(2), std::chrono::seconds(2), std::chrono::seconds(2),
                                   std::chrono::milliseconds(50), std::chrono::seconds(1)});
    fx.f.startButton->click();
    QCOMPARE(second.next().data(), QByteArray::fromHex("a55af0"));
    QVERIFY(!first.socket.hasPendingDatagrams());
    QVERIFY(runLoopUntil([&] { return fx.f.connectButton->isEnabled(); }, 8000));
}

PRIVATE_NETWORK_TEST_MAIN(tst_Connect)
#include "tst_connect.moc"
