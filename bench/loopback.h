#ifndef BENCH_LOOPBACK_H
#define BENCH_LOOPBACK_H

// Where the bench's datagrams go: loopback only, nothing here may reach a
// real network.

#include "udpupdater.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace bench {

inline constexpr char kDeviceIp[] = "127.0.0.2";  // the responder
inline constexpr char kLocalIp[] = "127.0.0.1";   // the program's side
inline constexpr char kStrayIp[] = "127.0.0.3";   // another host: the flood's source
// The fleet's simulated devices, one address each from here on: clear of
// the responder, which holds 127.0.0.2:1235 for the whole bench.
inline constexpr char kFleetFirstIp[] = "127.0.2.1";
constexpr quint16 kDevicePort = udpUpdater::kDevicePort;
constexpr quint16 kAckPort = udpUpdater::kAckPort;

inline sockaddr_in ipv4(const char *address, quint16 port)
{
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    inet_pton(AF_INET, address, &socketAddress.sin_addr);
    return socketAddress;
}

} // namespace bench

#endif // BENCH_LOOPBACK_H
