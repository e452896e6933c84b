#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QLineEdit>
#include <QStatusBar>
#include <QTabBar>
#include <QPixmap>
#include <QMessageBox>
#include <QNetworkInterface>
#include <QSignalBlocker>

#include <algorithm>

#include "appicon.h"
#include "deviceaddress.h"
#include "networkadapter.h"
#include "operatortexts.h"
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace {

// Fixed when the program is built: "Dec  7 2026 - 20:13:15".
const char *const kBuildStamp = __DATE__ " - " __TIME__;

constexpr int kFileCheckPauseMs = 1000;
constexpr int kEraseToTransferPauseMs = 1000;
// A wait this long without an answer is worth telling the operator about.
constexpr std::chrono::seconds kQuietBeforeWaitingText{3};

// The form was laid out in 9-point 'Segoe UI'. Where that face is missing,
// Liberation Sans comes closest in width and height: the form's texts stay
// inside their widgets and two prompt lines inside their box, as designed.
// The system's fallbacks are wider or taller.
void useDesignedFont(QWidget *window)
{
    QFont::insertSubstitution(QStringLiteral("Segoe UI"), QStringLiteral("Liberation Sans"));
    window->setFont(QFont(QStringLiteral("Segoe UI"), 9));
}


} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::MainWindow)
{
    // One device operation at a time: the link has a single acknowledgement wait.
    taskPool.setMaxThreadCount(1);

    ui->setupUi(this);
    setWindowTitle(tr("Varnel Updater"));
    useDesignedFont(this);
    setWindowIcon(logoIcon(QImage(QStringLiteral(":/icons/logo.png"))));
    ui->label_prompt->setText(OperatorTexts::engineeringStart());

    connect(&watcher, &QFutureWatcher<void>::finished, this, &MainWindow::when_file_send_finished);
    connect(&watcher_erase, &QFutureWatcher<void>::finished, this, &MainWindow::when_erase_finished);
    connect(&watcher_autoFileTransfer, &QFutureWatcher<void>::finished, this,
            &MainWindow::when_autoFileTransfer_finished);
    connect(&watcher_engineeringErase, &QFutureWatcher<void>::finished, this,
            &MainWindow::when_engineeringErase_finished);

    updater = new udpUpdater(ui);
    connect(updater, &udpUpdater::acknowledged, this, &MainWindow::onAcknowledged);
    connect(updater, &udpUpdater::transferProgress, this, &MainWindow::onTransferProgress);
    connect(updater, &udpUpdater::refused, this, &MainWindow::onRefused);

    connectAnswerTimer.setSingleShot(true);
    connectAnswerTimer.setTimerType(Qt::PreciseTimer);
    connectAnswerTimer.setInterval(kConnectAnswerTimeout);
    connect(&connectAnswerTimer, &QTimer::timeout, this, [this] {
        if (windowState == State::Idle)
            ui->label_user_prompt->setText(OperatorTexts::noAnswerToConnect());
    });

    waitTimer.setInterval(1000);
    connect(&waitTimer, &QTimer::timeout, this, &MainWindow::showWaiting);

    // Enter in the device IP field is "Connect"; focus there selects the
    // address, so that typing replaces it.
    connect(ui->txt_targetIp, &QLineEdit::returnPressed, this, [this] {
        if (ui->btn_initUpdate->isEnabled())
            ui->btn_initUpdate->click();
    });
    ui->txt_targetIp->installEventFilter(this);
    connect(ui->combo_filePath, &QComboBox::currentIndexChanged, this, [this] {
        if (ui->label_prompt->text() == OperatorTexts::noFileChosen())
            ui->label_prompt->setText(OperatorTexts::engineeringStart());
        // A long path is cut at the box's edge; the whole shows on hovering.
        ui->combo_filePath->setToolTip(ui->combo_filePath->currentText());
    });
    connect(ui->combo_updatePath, &QComboBox::currentIndexChanged, this,
            [this] { ui->combo_updatePath->setToolTip(ui->combo_updatePath->currentText()); });

    // What Connect used must be what Start Update and the Engineering tab
    // use: a different choice forgets the device, the same one again does not.
    connect(ui->txt_targetIp, &QLineEdit::textChanged, this, [this](const QString &text) {
        const DeviceAddress typed = DeviceAddress::check(text);
        forgetIfChanged(!typed.ok() || typed.address != pendingTarget, OperatorTexts::deviceIpChanged());
    });
    connect(ui->combo_updatePath, &QComboBox::currentTextChanged, this, [this](const QString &path) {
        forgetIfChanged(QDir::cleanPath(path) != QDir::cleanPath(pendingDirectory), OperatorTexts::directoryChanged());
    });
    connect(ui->combo_interfaces, &QComboBox::currentTextChanged, this, &MainWindow::whenAdapterChosen);
    connect(ui->combo_interfaces, &AdapterComboBox::aboutToShowPopup, this, &MainWindow::readInterfaces);

    readInterfaces();
    ui->label_version->setText(QStringLiteral("v" VARNEL_VERSION));
    ui->label_build->setText(QString::fromLatin1(kBuildStamp));

    ui->btn_startUpdate->setEnabled(false);
    ui->progressBar->setEnabled(false);
    // The form asks for the bar's text on the left, in dark blue; some
    // styles centre it anyway, and draw it on a fill too dark to read it.
    ui->progressBar->setStyleSheet(
        QStringLiteral("QProgressBar { %1 text-align: left; } QProgressBar::chunk { background-color: %2; }")
            .arg(ui->progressBar->styleSheet(), QStringLiteral("rgb(170, 200, 240)")));
    // The window has a fixed size: nothing to grip.
    ui->statusbar->setSizeGripEnabled(false);
    applyState();
}

MainWindow::~MainWindow()
{
    // A task still running holds this window: end it before anything goes.
    abortAndWait();
    // Unlike a process-long link, ours must free ports 1235/1246 with the window.
    delete updater;
    delete ui;
}

void MainWindow::abortAndWait()
{
    if (operationInFlight())
        updater->abort();
    for (QFutureWatcher<void> *task : {&watcher, &watcher_erase, &watcher_autoFileTransfer, &watcher_engineeringErase}) {
        // A task that died of an exception must not take the program with it.
        try {
            task->waitForFinished();
        } catch (...) {
        }
    }
}

bool MainWindow::operationInFlight() const
{
    return windowState == State::Updating || windowState == State::Erasing || windowState == State::Sending
        || watcher.isRunning() || watcher_erase.isRunning() || watcher_autoFileTransfer.isRunning()
        || watcher_engineeringErase.isRunning();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (operationInFlight()) {
        const auto answer = QMessageBox::warning(
            this, tr("Varnel Updater"),
            tr("The device is being updated.\n"
               "Stopping now may leave the device unusable.\n\n"
               "Close anyway?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        abortAndWait();
    }
    event->accept();
}

void MainWindow::addAndSelectPath(QComboBox *combo, const QString &path)
{
    const Qt::MatchFlags flags = Qt::MatchExactly | Qt::MatchCaseSensitive;
    if (combo->findText(path, flags) < 0)
        combo->addItem(path);
    combo->setCurrentIndex(combo->findText(path, flags));
}

QHostAddress MainWindow::adapterEntryAddress(const QString &entry)
{
    // The adapter's name may itself hold " - ": the address is the last piece.
    return QHostAddress(entry.split(QStringLiteral(" - "), Qt::KeepEmptyParts, Qt::CaseSensitive).last());
}

void MainWindow::readInterfaces()
{
    QStringList entries;
    const QList<NetworkAdapter> adapters = NetworkAdapter::list();
    for (const NetworkAdapter &adapter : adapters)
        entries << adapter.displayText();
    QComboBox *combo = ui->combo_interfaces;
    QStringList shown;
    for (int i = 0; i < combo->count(); ++i)
        shown << combo->itemText(i);
    if (entries == shown)
        return;

    const QString chosen = combo->currentText();
    {
        // Emptied and filled again in passing: only where it ends counts.
        const QSignalBlocker blocker(combo);
        combo->clear();
        combo->addItems(entries);
        combo->setCurrentIndex(std::max(0, int(entries.indexOf(chosen))));
    }
    if (combo->currentText() != chosen)
        whenAdapterChosen();
}

void MainWindow::whenAdapterChosen()
{
    forgetIfChanged(ui->combo_interfaces->currentText() != pendingAdapterEntry, OperatorTexts::adapterChanged());
}

void MainWindow::forgetIfChanged(bool changed, const QString &prompt)
{
    // While an operation runs the choices are locked; a restored choice does
    // not bring a forgotten device back.
    if (!changed || !connectInForce || (windowState != State::Idle && windowState != State::Connected))
        return;
    connectInForce = false;
    updater->forgetDevice();
    connectAnswerTimer.stop();
    setState(State::Idle);
    ui->label_user_prompt->setText(prompt);
}

void MainWindow::setState(State state)
{
    windowState = state;
    applyState();
}

// One device operation at a time: the link has a single wait for an answer.
// While one runs, nothing it was started with can be changed either, so the
// window never shows a choice that was not used.
void MainWindow::applyState()
{
    const bool idle = windowState == State::Idle || windowState == State::Connected;
    const bool operation = windowState == State::Updating || windowState == State::Erasing
                        || windowState == State::Sending;
    const std::pair<QWidget *, bool> controls[] = {
        {ui->combo_interfaces, idle},
        {ui->txt_targetIp, idle},
        {ui->btn_selectUpdatePath, idle},
        {ui->combo_updatePath, idle},
        {ui->btn_selectFile, idle},
        {ui->combo_filePath, idle},
        {ui->spin_fileNumber, idle},
        {ui->btn_initUpdate, idle},
        {ui->btn_startUpdate, windowState == State::Connected},
        {ui->btn_erase, idle},
        {ui->btn_sendFile, idle},
    };
    // The step that comes next, where the keyboard should be.
    QWidget *next = windowState == State::Connected ? ui->btn_startUpdate
                  : windowState == State::Idle      ? ui->btn_initUpdate
                                                    : nullptr;
    // A control about to be disabled would hand the focus on down the tab
    // chain, through the IP field, which selects its text on focus: give it
    // to the next step, or park it on the tabs, before anything is disabled.
    QWidget *focused = focusWidget();
    for (const auto &[control, enabled] : controls) {
        if (control == focused && !enabled) {
            focusParked = next == nullptr;
            (next ? next : static_cast<QWidget *>(ui->tabWidget->tabBar()))->setFocus();
            break;
        }
    }
    for (const auto &[control, enabled] : controls)
        control->setEnabled(enabled);
    if (focusParked && next && focusWidget() == ui->tabWidget->tabBar()) {
        next->setFocus();
        focusParked = false;
    }

    if (operation && !waitTimer.isActive()) {
        barFormat = ui->progressBar->format();
        waitTimer.start();
    } else if (!operation && waitTimer.isActive()) {
        waitTimer.stop();
        if (waitingShown)
            ui->progressBar->setFormat(barFormat);
        waitingShown = false;
    }
}

void MainWindow::showWaiting()
{
    const DeviceSession *session = updater->session();
    const bool waiting = session && session->isAwaiting() && session->waitLimit().count() > 0;
    const auto waited = waiting ? session->waited() : std::chrono::milliseconds(0);
    if (waited >= kQuietBeforeWaitingText) {
        ui->progressBar->setFormat(OperatorTexts::waiting(waited, session->waitLimit()));
        waitingShown = true;
    } else if (waitingShown) {
        ui->progressBar->setFormat(barFormat);
        waitingShown = false;
    }
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    // The line edit selects all by itself when tabbed into; a click gets the
    // same, queued so that the click's own cursor placement does not undo it.
    if (watched == ui->txt_targetIp && event->type() == QEvent::FocusIn
        && static_cast<QFocusEvent *>(event)->reason() == Qt::MouseFocusReason) {
        QTimer::singleShot(0, ui->txt_targetIp, [field = ui->txt_targetIp] {
            if (field->hasFocus())
                field->selectAll();
        });
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::onAcknowledged(message_types type)
{
    if (type != MT_INIT || windowState != State::Idle)
        return;
    connectAnswerTimer.stop();
    setState(State::Connected);
}

void MainWindow::onTransferProgress(int fileNumber, quint32 blocksDone, quint32 blocksTotal)
{
    if (windowState != State::Updating || blocksTotal == 0)
        return;
    meter.update(fileNumber, blocksDone, blocksTotal, meterClock.elapsed());
    showTransferOnBar();
}

void MainWindow::showTransferOnBar()
{
    barFormat = OperatorTexts::transferBar(meter.image(), meter.percent(), meter.secondsLeft());
    if (!waitingShown)
        ui->progressBar->setFormat(barFormat);
}

void MainWindow::when_initCmd_finished()
{
}

void MainWindow::when_initCmd_failed()
{
}

void MainWindow::on_btn_selectUpdatePath_clicked()
{
    const QString directoryPath = QFileDialog::getExistingDirectory(
        this, tr("Select update directory:"), QDir::homePath(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (directoryPath.isEmpty())
        return;
    addAndSelectPath(ui->combo_updatePath, directoryPath);
}

void MainWindow::on_btn_initUpdate_clicked()
{
    // The device of any earlier "Connect" is forgotten at once: its late
    // answer must not enable "Start Update" for the device typed now.
    updater->forgetDevice();
    connectInForce = false;
    connectAnswerTimer.stop();
    setState(State::Idle);
    // The bar told of the run before: this Connect starts from nothing.
    ui->progressBar->setValue(0);

    const QString selectedText = ui->combo_interfaces->currentText();
    if (selectedText.isEmpty()) {
        ui->label_user_prompt->setText(OperatorTexts::noAdapter());
        return;
    }

    const QHostAddress localAddress = adapterEntryAddress(selectedText);
    const std::optional<NetworkAdapter> adapter = NetworkAdapter::withAddress(localAddress);
    const DeviceAddress device =
        DeviceAddress::check(ui->txt_targetIp->text(), adapter ? adapter->entry : QNetworkAddressEntry());
    if (!device.ok()) {
        ui->label_user_prompt->setText(
            OperatorTexts::deviceAddressProblem(device.problem, ui->txt_targetIp->text().trimmed()));
        return;
    }
    if (localAddress.protocol() != QAbstractSocket::IPv4Protocol) {
        ui->label_user_prompt->setText(OperatorTexts::adapterWithoutIPv4());
        return;
    }

    pendingTarget = device.address;
    pendingLocal = localAddress;
    pendingAdapterName = selectedText.left(selectedText.lastIndexOf(QStringLiteral(" - ")));
    pendingAdapterEntry = selectedText;
    pendingDirectory = ui->combo_updatePath->currentText();
    setState(State::CheckingFiles);
    ui->label_user_prompt->setText(OperatorTexts::checkingFiles());
    // The pause stays, but the window keeps painting meanwhile.
    QTimer::singleShot(kFileCheckPauseMs, this, &MainWindow::checkFilesAndConnect);
}

void MainWindow::checkFilesAndConnect()
{
    setState(State::Idle);

    const QString &updateFolderPath = pendingDirectory;
    autoFilePaths[0] = updateFolderPath + QStringLiteral("/file1.varnelfmw");
    autoFilePaths[1] = updateFolderPath + QStringLiteral("/file2.varnelfmw");
    autoFilePaths[2] = updateFolderPath + QStringLiteral("/file3.varnelfmw");
    for (const QString &path : autoFilePaths) {
        if (!QFile::exists(path)) {
            ui->label_user_prompt->setText(OperatorTexts::filesNotFound());
            return;
        }
    }

    ui->label_user_prompt->setText(OperatorTexts::filesFound());
    if (!updater->initialise(pendingTarget, pendingLocal)) {
        switch (updater->connectError()) {
        case udpUpdater::ConnectError::Unreachable:
            ui->label_user_prompt->setText(OperatorTexts::unreachable(pendingTarget.toString()));
            break;
        case udpUpdater::ConnectError::AdapterUnavailable:
            ui->label_user_prompt->setText(OperatorTexts::adapterUnavailable(pendingAdapterName));
            break;
        default:
            ui->label_user_prompt->setText(OperatorTexts::cannotOpen(updater->errorString()));
            break;
        }
        return;
    }
    connectInForce = true;
    connectAnswerTimer.start();
}

void MainWindow::onRefused(message_types type)
{
    if (type != MT_INIT || !connectAnswerTimer.isActive())
        return;
    connectAnswerTimer.stop();
    ui->label_user_prompt->setText(OperatorTexts::connectRefused());
}

void MainWindow::on_btn_startUpdate_clicked()
{
    if (windowState != State::Connected)
        return;
    ui->label_user_prompt->setText(OperatorTexts::erasing());
    autoFileNumber = 1;
    setState(State::Updating);
    for (UpdateImage &image : autoImages)
        image = UpdateImage();
    const QStringList paths(std::begin(autoFilePaths), std::end(autoFilePaths));
    watcher_erase.setFuture(QtConcurrent::run(&taskPool, [this, paths] {
        // Every image is read whole and checked while the device is still
        // untouched; the transfer then sends exactly these bytes.
        for (int i = 0; i < 3; ++i) {
            autoImages[i] = UpdateImage::load(paths[i]);
            if (!autoImages[i].ok())
                return;
        }
        updater->eraseTarget(udpUpdater::Scope::SinceConnect);
    }));
}

void MainWindow::when_erase_finished()
{
    for (const UpdateImage &image : autoImages) {
        if (!image.ok()) {
            ui->label_user_prompt->setText(OperatorTexts::imagesRefused(image.problem(), image.path()));
            endGuidedUpdate();
            return;
        }
    }
    const udpUpdater::Result erase = updater->lastResult();
    if (!erase.ok()) {
        ui->label_user_prompt->setText(OperatorTexts::stoppedAtErase(erase));
        endGuidedUpdate();
        return;
    }
    ui->label_user_prompt->setText(OperatorTexts::startingTransfer());
    ui->progressBar->setValue(30);
    // Still one second before the first image, but painted and not frozen.
    QTimer::singleShot(kEraseToTransferPauseMs, this, [this] {
        ui->label_user_prompt->setText(OperatorTexts::transferring(1));
        autoFileNumber = 1;
        startTransfer();
    });
}

void MainWindow::startTransfer()
{
    const QByteArray image = autoImages[autoFileNumber - 1].data();
    const quint8 number = autoFileNumber;
    if (number == 1) {
        // Timed from the first block on: the erase and the pause are behind.
        QList<std::pair<int, quint32>> blocks;
        for (int i = 0; i < 3; ++i)
            blocks.append({i + 1, protocol::blockCount(autoImages[i].data().size())});
        meter = TransferMeter(blocks);
        meterClock.start();
    }
    meter.update(number, 0, protocol::blockCount(image.size()), meterClock.elapsed());
    showTransferOnBar();
    watcher_autoFileTransfer.setFuture(QtConcurrent::run(
        &taskPool, [this, image, number] { updater->sendImageToTarget(image, number, udpUpdater::Scope::SinceConnect); }));
}

void MainWindow::when_autoFileTransfer_finished()
{
    const udpUpdater::Result transfer = updater->lastResult();
    if (!transfer.ok()) {
        ui->label_user_prompt->setText(
            OperatorTexts::stoppedAtFile(autoFileNumber, transfer, autoFilePaths[autoFileNumber - 1]));
        autoFileNumber = 1;
        endGuidedUpdate();
        return;
    }

    switch (autoFileNumber) {
    case 1:
        ui->label_user_prompt->setText(OperatorTexts::transferring(2));
        ui->progressBar->setValue(50);
        autoFileNumber = 2;
        startTransfer();
        break;
    case 2:
        ui->label_user_prompt->setText(OperatorTexts::transferring(3));
        ui->progressBar->setValue(70);
        autoFileNumber = 3;
        startTransfer();
        break;
    default:
        ui->label_user_prompt->setText(OperatorTexts::complete());
        ui->progressBar->setValue(100);
        autoFileNumber = 1;
        endGuidedUpdate();
        break;
    }
}

void MainWindow::endGuidedUpdate()
{
    waitingShown = false;
    // Up to three large images: not kept past the update that needed them.
    for (UpdateImage &image : autoImages)
        image = UpdateImage();
    ui->progressBar->resetFormat();
    setState(State::Connected);
}

void MainWindow::on_btn_erase_clicked()
{
    if (windowState != State::Idle && windowState != State::Connected)
        return;
    // A reason of the last operation here is no longer news once this one runs.
    if (engineeringFailureShown)
        ui->label_prompt->setText(OperatorTexts::engineeringStart());
    engineeringFailureShown = false;
    stateAfterOperation = windowState;
    setState(State::Erasing);
    watcher_engineeringErase.setFuture(
        QtConcurrent::run(&taskPool, [this] { updater->eraseTarget(); }));
}

void MainWindow::when_engineeringErase_finished()
{
    const udpUpdater::Result result = updater->lastResult();
    engineeringFailureShown = !result.ok();
    if (!result.ok())
        ui->label_prompt->setText(OperatorTexts::eraseFailed(result));
    setState(stateAfterOperation);
}

void MainWindow::on_btn_selectFile_clicked()
{
    const QString filename = QFileDialog::getOpenFileName(this, tr("Select update file:"), QDir::currentPath());
    if (filename.isEmpty())
        return;
    addAndSelectPath(ui->combo_filePath, filename);
}

void MainWindow::on_btn_sendFile_clicked()
{
    if (windowState != State::Idle && windowState != State::Connected)
        return;
    const QString filePath = ui->combo_filePath->currentText();
    const quint8 fileNumber = quint8(ui->spin_fileNumber->value());
    if (filePath.isEmpty()) {
        ui->label_prompt->setText(OperatorTexts::noFileChosen());
        engineeringFailureShown = true;
        return;
    }
    ui->label_prompt->setText(OperatorTexts::sending());
    engineeringFailureShown = false;
    sendingPath = filePath;
    stateAfterOperation = windowState;
    setState(State::Sending);
    watcher.setFuture(QtConcurrent::run(&taskPool, [this, filePath, fileNumber] {
        updater->sendFileToTarget(filePath, fileNumber);
    }));
}

void MainWindow::when_file_send_finished()
{
    const udpUpdater::Result sent = updater->lastResult();
    engineeringFailureShown = !sent.ok();
    if (sent.ok())
        ui->label_prompt->setText(OperatorTexts::fileSent());
    else
        ui->label_prompt->setText(OperatorTexts::sendFailed(sent, sendingPath));
    setState(stateAfterOperation);
}
