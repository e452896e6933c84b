#include "devicelist.h"

#include "deviceaddress.h"

#include <QRegularExpression>
#include <QSet>

#include <optional>

namespace {

// Plain decimal as the address check takes it: no sign, no leading zero.
std::optional<int> plainNumber(const QString &text, int most)
{
    static const QRegularExpression plain(QStringLiteral("^(0|[1-9][0-9]{0,2})$"));
    if (!plain.match(text).hasMatch())
        return std::nullopt;
    const int value = text.toInt();
    return value <= most ? std::optional<int>(value) : std::nullopt;
}

struct Expanded {
    QList<quint32> addresses;
    std::optional<DeviceList::Refusal> refused;
};

// The addresses one entry stands for, before each is checked on its own.
Expanded expand(const QString &entry, const QNetworkAddressEntry &adapter)
{
    const auto refused = [&entry](DeviceList::Problem problem,
                                  DeviceAddress::Problem address = DeviceAddress::Problem::None) {
        return Expanded{{}, DeviceList::Refusal{entry, problem, address}};
    };
    const qsizetype dash = entry.indexOf(QLatin1Char('-'));
    const qsizetype slash = entry.indexOf(QLatin1Char('/'));
    if (dash < 0 && slash < 0) {
        const DeviceAddress checked = DeviceAddress::check(entry, adapter);
        if (!checked.ok())
            return refused(DeviceList::Problem::Address, checked.problem);
        return {{checked.address.toIPv4Address()}, {}};
    }
    const QString start = entry.left(dash >= 0 ? dash : slash);
    // Only its form is checked here: the subnet's own address is no device.
    bool isAddress = false;
    const quint32 first = QHostAddress(start).toIPv4Address(&isAddress);
    const DeviceAddress form = DeviceAddress::check(start);
    if (!isAddress || form.problem == DeviceAddress::Problem::NotAnAddress || (dash >= 0 && slash >= 0))
        return refused(DeviceList::Problem::NotAnEntry);

    quint32 low = first;
    quint32 high = first;
    if (dash >= 0) {
        const std::optional<int> last = plainNumber(entry.mid(dash + 1), 255);
        if (!last || quint32(*last) < (first & 0xffu))
            return refused(DeviceList::Problem::RangeEnd);
        high = (first & ~0xffu) | quint32(*last);
    } else {
        const std::optional<int> prefix = plainNumber(entry.mid(slash + 1), 32);
        if (!prefix)
            return refused(DeviceList::Problem::Prefix);
        const quint32 mask = *prefix == 0 ? 0 : ~quint32(0) << (32 - *prefix);
        if ((first & mask) != first)
            return refused(DeviceList::Problem::NotSubnetStart);
        low = first;
        high = first | ~mask;
        // Up to /30 a subnet has a network and a broadcast address of its own.
        if (*prefix <= 30) {
            ++low;
            --high;
        }
    }
    if (quint64(high) - low + 1 > quint64(DeviceList::kMaxPerEntry))
        return refused(DeviceList::Problem::TooMany);
    Expanded expanded;
    for (quint64 address = low; address <= high; ++address)
        expanded.addresses.append(quint32(address));
    return expanded;
}

} // namespace

DeviceList DeviceList::parse(const QString &text, const QNetworkAddressEntry &adapter, const QList<QHostAddress> &listed)
{
    static const QRegularExpression apart(QStringLiteral("[\\s,]+"));
    DeviceList list;
    QSet<quint32> seen;
    for (const QHostAddress &address : listed)
        seen.insert(address.toIPv4Address());

    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString content = line.left(line.indexOf(QLatin1Char('#')));
        const QStringList entries = content.split(apart, Qt::SkipEmptyParts);
        for (const QString &entry : entries) {
            const Expanded expanded = expand(entry, adapter);
            if (expanded.refused) {
                list.refused.append(*expanded.refused);
                continue;
            }
            for (quint32 value : expanded.addresses) {
                const QString shown = QHostAddress(value).toString();
                const DeviceAddress checked = DeviceAddress::check(shown, adapter);
                if (!checked.ok()) {
                    list.refused.append({shown, Problem::Address, checked.problem});
                } else if (seen.contains(value)) {
                    list.refused.append({shown, Problem::Listed});
                } else {
                    seen.insert(value);
                    list.added.append(checked.address);
                }
            }
        }
    }
    return list;
}
