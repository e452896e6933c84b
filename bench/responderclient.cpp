#include "responderclient.h"

#include "loopback.h"

#include <QList>

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

ResponderClient::Stats ResponderClient::stats()
{
    // "seen N answered M last_answer_ns T"
    const QList<QByteArray> words = ask("STATS").value_or(QByteArray()).split(' ');
    if (words.size() != 6 || words[0] != "seen" || words[2] != "answered" || words[4] != "last_answer_ns")
        return {};
    Stats stats;
    bool seenOk = false, answeredOk = false, lastOk = false;
    stats.seen = words[1].toLongLong(&seenOk);
    stats.answered = words[3].toLongLong(&answeredOk);
    stats.lastAnswerNs = words[5].toLongLong(&lastOk);
    if (!seenOk || !answeredOk || !lastOk)
        return {};
    return stats;
}

} // namespace bench
