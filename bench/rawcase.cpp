// The raw case: the stop-and-wait loop on bare sockets, with the program's
// image reader, framing and checksum, and nothing else.

#include "cases.h"

#include "casesupport.h"
#include "crc.h"
#include "loopback.h"
#include "measures.h"
#include "responderclient.h"
#include "updateimage.h"

#include <QElapsedTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace bench {

namespace {

// A healthy loopback round trip is tens of microseconds.
constexpr auto kBlockLimit = std::chrono::seconds(5);

} // namespace

CaseResult runRaw(const QString &path, quint32 expectedBlocks)
{
    CaseResult result;
    ResponderClient responder;

    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in from = ipv4(kLocalIp, kDevicePort);
    const sockaddr_in ackPort = ipv4("0.0.0.0", kAckPort);
    const sockaddr_in device = ipv4(kDeviceIp, kDevicePort);
    const auto cleanup = [&] {
        close(sender);
        close(receiver);
    };
    if (sender < 0 || receiver < 0
        || bind(sender, reinterpret_cast<const sockaddr *>(&from), sizeof from) != 0
        || bind(receiver, reinterpret_cast<const sockaddr *>(&ackPort), sizeof ackPort) != 0) {
        result.error = QStringLiteral("bind: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        cleanup();
        return result;
    }
    const timeval limit{kBlockLimit.count(), 0};
    setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (!responder.command("RESET")) {
        result.error = QStringLiteral("responder does not answer");
        cleanup();
        return result;
    }

    const double cpuBefore = cpuSeconds();
    const qint64 startNs = monotonicNs();

    // Reading the image and its checksum is work any sender does: timed too,
    // through the program's own reader and checksum.
    const UpdateImage loaded = UpdateImage::load(path);
    if (!loaded.ok()) {
        result.error = QStringLiteral("cannot read the image: %1").arg(loaded.systemError());
        cleanup();
        return result;
    }
    const QByteArray image = loaded.data();
    QElapsedTimer checksumClock;
    checksumClock.start();
    const quint32 checksum = crc().crc32(image);
    result.checksumMs = double(checksumClock.nsecsElapsed()) / 1e6;
    const quint32 blocks = udpUpdater::blockCount(image.size());

    const quint32 deviceAddress = device.sin_addr.s_addr;
    std::vector<char> datagram(3 + udpUpdater::kBlockHeaderSize + udpUpdater::chunkSize + 4);
    quint32 acknowledged = 0;
    for (quint32 index = 0; index < blocks; ++index) {
        const qsizetype offset = qsizetype(index) * udpUpdater::chunkSize;
        const int length = int(qMin<qsizetype>(udpUpdater::chunkSize, image.size() - offset));
        const bool last = index == blocks - 1 && index > 0;
        char *out = datagram.data();
        *out++ = char(0xA5);
        *out++ = char(0x5A);
        *out++ = char(0xFF);
        *out++ = 1;
        *out++ = char(index == 0 ? WFS_START : last ? WFS_END : WFS_MID);
        *out++ = char(length >> 8);
        *out++ = char(length);
        *out++ = char(index);
        std::memcpy(out, image.constData() + offset, size_t(length));
        out += length;
        if (last) {
            for (int shift = 24; shift >= 0; shift -= 8)
                *out++ = char(checksum >> shift);
        }
        if (sendto(sender, datagram.data(), size_t(out - datagram.data()), 0,
                   reinterpret_cast<const sockaddr *>(&device), sizeof device)
            < 0) {
            result.error = QStringLiteral("send at block %1: %2").arg(index).arg(std::strerror(errno));
            break;
        }
        // Only the device's write acknowledgement counts, as in the program.
        bool answered = false;
        for (int stray = 0; stray < 16 && !answered; ++stray) {
            unsigned char ack[64];
            sockaddr_in sourceAddress{};
            socklen_t sourceLength = sizeof sourceAddress;
            const ssize_t got = recvfrom(receiver, ack, sizeof ack, 0,
                                         reinterpret_cast<sockaddr *>(&sourceAddress), &sourceLength);
            if (got < 0)
                break;  // timed out
            answered = got >= 3 && sourceAddress.sin_addr.s_addr == deviceAddress && ack[0] == 0xA5
                && ack[1] == 0x5A && ack[2] == 0xFF;
        }
        if (!answered) {
            result.error = QStringLiteral("no acknowledgement at block %1 of %2").arg(index + 1).arg(blocks);
            break;
        }
        ++acknowledged;
    }

    const qint64 endNs = monotonicNs();
    result.seconds = double(endNs - startNs) / 1e9;
    result.cpu = cpuSeconds() - cpuBefore;
    result.blocks = acknowledged;
    cleanup();
    if (!result.error.isEmpty())
        return result;

    if (acknowledged != expectedBlocks) {
        result.error = QStringLiteral("%1 blocks acknowledged, expected %2").arg(acknowledged).arg(expectedBlocks);
        return result;
    }
    result.ok = endTransfer(responder, expectedBlocks, startNs, endNs, std::chrono::milliseconds(0), result);
    return result;
}

} // namespace bench
