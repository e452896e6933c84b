#ifndef DEVICEADDRESS_H
#define DEVICEADDRESS_H

#include <QHostAddress>
#include <QNetworkAddressEntry>
#include <QObject>
#include <QString>

// The device IP as an operator or a script types it, checked before anything
// is sent to it. One function for every program of the project, so none of
// them can erase a whole LAN through a broadcast or reach the wrong device
// through an old-style octal address.
struct DeviceAddress {
    Q_GADGET

public:
    enum class Problem {
        None,
        NotAnAddress,     // not four plain decimal numbers 0-255 (no leading zeros)
        Unspecified,      // 0.x.x.x
        Broadcast,        // 255.255.255.255
        Multicast,        // 224.0.0.0/4
        SubnetBroadcast,  // the chosen adapter's own subnet broadcast
        AdapterAddress,   // the chosen adapter's own address: the PC, not a device
        NetworkAddress,   // the chosen adapter's subnet address (prefixes up to /30)
        Reserved,         // 240.0.0.0/4 below 255.255.255.255
    };
    Q_ENUM(Problem)

    QHostAddress address;  // set only when there is no problem
    Problem problem = Problem::NotAnAddress;

    bool ok() const { return problem == Problem::None; }

    // `text` is trimmed first. `adapter`, when it has an IPv4 address, also
    // rules out that address and, with its netmask, the subnet's broadcast
    // and network addresses. Loopback addresses are allowed: the simulated
    // device lives there.
    static DeviceAddress check(const QString &text, const QNetworkAddressEntry &adapter = {});
};

#endif // DEVICEADDRESS_H
