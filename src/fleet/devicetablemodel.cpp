#include "devicetablemodel.h"

#include "protocol.h"

#include <algorithm>

DeviceTableModel::DeviceTableModel(QObject *parent)
    : QAbstractTableModel(parent)
{
    _flush.setInterval(kCoalesce);
    _flush.setSingleShot(true);
    connect(&_flush, &QTimer::timeout, this, &DeviceTableModel::flush);
}

int DeviceTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(_rows.size());
}

int DeviceTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString DeviceTableModel::stateText(const Row &row) const
{
    switch (row.state) {
    case DeviceState::Waiting:
        return tr("waiting");
    case DeviceState::Connecting:
        return tr("connecting");
    case DeviceState::Erasing:
        return tr("erasing");
    case DeviceState::Image:
        return tr("file %1/3").arg(row.image);
    case DeviceState::Done:
        return tr("done");
    case DeviceState::Failed:
        return tr("failed");
    case DeviceState::Stopped:
        return tr("stopped");
    }
    return QString();
}

int DeviceTableModel::percent(const Row &row) const
{
    if (row.state == DeviceState::Done)
        return 100;
    return row.metered ? row.meter.percent() : 0;
}

QVariant DeviceTableModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    const Row &row = _rows.at(index.row());
    const bool inTransfer = row.state == DeviceState::Image && row.metered;
    if (role == SortRole) {
        switch (index.column()) {
        case Address:
            return row.address.toIPv4Address();
        case State:
            return int(row.state) * 10 + row.image;
        case Progress:
            return percent(row);
        case Rate:
            return inTransfer ? row.meter.bytesPerSecond() : -1.0;
        case TimeLeft:
            return inTransfer ? row.meter.secondsLeft() : qint64(-1);
        case Attempts:
            return row.attempts;
        default:
            break;
        }
        return data(index, Qt::DisplayRole);
    }
    if (role == Qt::TextAlignmentRole && index.column() != Outcome && index.column() != State)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return QVariant();
    switch (index.column()) {
    case Address:
        return row.address.toString();
    case State:
        return stateText(row);
    case Progress:
        return percent(row);
    case Rate:
        return inTransfer ? TransferMeter::rateText(row.meter.bytesPerSecond()) : QString();
    case TimeLeft:
        return inTransfer ? TransferMeter::durationText(row.meter.secondsLeft()) : QString();
    case Attempts:
        return row.attempts;
    case Outcome:
        return row.outcome;
    default:
        break;
    }
    return QVariant();
}

QVariant DeviceTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Address:
        return tr("Device");
    case State:
        return tr("State");
    case Progress:
        return tr("Progress");
    case Rate:
        return tr("Rate");
    case TimeLeft:
        return tr("Time left");
    case Attempts:
        return tr("Attempts");
    case Outcome:
        return tr("Outcome");
    default:
        break;
    }
    return QVariant();
}

void DeviceTableModel::addDevices(const QList<QHostAddress> &devices)
{
    QList<QHostAddress> fresh;
    QSet<quint32> seen;
    for (const QHostAddress &device : devices) {
        const quint32 value = device.toIPv4Address();
        if (!_index.contains(value) && !seen.contains(value)) {
            seen.insert(value);
            fresh.append(device);
        }
    }
    if (fresh.isEmpty())
        return;
    const int first = int(_rows.size());
    beginInsertRows(QModelIndex(), first, first + int(fresh.size()) - 1);
    for (const QHostAddress &device : std::as_const(fresh)) {
        _index.insert(device.toIPv4Address(), int(_rows.size()));
        Row row;
        row.address = device;
        row.meter = TransferMeter(_blocks);
        _rows.append(row);
    }
    endInsertRows();
}

void DeviceTableModel::removeDevices(QList<int> rows)
{
    // From the bottom up, contiguous rows at once, so the rows left keep their numbers.
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    qsizetype i = 0;
    while (i < rows.size()) {
        const int last = rows.at(i);
        int first = last;
        while (i + 1 < rows.size() && rows.at(i + 1) == first - 1)
            first = rows.at(++i);
        ++i;
        if (first < 0 || last >= _rows.size())
            continue;
        beginRemoveRows(QModelIndex(), first, last);
        _rows.remove(first, last - first + 1);
        endRemoveRows();
    }
    _dirty.clear();
    reindex();
}

void DeviceTableModel::reindex()
{
    _index.clear();
    for (int row = 0; row < _rows.size(); ++row)
        _index.insert(_rows.at(row).address.toIPv4Address(), row);
}

QList<QHostAddress> DeviceTableModel::devices() const
{
    QList<QHostAddress> devices;
    for (const Row &row : _rows)
        devices.append(row.address);
    return devices;
}

void DeviceTableModel::setImages(const QList<std::pair<int, qint64>> &sizes)
{
    _blocks.clear();
    _bytesPerDevice = 0;
    for (const auto &[number, size] : sizes) {
        _blocks.append({number, protocol::blockCount(size)});
        _bytesPerDevice += size;
    }
}

DeviceTableModel::Row *DeviceTableModel::find(const QHostAddress &device)
{
    const int at = row(device);
    return at < 0 ? nullptr : &_rows[at];
}

void DeviceTableModel::changed(int row)
{
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
    _dirty.remove(row);
}

void DeviceTableModel::flush()
{
    // Neighbouring rows go out as one range.
    QList<int> rows(_dirty.cbegin(), _dirty.cend());
    _dirty.clear();
    std::sort(rows.begin(), rows.end());
    qsizetype i = 0;
    while (i < rows.size()) {
        const int first = rows.at(i);
        int last = first;
        while (i + 1 < rows.size() && rows.at(i + 1) == last + 1)
            last = rows.at(++i);
        ++i;
        emit dataChanged(index(first, Progress), index(last, TimeLeft));
    }
}

void DeviceTableModel::queue(const QList<QHostAddress> &devices)
{
    for (const QHostAddress &device : devices) {
        Row *row = find(device);
        if (!row)
            continue;
        row->state = DeviceState::Waiting;
        row->image = 0;
        row->metered = false;
        row->outcome.clear();
        changed(this->row(device));
    }
}

void DeviceTableModel::attemptStarted(const QHostAddress &device)
{
    Row *row = find(device);
    if (!row)
        return;
    ++row->attempts;
    row->state = DeviceState::Connecting;
    row->image = 0;
    row->meter = TransferMeter(_blocks);
    row->metered = false;
    changed(this->row(device));
}

void DeviceTableModel::setState(const QHostAddress &device, DeviceState state, int image)
{
    Row *row = find(device);
    if (!row)
        return;
    row->state = state;
    row->image = image;
    changed(this->row(device));
}

void DeviceTableModel::progress(const QHostAddress &device, int image, quint32 blocksDone, quint32 blocksTotal,
                                qint64 nowMs)
{
    Row *row = find(device);
    if (!row)
        return;
    row->meter.update(image, blocksDone, blocksTotal, nowMs);
    row->metered = true;
    if (row->state != DeviceState::Image || row->image != image) {
        row->state = DeviceState::Image;
        row->image = image;
        changed(this->row(device));
        return;
    }
    _dirty.insert(this->row(device));
    if (!_flush.isActive())
        _flush.start();
}

void DeviceTableModel::attemptFailed(const QHostAddress &device, const QString &reason)
{
    Row *row = find(device);
    if (!row)
        return;
    row->state = DeviceState::Waiting;
    row->outcome = reason;
    changed(this->row(device));
}

void DeviceTableModel::finish(const QHostAddress &device, const FleetUpdate::DeviceReport &report,
                              const QString &outcome)
{
    Row *row = find(device);
    if (!row)
        return;
    if (report.ok())
        row->state = DeviceState::Done;
    else if (report.result.outcome == OperationResult::Outcome::Aborted)
        row->state = DeviceState::Stopped;
    else
        row->state = DeviceState::Failed;
    row->outcome = outcome;
    row->report = report;
    changed(this->row(device));
}

void DeviceTableModel::stopWaiting()
{
    for (int at = 0; at < _rows.size(); ++at) {
        Row &row = _rows[at];
        if (row.state == DeviceState::Connecting || row.state == DeviceState::Erasing
            || row.state == DeviceState::Image) {
            row.state = DeviceState::Stopped;
            changed(at);
        }
    }
}

const FleetUpdate::DeviceReport *DeviceTableModel::report(int row) const
{
    const Row &at = _rows.at(row);
    return at.report ? &*at.report : nullptr;
}

DeviceTableModel::Totals DeviceTableModel::totals() const
{
    Totals totals;
    double rate = 0;
    bool rated = false;
    double bytesLeft = 0;
    for (const Row &row : _rows) {
        switch (row.state) {
        case DeviceState::Done:
            ++totals.done;
            continue;
        case DeviceState::Failed:
        case DeviceState::Stopped:
            ++totals.failed;
            continue;
        case DeviceState::Waiting:
            ++totals.waiting;
            break;
        case DeviceState::Connecting:
        case DeviceState::Erasing:
        case DeviceState::Image:
            ++totals.running;
            break;
        }
        bytesLeft += double(_bytesPerDevice) * (100 - percent(row)) / 100.0;
        if (row.state == DeviceState::Image && row.metered && row.meter.bytesPerSecond() >= 0) {
            rate += row.meter.bytesPerSecond();
            rated = true;
        }
    }
    if (rated) {
        totals.bytesPerSecond = rate;
        if (rate > 0)
            totals.secondsLeft = qint64(bytesLeft / rate);
    }
    return totals;
}
