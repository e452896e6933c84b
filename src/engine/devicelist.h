#ifndef DEVICELIST_H
#define DEVICELIST_H

#include "deviceaddress.h"

#include <QHostAddress>
#include <QList>
#include <QNetworkAddressEntry>
#include <QObject>
#include <QString>

// Devices as an operator types, pastes or imports them: one entry per line
// (or several, apart by blanks or commas), blank lines and # comments as in
// the command line's devices file. An entry is an address, a range of the
// last number ("198.51.100.20-40") or a subnet ("198.51.100.0/28": every
// usable host address). Each address goes through DeviceAddress::check
// against the adapter; what it refuses, and what is listed already, is said
// and left out.
struct DeviceList {
    Q_GADGET

public:
    enum class Problem {
        Address,         // the address check refused it: see `address`
        NotAnEntry,      // no address, range or subnet
        RangeEnd,        // a range's end below its start, or no plain number to 255
        Prefix,          // a subnet's prefix no plain number to 32
        NotSubnetStart,  // the address is inside the subnet, not its start
        TooMany,         // more than kMaxPerEntry addresses
        Listed,          // in the list already, or earlier in this text
    };
    Q_ENUM(Problem)

    struct Refusal {
        QString entry;  // the address, or the whole entry when the entry is refused
        Problem problem = Problem::NotAnEntry;
        DeviceAddress::Problem address = DeviceAddress::Problem::None;
    };

    QList<QHostAddress> added;  // in the order given
    QList<Refusal> refused;

    // Wider ones are someone else's network as much as ours, as for a scan.
    static constexpr int kMaxPerEntry = 1024;

    static DeviceList parse(const QString &text, const QNetworkAddressEntry &adapter,
                            const QList<QHostAddress> &listed = {});
};

#endif // DEVICELIST_H
