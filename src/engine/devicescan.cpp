#include "devicescan.h"

#include "deviceaddress.h"
#include "protocol.h"
#include "transport.h"

#include <algorithm>

namespace {

constexpr int kTickMs = 10;

const QByteArray &connectDatagram()
{
    static const QByteArray datagram = protocol::commandDatagram(MT_INIT);
    return datagram;
}

QString addressText(quint32 ip)
{
    return QHostAddress(ip).toString();
}

} // namespace

std::optional<DeviceScan::Range> DeviceScan::parseRange(const QString &text, QString *why)
{
    const QStringList ends = text.split(QLatin1Char('-'));
    if (ends.size() != 2) {
        *why = QStringLiteral("the range wants FIRST-LAST, two addresses joined by '-'");
        return std::nullopt;
    }
    Range range;
    quint32 *const values[2] = {&range.first, &range.last};
    for (int i = 0; i < 2; ++i) {
        const DeviceAddress checked = DeviceAddress::check(ends[i]);
        if (!checked.ok()) {
            *why = QStringLiteral("\"%1\" in the range is no device address").arg(ends[i].trimmed());
            return std::nullopt;
        }
        *values[i] = checked.address.toIPv4Address();
    }
    if (range.first > range.last) {
        *why = QStringLiteral("the range ends before it starts");
        return std::nullopt;
    }
    return range;
}

DeviceScan::Targets DeviceScan::targets(const QNetworkAddressEntry &adapter, const std::optional<Range> &range)
{
    Targets targets;
    bool isIPv4 = false;
    const quint32 own = adapter.ip().toIPv4Address(&isIPv4);
    const int prefix = adapter.prefixLength();
    if (!isIPv4 || prefix < 0 || prefix > 32) {
        targets.problem = QStringLiteral("the adapter has no IPv4 subnet");
        return targets;
    }
    // Shifting a 32-bit value by 32 is undefined: a /32 has no host bits.
    const quint32 hostMask = prefix == 32 ? 0 : 0xFFFFFFFFu >> prefix;
    const quint32 network = own & ~hostMask;
    const quint32 broadcast = network | hostMask;
    const QString subnet = QStringLiteral("%1/%2").arg(addressText(network)).arg(prefix);

    quint32 first = network;
    quint32 last = broadcast;
    if (range) {
        if (range->first < network || range->last > broadcast) {
            targets.problem = QStringLiteral("the range %1-%2 is not inside the adapter's subnet %3")
                                  .arg(addressText(range->first), addressText(range->last), subnet);
            return targets;
        }
        first = range->first;
        last = range->last;
    }
    // Counted before it is listed: a /8 must not be built only to be refused.
    QSet<quint32> skipped{own};
    if (prefix < 31)  // a /31 or /32 has no network or broadcast address of its own
        skipped << network << broadcast;
    quint64 count = quint64(last) - first + 1;
    for (const quint32 ip : std::as_const(skipped))
        count -= ip >= first && ip <= last;
    if (count > quint64(kMaxAddresses)) {
        targets.problem = range ? QStringLiteral("the range %1-%2 holds %3 addresses to probe, more than %4")
                                      .arg(addressText(first), addressText(last))
                                      .arg(count)
                                      .arg(kMaxAddresses)
                                : QStringLiteral("the subnet %1 holds %2 addresses to probe, more than %3: give a "
                                                 "range inside it")
                                      .arg(subnet)
                                      .arg(count)
                                      .arg(kMaxAddresses);
        return targets;
    }
    // The one device IP check decides, so a scan never probes what an update would refuse.
    for (quint64 ip = first; ip <= last; ++ip) {
        if (DeviceAddress::check(addressText(quint32(ip)), adapter).ok())
            targets.addresses.append(quint32(ip));
    }
    if (targets.addresses.isEmpty())
        targets.problem = range ? QStringLiteral("the range %1-%2 holds no address to probe")
                                      .arg(addressText(first), addressText(last))
                                : QStringLiteral("the subnet %1 holds no address but the adapter's own").arg(subnet);
    return targets;
}

DeviceScan::DeviceScan(Transport *transport, QObject *parent)
    : QObject(parent)
    , _transport(transport)
{
    _pace.setInterval(kTickMs);
    connect(&_pace, &QTimer::timeout, this, &DeviceScan::sendDue);
    _wait.setSingleShot(true);
    // A coarse timer may end the wait 5 % early, before a slow device's answer.
    _wait.setTimerType(Qt::PreciseTimer);
    connect(&_wait, &QTimer::timeout, this, &DeviceScan::finish);
}

DeviceScan::~DeviceScan()
{
    if (_running)
        _transport->setUnclaimedListener({});
}

void DeviceScan::start(quint32 adapter, const QList<quint32> &addresses, std::chrono::milliseconds wait)
{
    _adapter = adapter;
    _addresses = addresses;
    _next = 0;
    _probed.clear();
    _found.clear();
    _sendFailures = 0;
    _sendError.clear();
    _wait.setInterval(wait);
    _running = true;
    _transport->setUnclaimedListener(
        [this](quint32 sender, const char *data, qint64 size) { return answerArrived(sender, data, size); });
    _tokens = kBurst;
    _refilled.start();
    _pace.start();
    sendDue();
}

void DeviceScan::sendDue()
{
    _tokens = std::min<double>(kBurst, _tokens + _refilled.restart() * (kProbesPerSecond / 1000.0));
    while (_running && _tokens >= 1 && _next < _addresses.size()) {
        const quint32 device = _addresses.at(_next++);
        _probed.insert(device);
        _tokens -= 1;
        QString error;
        if (!_transport->send(_adapter, device, connectDatagram(), &error)) {
            if (_sendFailures++ == 0)
                _sendError = error;
        }
    }
    if (_running && _next == _addresses.size() && _pace.isActive()) {
        _pace.stop();
        _wait.start();
    }
}

bool DeviceScan::answerArrived(quint32 sender, const char *data, qint64 size)
{
    // Exactly the answer to connect: anything else is not a device in update mode.
    const QByteArray &expected = connectDatagram();
    if (size != expected.size() || !std::equal(expected.begin(), expected.end(), data) || !_probed.contains(sender))
        return false;
    _found.insert(sender);
    return true;
}

void DeviceScan::abort()
{
    if (_running)
        finish();
}

void DeviceScan::finish()
{
    _pace.stop();
    _wait.stop();
    _running = false;
    _transport->setUnclaimedListener({});
    emit finished();
}

QList<QHostAddress> DeviceScan::found() const
{
    QList<quint32> sorted(_found.cbegin(), _found.cend());
    std::sort(sorted.begin(), sorted.end());
    QList<QHostAddress> devices;
    for (const quint32 ip : std::as_const(sorted))
        devices.append(QHostAddress(ip));
    return devices;
}
