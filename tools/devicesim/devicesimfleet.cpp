#include "devicesimfleet.h"

#include <QDir>
#include <QNetworkInterface>

DeviceSimFleet::DeviceSimFleet(QObject *parent)
    : QObject(parent)
{
}

DeviceSimFleet::~DeviceSimFleet() = default;

QList<QHostAddress> DeviceSimFleet::addressRange(const QHostAddress &first, int count, QString *why,
                                                 const QList<QHostAddress> &local)
{
    const auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return QList<QHostAddress>();
    };
    if (count < 1 || count > kMaxDevices)
        return refuse(QStringLiteral("%1 devices: 1 to %2 can be simulated").arg(count).arg(kMaxDevices));
    bool isIPv4 = false;
    const quint32 ip = first.toIPv4Address(&isIPv4);
    if (first.protocol() != QAbstractSocket::IPv4Protocol || !isIPv4)
        return refuse(QStringLiteral("%1 is not an IPv4 address").arg(first.toString()));
    const bool loopback = (ip >> 24) == 127;
    const quint32 last = ip + quint32(count - 1);
    if (loopback && (last >> 24) != 127)
        return refuse(QStringLiteral("%1 devices from %2 would leave 127.0.0.0/8")
                          .arg(count)
                          .arg(first.toString()));
    QList<QHostAddress> addresses;
    addresses.reserve(count);
    for (int i = 0; i < count; ++i) {
        const QHostAddress address(ip + quint32(i));
        // Binding would fail elsewhere too; refused first, with a reason.
        if (!loopback && (last < ip || !local.contains(address)))
            return refuse(QStringLiteral("%1 is neither a loopback IPv4 address (127.0.0.0/8) nor one this "
                                         "machine holds")
                              .arg(address.toString()));
        addresses << address;
    }
    return addresses;
}

bool DeviceSimFleet::start(const QHostAddress &first, int count)
{
    stop();
    // Later: start() may run from a slot of one of their signals.
    for (DeviceSim *device : std::as_const(_devices)) {
        disconnect(device, nullptr, this, nullptr);
        device->deleteLater();
    }
    _devices.clear();
    _addresses.clear();
    _cleanImages.clear();
    _imagesCompleted = 0;
    _devicesDone = 0;
    _error.clear();

    _addresses = addressRange(first, count, &_error, QNetworkInterface::allAddresses());
    if (_addresses.isEmpty())
        return false;
    for (const QHostAddress &address : std::as_const(_addresses)) {
        auto *device = new DeviceSim(this);
        _devices << device;
        configure(device, address);
        connect(device, &DeviceSim::imageCompleted, this, [this, device](const DeviceSim::ImageReport &report) {
            ++_imagesCompleted;
            const bool done = report.clean() && ++_cleanImages[device] == kImagesPerUpdate;
            if (done)
                ++_devicesDone;
            emit imageCompleted(device, report);
            if (done)
                emit deviceDone(device);
        });
        if (!device->start(address)) {
            // DeviceSim's message already names the address.
            _error = device->errorString();
            stop();
            return false;
        }
    }
    return true;
}

void DeviceSimFleet::stop()
{
    for (DeviceSim *device : std::as_const(_devices))
        device->stop();
}

void DeviceSimFleet::setFaults(const DeviceSim::Faults &faults, const QList<QHostAddress> &only)
{
    _faults = faults;
    _faultsOnly = only;
    for (int i = 0; i < _devices.size(); ++i)
        _devices.at(i)->setFaults(targeted(only, _addresses.at(i)) ? faults : DeviceSim::Faults());
}

void DeviceSimFleet::setSilent(bool silent, const QList<QHostAddress> &only)
{
    _silent = silent;
    _silentOnly = only;
    for (int i = 0; i < _devices.size(); ++i)
        _devices.at(i)->setSilent(silent && targeted(only, _addresses.at(i)));
}

void DeviceSimFleet::setTarget(const QHostAddress &target)
{
    _target = target;
    for (DeviceSim *device : std::as_const(_devices))
        device->setTarget(target);
}

void DeviceSimFleet::setSaveDirectory(const QString &dir)
{
    _saveDir = dir;
    for (int i = 0; i < _devices.size(); ++i)
        configure(_devices.at(i), _addresses.at(i));
}

void DeviceSimFleet::setPrintSummaries(bool print)
{
    _printSummaries = print;
    for (DeviceSim *device : std::as_const(_devices))
        device->setPrintSummaries(print);
}

void DeviceSimFleet::setRecordDatagrams(bool record)
{
    _recordDatagrams = record;
    for (DeviceSim *device : std::as_const(_devices))
        device->setRecordDatagrams(record);
}

void DeviceSimFleet::setKeepImageData(bool keep)
{
    _keepImageData = keep;
    for (DeviceSim *device : std::as_const(_devices))
        device->setKeepImageData(keep);
}

DeviceSim *DeviceSimFleet::device(const QHostAddress &address) const
{
    for (int i = 0; i < _devices.size(); ++i) {
        if (_addresses.at(i).isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
            return _devices.at(i);
    }
    return nullptr;
}

int DeviceSimFleet::acksPending() const
{
    int pending = 0;
    for (const DeviceSim *device : _devices)
        pending += device->acksPending();
    return pending;
}

void DeviceSimFleet::configure(DeviceSim *device, const QHostAddress &address) const
{
    const bool several = _addresses.size() > 1;
    device->setFaults(targeted(_faultsOnly, address) ? _faults : DeviceSim::Faults());
    device->setSilent(_silent && targeted(_silentOnly, address));
    device->setTarget(_target);
    device->setSaveDirectory(_saveDir.isEmpty() || !several ? _saveDir
                                                            : QDir(_saveDir).filePath(address.toString()));
    device->setPrintSummaries(_printSummaries);
    device->setLinePrefix(several ? address.toString() + QStringLiteral(": ") : QString());
    device->setRecordDatagrams(_recordDatagrams);
    device->setKeepImageData(_keepImageData);
}

bool DeviceSimFleet::targeted(const QList<QHostAddress> &only, const QHostAddress &address) const
{
    if (only.isEmpty())
        return true;
    for (const QHostAddress &target : only) {
        if (target.isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
            return true;
    }
    return false;
}
