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

// An update directory with three small images.
struct Fixture {
    QTemporaryDir dir;
    MainWindow window;
    Form form{window};

    bool ready()
    {
        for (int n = 1; n <= 3; ++n) {
            if (!writeFile(dir.filePath(QStringLiteral("file%1.varnelfmw").arg(n)), pseudoImage(3000, quint32(n))))
                return false;
        }
        return dir.isValid() && form.complete();
    }
    int sentLines() const
    {
        window.link()->log()->flush();
        return form.log->toPlainText().count(QStringLiteral("TX: "));
    }
};

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
    Fixture fx;
    QVERIFY(fx.ready());
    prepare(fx.form, fx.dir.path(), QStringLiteral("lo - 127.0.0.1"), typed);

    fx.form.connectButton->click();
    QCOMPARE(fx.form.userPrompt->text(), prompt);
    QVERIFY(fx.form.connectButton->isEnabled());
    QVERIFY(!fx.form.startButton->isEnabled());
    // Past the second a "Connect" takes to check the files: nothing goes, ever.
    QVERIFY(!runLoopUntil([&] { return listener.hasPendingDatagrams(); }, 1300));
    QCOMPARE(fx.sentLines(), 0);
    QCOMPARE(fx.form.userPrompt->text(), prompt);
}

void tst_Connect::unreachableDevice()
{
    Fixture fx;
    QVERIFY(fx.ready());
    // No route to it in this namespace: the send fails at once.
    prepare(fx.form, fx.dir.path(), QStringLiteral("lo - 127.0.0.1"), QStringLiteral("198.51.100.7"));
    QElapsedTimer clock;
    clock.start();
    fx.form.connectButton->click();
    const QString expected = QStringLiteral("198.51.100.7 cannot be reached\nfrom this adapter.");
    QVERIFY2(runLoopUntil([&] { return fx.form.userPrompt->text() == expected; }, 8000),
             qPrintable(fx.form.userPrompt->text()));
    // Told after the file check, not after the answer time-out.
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(fx.form.connectButton->isEnabled());
    QVERIFY(!fx.form.startButton->isEnabled());
    // Nothing waits for an answer any more: an erase now ends at once.
    fx.form.eraseButton->click();
    QVERIFY(runLoopUntil([&] { return fx.form.eraseButton->isEnabled(); }, 3000));
    QCOMPARE(fx.form.engPrompt->text(), QStringLiteral("Erase failed: Not connected: press Connect."));
}

void tst_Connect::adapterGone()
{
    Fixture fx;
    QVERIFY(fx.ready());
    // Listed once, gone since: no adapter holds this address now.
    prepare(fx.form, fx.dir.path(), QStringLiteral("wired one - 198.51.100.2"), QStringLiteral("127.0.0.2"));
    fx.form.connectButton->click();
    const QString expected = QStringLiteral("Adapter wired one is not available.\nChoose the adapter again.");
    QVERIFY2(runLoopUntil([&] { return fx.form.userPrompt->text() == expected; }, 8000),
             qPrintable(fx.form.userPrompt->text()));
    QCOMPARE(fx.sentLines(), 0);
}

void tst_Connect::deviceRefusesTheConnect()
{
    FakePeer device;
    QVERIFY(bindWhenFree(device.socket, deviceAddress(), kCommandPort));
    Fixture fx;
    QVERIFY(fx.ready());
    prepare(fx.form, fx.dir.path());
    fx.form.connectButton->click();
    QCOMPARE(device.next().data(), kInit);

    QElapsedTimer clock;
    clock.start();
    device.answer(QByteArray::fromHex("a55a55"));
    const QString expected = QStringLiteral("The device refused to connect.\nCheck it is in update mode.");
    QVERIFY2(runLoopUntil([&] { return fx.form.userPrompt->text() == expected; }, 8000),
             qPrintable(fx.form.userPrompt->text()));
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!fx.form.startButton->isEnabled());
    // The answer time-out does not overwrite the reason later.
    QVERIFY(!runLoopUntil([&] { return fx.form.userPrompt->text() != expected; },
                          int(MainWindow::kConnectAnswerTimeout.count()) + 500));
}

void tst_Connect::noAdapter()
{
    // The namespace has only the loopback adapter, which is never listed.
    Fixture fx;
    QVERIFY(fx.ready());
    QCOMPARE(fx.form.interfaces->count(), 0);
    fx.form.connectButton->click();
    QCOMPARE(fx.form.userPrompt->text(), QStringLiteral("No network adapter with an IPv4 address."));
    QCOMPARE(fx.sentLines(), 0);
}

void tst_Connect::lateAnswerFromTheDeviceBefore()
{
    FakePeer first;
    QVERIFY(bindWhenFree(first.socket, deviceAddress(), kCommandPort));
    FakePeer second;
    const QHostAddress secondAddress(QStringLiteral("127.0.0.4"));
    QVERIFY(bindWhenFree(second.socket, secondAddress, kCommandPort));
    Fixture fx;
    QVERIFY(fx.ready());
    prepare(fx.form, fx.dir.path());

    // The first device stays silent ...
    fx.form.connectButton->click();
    QCOMPARE(first.next().data(), kInit);
    // ... the operator types another one and connects again ...
    fx.form.targetIp->setText(secondAddress.toString());
    fx.form.connectButton->click();
    QVERIFY(!fx.form.startButton->isEnabled());
    // ... and the first one's answer comes in during the file check.
    first.answer(kInit);
    QVERIFY(!runLoopUntil([&] { return fx.form.startButton->isEnabled(); }, 300));
    QCOMPARE(second.next().data(), kInit);
    QCOMPARE(fx.form.userPrompt->text(), kFilesFound);
    // Again, now that the second device's answer is awaited.
    first.answer(kInit);
    QVERIFY(!runLoopUntil([&] { return fx.form.startButton->isEnabled(); }, 500));
    QCOMPARE(fx.form.userPrompt->text(), kFilesFound);

    second.answer(kInit);
    QVERIFY(runLoopUntil([&] { return fx.form.startButton->isEnabled(); }, 5000));
    QCOMPARE(fx.form.userPrompt->text(), kConnected);

    // The erase goes to the device that answered, and to no other.
    fx.window.link()->setTimeouts({std::chrono::seconds(2), std::chrono::seconds(2), std::chrono::seconds(2)});
    fx.form.startButton->click();
    QCOMPARE(second.next().data(), QByteArray::fromHex("a55af0"));
    QVERIFY(!first.socket.hasPendingDatagrams());
    QVERIFY(runLoopUntil([&] { return fx.form.connectButton->isEnabled(); }, 8000));
}

PRIVATE_NETWORK_TEST_MAIN(tst_Connect)
#include "tst_connect.moc"
