#include "deviceaddress.h"

#include <QStringList>

namespace {

// "0", or 1-3 digits without a leading zero: "010" is octal to inet_aton,
// so it would reach another device than the one typed.
bool parseOctet(const QString &part, quint32 &value)
{
    if (part.isEmpty() || part.size() > 3 || (part.size() > 1 && part.startsWith(QLatin1Char('0'))))
        return false;
    for (const QChar c : part) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    value = part.toUInt();
    return value <= 255;
}

// What the chosen adapter's own numbers rule out.
DeviceAddress::Problem adapterProblem(quint32 ip, const QNetworkAddressEntry &adapter)
{
    bool adapterIsIPv4 = false;
    const quint32 local = adapter.ip().toIPv4Address(&adapterIsIPv4);
    if (!adapterIsIPv4)
        return DeviceAddress::Problem::None;
    // The device would be the PC itself: every command comes back unanswered.
    if (ip == local)
        return DeviceAddress::Problem::AdapterAddress;
    const int prefix = adapter.prefixLength();
    // A /31 or /32 has no broadcast or network address of its own.
    if (prefix <= 0 || prefix >= 31)
        return DeviceAddress::Problem::None;
    const quint32 hostMask = 0xFFFFFFFFu >> prefix;
    if (ip == ((local & ~hostMask) | hostMask))
        return DeviceAddress::Problem::SubnetBroadcast;
    // Some stacks still take the all-zeros host as the old-style broadcast.
    if (ip == (local & ~hostMask))
        return DeviceAddress::Problem::NetworkAddress;
    return DeviceAddress::Problem::None;
}

} // namespace

DeviceAddress DeviceAddress::check(const QString &text, const QNetworkAddressEntry &adapter)
{
    DeviceAddress result;
    const QStringList parts = text.trimmed().split(QLatin1Char('.'));
    if (parts.size() != 4)
        return result;
    quint32 ip = 0;
    for (const QString &part : parts) {
        quint32 octet = 0;
        if (!parseOctet(part, octet))
            return result;
        ip = (ip << 8) | octet;
    }

    result.problem = Problem::None;
    if ((ip >> 24) == 0) {
        result.problem = Problem::Unspecified;
    } else if (ip == 0xFFFFFFFFu) {
        result.problem = Problem::Broadcast;
    } else if ((ip >> 28) == 0xE) {
        result.problem = Problem::Multicast;
    } else if ((ip >> 28) == 0xF) {
        result.problem = Problem::Reserved;
    } else {
        result.problem = adapterProblem(ip, adapter);
    }
    if (result.ok())
        result.address = QHostAddress(ip);
    return result;
}
