#ifndef NETWORKADAPTER_H
#define NETWORKADAPTER_H

#include <QList>
#include <QNetworkAddressEntry>
#include <QObject>
#include <QString>

#include <optional>

// How the adapter holding an address is now.
struct AdapterHealth {
    Q_GADGET

public:
    enum class State {
        Ok,
        AddressLost,  // no adapter holds the address now
        NoLink,       // the adapter holding it is down, or up without carrier (cable pulled)
    };
    Q_ENUM(State)

    State state = State::AddressLost;
    QString name;  // the adapter holding the address; empty when none does
};

// One IPv4 address of one of the PC's network adapters.
struct NetworkAdapter {
    QString name;               // the adapter's human-readable name
    QNetworkAddressEntry entry; // its address and netmask

    // "<name> - <address>", as the adapter list shows it.
    QString displayText() const;

    enum class Loopback { Exclude, Include };

    // The adapters an operator may send from: up, running, one entry per
    // IPv4 address, in the system's order. The window leaves loopback out;
    // the command line takes it, so devices on 127.x find their adapter.
    static QList<NetworkAdapter> list(Loopback loopback = Loopback::Exclude);
    // Whichever adapter holds `address` now, loopback included.
    static std::optional<NetworkAdapter> withAddress(const QHostAddress &address);

    // Whether an adapter still holds `address`, and whether it has link: why
    // a device stopped answering may be on the PC's side.
    static AdapterHealth health(const QHostAddress &address);
};

#endif // NETWORKADAPTER_H
