#include "udpport.h"

#include <QSocketNotifier>

#ifdef Q_OS_LINUX
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#else
#include <QNetworkDatagram>
#include <QUdpSocket>
#endif

namespace {
// Room kept for each datagram: more than any answer and than the log shows.
// A longer one is cut, its real size still known.
constexpr qint64 kKeptBytes = 2048;
}

#ifdef Q_OS_LINUX

namespace {

// Datagrams taken in one call: more than a stop-and-wait link ever has
// waiting, unless someone floods the port.
constexpr int kBatch = 16;

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

struct UdpPort::Native {
    int fd = -1;
    std::unique_ptr<QSocketNotifier> notifier;
    // The batch's buffers, made once.
    QByteArray buffer{kBatch * kKeptBytes, Qt::Uninitialized};
    mmsghdr headers[kBatch]{};
    iovec vectors[kBatch]{};
    sockaddr_in6 senders[kBatch]{};

    ~Native()
    {
        notifier.reset();
        if (fd >= 0)
            ::close(fd);
    }
};

UdpPort::UdpPort(QObject *parent)
    : QObject(parent)
    , _native(std::make_unique<Native>())
{
    for (int i = 0; i < kBatch; ++i) {
        _native->vectors[i].iov_base = _native->buffer.data() + i * kKeptBytes;
        _native->vectors[i].iov_len = size_t(kKeptBytes);
        _native->headers[i].msg_hdr.msg_iov = &_native->vectors[i];
        _native->headers[i].msg_hdr.msg_iovlen = 1;
        _native->headers[i].msg_hdr.msg_name = &_native->senders[i];
    }
}

UdpPort::~UdpPort() = default;

bool UdpPort::bind(const QHostAddress &address, quint16 port)
{
    _bindError = BindError::None;
    _errorString.clear();
    // Any address: one IPv6 socket that takes IPv4 too (as mapped addresses).
    const bool any = address.isNull() || address == QHostAddress::Any;
    const int fd = ::socket(any ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        _bindError = BindError::Other;
        _errorString = errnoText(errno);
        return false;
    }
    int result;
    if (any) {
        const int v6only = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
        sockaddr_in6 local{};
        local.sin6_family = AF_INET6;
        local.sin6_port = htons(port);
        local.sin6_addr = in6addr_any;
        result = ::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local);
    } else {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        local.sin_addr.s_addr = htonl(address.toIPv4Address());
        result = ::bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof local);
    }
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        _bindError = error == EADDRINUSE      ? BindError::AddressInUse
                   : error == EADDRNOTAVAIL ? BindError::AddressNotAvailable
                                            : BindError::Other;
        _errorString = errnoText(error);
        return false;
    }
    _native->fd = fd;
    _native->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    // Only a port with a receiver reads; a sending port leaves it.
    _native->notifier->setEnabled(bool(_receiver));
    connect(_native->notifier.get(), &QSocketNotifier::activated, this, &UdpPort::readPending);
    return true;
}

int UdpPort::setReceiveBuffer(int bytes)
{
    if (_native->fd < 0)
        return 0;
    ::setsockopt(_native->fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    int granted = 0;
    socklen_t length = sizeof granted;
    ::getsockopt(_native->fd, SOL_SOCKET, SO_RCVBUF, &granted, &length);
    return granted;
}

void UdpPort::readPending()
{
    Native &n = *_native;
    for (;;) {
        for (mmsghdr &header : n.headers)
            header.msg_hdr.msg_namelen = sizeof(sockaddr_in6);
        // MSG_TRUNC: the real size of a datagram longer than its buffer.
        const int count = ::recvmmsg(n.fd, n.headers, kBatch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (count <= 0)
            break;
        for (int i = 0; i < count && _receiver; ++i) {
            quint32 sender = 0;
            const auto *from = reinterpret_cast<const sockaddr *>(&n.senders[i]);
            if (from->sa_family == AF_INET) {
                sender = ntohl(reinterpret_cast<const sockaddr_in *>(from)->sin_addr.s_addr);
            } else if (from->sa_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&n.senders[i].sin6_addr)) {
                quint32 mapped;
                std::memcpy(&mapped, &n.senders[i].sin6_addr.s6_addr[12], sizeof mapped);
                sender = ntohl(mapped);
            }
            _receiver({static_cast<const char *>(n.vectors[i].iov_base), qint64(n.headers[i].msg_len), sender});
        }
        // Fewer than asked for: nothing more was waiting.
        if (count < kBatch)
            break;
    }
    if (_done)
        _done();
}

bool UdpPort::send(quint32 ipv4, quint16 port, const char *data, qint64 size, QString *error)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(ipv4);
    if (::sendto(_native->fd, data, size_t(size), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) >= 0)
        return true;
    if (error)
        *error = errnoText(errno);
    return false;
}

#else

// Elsewhere the general-purpose socket does it, at a few more calls per block.
struct UdpPort::Native {
    std::unique_ptr<QUdpSocket> socket;
    QByteArray buffer{kKeptBytes, Qt::Uninitialized};
};

UdpPort::UdpPort(QObject *parent)
    : QObject(parent)
    , _native(std::make_unique<Native>())
{
}

UdpPort::~UdpPort() = default;

bool UdpPort::bind(const QHostAddress &address, quint16 port)
{
    _bindError = BindError::None;
    _errorString.clear();
    auto socket = std::make_unique<QUdpSocket>();
    if (!socket->bind(address.isNull() ? QHostAddress(QHostAddress::Any) : address, port,
                      QAbstractSocket::DontShareAddress)) {
        _bindError = socket->error() == QAbstractSocket::AddressInUseError ? BindError::AddressInUse
                   : socket->error() == QAbstractSocket::SocketAddressNotAvailableError
                       ? BindError::AddressNotAvailable
                       : BindError::Other;
        _errorString = socket->errorString();
        return false;
    }
    _native->socket = std::move(socket);
    connect(_native->socket.get(), &QUdpSocket::readyRead, this, &UdpPort::readPending);
    return true;
}

int UdpPort::setReceiveBuffer(int bytes)
{
    if (!_native->socket)
        return 0;
    _native->socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, bytes);
    return _native->socket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
}

void UdpPort::readPending()
{
    QUdpSocket &socket = *_native->socket;
    while (socket.hasPendingDatagrams()) {
        const qint64 size = socket.pendingDatagramSize();
        QHostAddress from;
        if (socket.readDatagram(_native->buffer.data(), kKeptBytes, &from) < 0)
            break;
        bool ok = false;
        const quint32 sender = from.toIPv4Address(&ok);
        if (_receiver)
            _receiver({_native->buffer.constData(), size, ok ? sender : 0});
    }
    if (_done)
        _done();
}

bool UdpPort::send(quint32 ipv4, quint16 port, const char *data, qint64 size, QString *error)
{
    if (_native->socket->writeDatagram(data, size, QHostAddress(ipv4), port) >= 0)
        return true;
    if (error)
        *error = _native->socket->errorString();
    return false;
}

#endif
