#include "cases.h"

#include <QRegularExpression>

namespace bench {

QString fleetCaseName(const FleetRun &run)
{
    return QStringLiteral("fleet-%1@%2ms").arg(run.devices).arg(run.delayMs);
}

std::optional<FleetRun> fleetRunOf(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^fleet-(\\d+)@(\\d+)ms$"));
    const QRegularExpressionMatch match = pattern.match(name);
    if (!match.hasMatch())
        return std::nullopt;
    const FleetRun run{match.captured(1).toInt(), match.captured(2).toInt()};
    // Only the runs the bench knows: the child is never asked for others.
    if (!fleetCases().contains(fleetCaseName(run)))
        return std::nullopt;
    return run;
}

QStringList fleetCases()
{
    QStringList names;
    for (const int delayMs : kFleetDelaysMs) {
        for (const int devices : kFleetDevices)
            names << fleetCaseName({devices, delayMs});
    }
    return names;
}

QStringList allCases()
{
    return defaultCases() + kFleetWindowCases;
}

QStringList defaultCases()
{
    return kCases + fleetCases();
}

} // namespace bench
