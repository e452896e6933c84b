// Which addresses a scan probes: the adapter's subnet, or a range inside it,
// never the adapter itself, the network or the broadcast address, and never
// more than a thousand or so. Pure, so it runs without a network.

#include "devicescan.h"

#include <QtTest>

class tst_DeviceScan : public QObject
{
    Q_OBJECT

private slots:
    void targets_data();
    void targets();
};

void tst_DeviceScan::targets_data()
{
    QTest::addColumn<QString>("adapter");  // "address/prefix"
    QTest::addColumn<QString>("range");    // as typed; empty: none
    QTest::addColumn<int>("count");        // -1: refused
    QTest::addColumn<QString>("first");    // or what the refusal says
    QTest::addColumn<QString>("last");

    QTest::newRow("/24") << "198.51.100.1/24" << "" << 253 << "198.51.100.2" << "198.51.100.254";
    QTest::newRow("/24, the adapter inside") << "198.51.100.77/24" << "" << 253 << "198.51.100.1"
                                             << "198.51.100.254";
    QTest::newRow("/30") << "198.51.100.1/30" << "" << 1 << "198.51.100.2" << "198.51.100.2";
    QTest::newRow("/31, the other end") << "198.51.100.2/31" << "" << 1 << "198.51.100.3" << "198.51.100.3";
    QTest::newRow("/31, from its upper end") << "198.51.100.3/31" << "" << 1 << "198.51.100.2" << "198.51.100.2";
    QTest::newRow("/32") << "198.51.100.2/32" << "" << -1 << "holds no address but the adapter's own" << "";
    QTest::newRow("/22, the widest") << "198.51.100.1/22" << "" << 1021 << "198.51.100.2" << "198.51.103.254";
    QTest::newRow("/21 wants a range") << "198.51.100.1/21" << "" << -1
                                       << "the subnet 198.51.96.0/21 holds 2045 addresses to probe, more than 1024"
                                       << "";
    QTest::newRow("loopback wants a range") << "127.0.0.1/8" << "" << -1 << "give a range inside it" << "";
    QTest::newRow("range on loopback") << "127.0.0.1/8" << "127.0.0.1-127.0.0.9" << 8 << "127.0.0.2" << "127.0.0.9";
    QTest::newRow("range of 1024") << "100.64.0.1/16" << "100.64.3.0-100.64.6.255" << 1024 << "100.64.3.0"
                                   << "100.64.6.255";
    QTest::newRow("range of 1024 and the network address") << "100.64.0.1/16" << "100.64.0.0-100.64.4.1" << 1024
                                                           << "100.64.0.2" << "100.64.4.1";
    QTest::newRow("range of 1025") << "100.64.0.1/16" << "100.64.3.0-100.64.7.0" << -1
                                   << "holds 1025 addresses to probe, more than 1024" << "";
    QTest::newRow("range, the whole /24") << "198.51.100.1/24" << "198.51.100.0-198.51.100.255" << 253
                                          << "198.51.100.2" << "198.51.100.254";
    QTest::newRow("range past the subnet") << "198.51.100.1/24" << "198.51.100.200-198.51.101.5" << -1
                                           << "is not inside the adapter's subnet 198.51.100.0/24" << "";
    QTest::newRow("range in another subnet") << "198.51.100.1/24" << "203.0.113.1-203.0.113.9" << -1
                                             << "is not inside" << "";
    QTest::newRow("range, the adapter only") << "198.51.100.1/24" << "198.51.100.1-198.51.100.1" << -1
                                             << "holds no address to probe" << "";
    QTest::newRow("range backwards") << "198.51.100.1/24" << "198.51.100.9-198.51.100.3" << -1
                                     << "ends before it starts" << "";
    QTest::newRow("range, one address") << "198.51.100.1/24" << "198.51.100.9" << -1 << "FIRST-LAST" << "";
    QTest::newRow("range, octal-looking") << "198.51.100.1/24" << "198.51.100.010-198.51.100.20" << -1
                                          << "\"198.51.100.010\" in the range is no device address" << "";
    QTest::newRow("range, a broadcast end") << "198.51.100.1/24" << "198.51.100.9-255.255.255.255" << -1
                                            << "no device address" << "";
}

void tst_DeviceScan::targets()
{
    QFETCH(QString, adapter);
    QFETCH(QString, range);
    QFETCH(int, count);
    QFETCH(QString, first);
    QFETCH(QString, last);

    QNetworkAddressEntry entry;
    entry.setIp(QHostAddress(adapter.section(QLatin1Char('/'), 0, 0)));
    entry.setPrefixLength(adapter.section(QLatin1Char('/'), 1).toInt());
    QString problem;
    std::optional<DeviceScan::Range> parsed;
    if (!range.isEmpty())
        parsed = DeviceScan::parseRange(range, &problem);
    DeviceScan::Targets targets;
    if (range.isEmpty() || parsed)
        targets = DeviceScan::targets(entry, parsed);
    if (problem.isEmpty())
        problem = targets.problem;

    if (count < 0) {
        QVERIFY2(problem.contains(first), qPrintable(problem));
        QVERIFY(targets.addresses.isEmpty());
        return;
    }
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QCOMPARE(targets.addresses.size(), count);
    QCOMPARE(QHostAddress(targets.addresses.first()), QHostAddress(first));
    QCOMPARE(QHostAddress(targets.addresses.last()), QHostAddress(last));
    // Ascending, each once, and never the adapter itself.
    for (int i = 1; i < targets.addresses.size(); ++i)
        QVERIFY(targets.addresses.at(i) > targets.addresses.at(i - 1));
    QVERIFY(!targets.addresses.contains(entry.ip().toIPv4Address()));
}

QTEST_GUILESS_MAIN(tst_DeviceScan)
#include "tst_devicescan.moc"
