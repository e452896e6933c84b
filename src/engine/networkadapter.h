#ifndef NETWORKADAPTER_H
#define NETWORKADAPTER_H

#include <QList>
#include <QNetworkAddressEntry>
#include <QString>

#include <optional>

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
};

#endif // NETWORKADAPTER_H
