#ifndef DEVICELIST_H
#define DEVICELIST_H

#include <QHostAddress>
#include <QList>
#include <QNetworkAddressEntry>
#include <QString>

// Devices as an operator types, pastes or imports them: one entry per line
// (or several, apart by blanks or commas), blank lines and # comments as in
// the command line's devices file. An entry is an address, a range of the
// last number ("198.51.100.20-40") or a subnet ("198.51.100.0/28": every
// usable host address). Each address goes through DeviceAddress::check
// against the adapter; what it refuses, and what is listed already, is said
// and left out.
struct DeviceList {
    struct Refusal {
        QString entry;   // the address, or the entry when it is no address at all
        QString reason;  // one line
    };

    QList<QHostAddress> added;  // in the order given
    QList<Refusal> refused;

    // Wider ones are someone else's network as much as ours, as for a scan.
    static constexpr int kMaxPerEntry = 1024;

    static DeviceList parse(const QString &text, const QNetworkAddressEntry &adapter,
                            const QList<QHostAddress> &listed = {});
};

#endif // DEVICELIST_H
