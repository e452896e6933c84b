#include "fleetwindow.h"
#include "ui_fleetwindow.h"

#include "appicon.h"
#include "crc.h"
#include "deviceaddress.h"
#include "devicelist.h"
#include "devicetablemodel.h"
#include "founddevicesdialog.h"
#include "operatortexts.h"
#include "progressdelegate.h"
#include "reportfile.h"
#include "updateimage.h"

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIcon>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QSortFilterProxyModel>
#include <QTime>

namespace {

// Past this, the log drops its oldest lines: hundreds of devices stay cheap.
constexpr int kLogLines = 20000;
// A stop is told to every device at once; each answers within its next wait.
constexpr std::chrono::seconds kStopWait{10};
// The refusals shown by name; the rest are counted.
constexpr int kRefusalsShown = 5;

QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1Char(' '));
}


} // namespace

FleetWindow::FleetWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(std::make_unique<Ui::FleetWindow>())
    , _model(new DeviceTableModel(this))
    , _sorted(new QSortFilterProxyModel(this))
    , _fleet(&_transport)
    , _scan(&_transport)
{
    ui->setupUi(this);
    setWindowTitle(tr("Varnel Fleet Updater"));
    setWindowIcon(logoIcon(QImage(QStringLiteral(":/icons/logo.png"))));

    _sorted->setSourceModel(_model);
    _sorted->setSortRole(DeviceTableModel::SortRole);
    ui->table_devices->setModel(_sorted);
    ui->table_devices->setItemDelegateForColumn(DeviceTableModel::Progress, new ProgressDelegate(this));
    ui->table_devices->sortByColumn(DeviceTableModel::Address, Qt::AscendingOrder);
    ui->table_devices->verticalHeader()->hide();
    ui->table_devices->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 8);
    ui->table_devices->horizontalHeader()->setStretchLastSection(true);
    ui->table_devices->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    ui->table_devices->setColumnWidth(DeviceTableModel::Address, 120);
    ui->table_devices->setColumnWidth(DeviceTableModel::Progress, 140);
    ui->log_events->setMaximumBlockCount(kLogLines);
    ui->splitter->setStretchFactor(0, 3);
    ui->splitter->setStretchFactor(1, 1);
    _summary.setInterval(std::chrono::milliseconds(500));
    _clock.start();

    wire();
    readAdapters();
    if (ui->combo_adapter->count() == 0)
        say(oneLine(OperatorTexts::noAdapter()));
    // The port is held from here on, so one held elsewhere is said at once.
    if (!_transport.openAnswerPort())
        say(tr("Port 1246 is held: %1\nClose Varnel Updater or varnel-updater-cli, then try again.")
                .arg(_transport.errorString()));
    updateControls();
    updateSummary();
}

FleetWindow::~FleetWindow() = default;

void FleetWindow::wire()
{
    connect(ui->combo_adapter, &AdapterComboBox::aboutToShowPopup, this, &FleetWindow::readAdapters);
    connect(ui->combo_adapter, &QComboBox::currentTextChanged, this, &FleetWindow::updateControls);
    connect(ui->btn_browse, &QPushButton::clicked, this, &FleetWindow::chooseDirectory);
    connect(ui->edit_directory, &QLineEdit::editingFinished, this, [this] {
        if (ui->edit_directory->text() != _directory || _images.isEmpty())
            loadImages();
        updateControls();
    });
    connect(ui->edit_devices, &QLineEdit::returnPressed, ui->btn_add, &QPushButton::click);
    connect(ui->btn_add, &QPushButton::clicked, this, [this] { addDevices(ui->edit_devices->text()); });
    connect(ui->btn_import, &QPushButton::clicked, this, &FleetWindow::importDevices);
    connect(ui->btn_scan, &QPushButton::clicked, this, &FleetWindow::findDevices);
    connect(ui->btn_remove, &QPushButton::clicked, this, &FleetWindow::removeSelected);
    connect(ui->btn_start, &QPushButton::clicked, this, &FleetWindow::start);
    connect(ui->btn_stop, &QPushButton::clicked, this, [this] {
        setState(State::Stopping);
        _fleet.abort();
    });
    connect(ui->btn_retry, &QPushButton::clicked, this, &FleetWindow::retrySelected);
    connect(ui->btn_retryFailed, &QPushButton::clicked, this, &FleetWindow::retryFailed);
    connect(ui->btn_saveReport, &QPushButton::clicked, this, &FleetWindow::offerReport);

    auto *remove = new QAction(tr("Remove"), ui->table_devices);
    remove->setShortcut(QKeySequence::Delete);
    remove->setShortcutContext(Qt::WidgetShortcut);
    connect(remove, &QAction::triggered, this, &FleetWindow::removeSelected);
    auto *paste = new QAction(tr("Paste devices"), ui->table_devices);
    paste->setShortcut(QKeySequence::Paste);
    paste->setShortcutContext(Qt::WidgetShortcut);
    connect(paste, &QAction::triggered, this, &FleetWindow::pasteDevices);
    ui->table_devices->addActions({remove, paste});
    connect(ui->table_devices->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &FleetWindow::updateControls);
    connect(_model, &QAbstractItemModel::rowsInserted, this, &FleetWindow::updateControls);
    connect(_model, &QAbstractItemModel::rowsRemoved, this, &FleetWindow::updateControls);
    connect(&_summary, &QTimer::timeout, this, &FleetWindow::updateSummary);

    connect(&_fleet, &FleetUpdate::attempt, this, [this](const QHostAddress &device, int number) {
        _model->attemptStarted(device);
        if (number > 1)
            logEvent(device, tr("attempt %1").arg(number));
    });
    connect(&_fleet, &FleetUpdate::connected, this, [this](const QHostAddress &device) {
        _model->setState(device, DeviceTableModel::DeviceState::Erasing);
        logEvent(device, tr("connected"));
    });
    connect(&_fleet, &FleetUpdate::erased, this, [this](const QHostAddress &device) {
        logEvent(device, tr("erased"));
    });
    connect(&_fleet, &FleetUpdate::progress, this,
            [this](const QHostAddress &device, int image, quint32 done, quint32 total) {
                _model->progress(device, image, done, total, _clock.elapsed());
            });
    connect(&_fleet, &FleetUpdate::imageDone, this, [this](const QHostAddress &device, const OperationResult &result) {
        logEvent(device, tr("image %1 done").arg(result.fileNumber));
    });
    connect(&_fleet, &FleetUpdate::attemptFailed, this,
            [this](const QHostAddress &device, int number, const OperationResult &result) {
                const QString reason = OperatorTexts::failureReason(result, imagePath(result.fileNumber));
                _model->attemptFailed(device, reason);
                logEvent(device, tr("attempt %1 failed: %2").arg(number).arg(reason));
            });
    connect(&_fleet, &FleetUpdate::deviceDone, this, [this](const QHostAddress &device) {
        const FleetUpdate::DeviceReport *report = _fleet.report(device);
        if (!report)
            return;
        QString outcome = tr("Updated");
        if (!report->ok()) {
            QString reason = oneLine(OperatorTexts::failureReason(*report, imagePath(report->result.fileNumber)));
            while (reason.endsWith(QLatin1Char('.')))
                reason.chop(1);
            outcome = tr("%1 (%2)").arg(reason, OperatorTexts::erasure(report->erasure));
        }
        _model->finish(device, *report, outcome);
        logEvent(device, report->ok() ? tr("done") : tr("failed: %1").arg(outcome));
    });
    connect(&_fleet, &FleetUpdate::finished, this, &FleetWindow::runEnded);
    connect(&_scan, &DeviceScan::finished, this, &FleetWindow::scanEnded);
}

void FleetWindow::setState(State state)
{
    _state = state;
    updateControls();
}

void FleetWindow::updateControls()
{
    const bool idle = _state == State::Idle;
    const bool running = _state == State::Running;
    bool anyFailed = false;
    for (int row = 0; row < _model->rowCount() && !anyFailed; ++row)
        anyFailed = _model->state(row) == DeviceTableModel::DeviceState::Failed;
    bool selectedEnded = false;
    for (int row : selectedRows()) {
        const auto state = _model->state(row);
        selectedEnded = selectedEnded || state == DeviceTableModel::DeviceState::Failed
                        || state == DeviceTableModel::DeviceState::Stopped;
    }
    const bool haveAdapter = adapter().has_value();
    const bool ready = idle && haveAdapter && !_images.isEmpty() && _model->rowCount() > 0;

    ui->combo_adapter->setEnabled(idle);
    ui->edit_directory->setEnabled(idle);
    ui->btn_browse->setEnabled(idle);
    ui->spin_parallel->setEnabled(idle);
    ui->spin_retries->setEnabled(idle);
    ui->edit_devices->setEnabled(idle);
    ui->btn_add->setEnabled(idle);
    ui->btn_import->setEnabled(idle);
    ui->btn_scan->setEnabled(idle && haveAdapter);
    ui->btn_remove->setEnabled(idle && !selectedRows().isEmpty());
    ui->btn_start->setEnabled(ready);
    ui->btn_stop->setEnabled(running);
    ui->btn_retry->setEnabled(ready && selectedEnded);
    ui->btn_retryFailed->setEnabled(ready && anyFailed);
    ui->btn_saveReport->setEnabled(idle && _firstStarted.isValid());
}

void FleetWindow::say(const QString &text)
{
    ui->label_message->setText(text);
}

void FleetWindow::readAdapters()
{
    const QString chosen = ui->combo_adapter->currentText();
    QStringList entries;
    const QList<NetworkAdapter> adapters = NetworkAdapter::list();
    for (const NetworkAdapter &adapter : adapters)
        entries << adapter.displayText();
    // One chosen before stays, so the list never changes under the operator.
    if (!chosen.isEmpty() && !entries.contains(chosen))
        entries.prepend(chosen);
    ui->combo_adapter->blockSignals(true);
    ui->combo_adapter->clear();
    ui->combo_adapter->addItems(entries);
    ui->combo_adapter->setCurrentIndex(chosen.isEmpty() ? 0 : int(entries.indexOf(chosen)));
    ui->combo_adapter->blockSignals(false);
    updateControls();
}

std::optional<NetworkAdapter> FleetWindow::adapter() const
{
    const QString entry = ui->combo_adapter->currentText();
    // The adapter's name may itself hold " - ": the address is the last piece.
    const QHostAddress address(entry.mid(entry.lastIndexOf(QStringLiteral(" - ")) + 3));
    if (entry.isEmpty() || address.protocol() != QAbstractSocket::IPv4Protocol)
        return std::nullopt;
    return NetworkAdapter::withAddress(address);
}

bool FleetWindow::openTransport(const NetworkAdapter &adapter)
{
    if (!_transport.openAnswerPort()) {
        say(tr("Port 1246 is held: %1\nClose Varnel Updater or varnel-updater-cli, then try again.")
                .arg(_transport.errorString()));
        return false;
    }
    if (!_transport.openAdapter(adapter.entry.ip())) {
        say(oneLine(OperatorTexts::cannotOpen(_transport.errorString())));
        return false;
    }
    return true;
}

QString FleetWindow::imagePath(int number) const
{
    return number < 1 ? QString() : QDir(_directory).filePath(QStringLiteral("file%1.varnelfmw").arg(number));
}

bool FleetWindow::loadImages()
{
    _directory = ui->edit_directory->text();
    _images.clear();
    _checksums.clear();
    QStringList lines;
    QList<QByteArray> images;
    bool fit = true;
    for (int number = 1; number <= 3; ++number) {
        const QString path = imagePath(number);
        const UpdateImage image = UpdateImage::load(path);
        if (!image.ok()) {
            fit = false;
            lines << oneLine(OperatorTexts::imageProblem(image.problem(), path, 40));
            continue;
        }
        const quint32 checksum = crc().crc32(image.data());
        images << image.data();
        _checksums << checksum;
        lines << tr("%1: %L2 bytes, CRC-32/MPEG-2 %3")
                     .arg(QFileInfo(path).fileName())
                     .arg(image.data().size())
                     .arg(checksum, 8, 16, QLatin1Char('0'));
    }
    ui->label_images->setText(lines.join(QLatin1Char('\n')));
    if (fit)
        _images = images;
    else
        _checksums.clear();
    updateControls();
    return fit;
}

void FleetWindow::chooseDirectory()
{
    const QString dir = QFileDialog::getExistingDirectory(this, tr("Update directory"), ui->edit_directory->text());
    if (dir.isEmpty())
        return;
    ui->edit_directory->setText(QDir::toNativeSeparators(dir));
    loadImages();
}

void FleetWindow::addDevices(const QString &text)
{
    const std::optional<NetworkAdapter> chosen = adapter();
    if (!chosen) {
        say(oneLine(OperatorTexts::noAdapter()));
        return;
    }
    const DeviceList list = DeviceList::parse(text, chosen->entry, _model->devices());
    _model->addDevices(list.added);
    QStringList refused;
    for (const DeviceList::Refusal &refusal : list.refused.mid(0, kRefusalsShown))
        refused << OperatorTexts::deviceEntryRefused(refusal);
    if (list.refused.size() > kRefusalsShown)
        refused << tr("and %n more", nullptr, int(list.refused.size() - kRefusalsShown));
    QString message = tr("%n device(s) added.", nullptr, int(list.added.size()));
    if (!refused.isEmpty())
        message += QLatin1Char(' ') + tr("Not added: %1").arg(refused.join(QLatin1Char(' ')));
    say(message);
    if (list.refused.isEmpty())
        ui->edit_devices->clear();
}

void FleetWindow::importDevices()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Import devices"));
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        say(tr("Cannot read %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return;
    }
    addDevices(QString::fromUtf8(file.readAll()));
}

void FleetWindow::pasteDevices()
{
    if (_state == State::Idle)
        addDevices(QGuiApplication::clipboard()->text());
}

QList<int> FleetWindow::selectedRows() const
{
    QList<int> rows;
    const QModelIndexList selected = ui->table_devices->selectionModel()->selectedRows();
    for (const QModelIndex &index : selected)
        rows << _sorted->mapToSource(index).row();
    return rows;
}

void FleetWindow::removeSelected()
{
    if (_state == State::Idle)
        _model->removeDevices(selectedRows());
}

void FleetWindow::findDevices()
{
    const std::optional<NetworkAdapter> chosen = adapter();
    if (!chosen || _state != State::Idle)
        return;
    const DeviceScan::Targets targets = DeviceScan::targets(chosen->entry, std::nullopt);
    if (!targets.ok()) {
        say(tr("Cannot scan from %1: %2").arg(chosen->displayText(), targets.problem));
        return;
    }
    const auto answer = QMessageBox::warning(
        this, tr("Find devices"),
        tr("A device being updated by another PC may take the probe for an extra answer and fail: scan only "
           "when no update is running on that LAN.\n\nSend the connect command to the %n address(es) of %1?",
           nullptr, int(targets.addresses.size()))
            .arg(chosen->displayText()),
        QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer != QMessageBox::Ok || !openTransport(*chosen))
        return;
    setState(State::Scanning);
    say(tr("Finding devices..."));
    _scan.start(chosen->entry.ip().toIPv4Address(), targets.addresses);
}

void FleetWindow::scanEnded()
{
    setState(State::Idle);
    QList<QHostAddress> found;
    const QList<QHostAddress> listed = _model->devices();
    for (const QHostAddress &device : _scan.found()) {
        if (!listed.contains(device))
            found << device;
    }
    if (found.isEmpty()) {
        say(tr("No device answered that is not listed already. Check that each device's target IP is this PC's "
               "adapter address, and that the device is in update mode."));
        return;
    }
    FoundDevicesDialog dialog(found, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    QStringList chosen;
    for (const QHostAddress &device : dialog.chosen())
        chosen << device.toString();
    addDevices(chosen.join(QLatin1Char('\n')));
}

void FleetWindow::start()
{
    runDevices(_model->devices());
}

void FleetWindow::runDevices(const QList<QHostAddress> &devices)
{
    const std::optional<NetworkAdapter> chosen = adapter();
    if (!chosen || devices.isEmpty() || _state != State::Idle)
        return;
    // A retry erases as much as a start does.
    const auto answer = QMessageBox::question(
        this, tr("Start the update"),
        tr("Erase and update %n device(s)? Each device stays unusable until its update finishes.", nullptr,
           int(devices.size())),
        QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer != QMessageBox::Yes)
        return;
    // Read again: the bytes sent are the bytes checked now.
    if (!loadImages()) {
        say(tr("The images are not fit to send; nothing was sent."));
        return;
    }
    // Listed under another adapter, an address may be this one's broadcast.
    QStringList refused;
    for (const QHostAddress &device : devices) {
        const DeviceAddress checked = DeviceAddress::check(device.toString(), chosen->entry);
        if (!checked.ok())
            refused << oneLine(OperatorTexts::deviceAddressProblem(checked.problem, device.toString()));
    }
    if (!refused.isEmpty()) {
        say(tr("Nothing was sent. Remove these devices first: %1").arg(refused.join(QStringLiteral("; "))));
        return;
    }
    if (!openTransport(*chosen))
        return;

    QList<std::pair<int, qint64>> sizes;
    for (int i = 0; i < _images.size(); ++i)
        sizes.append({i + 1, _images.at(i).size()});
    _model->setImages(sizes);
    _model->queue(devices);

    FleetUpdate::Options options;
    options.mode = FleetUpdate::Mode::Update;
    options.devices = devices;
    options.adapter = chosen->entry.ip();
    options.parallel = ui->spin_parallel->value();
    options.images = _images;
    options.checksums = _checksums;
    options.timeouts = _timings.timeouts;
    options.connectTimeout = _timings.connectTimeout;
    options.eraseToTransfer = _timings.eraseToTransfer;
    options.retries = ui->spin_retries->value();
    options.retryPause = _timings.retryPause;

    _runAdapter = chosen->entry.ip();
    _runAdapterName = chosen->name;
    if (!_firstStarted.isValid())
        _firstStarted = QDateTime::currentDateTimeUtc();
    _runClock.start();
    ui->log_events->appendPlainText(tr("%1  run of %n device(s) from %2", nullptr, int(devices.size()))
                                        .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")),
                                             chosen->displayText()));
    say(tr("Updating %n device(s)...", nullptr, int(devices.size())));
    setState(State::Running);
    _summary.start();
    _fleet.start(options);
}

void FleetWindow::retrySelected()
{
    QList<QHostAddress> devices;
    for (int row : selectedRows()) {
        const auto state = _model->state(row);
        if (state == DeviceTableModel::DeviceState::Failed || state == DeviceTableModel::DeviceState::Stopped)
            devices << _model->device(row);
    }
    runDevices(devices);
}

void FleetWindow::retryFailed()
{
    QList<QHostAddress> devices;
    for (int row = 0; row < _model->rowCount(); ++row) {
        if (_model->state(row) == DeviceTableModel::DeviceState::Failed)
            devices << _model->device(row);
    }
    runDevices(devices);
}

void FleetWindow::runEnded()
{
    _lastEnded = QDateTime::currentDateTimeUtc();
    _summary.stop();
    _model->stopWaiting();
    setState(State::Idle);
    updateSummary();
    const DeviceTableModel::Totals totals = _model->totals();
    say(tr("The run has ended: %1 done, %2 failed or stopped. Save the report to keep what each device did.")
            .arg(totals.done)
            .arg(totals.failed));
    ui->btn_saveReport->setFocus();
}

RunRecord FleetWindow::record() const
{
    RunRecord record;
    record.program = QStringLiteral("varnel-fleet");
    record.adapterName = _runAdapterName;
    record.adapterAddress = _runAdapter;
    for (int i = 0; i < _images.size() && i < _checksums.size(); ++i)
        record.images.append({i + 1, QStringLiteral("file%1.varnelfmw").arg(i + 1), _images.at(i).size(),
                              _checksums.at(i)});
    record.startedAt = _firstStarted;
    record.endedAt = _lastEnded;
    for (int row = 0; row < _model->rowCount(); ++row) {
        const FleetUpdate::DeviceReport *report = _model->report(row);
        if (!report)
            continue;
        RunRecord::Device device = RunRecord::deviceOf(
            *report, report->ok() ? QString()
                                  : oneLine(OperatorTexts::failureReason(*report, imagePath(report->result.fileNumber))));
        // Over every run of the window, as the table counts them.
        device.attempts = _model->attempts(row);
        record.devices.append(device);
    }
    return record;
}

bool FleetWindow::saveReport(const QString &path, QString *error) const
{
    const RunRecord::Format format = RunRecord::formatOf(path);
    if (format == RunRecord::Format::Unknown) {
        *error = tr("A report's name ends in .json or .csv.");
        return false;
    }
    // Never written over one of the images it describes.
    QList<NamedInput> images;
    for (int number = 1; number <= 3; ++number)
        images.append({FileIdentity::ofPath(imagePath(number)), imagePath(number)});
    ReportFile file;
    return file.open(path, images, error) && file.write(record().serialized(format), error);
}

void FleetWindow::offerReport()
{
    QString selected;
    QString path = QFileDialog::getSaveFileName(this, tr("Save report"), QString(),
                                                tr("JSON (*.json);;CSV (*.csv)"), &selected);
    if (path.isEmpty())
        return;
    if (RunRecord::formatOf(path) == RunRecord::Format::Unknown)
        path += selected.contains(QStringLiteral("csv")) ? QStringLiteral(".csv") : QStringLiteral(".json");
    QString error;
    if (saveReport(path, &error))
        say(tr("Report saved: %1").arg(QDir::toNativeSeparators(path)));
    else
        say(tr("The report was not saved: %1").arg(error));
}

void FleetWindow::logEvent(const QHostAddress &device, const QString &event)
{
    ui->log_events->appendPlainText(QStringLiteral("%1  %2  %3").arg(
        QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), device.toString(), event));
}

void FleetWindow::updateSummary()
{
    const DeviceTableModel::Totals totals = _model->totals();
    QString text = tr("Done %1   Failed %2   Running %3   Waiting %4")
                       .arg(totals.done)
                       .arg(totals.failed)
                       .arg(totals.running)
                       .arg(totals.waiting);
    if (_runClock.isValid())
        text += tr("   Elapsed %1").arg(TransferMeter::durationText(_runClock.elapsed() / 1000));
    if (_state == State::Running && totals.secondsLeft >= 0)
        text += tr("   Time left %1").arg(TransferMeter::durationText(totals.secondsLeft));
    if (_state == State::Running && totals.bytesPerSecond >= 0)
        text += tr("   %1").arg(TransferMeter::rateText(totals.bytesPerSecond));
    ui->label_summary->setText(text);
}

void FleetWindow::closeEvent(QCloseEvent *event)
{
    if (_state == State::Scanning) {
        // Closing: nothing found is offered any more.
        const QSignalBlocker quiet(&_scan);
        _scan.abort();
    }
    if (_state != State::Running && _state != State::Stopping) {
        event->accept();
        return;
    }
    const auto answer = QMessageBox::question(
        this, tr("Close"),
        tr("Devices are being updated. Stop every device and close? A device stopped after its erase stays "
           "unusable until it is updated again."),
        QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    setState(State::Stopping);
    _fleet.abort();
    // Every device says where it stopped before the report is offered.
    QEventLoop loop;
    QTimer bound;
    bound.setSingleShot(true);
    connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(&_fleet, &FleetUpdate::finished, &loop, &QEventLoop::quit);
    bound.start(kStopWait);
    if (_fleet.isRunning())
        loop.exec();
    if (QMessageBox::question(this, tr("Save report"), tr("Save the report of this run before closing?"),
                              QMessageBox::Save | QMessageBox::Discard, QMessageBox::Save)
        == QMessageBox::Save)
        offerReport();
    event->accept();
}
