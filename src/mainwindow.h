#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QFutureWatcher>
#include <QHostAddress>
#include <QMainWindow>
#include <QString>
#include <QElapsedTimer>
#include <QThreadPool>
#include <QTimer>

#include "transfermeter.h"
#include "udpupdater.h"
#include "updateimage.h"

class QComboBox;
namespace Ui { class MainWindow; }

// The window controller: owns the form, turns clicks into background tasks on
// the update link and reports how they went.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Adds `path` to `combo` unless an entry has exactly that text, then
    // selects that entry. Shared by both choose buttons.
    static void addAndSelectPath(QComboBox *combo, const QString &path);
    // The address at the end of an adapter entry "<name> - <address>".
    static QHostAddress adapterEntryAddress(const QString &entry);

    // How long "Connect" waits for the device before telling the operator.
    static constexpr std::chrono::milliseconds kConnectAnswerTimeout = std::chrono::seconds(5);

    // What the window is doing; every control follows from it.
    enum class State {
        Idle,           // no device has answered the latest Connect (or there was none)
        CheckingFiles,  // the one-second file check of Connect
        Connected,      // the device answered the latest Connect
        Updating,       // the guided update runs
        Erasing,        // the engineering erase runs
        Sending,        // the engineering send runs
    };
    Q_ENUM(State)
    State state() const { return windowState; }

    udpUpdater *link() const { return updater; }

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void when_file_send_finished();
    void when_initCmd_finished();
    void when_initCmd_failed();
    void when_erase_finished();
    void when_autoFileTransfer_finished();
    void on_btn_initUpdate_clicked();
    void on_btn_erase_clicked();
    void on_btn_selectFile_clicked();
    void on_btn_sendFile_clicked();
    void on_btn_selectUpdatePath_clicked();
    void on_btn_startUpdate_clicked();
    void when_engineeringErase_finished();

private:
    // Reads the adapters again, keeping the choice where it is still listed.
    void readInterfaces();
    // A choice differs from what the latest Connect used: the device is
    // forgotten, and the prompt says which choice it was.
    void forgetIfChanged(bool changed, const QString &prompt);
    void whenAdapterChosen();
    void checkFilesAndConnect();
    void startTransfer();
    void endGuidedUpdate();
    void onAcknowledged(message_types type);
    void onRefused(message_types type);
    void onTransferProgress(int fileNumber, quint32 blocksDone, quint32 blocksTotal);
    void showTransferOnBar();
    void setState(State state);
    // Enables and disables the controls for the current state.
    void applyState();
    // Tells on the bar how long the device has been waited for, once it is long.
    void showWaiting();
    bool operationInFlight() const;
    void abortAndWait();

    Ui::MainWindow *ui;
    // Device tasks get a pool of their own: Qt's painting may wait on the
    // global pool, and a task there waiting on the GUI thread would freeze it.
    QThreadPool taskPool;
    QFutureWatcher<void> watcher;
    QFutureWatcher<void> watcher_erase;
    QFutureWatcher<void> watcher_autoFileTransfer;
    udpUpdater *updater;
    quint8 autoFileNumber = 1;
    QString autoFilePaths[3];
    // The images as read and checked when "Start Update" was pressed.
    UpdateImage autoImages[3];

    // The engineering erase is watched too, so its end frees the buttons.
    QFutureWatcher<void> watcher_engineeringErase;
    QTimer connectAnswerTimer;
    QHostAddress pendingTarget;
    QHostAddress pendingLocal;
    QString pendingAdapterName;
    QString pendingAdapterEntry;
    QString pendingDirectory;
    // The latest Connect sent its command: its device stands until a choice
    // it was made with changes.
    bool connectInForce = false;
    // The engineering prompt tells why its last operation failed.
    bool engineeringFailureShown = false;
    TransferMeter meter;           // the guided update's, over its three images
    QElapsedTimer meterClock;
    State windowState = State::Idle;
    // Where an engineering operation returns to when it ends.
    State stateAfterOperation = State::Idle;
    QString sendingPath;           // file of the engineering send in flight
    QTimer waitTimer;              // runs while an operation does
    QString barFormat;             // the bar's text when nobody waits long
    bool waitingShown = false;
    bool focusParked = false;      // on the tabs while an operation holds the controls
};

#endif // MAINWINDOW_H
