#ifndef DEVICETABLEMODEL_H
#define DEVICETABLEMODEL_H

#include "fleetupdate.h"
#include "transfermeter.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QSet>
#include <QTimer>

#include <chrono>
#include <optional>
#include <utility>

// One row per device of the fleet window: where its update is, how fast,
// how long the rest takes, its attempts over every run, and how it ended.
// Progress arrives per block, so rows changed by it are told to the views
// together a few times a second; a state change is told at once.
class DeviceTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Address, State, Progress, Rate, TimeLeft, Attempts, Outcome, ColumnCount };
    enum class DeviceState { Waiting, Connecting, Erasing, Image, Done, Failed, Stopped };
    // What a proxy sorts by: addresses as numbers, the bar by its percent.
    static constexpr int SortRole = Qt::UserRole;

    // Ten redraws a second look smooth and cost nothing with hundreds of rows.
    static constexpr std::chrono::milliseconds kCoalesce{100};

    struct Totals {
        int done = 0;
        int failed = 0;  // stopped ones too
        int running = 0;
        int waiting = 0;
        double bytesPerSecond = -1;  // of every device in transfer; below 0: not known yet
        qint64 secondsLeft = -1;     // of the whole run at that rate
    };

    explicit DeviceTableModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Appends the ones not listed yet.
    void addDevices(const QList<QHostAddress> &devices);
    // Rows of this model, in any order.
    void removeDevices(QList<int> rows);
    QList<QHostAddress> devices() const;
    QHostAddress device(int row) const { return _rows.at(row).address; }
    DeviceState state(int row) const { return _rows.at(row).state; }
    int row(const QHostAddress &device) const { return _index.value(device.toIPv4Address(), -1); }

    // A run's images, number and size, for every device's meter.
    void setImages(const QList<std::pair<int, qint64>> &sizes);
    // The run's devices wait again; their attempts keep counting.
    void queue(const QList<QHostAddress> &devices);
    void attemptStarted(const QHostAddress &device);
    void setState(const QHostAddress &device, DeviceState state, int image = 0);
    void progress(const QHostAddress &device, int image, quint32 blocksDone, quint32 blocksTotal, qint64 nowMs);
    // The attempt failed; another follows after the pause.
    void attemptFailed(const QHostAddress &device, const QString &reason);
    void finish(const QHostAddress &device, const FleetUpdate::DeviceReport &report, const QString &outcome);
    // Devices of a run never started when it was stopped.
    void stopWaiting();

    const FleetUpdate::DeviceReport *report(int row) const;
    int attempts(int row) const { return _rows.at(row).attempts; }
    QString outcome(int row) const { return _rows.at(row).outcome; }
    Totals totals() const;

    // As the command line's progress lines say them; empty while unknown.

private:
    struct Row {
        QHostAddress address;
        DeviceState state = DeviceState::Waiting;
        int image = 0;
        TransferMeter meter;
        bool metered = false;  // the meter has seen this attempt's progress
        int attempts = 0;
        QString outcome;
        std::optional<FleetUpdate::DeviceReport> report;  // of its last run
    };

    Row *find(const QHostAddress &device);
    void changed(int row);
    void flush();
    void reindex();
    QString stateText(const Row &row) const;
    int percent(const Row &row) const;

    QList<Row> _rows;
    QHash<quint32, int> _index;
    QList<std::pair<int, quint32>> _blocks;  // per image of the run
    qint64 _bytesPerDevice = 0;
    QSet<int> _dirty;
    QTimer _flush;
};

#endif // DEVICETABLEMODEL_H
