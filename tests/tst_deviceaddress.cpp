// The device IP check every program uses: what it accepts, what it refuses
// and why. Pure, so it runs without a network.

#include "deviceaddress.h"

#include <QtTest>

Q_DECLARE_METATYPE(DeviceAddress::Problem)

class tst_DeviceAddress : public QObject
{
    Q_OBJECT

private slots:
    void check_data();
    void check();
};

void tst_DeviceAddress::check_data()
{
    using P = DeviceAddress::Problem;
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("adapter");  // "address/prefix", or empty
    QTest::addColumn<DeviceAddress::Problem>("problem");
    QTest::addColumn<QString>("address");

    QTest::newRow("loopback device") << "127.0.0.2" << "" << P::None << "127.0.0.2";
    QTest::newRow("blanks around") << "  127.0.0.2\t" << "" << P::None << "127.0.0.2";
    QTest::newRow("zeros inside") << "100.0.0.1" << "" << P::None << "100.0.0.1";
    QTest::newRow("top unicast") << "223.255.255.254" << "" << P::None << "223.255.255.254";
    QTest::newRow("in the adapter's subnet") << "198.51.100.20" << "198.51.100.2/24" << P::None << "198.51.100.20";
    QTest::newRow("another subnet's broadcast") << "203.0.113.255" << "198.51.100.2/24" << P::None << "203.0.113.255";
    QTest::newRow("/31 has no broadcast") << "198.51.100.3" << "198.51.100.2/31" << P::None << "198.51.100.3";
    QTest::newRow("/31 has no network address") << "198.51.100.2" << "198.51.100.3/31" << P::None << "198.51.100.2";
    QTest::newRow("zero host inside a /23") << "198.51.101.0" << "198.51.100.2/23" << P::None << "198.51.101.0";
    QTest::newRow("all-ones host inside a /23") << "198.51.100.255" << "198.51.100.2/23" << P::None << "198.51.100.255";

    QTest::newRow("limited broadcast") << "255.255.255.255" << "" << P::Broadcast << "";
    QTest::newRow("subnet broadcast /24") << "198.51.100.255" << "198.51.100.2/24" << P::SubnetBroadcast << "";
    QTest::newRow("subnet broadcast /20") << "198.51.111.255" << "198.51.100.2/20" << P::SubnetBroadcast << "";
    QTest::newRow("loopback broadcast") << "127.255.255.255" << "127.0.0.1/8" << P::SubnetBroadcast << "";
    QTest::newRow("subnet broadcast /30") << "198.51.100.3" << "198.51.100.2/30" << P::SubnetBroadcast << "";
    QTest::newRow("network address /24") << "198.51.100.0" << "198.51.100.2/24" << P::NetworkAddress << "";
    QTest::newRow("network address /20") << "198.51.96.0" << "198.51.100.2/20" << P::NetworkAddress << "";
    QTest::newRow("network address /30") << "198.51.100.0" << "198.51.100.2/30" << P::NetworkAddress << "";
    QTest::newRow("loopback network") << "127.0.0.0" << "127.0.0.1/8" << P::NetworkAddress << "";
    QTest::newRow("the adapter's own address") << "198.51.100.2" << "198.51.100.2/24" << P::AdapterAddress << "";
    QTest::newRow("own address of a /32") << "198.51.100.2" << "198.51.100.2/32" << P::AdapterAddress << "";
    QTest::newRow("reserved, first") << "240.0.0.0" << "" << P::Reserved << "";
    QTest::newRow("reserved, last") << "255.255.255.254" << "" << P::Reserved << "";
    QTest::newRow("unspecified") << "0.0.0.0" << "" << P::Unspecified << "";
    QTest::newRow("this network") << "0.1.2.3" << "" << P::Unspecified << "";
    QTest::newRow("multicast, all hosts") << "224.0.0.1" << "" << P::Multicast << "";
    QTest::newRow("multicast, last") << "239.255.255.255" << "" << P::Multicast << "";

    // inet_aton would take these, each for a different address than typed.
    QTest::newRow("leading zero (octal)") << "198.51.100.010" << "" << P::NotAnAddress << "";
    QTest::newRow("three numbers") << "1.2.3" << "" << P::NotAnAddress << "";
    QTest::newRow("one number") << "3221225985" << "" << P::NotAnAddress << "";
    QTest::newRow("hex") << "0xc6.51.100.1" << "" << P::NotAnAddress << "";
    QTest::newRow("over 255") << "127.0.0.256" << "" << P::NotAnAddress << "";
    QTest::newRow("four digits") << "127.0.0.0001" << "" << P::NotAnAddress << "";
    QTest::newRow("sign") << "127.0.0.+1" << "" << P::NotAnAddress << "";
    QTest::newRow("blank inside") << "127.0. 0.1" << "" << P::NotAnAddress << "";
    QTest::newRow("trailing dot") << "127.0.0.1." << "" << P::NotAnAddress << "";
    QTest::newRow("five numbers") << "127.0.0.1.5" << "" << P::NotAnAddress << "";
    QTest::newRow("IPv6") << "::1" << "" << P::NotAnAddress << "";
    QTest::newRow("mapped IPv6") << "::ffff:127.0.0.2" << "" << P::NotAnAddress << "";
    QTest::newRow("name") << "encoder" << "" << P::NotAnAddress << "";
    QTest::newRow("empty") << "" << "" << P::NotAnAddress << "";
    QTest::newRow("non-ASCII digits") << QString::fromUtf8("127.0.0.\u0661") << "" << P::NotAnAddress << "";
}

void tst_DeviceAddress::check()
{
    QFETCH(QString, typed);
    QFETCH(QString, adapter);
    QFETCH(DeviceAddress::Problem, problem);
    QFETCH(QString, address);

    QNetworkAddressEntry entry;
    if (!adapter.isEmpty()) {
        const QStringList parts = adapter.split(QLatin1Char('/'));
        entry.setIp(QHostAddress(parts[0]));
        entry.setPrefixLength(parts[1].toInt());
    }
    const DeviceAddress result = DeviceAddress::check(typed, entry);
    QCOMPARE(int(result.problem), int(problem));
    QCOMPARE(result.ok(), problem == DeviceAddress::Problem::None);
    if (address.isEmpty())
        QVERIFY(result.address.isNull());
    else
        QCOMPARE(result.address, QHostAddress(address));
}

QTEST_GUILESS_MAIN(tst_DeviceAddress)
#include "tst_deviceaddress.moc"
