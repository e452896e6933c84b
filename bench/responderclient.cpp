#include "responderclient.h"

#include "loopback.h"

#include <QRegularExpression>
#include <QString>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace bench {

ResponderClient::ResponderClient()
{
    _fd = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in local = ipv4(kLocalIp, 0);
    if (_fd >= 0 && bind(_fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        close(_fd);
        _fd = -1;
    }
}

ResponderClient::~ResponderClient()
{
    if (_fd >= 0)
        close(_fd);
}

std::optional<QByteArray> ResponderClient::ask(const char *word, int tries, int waitMs)
{
    if (_fd < 0)
        return std::nullopt;
    const sockaddr_in device = ipv4(kDeviceIp, kDevicePort);
    for (int attempt = 0; attempt < tries; ++attempt) {
        sendto(_fd, word, std::strlen(word), 0, reinterpret_cast<const sockaddr *>(&device), sizeof device);
        pollfd waitFor{_fd, POLLIN, 0};
        if (poll(&waitFor, 1, waitMs) <= 0)
            continue;
        char buffer[256];
        const ssize_t length = recv(_fd, buffer, sizeof buffer, 0);
        if (length > 0)
            return QByteArray(buffer, int(length));
    }
    return std::nullopt;
}

bool ResponderClient::command(const char *word)
{
    return ask(word) == QByteArray("OK");
}

std::pair<qint64, qint64> ResponderClient::counts()
{
    const auto reply = ask("STATS");
    static const QRegularExpression pattern(QStringLiteral("^seen (\\d+) answered (\\d+)$"));
    const auto match = pattern.match(QString::fromLatin1(reply.value_or(QByteArray())));
    if (!match.hasMatch())
        return {-1, -1};
    return {match.captured(1).toLongLong(), match.captured(2).toLongLong()};
}

} // namespace bench
