#ifndef DEVICESIMFLEET_H
#define DEVICESIMFLEET_H

#include "devicesim.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

// Many simulated devices in one process, on consecutive addresses (loopback,
// or ones this machine holds): each its own DeviceSim, with its own socket,
// image checks and counters.
class DeviceSimFleet : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxDevices = 1024;
    // A device is through once it has this many clean images: one update.
    static constexpr int kImagesPerUpdate = 3;

    explicit DeviceSimFleet(QObject *parent = nullptr);
    ~DeviceSimFleet() override;

    // COUNT addresses from FIRST onwards; empty with the reason in *why when
    // they would leave 127.0.0.0/8, or, from outside it, one is not among
    // `local` (the machine's own), or COUNT is outside 1..kMaxDevices.
    static QList<QHostAddress> addressRange(const QHostAddress &first, int count, QString *why = nullptr,
                                            const QList<QHostAddress> &local = {});

    // Binds every device; on the first failure none stays bound, and
    // errorString() names the address.
    bool start(const QHostAddress &first, int count);
    void stop();
    QString errorString() const { return _error; }

    // The settings hold for the devices of the next start() too.
    // Faults for the devices at ONLY (all of them when ONLY is empty); the
    // others behave.
    void setFaults(const DeviceSim::Faults &faults, const QList<QHostAddress> &only = {});
    // Silence, for the devices at ONLY (all when empty); the others answer.
    void setSilent(bool silent, const QList<QHostAddress> &only = {});
    // Every device answers TARGET instead of the sender (see DeviceSim).
    void setTarget(const QHostAddress &target);
    // One device saves in DIR, several each in DIR/<address>.
    void setSaveDirectory(const QString &dir);
    // Printed lines carry the device's address when there is more than one.
    void setPrintSummaries(bool print);
    void setRecordDatagrams(bool record);
    void setKeepImageData(bool keep);

    QList<DeviceSim *> devices() const { return _devices; }
    // Their addresses, in the same order; they stay known after stop().
    QList<QHostAddress> addresses() const { return _addresses; }
    DeviceSim *device(const QHostAddress &address) const;

    // Across all devices: completed images, and devices with kImagesPerUpdate clean ones.
    int imagesCompleted() const { return _imagesCompleted; }
    int devicesDone() const { return _devicesDone; }
    int acksPending() const;

signals:
    void imageCompleted(DeviceSim *device, const DeviceSim::ImageReport &report);
    void deviceDone(DeviceSim *device);

private:
    void configure(DeviceSim *device, const QHostAddress &address) const;
    bool targeted(const QList<QHostAddress> &only, const QHostAddress &address) const;

    QList<DeviceSim *> _devices;
    QList<QHostAddress> _addresses;
    QString _error;
    DeviceSim::Faults _faults;
    QList<QHostAddress> _faultsOnly;
    bool _silent = false;
    QHostAddress _target;
    QList<QHostAddress> _silentOnly;
    QString _saveDir;
    bool _printSummaries = false;
    bool _recordDatagrams = true;
    bool _keepImageData = true;
    int _imagesCompleted = 0;
    int _devicesDone = 0;
    QHash<DeviceSim *, int> _cleanImages;
};

#endif // DEVICESIMFLEET_H
