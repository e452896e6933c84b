#include "networkadapter.h"

#include <QNetworkInterface>

QString NetworkAdapter::displayText() const
{
    return name + QStringLiteral(" - ") + entry.ip().toString();
}

QList<NetworkAdapter> NetworkAdapter::list(Loopback loopback)
{
    QList<NetworkAdapter> adapters;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const auto flags = interface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || !flags.testFlag(QNetworkInterface::IsRunning)
            || (loopback == Loopback::Exclude && flags.testFlag(QNetworkInterface::IsLoopBack)))
            continue;
        const auto entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                adapters.append({interface.humanReadableName(), entry});
        }
    }
    return adapters;
}

AdapterHealth NetworkAdapter::health(const QHostAddress &address)
{
    using State = AdapterHealth::State;
    AdapterHealth health;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const auto entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (!entry.ip().isEqual(address, QHostAddress::TolerantConversion))
                continue;
            // Running is the carrier: an adapter stays up with its cable pulled.
            const auto flags = interface.flags();
            if (flags.testFlag(QNetworkInterface::IsUp) && flags.testFlag(QNetworkInterface::IsRunning))
                return {State::Ok, interface.humanReadableName()};
            // Another adapter may hold the same address and have link.
            if (health.state == State::AddressLost)
                health = {State::NoLink, interface.humanReadableName()};
        }
    }
    return health;
}

std::optional<NetworkAdapter> NetworkAdapter::withAddress(const QHostAddress &address)
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const auto entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().isEqual(address, QHostAddress::TolerantConversion))
                return NetworkAdapter{interface.humanReadableName(), entry};
        }
    }
    return std::nullopt;
}
