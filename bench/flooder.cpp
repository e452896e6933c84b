// Stray datagrams for the bench's flood case. Plain sockets, one paced loop,
// no Qt, so it costs the measured process nothing but the strays themselves.
//
//   varnel-bench-flooder [--from ADDR] [--to ADDR] [--port N] [--rate N]
//                        [--seconds N] [--count N] [--counter PATH]
//
// Sends short datagrams that are no answer of the device (most look like one,
// A5 5A FF, but come from another host) from ADDR (default 127.0.0.3, an
// ephemeral port) to TO:PORT (default 127.0.0.1:1246), RATE a second (default
// 50000), a batch every millisecond on an absolute deadline. Stops after
// SECONDS (default 60) or COUNT datagrams (default RATE * SECONDS), on SIGTERM
// or SIGINT, or when the process that started it ends. With --counter, keeps
// the number sent so far in the first 8 bytes of PATH, for the starter to
// read while it runs. Both addresses must be loopback ones.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr long long kTickNs = 1000000;
// A flooder kept off its CPU for longer than this drops the backlog instead
// of making it up in one burst.
constexpr long long kMostLagNs = 20 * kTickNs;

volatile sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

bool loopbackAddress(const char *text, in_addr *address)
{
    return inet_pton(AF_INET, text, address) == 1 && (ntohl(address->s_addr) >> 24) == 127;
}

bool number(const char *text, long long low, long long high, long long *value)
{
    char *end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high)
        return false;
    *value = parsed;
    return true;
}

int usage()
{
    std::fprintf(stderr, "usage: varnel-bench-flooder [--from ADDR] [--to ADDR] [--port N] [--rate N (1000..1000000)]\n"
                         "                            [--seconds N (1..3600)] [--count N] [--counter PATH]\n");
    return 2;
}

// The strays, in turn: mostly an answer's look-alike, some of other sizes.
struct Payloads
{
    unsigned char ackLike[3] = {0xA5, 0x5A, 0xFF};
    unsigned char oneByte[1] = {0x5A};
    unsigned char initLike[16] = {0xA5, 0x5A, 0x0F};
    unsigned char filler[200];

    Payloads() { std::memset(filler, 0xEE, sizeof filler); }

    iovec pick(unsigned long long index)
    {
        switch (index % 10) {
        case 7:
            return {oneByte, sizeof oneByte};
        case 8:
            return {initLike, sizeof initLike};
        case 9:
            return {filler, sizeof filler};
        default:
            return {ackLike, sizeof ackLike};
        }
    }
};

} // namespace

int main(int argc, char **argv)
{
    const char *fromText = "127.0.0.3";
    const char *toText = "127.0.0.1";
    long long port = 1246;
    long long rate = 50000;
    long long seconds = 60;
    long long count = -1;
    const char *counterPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        bool ok = i + 1 < argc;
        if (!ok)
            return usage();
        if (std::strcmp(argv[i], "--from") == 0)
            fromText = argv[++i];
        else if (std::strcmp(argv[i], "--to") == 0)
            toText = argv[++i];
        else if (std::strcmp(argv[i], "--port") == 0)
            ok = number(argv[++i], 1, 65535, &port);
        else if (std::strcmp(argv[i], "--rate") == 0)
            ok = number(argv[++i], 1000, 1000000, &rate);
        else if (std::strcmp(argv[i], "--seconds") == 0)
            ok = number(argv[++i], 1, 3600, &seconds);
        else if (std::strcmp(argv[i], "--count") == 0)
            ok = number(argv[++i], 1, 1000000LL * 3600, &count);
        else if (std::strcmp(argv[i], "--counter") == 0)
            counterPath = argv[++i];
        else
            ok = false;
        if (!ok)
            return usage();
    }
    if (count < 0)
        count = rate * seconds;

    // Loopback only: the bench must never put a datagram on a real network.
    sockaddr_in from{};
    sockaddr_in to{};
    from.sin_family = to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<unsigned short>(port));
    if (!loopbackAddress(fromText, &from.sin_addr) || !loopbackAddress(toText, &to.sin_addr)) {
        std::fprintf(stderr, "flooder: %s and %s must both be loopback addresses\n", fromText, toText);
        return 2;
    }

    // Ends with whoever started it, even if that one is killed.
    const pid_t starter = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != starter)
        return 0;
    struct sigaction onStop{};
    onStop.sa_handler = requestStop;
    sigemptyset(&onStop.sa_mask);
    sigaction(SIGTERM, &onStop, nullptr);
    sigaction(SIGINT, &onStop, nullptr);

    const int socketFd = socket(AF_INET, SOCK_DGRAM, 0);
    if (socketFd < 0 || bind(socketFd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
        std::fprintf(stderr, "flooder: cannot bind %s: %s\n", fromText, std::strerror(errno));
        return 3;
    }

    std::uint64_t *counter = nullptr;
    if (counterPath) {
        const int fd = open(counterPath, O_RDWR | O_CREAT, 0600);
        void *mapped = MAP_FAILED;
        if (fd >= 0 && ftruncate(fd, sizeof *counter) == 0)
            mapped = mmap(nullptr, sizeof *counter, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (fd >= 0)
            close(fd);
        if (mapped == MAP_FAILED) {
            std::fprintf(stderr, "flooder: cannot map %s: %s\n", counterPath, std::strerror(errno));
            return 3;
        }
        counter = static_cast<std::uint64_t *>(mapped);
        __atomic_store_n(counter, 0, __ATOMIC_RELEASE);
    }

    Payloads payloads;
    const size_t mostPerTick = size_t(rate / 1000 + 1);
    std::vector<iovec> parts(mostPerTick);
    std::vector<mmsghdr> messages(mostPerTick);

    const long long startNs = monotonicNs();
    const long long endNs = startNs + seconds * 1000000000LL;
    long long deadline = startNs;
    long long credit = 0;  // thousandths of a datagram owed
    unsigned long long sent = 0;
    unsigned long long refused = 0;
    int status = 0;
    while (!stopRequested && sent < static_cast<unsigned long long>(count)) {
        credit += rate;
        size_t due = size_t(credit / 1000);
        credit -= static_cast<long long>(due) * 1000;
        due = std::min<unsigned long long>(due, static_cast<unsigned long long>(count) - sent);
        for (size_t i = 0; i < due; ++i) {
            parts[i] = payloads.pick(sent + i);
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &to;
            messages[i].msg_hdr.msg_namelen = sizeof to;
            messages[i].msg_hdr.msg_iov = &parts[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        size_t done = 0;
        while (done < due) {
            const int went = sendmmsg(socketFd, messages.data() + done, unsigned(due - done), MSG_DONTWAIT);
            if (went > 0) {
                done += size_t(went);
                continue;
            }
            if (went < 0 && errno == EINTR && !stopRequested)
                continue;
            if (went < 0 && errno != EAGAIN && errno != ENOBUFS && errno != EINTR) {
                std::fprintf(stderr, "flooder: send: %s\n", std::strerror(errno));
                status = 3;
                stopRequested = 1;
            }
            // A full send buffer: the rest of this batch is not sent.
            refused += due - done;
            break;
        }
        sent += done;
        if (counter)
            __atomic_store_n(counter, sent, __ATOMIC_RELEASE);

        deadline += kTickNs;
        const long long now = monotonicNs();
        if (now >= endNs)
            break;
        if (now - deadline > kMostLagNs)
            deadline = now;
        const timespec wake{time_t(deadline / 1000000000LL), long(deadline % 1000000000LL)};
        while (!stopRequested && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
        }
    }

    const double elapsed = double(monotonicNs() - startNs) / 1e9;
    std::printf("flooder: sent %llu datagrams in %.3f s (%.0f/s), %llu refused by a full send buffer\n", sent,
                elapsed, elapsed > 0 ? double(sent) / elapsed : 0.0, refused);
    close(socketFd);
    return status;
}
