#include "adapterchoice.h"

#include "printable.h"

#include <QStringList>

namespace {

bool holdsEvery(const NetworkAdapter &adapter, const QList<QHostAddress> &devices)
{
    for (const QHostAddress &device : devices) {
        if (!device.isInSubnet(adapter.entry.ip(), adapter.entry.prefixLength()))
            return false;
    }
    return true;
}

QString listed(const QList<NetworkAdapter> &adapters)
{
    if (adapters.isEmpty())
        return QStringLiteral("No adapter is up with an IPv4 address.");
    QStringList lines{QStringLiteral("Adapters:")};
    for (const NetworkAdapter &adapter : adapters) {
        lines.append(QStringLiteral("  %1  %2/%3")
                         .arg(printable::escaped(adapter.name), adapter.entry.ip().toString(),
                              QString::number(adapter.entry.prefixLength())));
    }
    return lines.join(QLatin1Char('\n'));
}

AdapterChoice refuse(const QString &why, const QList<NetworkAdapter> &adapters)
{
    AdapterChoice choice;
    choice.error = why + QLatin1Char('\n') + listed(adapters);
    return choice;
}

AdapterChoice chosen(const NetworkAdapter &adapter)
{
    AdapterChoice choice;
    choice.adapter = adapter;
    return choice;
}

} // namespace

AdapterChoice AdapterChoice::choose(const QList<NetworkAdapter> &adapters, const QString &wanted,
                                    const QList<QHostAddress> &devices)
{
    QList<NetworkAdapter> candidates;
    const QHostAddress address(wanted);
    const bool byAddress = address.protocol() == QAbstractSocket::IPv4Protocol;
    // No device yet: a scan, which finds none on loopback unless asked to.
    const bool scan = devices.isEmpty();
    for (const NetworkAdapter &adapter : adapters) {
        if (wanted.isEmpty() ? !(scan && adapter.entry.ip().isLoopback())
                             : (byAddress ? adapter.entry.ip() == address : adapter.name == wanted))
            candidates.append(adapter);
    }
    if (!wanted.isEmpty() && candidates.isEmpty()) {
        const QString shown = printable::escaped(wanted);
        return refuse(byAddress ? QStringLiteral("No adapter has the address %1.").arg(shown)
                                : QStringLiteral("No adapter named %1 is up with an IPv4 address.").arg(shown),
                      adapters);
    }
    // Asked for by its address, or a name with one address: the user knows
    // best, even for devices behind a router.
    if (!wanted.isEmpty() && candidates.size() == 1)
        return chosen(candidates.constFirst());

    if (scan) {
        if (candidates.size() == 1)
            return chosen(candidates.constFirst());
        if (candidates.isEmpty())
            return refuse(QStringLiteral("No adapter other than loopback is up with an IPv4 address: choose one "
                                         "with --adapter."),
                          adapters);
        return refuse(wanted.isEmpty() ? QStringLiteral("More than one adapter is up with an IPv4 address: choose "
                                                        "one with --adapter ADDRESS.")
                                       : QStringLiteral("%1 has more than one IPv4 address: choose one with "
                                                        "--adapter ADDRESS.")
                                             .arg(printable::escaped(wanted)),
                      adapters);
    }

    QList<NetworkAdapter> holding;
    for (const NetworkAdapter &adapter : std::as_const(candidates)) {
        if (holdsEvery(adapter, devices))
            holding.append(adapter);
    }
    if (holding.size() == 1)
        return chosen(holding.constFirst());
    const QString which = wanted.isEmpty() ? QStringLiteral("adapter")
                                           : QStringLiteral("address of %1").arg(printable::escaped(wanted));
    if (holding.isEmpty())
        return refuse(QStringLiteral("No %1 has a subnet holding every device: choose one with --adapter.").arg(which),
                      adapters);
    return refuse(QStringLiteral("More than one %1 has a subnet holding every device: choose one with "
                                 "--adapter ADDRESS.")
                      .arg(which),
                  adapters);
}
