// The PC's side of a run: whether the adapter still holds its address and has
// link. The suite makes its own adapters with `ip`, inside a network namespace
// of its own, and takes them away again.

#include "fleetupdate.h"
#include "networkadapter.h"
#include "transport.h"
#include "privatenetwork.h"
#include "testsupport.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

Q_DECLARE_METATYPE(OperationResult::Outcome)

namespace {

const QString kAdapter = QStringLiteral("vadr0");
// A veth pair: the far end stands in for the cable and the switch.
const QStringList kWired{QStringLiteral("link add vadr0 type veth peer name vadr0p"),
                         QStringLiteral("addr add 198.51.100.1/24 dev vadr0"), QStringLiteral("link set vadr0 up")};

using testsupport::ip;

} // namespace

class tst_NetworkAdapter : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void health_data();
    void health();
    void runLosesItsAdapter_data();
    void runLosesItsAdapter();
};

void tst_NetworkAdapter::cleanup()
{
    QString ignored;
    ip(QStringLiteral("link del ") + kAdapter, &ignored);
}

void tst_NetworkAdapter::health_data()
{
    QTest::addColumn<QStringList>("commands");  // each the arguments of one `ip` run
    QTest::addColumn<QString>("address");
    QTest::addColumn<AdapterHealth::State>("state");
    QTest::addColumn<QString>("name");

    using State = AdapterHealth::State;
    const QString farEndUp = QStringLiteral("link set vadr0p up");
    const QString at = QStringLiteral("198.51.100.1");

    QTest::newRow("present and up") << kWired + QStringList{farEndUp} << at << State::Ok << kAdapter;
    QTest::newRow("loopback") << QStringList{} << "127.0.0.1" << State::Ok << "lo";
    QTest::newRow("link down") << kWired + QStringList{farEndUp, QStringLiteral("link set vadr0 down")} << at
                               << State::NoLink << kAdapter;
    // Up, but the far end is down: no carrier, as with the cable pulled.
    QTest::newRow("no carrier") << kWired << at << State::NoLink << kAdapter;
    QTest::newRow("address removed")
        << kWired + QStringList{farEndUp, QStringLiteral("addr del 198.51.100.1/24 dev vadr0")} << at
        << State::AddressLost << "";
    QTest::newRow("never existed") << QStringList{} << "100.64.0.1" << State::AddressLost << "";
}

void tst_NetworkAdapter::health()
{
    QFETCH(QStringList, commands);
    QFETCH(QString, address);
    QFETCH(AdapterHealth::State, state);
    QFETCH(QString, name);

    QString error;
    for (const QString &command : std::as_const(commands))
        QVERIFY2(ip(command, &error), qPrintable(error));
    // The kernel settles a link's running state a moment after `ip` returns.
    AdapterHealth health;
    testsupport::runLoopUntil(
        [&] {
            health = NetworkAdapter::health(QHostAddress(address));
            return health.state == state;
        },
        5000);
    QCOMPARE(testsupport::enumName(health.state), testsupport::enumName(state));
    QCOMPARE(health.name, name);
}

void tst_NetworkAdapter::runLosesItsAdapter_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<OperationResult::Outcome>("outcome");

    QTest::newRow("address removed") << QStringLiteral("addr del 198.51.100.1/24 dev vadr0")
                                     << OperationResult::Outcome::AdapterLost;
    QTest::newRow("link down") << QStringLiteral("link set vadr0 down") << OperationResult::Outcome::NoLink;
}

void tst_NetworkAdapter::runLosesItsAdapter()
{
    QFETCH(QString, command);
    QFETCH(OperationResult::Outcome, outcome);

    // The PC on one end of a veth pair, the device on the other: an image
    // under way when the PC's side goes.
    QString error;
    for (const QString &setUp : kWired + QStringList{"addr add 198.51.100.2/24 dev vadr0p", "link set vadr0p up"})
        QVERIFY2(ip(setUp, &error), qPrintable(error));
    const QHostAddress pc(QStringLiteral("198.51.100.1"));
    const QHostAddress device(QStringLiteral("198.51.100.2"));
    QVERIFY(testsupport::runLoopUntil(
        [&] { return NetworkAdapter::health(pc).state == AdapterHealth::State::Ok; }, 5000));

    // The simulated device keeps to loopback; a bare socket answers here,
    // until the cut: both ends are in this namespace, so only the device
    // falling silent shows the operator what a pulled cable would.
    bool cut = false;
    QUdpSocket peer;
    QVERIFY2(peer.bind(device, testsupport::kCommandPort), qPrintable(peer.errorString()));
    connect(&peer, &QUdpSocket::readyRead, this, [&] {
        while (peer.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = peer.receiveDatagram();
            if (!cut)
                peer.writeDatagram(datagram.data().left(3), pc, testsupport::kAckPort);
        }
    });
    Transport transport;
    QVERIFY2(transport.openAnswerPort() && transport.openAdapter(pc), qPrintable(transport.errorString()));

    FleetUpdate update(&transport);
    FleetUpdate::Options options;
    options.mode = FleetUpdate::Mode::SendOne;
    options.devices = {device};
    options.adapter = pc;
    options.images = {testsupport::pseudoImage(400 * 1400)};
    options.timeouts = {std::chrono::seconds(2), std::chrono::milliseconds(500), std::chrono::milliseconds(500)};
    connect(&update, &FleetUpdate::progress, this, [&](const QHostAddress &, int, quint32 done, quint32) {
        if (!cut && done >= 20) {
            cut = true;
            QString ignored;
            ip(command, &ignored);
        }
    });
    update.start(options);
    QVERIFY(testsupport::runLoopUntil([&] { return !update.isRunning(); }, 20000));
    QVERIFY(cut);

    const FleetUpdate::DeviceReport report = update.reports().value(0);
    QCOMPARE(testsupport::enumName(report.result.outcome), testsupport::enumName(outcome));
    QCOMPARE(report.result.detail, kAdapter);
}

PRIVATE_NETWORK_TEST_MAIN(tst_NetworkAdapter)
#include "tst_networkadapter.moc"
