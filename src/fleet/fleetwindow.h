#ifndef FLEETWINDOW_H
#define FLEETWINDOW_H

#include "devicescan.h"
#include "devicesession.h"
#include "fleetupdate.h"
#include "networkadapter.h"
#include "runrecord.h"
#include "transport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

class DeviceTableModel;
class QSortFilterProxyModel;

namespace Ui {
class FleetWindow;
}

// The fleet window: many devices updated at once from one adapter, on the
// engine the command line uses. One explicit state decides every control.
class FleetWindow : public QMainWindow
{
    Q_OBJECT

public:
    // The engine's waits. The program keeps its own; the tests shorten them.
    struct Timings {
        DeviceSession::Timeouts timeouts;
        std::chrono::milliseconds connectTimeout = std::chrono::seconds(5);
        std::chrono::milliseconds eraseToTransfer = std::chrono::seconds(1);
        std::chrono::milliseconds retryPause = std::chrono::seconds(5);
    };

    explicit FleetWindow(QWidget *parent = nullptr);
    ~FleetWindow() override;

    void setTimings(const Timings &timings) { _timings = timings; }
    DeviceTableModel *model() const { return _model; }
    bool isBusy() const { return _state != State::Idle; }
    // Every device run since the window opened, as it last ended.
    RunRecord record() const;
    bool saveReport(const QString &path, QString *error) const;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    enum class State { Idle, Scanning, Running, Stopping };

    void wire();
    void setState(State state);
    void updateControls();
    void say(const QString &text);
    void readAdapters();
    std::optional<NetworkAdapter> adapter() const;
    bool openTransport(const NetworkAdapter &adapter);
    bool loadImages();
    void chooseDirectory();
    void addDevices(const QString &text);
    void importDevices();
    void pasteDevices();
    void removeSelected();
    void findDevices();
    void scanEnded();
    void start();
    void runDevices(const QList<QHostAddress> &devices);
    void retrySelected();
    void retryFailed();
    void runEnded();
    void offerReport();
    void logEvent(const QHostAddress &device, const QString &event);
    void updateSummary();
    QList<int> selectedRows() const;
    QString imagePath(int number) const;

    std::unique_ptr<Ui::FleetWindow> ui;
    DeviceTableModel *_model;
    QSortFilterProxyModel *_sorted;
    Transport _transport;
    FleetUpdate _fleet;
    DeviceScan _scan;
    State _state = State::Idle;
    Timings _timings;

    // The images as last checked, and the directory they came from.
    QString _directory;
    QList<QByteArray> _images;
    QList<quint32> _checksums;
    QHostAddress _runAdapter;
    QString _runAdapterName;

    QElapsedTimer _clock;  // the meters' time
    QElapsedTimer _runClock;
    QDateTime _firstStarted;
    QDateTime _lastEnded;
    QTimer _summary;
};

#endif // FLEETWINDOW_H
