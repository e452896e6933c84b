// The fleet window's case and its yardstick: varnel-fleet's window driven
// through its controls as an operator would, and varnel-updater-cli run as
// a script would, each updating the same simulated devices with the same
// images, the same number at once. The window's figure besides throughput is
// how long its event loop stops answering while the devices are updated.

#include "cases.h"

#include "casesupport.h"
#include "findwidget.h"
#include "devicetablemodel.h"
#include "fleetwindow.h"
#include "loopback.h"
#include "measures.h"
#include "protocol.h"
#include "simulatorprocess.h"
#include "timedprocess.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace bench {

namespace {

// What both cases start from: the update directory, the devices' addresses
// and the simulator standing in for them, listening.
struct Fleet
{
    explicit Fleet(int simulatorCpu) : simulator(simulatorCpu) {}

    bool prepare(QString *error)
    {
        const QList<QByteArray> images = fleetImages(kFleetWindowImageMib);
        blocksPerImage = protocol::blockCount(images.first().size());
        if (!scratch.isValid() || !QDir(scratch.path()).mkdir(QStringLiteral("update"))) {
            *error = QStringLiteral("no temporary folder");
            return false;
        }
        for (int i = 0; i < images.size(); ++i) {
            QFile file(updateDir().filePath(QStringLiteral("file%1.varnelfmw").arg(i + 1)));
            if (!file.open(QIODevice::WriteOnly) || file.write(images.at(i)) != images.at(i).size()) {
                *error = QStringLiteral("cannot write %1").arg(file.fileName());
                return false;
            }
        }
        const quint32 first = QHostAddress(QString::fromLatin1(kFleetFirstIp)).toIPv4Address();
        for (int i = 0; i < kFleetWindowDevices; ++i)
            devices << QHostAddress(first + quint32(i));
        return simulator.start({kFleetWindowDevices, 0}, kFleetWindowLimitMs, error);
    }

    QDir updateDir() const { return QDir(scratch.filePath(QStringLiteral("update"))); }
    quint32 blocks() const { return quint32(kFleetWindowDevices) * kFleetImages * blocksPerImage; }

    // The simulator saw every device updated whole; its CPU goes to `result`.
    bool finish(CaseResult &result)
    {
        if (!simulator.finish(kFleetWindowDevices, blocksPerImage, &result.error))
            return false;
        result.simulatorCpu = simulator.cpuSeconds();
        result.blocks = blocks();
        return true;
    }

    QTemporaryDir scratch;
    QList<QHostAddress> devices;
    quint32 blocksPerImage = 0;
    SimulatorProcess simulator;
};

// The devices as an operator types them: one range of the last number per
// /24 they span.
QString deviceRanges(const QList<QHostAddress> &devices)
{
    QStringList ranges;
    int from = 0;
    for (int i = 1; i <= devices.size(); ++i) {
        const quint32 start = devices.at(from).toIPv4Address();
        if (i < devices.size() && devices.at(i).toIPv4Address() >> 8 == start >> 8)
            continue;
        const quint32 end = devices.at(i - 1).toIPv4Address();
        ranges << QStringLiteral("%1-%2").arg(devices.at(from).toString()).arg(end & 0xff);
        from = i;
    }
    return ranges.join(QLatin1Char(' '));
}

// The event loop's pauses: the gaps between the ticks of a precise timer,
// each beyond its period. The kernel's count of how long the thread waited
// for a CPU tells a pause of its own from one where other processes ran.
class PauseMeter : public QObject
{
public:
    explicit PauseMeter(const std::function<void()> &onTick)
        : _onTick(onTick)
    {
        _ticker.setTimerType(Qt::PreciseTimer);
        _ticker.setInterval(kFleetWindowTickMs);
        connect(&_ticker, &QTimer::timeout, this, [this] {
            record();
            _onTick();
        });
    }
    ~PauseMeter() override
    {
        if (_schedstat >= 0)
            close(_schedstat);
    }

    // On the thread measured.
    void start()
    {
        _schedstat = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
        _lastWaitNs = waitedNs();
        _clock.start();
        _last = 0;
        _ticker.start();
    }
    void stop()
    {
        _ticker.stop();
        record();  // the stretch after the last tick counts too
    }
    int ticks() const { return int(_pausesNs.size()); }
    double longestMs() const
    {
        return _pausesNs.empty() ? -1 : double(*std::max_element(_pausesNs.begin(), _pausesNs.end())) / 1e6;
    }
    double percentileMs(double share) const
    {
        if (_pausesNs.empty())
            return -1;
        std::vector<qint64> sorted = _pausesNs;
        const size_t at = std::min(sorted.size() - 1, size_t(share * double(sorted.size())));
        std::nth_element(sorted.begin(), sorted.begin() + qsizetype(at), sorted.end());
        return double(sorted[at]) / 1e6;
    }
    // The longest pause less what the thread spent waiting for a CPU in it;
    // -1 when the kernel does not say.
    double longestOwnMs() const { return _schedstat < 0 ? -1 : double(_longestOwnNs) / 1e6; }

private:
    // The second figure of schedstat: time runnable but not running.
    qint64 waitedNs() const
    {
        char text[96] = {};
        if (_schedstat < 0 || pread(_schedstat, text, sizeof text - 1, 0) <= 0)
            return 0;
        long long running = 0;
        long long waiting = 0;
        return std::sscanf(text, "%lld %lld", &running, &waiting) == 2 ? qint64(waiting) : 0;
    }

    void record()
    {
        const qint64 now = _clock.nsecsElapsed();
        const qint64 waited = waitedNs();
        const qint64 pause = qMax<qint64>(0, now - _last - qint64(kFleetWindowTickMs) * 1000000);
        _pausesNs.push_back(pause);
        _longestOwnNs = qMax(_longestOwnNs, pause - qMin(pause, waited - _lastWaitNs));
        _last = now;
        _lastWaitNs = waited;
    }

    std::function<void()> _onTick;
    QTimer _ticker;
    QElapsedTimer _clock;
    qint64 _last = 0;
    std::vector<qint64> _pausesNs;
    int _schedstat = -1;
    qint64 _lastWaitNs = 0;
    qint64 _longestOwnNs = 0;
};

} // namespace

CaseResult runFleetWindow(int simulatorCpu)
{
    CaseResult result;
    Fleet fleet(simulatorCpu);
    if (!fleet.prepare(&result.error))
        return result;

    FleetWindow window;
    QStringList missing;
    auto *adapter = widget<QComboBox>(window, "combo_adapter", missing);
    auto *directory = widget<QLineEdit>(window, "edit_directory", missing);
    auto *devices = widget<QLineEdit>(window, "edit_devices", missing);
    auto *add = widget<QAbstractButton>(window, "btn_add", missing);
    auto *parallel = widget<QSpinBox>(window, "spin_parallel", missing);
    auto *retries = widget<QSpinBox>(window, "spin_retries", missing);
    auto *start = widget<QAbstractButton>(window, "btn_start", missing);
    auto *message = widget<QLabel>(window, "label_message", missing);
    if (!missing.isEmpty()) {
        result.error = QStringLiteral("widgets not found: %1").arg(missing.join(QLatin1Char(' ')));
        return result;
    }
    DeviceTableModel &model = *window.model();

    adapter->addItem(QStringLiteral("lo - %1").arg(QLatin1String(kLocalIp)));
    adapter->setCurrentIndex(adapter->count() - 1);
    directory->setText(fleet.updateDir().path());
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(directory, &enter);
    devices->setText(deviceRanges(fleet.devices));
    add->click();
    parallel->setValue(kFleetWindowParallel);
    retries->setValue(0);
    if (model.devices() != fleet.devices || parallel->value() != kFleetWindowParallel) {
        result.error = QStringLiteral("the window lists %1 devices, %2 at once: %3")
                           .arg(model.rowCount())
                           .arg(parallel->value())
                           .arg(message->text());
        return result;
    }
    window.show();
    if (!waitUntil([&] { return window.isVisible() && start->isEnabled(); }, 5000)) {
        result.error = QStringLiteral("Start is not offered: %1").arg(message->text());
        return result;
    }

    QEventLoop loop;
    PauseMeter pauses([&] {
        if (!window.isBusy())
            loop.quit();
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    // Start asks first, in a loop of its own: the run begins with Yes.
    double cpuBefore = 0;
    qint64 startNs = 0;
    QTimer answer;
    answer.setInterval(10);
    QObject::connect(&answer, &QTimer::timeout, &answer, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        QAbstractButton *yes = box ? box->button(QMessageBox::Yes) : nullptr;
        if (!yes)
            return;
        answer.stop();
        cpuBefore = cpuSeconds();
        startNs = monotonicNs();
        pauses.start();
        yes->click();
    });
    answer.start();
    QTimer::singleShot(10000, &answer, &QTimer::stop);
    start->click();
    if (startNs == 0 || !window.isBusy()) {
        result.error = QStringLiteral("Start did not start the run: %1").arg(message->text());
        return result;
    }
    guard.start(kFleetWindowLimitMs);
    loop.exec();
    const qint64 endNs = monotonicNs();
    pauses.stop();
    result.cpu = cpuSeconds() - cpuBefore;
    result.seconds = double(endNs - startNs) / 1e9;
    result.stallMs = pauses.longestMs();
    result.stallP99Ms = pauses.percentileMs(0.99);
    result.ownStallMs = pauses.longestOwnMs();

    if (window.isBusy()) {
        result.error = QStringLiteral("the run still went on after %1 s").arg(kFleetWindowLimitMs / 1000);
        return result;  // closing the window stops every device
    }
    // A ticker starved for the whole run would measure nothing.
    if (pauses.ticks() < int(result.seconds * 1000 / kFleetWindowTickMs / 10)) {
        result.error = QStringLiteral("the ticker ticked %1 times in %2 s").arg(pauses.ticks()).arg(result.seconds);
        return result;
    }
    for (int row = 0; row < model.rowCount(); ++row) {
        const FleetUpdate::DeviceReport *report = model.report(row);
        if (model.state(row) != DeviceTableModel::DeviceState::Done || !report || !report->ok()
            || report->imagesDone != kFleetImages || model.attempts(row) != 1) {
            result.error = QStringLiteral("%1: %2, after %3 attempt(s)")
                               .arg(model.device(row).toString(), model.outcome(row))
                               .arg(model.attempts(row));
            return result;
        }
    }
    if (!fleet.finish(result))
        return result;
    result.ok = true;
    return result;
}

CaseResult runFleetCli(int simulatorCpu)
{
    CaseResult result;
    Fleet fleet(simulatorCpu);
    if (!fleet.prepare(&result.error))
        return result;
    const QDir scratch(fleet.scratch.path());
    QFile list(scratch.filePath(QStringLiteral("devices.txt")));
    if (!list.open(QIODevice::WriteOnly)) {
        result.error = QStringLiteral("cannot write %1").arg(list.fileName());
        return result;
    }
    for (const QHostAddress &device : fleet.devices)
        list.write(device.toString().toLatin1() + '\n');
    list.close();

    const QString reportPath = scratch.filePath(QStringLiteral("report.json"));
    const QString err = scratch.filePath(QStringLiteral("cli.err"));
    const TimedProcess process = runTimed(
        QStringLiteral(VARNEL_CLI),
        {QStringLiteral("--devices"), list.fileName(), QStringLiteral("--adapter"), QLatin1String(kLocalIp),
         QStringLiteral("--parallel"), QString::number(kFleetWindowParallel), QStringLiteral("--report"), reportPath,
         fleet.updateDir().path()},
        scratch.filePath(QStringLiteral("cli.out")), err, kFleetWindowLimitMs);
    result.cpu = process.cpu;
    result.peakKb = process.peakKb;
    result.seconds = process.seconds;
    if (!process.succeeded()) {
        result.error = QStringLiteral("%1: %2").arg(process.describe(), fileHead(err));
        return result;
    }
    QFile report(reportPath);
    const QJsonArray recorded = report.open(QIODevice::ReadOnly)
        ? QJsonDocument::fromJson(report.readAll()).object().value(QLatin1String("devices")).toArray()
        : QJsonArray();
    int updated = 0;
    for (const QJsonValue &device : recorded)
        updated += device.toObject().value(QLatin1String("outcome")).toString() == QLatin1String("Success");
    if (recorded.size() != kFleetWindowDevices || updated != kFleetWindowDevices) {
        result.error = QStringLiteral("its report lists %1 devices, %2 updated").arg(recorded.size()).arg(updated);
        return result;
    }
    if (!fleet.finish(result))
        return result;
    result.ok = true;
    return result;
}

} // namespace bench
