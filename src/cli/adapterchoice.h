#ifndef ADAPTERCHOICE_H
#define ADAPTERCHOICE_H

#include "networkadapter.h"

#include <QHostAddress>
#include <QList>
#include <QString>

#include <optional>

// Which of the PC's adapters the devices are reached from: the one asked
// for by address or name, or else the one whose subnet holds every device;
// for a scan, with no device yet, the one adapter other than loopback.
// Never a guess: when none fits, or several do, it says so and lists them.
struct AdapterChoice {
    std::optional<NetworkAdapter> adapter;
    QString error;  // set when there is no adapter; lists the adapters

    bool ok() const { return adapter.has_value(); }

    static AdapterChoice choose(const QList<NetworkAdapter> &adapters, const QString &wanted,
                                const QList<QHostAddress> &devices);
};

#endif // ADAPTERCHOICE_H
