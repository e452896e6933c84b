// The fleet window: the device list as typed, pasted or imported, and a run
// of many simulated devices driven through the window's own controls.

#include "devicelist.h"
#include "devicesimfleet.h"
#include "devicetablemodel.h"
#include "fleetwindow.h"
#include "founddevicesdialog.h"
#include "networkadapter.h"
#include "privatenetwork.h"
#include "testsupport.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

using namespace std::chrono_literals;
using namespace testsupport;

namespace {

QString joined(const QList<QHostAddress> &addresses)
{
    QStringList shown;
    for (const QHostAddress &address : addresses)
        shown << address.toString();
    return shown.join(QLatin1Char(' '));
}

QNetworkAddressEntry adapterEntry(const QString &address, int prefix)
{
    QNetworkAddressEntry entry;
    entry.setIp(QHostAddress(address));
    entry.setPrefixLength(prefix);
    return entry;
}

// Acts on the next modal widget of type T that `act` takes (returns true
// for), from a timer: the window waits for it in a loop of its own.
template <typename T>
void whenModal(const std::function<bool(T *)> &act)
{
    auto *poll = new QTimer(qApp);
    QElapsedTimer clock;
    clock.start();
    QObject::connect(poll, &QTimer::timeout, poll, [poll, clock, act] {
        auto *modal = qobject_cast<T *>(QApplication::activeModalWidget());
        if (clock.hasExpired(10000)) {
            poll->deleteLater();
            return;
        }
        // Stopped first: acting may run loops of its own.
        poll->stop();
        if (modal && act(modal))
            poll->deleteLater();
        else
            poll->start();
    });
    poll->start(10);
}

void answerNextBox(QMessageBox::StandardButton button)
{
    whenModal<QMessageBox>([button](QMessageBox *box) {
        QAbstractButton *answer = box->button(button);
        if (answer)
            answer->click();
        return answer != nullptr;
    });
}

} // namespace

class tst_FleetWindow : public QObject
{
    Q_OBJECT

private slots:
    void deviceList_data();
    void deviceList();
    void fleetThroughTheWindow();
    void findDevices();
    void portHeldIsSaid();
};

void tst_FleetWindow::deviceList_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("listed");
    QTest::addColumn<QString>("added");
    QTest::addColumn<QString>("refused");

    QTest::newRow("one") << "198.51.100.7" << "" << "198.51.100.7" << "";
    QTest::newRow("range of the last number") << "198.51.100.20-23" << ""
                                              << "198.51.100.20 198.51.100.21 198.51.100.22 198.51.100.23" << "";
    QTest::newRow("range up to the broadcast") << "198.51.100.253-255" << "" << "198.51.100.253 198.51.100.254"
                                               << "198.51.100.255:SubnetBroadcast";
    QTest::newRow("subnet: its hosts") << "198.51.100.4/30" << "" << "198.51.100.5 198.51.100.6" << "";
    QTest::newRow("subnet /31: both") << "198.51.100.6/31" << "" << "198.51.100.6 198.51.100.7" << "";
    QTest::newRow("subnet /32") << "198.51.100.9/32" << "" << "198.51.100.9" << "";
    QTest::newRow("subnet holding the adapter") << "198.51.100.0/29" << ""
                                                << "198.51.100.2 198.51.100.3 198.51.100.4 198.51.100.5 198.51.100.6"
                                                << "198.51.100.1:AdapterAddress";
    QTest::newRow("devices file") << "# site A\n\n  198.51.100.9   # rack 2\r\n198.51.100.10\r\n#198.51.100.11\n" << ""
                                  << "198.51.100.9 198.51.100.10" << "";
    QTest::newRow("pasted on one line") << "198.51.100.9, 198.51.100.10 198.51.100.11" << ""
                                        << "198.51.100.9 198.51.100.10 198.51.100.11" << "";
    QTest::newRow("twice in one paste") << "198.51.100.9\n198.51.100.9" << "" << "198.51.100.9" << "198.51.100.9:Listed";
    QTest::newRow("listed already") << "198.51.100.9-10" << "198.51.100.9" << "198.51.100.10" << "198.51.100.9:Listed";
    QTest::newRow("octal-looking") << "198.51.100.010" << "" << "" << "198.51.100.010:NotAnAddress";
    QTest::newRow("range backwards") << "198.51.100.20-10" << "" << "" << "198.51.100.20-10:RangeEnd";
    QTest::newRow("range end with a leading zero") << "198.51.100.2-030" << "" << "" << "198.51.100.2-030:RangeEnd";
    QTest::newRow("range and subnet at once") << "198.51.100.2-3/30" << "" << "" << "198.51.100.2-3/30:NotAnEntry";
    QTest::newRow("subnet not on its boundary") << "198.51.100.5/30" << "" << "" << "198.51.100.5/30:NotSubnetStart";
    QTest::newRow("subnet too wide") << "100.64.0.0/21" << "" << "" << "100.64.0.0/21:TooMany";
    QTest::newRow("widest allowed") << "100.64.0.0/22" << "" << "1022" << "";
    QTest::newRow("not an address") << "device7 198.51.100.3" << "" << "198.51.100.3" << "device7:NotAnAddress";
    QTest::newRow("prefix past 32") << "198.51.100.0/33" << "" << "" << "198.51.100.0/33:Prefix";
    QTest::newRow("range of no address") << "rack-5" << "" << "" << "rack-5:NotAnEntry";
    QTest::newRow("multicast") << "224.0.0.1" << "" << "" << "224.0.0.1:Multicast";
}

void tst_FleetWindow::deviceList()
{
    QFETCH(QString, text);
    QFETCH(QString, listed);
    QFETCH(QString, added);
    QFETCH(QString, refused);
    QList<QHostAddress> already;
    if (!listed.isEmpty())
        already << QHostAddress(listed);
    const DeviceList list = DeviceList::parse(text, adapterEntry(QStringLiteral("198.51.100.1"), 24), already);
    bool isCount = false;
    const int count = added.toInt(&isCount);
    if (isCount)
        QCOMPARE(list.added.size(), count);
    else
        QCOMPARE(joined(list.added), added);
    QStringList refusedEntries;
    for (const DeviceList::Refusal &refusal : list.refused)
        refusedEntries << refusal.entry + QLatin1Char(':')
                + (refusal.problem == DeviceList::Problem::Address ? enumName(refusal.address)
                                                                    : enumName(refusal.problem));
    QCOMPARE(refusedEntries.join(QLatin1Char(' ')), refused);
}

void tst_FleetWindow::fleetThroughTheWindow()
{
    constexpr int kDevices = 32;
    DeviceSimFleet sims;
    const QHostAddress first(QStringLiteral("127.0.0.2"));
    QVERIFY2(sims.start(first, kDevices), qPrintable(sims.errorString()));

    // Datagrams: 1 connect, 2 erase, 3 on image 1. Each fails after its erase.
    DeviceSim::Faults silentAfterErase;
    silentAfterErase.silentAfter = 2;
    DeviceSim::Faults refusesABlock;
    refusesABlock.wrongTypeAt = 5;
    DeviceSim::Faults erasedTwice;
    erasedTwice.duplicateAckOf = 2;
    erasedTwice.duplicateDelayMs = 20;
    const QHash<QString, OperationResult::Outcome> failing{
        {QStringLiteral("127.0.0.5"), OperationResult::Outcome::NoAnswer},
        {QStringLiteral("127.0.0.17"), OperationResult::Outcome::Refused},
        {QStringLiteral("127.0.0.30"), OperationResult::Outcome::AnsweredTwice}};
    sims.device(QHostAddress(QStringLiteral("127.0.0.5")))->setFaults(silentAfterErase);
    sims.device(QHostAddress(QStringLiteral("127.0.0.17")))->setFaults(refusesABlock);
    sims.device(QHostAddress(QStringLiteral("127.0.0.30")))->setFaults(erasedTwice);

    QTemporaryDir dir;
    const QList<QByteArray> images{pseudoImage(5 * 1400 + 10, 1), pseudoImage(3 * 1400, 2), pseudoImage(700, 3)};
    for (int i = 0; i < images.size(); ++i)
        QVERIFY(writeFile(dir.filePath(QStringLiteral("file%1.varnelfmw").arg(i + 1)), images.at(i)));

    FleetWindow window;
    FleetWindow::Timings timings;
    timings.timeouts = {5s, 1s, 2s, 50ms, 1s};
    timings.connectTimeout = 2s;
    timings.eraseToTransfer = 50ms;
    timings.retryPause = 100ms;
    window.setTimings(timings);
    QAbstractItemModelTester tester(window.model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    DeviceTableModel &model = *window.model();
    auto *table = window.findChild<QTableView *>(QStringLiteral("table_devices"));
    QVERIFY(table);
    QAbstractItemModelTester sortedTester(table->model(), QAbstractItemModelTester::FailureReportingMode::QtTest);

    auto *adapter = window.findChild<QComboBox *>(QStringLiteral("combo_adapter"));
    auto *directory = window.findChild<QLineEdit *>(QStringLiteral("edit_directory"));
    auto *devices = window.findChild<QLineEdit *>(QStringLiteral("edit_devices"));
    auto *add = window.findChild<QPushButton *>(QStringLiteral("btn_add"));
    auto *start = window.findChild<QPushButton *>(QStringLiteral("btn_start"));
    auto *retryFailed = window.findChild<QPushButton *>(QStringLiteral("btn_retryFailed"));
    auto *stop = window.findChild<QPushButton *>(QStringLiteral("btn_stop"));
    auto *message = window.findChild<QLabel *>(QStringLiteral("label_message"));
    QVERIFY(adapter && directory && devices && add && start && retryFailed && stop && message);

    adapter->addItem(QStringLiteral("lo - 127.0.0.1"));
    adapter->setCurrentIndex(adapter->count() - 1);
    directory->setText(dir.path());
    QTest::keyClick(directory, Qt::Key_Return);
    devices->setText(QStringLiteral("127.0.0.2-33"));
    add->click();
    // The same range again: every one refused as listed, none added twice.
    devices->setText(QStringLiteral("127.0.0.2-3"));
    add->click();
    QCOMPARE(model.rowCount(), kDevices);
    QVERIFY2(message->text().contains(QStringLiteral("127.0.0.3")), qPrintable(message->text()));
    QVERIFY(start->isEnabled());

    answerNextBox(QMessageBox::Yes);
    start->click();
    QVERIFY(runLoopUntil([&] { return window.isBusy(); }, 10000));
    QVERIFY(runLoopUntil([&] { return !window.isBusy(); }, 120000));

    for (int row = 0; row < model.rowCount(); ++row) {
        const QString device = model.device(row).toString();
        const DeviceSim &sim = *sims.device(model.device(row));
        const FleetUpdate::DeviceReport *report = model.report(row);
        QVERIFY2(report, qPrintable(device));
        QCOMPARE(model.attempts(row), 1);
        if (failing.contains(device)) {
            QCOMPARE(model.state(row), DeviceTableModel::DeviceState::Failed);
            QCOMPARE(enumName(report->result.outcome), enumName(failing.value(device)));
            QCOMPARE(report->erasure, FleetUpdate::Erasure::Yes);
            QVERIFY2(model.outcome(row).endsWith(QStringLiteral(" (erased)")), qPrintable(model.outcome(row)));
            continue;
        }
        QCOMPARE(model.state(row), DeviceTableModel::DeviceState::Done);
        const QList<DeviceSim::ImageReport> received = sim.images();
        QCOMPARE(received.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QVERIFY2(received[i].clean(), qPrintable(device + QLatin1Char(' ') + received[i].summary()));
            QVERIFY2(received[i].data == images[i], qPrintable(device));
        }
    }

    // The report says the same.
    const QString reportPath = dir.filePath(QStringLiteral("report.json"));
    QString error;
    QVERIFY2(window.saveReport(reportPath, &error), qPrintable(error));
    QFile saved(reportPath);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    const QJsonArray recorded = QJsonDocument::fromJson(saved.readAll()).object().value(QStringLiteral("devices")).toArray();
    QCOMPARE(recorded.size(), kDevices);
    for (const QJsonValue &value : recorded) {
        const QJsonObject device = value.toObject();
        const QString address = device.value(QStringLiteral("device")).toString();
        const bool fails = failing.contains(address);
        QCOMPARE(device.value(QStringLiteral("outcome")).toString(),
                 fails ? enumName(failing.value(address)) : QStringLiteral("Success"));
        QCOMPARE(device.value(QStringLiteral("erased")).toString(), QStringLiteral("yes"));
        QCOMPARE(device.value(QStringLiteral("reason")).toString().isEmpty(), !fails);
    }

    // Mended, the three failed ones are updated by "Retry failed" alone.
    for (const QString &device : failing.keys()) {
        sims.device(QHostAddress(device))->setFaults({});
        sims.device(QHostAddress(device))->clear();
    }
    QVERIFY(retryFailed->isEnabled());
    answerNextBox(QMessageBox::Yes);
    retryFailed->click();
    QVERIFY(runLoopUntil([&] { return window.isBusy(); }, 10000));
    QVERIFY(runLoopUntil([&] { return !window.isBusy(); }, 60000));
    for (int row = 0; row < model.rowCount(); ++row) {
        const QString device = model.device(row).toString();
        QCOMPARE(model.state(row), DeviceTableModel::DeviceState::Done);
        QCOMPARE(model.attempts(row), failing.contains(device) ? 2 : 1);
        if (!failing.contains(device))
            continue;
        const QList<DeviceSim::ImageReport> received = sims.device(model.device(row))->images();
        QCOMPARE(received.size(), 3);
        for (int i = 0; i < 3; ++i)
            QVERIFY2(received[i].clean() && received[i].data == images[i], qPrintable(device));
    }

    // Stop ends every device at once; each says whether it was erased.
    sims.setFaults({});
    for (DeviceSim *sim : sims.devices())
        sim->setFaults([] { DeviceSim::Faults slow; slow.ackDelayMs = 5; return slow; }());
    answerNextBox(QMessageBox::Yes);
    start->click();
    QVERIFY(runLoopUntil([&] { return stop->isEnabled(); }, 10000));
    stop->click();
    QVERIFY(runLoopUntil([&] { return !window.isBusy(); }, 10000));
    for (int row = 0; row < model.rowCount(); ++row) {
        QCOMPARE(model.state(row), DeviceTableModel::DeviceState::Stopped);
        QVERIFY2(model.outcome(row).endsWith(QLatin1Char(')')), qPrintable(model.outcome(row)));
    }

    // Delete removes the selected rows, and only those.
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    table->selectRow(0);
    table->setFocus();
    QTest::keyClick(table, Qt::Key_Delete);
    QCOMPARE(model.rowCount(), kDevices - 1);
    QVERIFY(!model.devices().contains(first));

    // Closing mid-run asks, stops every device, then offers the report.
    answerNextBox(QMessageBox::Yes);
    start->click();
    QVERIFY(runLoopUntil([&] { return stop->isEnabled(); }, 10000));
    answerNextBox(QMessageBox::Yes);
    answerNextBox(QMessageBox::Discard);
    QVERIFY(window.close());
    QVERIFY(!window.isBusy());
    for (int row = 0; row < model.rowCount(); ++row)
        QCOMPARE(model.state(row), DeviceTableModel::DeviceState::Stopped);
}

// Three devices behind an adapter of the suite's own, in a /24 of
// documentation addresses: nothing is probed until the warning is answered,
// then the ones the operator leaves checked are added.
void tst_FleetWindow::findDevices()
{
    const auto at = [](int host) { return QStringLiteral("198.51.100.%1").arg(host); };
    QStringList setUp{"link add vfleet0 type veth peer name vfleet0p", "addr add 198.51.100.1/24 dev vfleet0",
                      "link set vfleet0p up", "link set vfleet0 up"};
    for (int host = 20; host < 23; ++host)
        setUp << QStringLiteral("addr add %1/32 dev lo").arg(at(host));
    const auto takeDown = qScopeGuard([&] {
        QString ignored;
        for (int host = 20; host < 23; ++host)
            ip(QStringLiteral("addr del %1/32 dev lo").arg(at(host)), &ignored);
        ip(QStringLiteral("link del vfleet0"), &ignored);
    });
    QString error;
    for (const QString &command : std::as_const(setUp))
        QVERIFY2(ip(command, &error), qPrintable(error));
    DeviceSimFleet sims;
    QVERIFY2(sims.start(QHostAddress(at(20)), 3), qPrintable(sims.errorString()));
    // The kernel settles a link's running state a moment after `ip` returns.
    QVERIFY(runLoopUntil([] { return NetworkAdapter::list().size() == 1; }, 5000));

    FleetWindow window;
    auto *scan = window.findChild<QPushButton *>(QStringLiteral("btn_scan"));
    QVERIFY(scan);
    QVERIFY(runLoopUntil([&] { return scan->isEnabled(); }, 5000));

    answerNextBox(QMessageBox::Cancel);
    scan->click();
    QVERIFY(!window.isBusy());
    for (DeviceSim *sim : sims.devices())
        QCOMPARE(sim->receivedCount(), 0);

    answerNextBox(QMessageBox::Ok);
    whenModal<FoundDevicesDialog>([](FoundDevicesDialog *dialog) {
        auto *list = dialog->findChild<QListWidget *>(QStringLiteral("list_found"));
        if (list && list->count() == 3)
            list->item(1)->setCheckState(Qt::Unchecked);
        dialog->accept();
        return true;
    });
    scan->click();
    QVERIFY(runLoopUntil([&] { return window.model()->rowCount() > 0 && !window.isBusy(); }, 15000));
    QCOMPARE(window.model()->devices(), (QList<QHostAddress>{QHostAddress(at(20)), QHostAddress(at(22))}));
}

void tst_FleetWindow::portHeldIsSaid()
{
    FleetWindow holder;
    FleetWindow second;
    auto *message = second.findChild<QLabel *>(QStringLiteral("label_message"));
    QVERIFY(message);
    QVERIFY2(message->text().contains(QStringLiteral("Close Varnel Updater or varnel-updater-cli")),
             qPrintable(message->text()));
}

PRIVATE_NETWORK_TEST_MAIN(tst_FleetWindow)

#include "tst_fleetwindow.moc"
