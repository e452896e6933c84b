// The device stand-in for the benchmark: answers every command at once and
// checks nothing, so the figures measure the sending side alone. Plain
// sockets, one blocking loop, no Qt.
//
//   varnel-bench-responder [address] [idle-seconds]
//
// Binds address:1235 (default 127.0.0.2) and answers each datagram of three
// or more bytes with A5 5A <its third byte>, from that socket to the sender's
// address, port 1246. Control words (never starting A5 5A) are answered to the
// port they came from:
//   PING    -> "PONG"
//   SILENT  -> stop answering commands ("OK")   for the idle-wait case
//   ANSWER  -> answer them again ("OK")
//   RESET   -> zero the counters ("OK")
//   STATS   -> "seen N answered M last_answer_ns T", T the CLOCK_MONOTONIC
//              time the latest answer was sent (0: none since RESET)
//   QUIT    -> "BYE", then exit
// Exits by itself after idle-seconds (default 120) without any datagram.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr unsigned short kDevicePort = 1235;
constexpr unsigned short kAckPort = 1246;

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

bool isWord(const char *buffer, ssize_t length, const char *word)
{
    const size_t wordLength = std::strlen(word);
    return size_t(length) == wordLength && std::memcmp(buffer, word, wordLength) == 0;
}

void reply(int socketFd, const sockaddr_in &to, const std::string &text)
{
    sendto(socketFd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

} // namespace

int main(int argc, char **argv)
{
    const char *address = argc > 1 ? argv[1] : "127.0.0.2";
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 120;

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kDevicePort);
    if (inet_pton(AF_INET, address, &local.sin_addr) != 1) {
        std::fprintf(stderr, "responder: not an IPv4 address: %s\n", address);
        return 2;
    }
    // Loopback only: the benchmark must never put a datagram on a real network.
    if ((ntohl(local.sin_addr.s_addr) >> 24) != 127) {
        std::fprintf(stderr, "responder: %s is not a loopback address\n", address);
        return 2;
    }

    const int socketFd = socket(AF_INET, SOCK_DGRAM, 0);
    if (socketFd < 0 || bind(socketFd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "responder: cannot bind %s:%u: %s\n", address, kDevicePort,
                     std::strerror(errno));
        return 3;
    }
    // Big enough that a burst of control words never drops a command.
    const int bufferBytes = 1 << 20;
    setsockopt(socketFd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);

    bool silent = false;
    unsigned long long seen = 0;
    unsigned long long answered = 0;
    long long lastAnswerNs = 0;
    char buffer[65536];
    pollfd waitFor{socketFd, POLLIN, 0};

    for (;;) {
        const int ready = poll(&waitFor, 1, idleSeconds * 1000);
        if (ready == 0) {
            std::fprintf(stderr, "responder: %d s without traffic, exiting\n", idleSeconds);
            break;
        }
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::perror("responder: poll");
            break;
        }

        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t length = recvfrom(socketFd, buffer, sizeof buffer, 0,
                                        reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (length < 0)
            continue;

        const bool command = length >= 3 && static_cast<unsigned char>(buffer[0]) == 0xA5
            && static_cast<unsigned char>(buffer[1]) == 0x5A;
        if (command) {
            ++seen;
            if (silent)
                continue;
            // Same answer the device gives: header and the command's type.
            const unsigned char ack[3] = {0xA5, 0x5A, static_cast<unsigned char>(buffer[2])};
            sockaddr_in to = from;
            to.sin_port = htons(kAckPort);
            // Stamped before it leaves: on one CPU the sender may run before
            // sendto() returns here, and must never see an answer "from the future".
            const long long sentAt = monotonicNs();
            if (sendto(socketFd, ack, sizeof ack, 0, reinterpret_cast<sockaddr *>(&to), sizeof to)
                == ssize_t(sizeof ack)) {
                ++answered;
                lastAnswerNs = sentAt;
            }
            continue;
        }

        if (isWord(buffer, length, "PING")) {
            reply(socketFd, from, "PONG");
        } else if (isWord(buffer, length, "SILENT")) {
            silent = true;
            reply(socketFd, from, "OK");
        } else if (isWord(buffer, length, "ANSWER")) {
            silent = false;
            reply(socketFd, from, "OK");
        } else if (isWord(buffer, length, "RESET")) {
            seen = answered = 0;
            lastAnswerNs = 0;
            reply(socketFd, from, "OK");
        } else if (isWord(buffer, length, "STATS")) {
            reply(socketFd, from,
                  "seen " + std::to_string(seen) + " answered " + std::to_string(answered)
                      + " last_answer_ns " + std::to_string(lastAnswerNs));
        } else if (isWord(buffer, length, "QUIT")) {
            reply(socketFd, from, "BYE");
            break;
        }
        // Anything else (a stray short datagram) is ignored.
    }
    close(socketFd);
    return 0;
}
