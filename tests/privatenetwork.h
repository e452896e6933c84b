#ifndef PRIVATENETWORK_H
#define PRIVATENETWORK_H

// Moves the process into a network namespace of its own, holding nothing but
// a loopback adapter: whatever a test sends there (to a broadcast address, or
// to an address with no route) cannot leave the machine. Call it first thing
// in main(), before any thread exists, since a namespace is per thread.

#include <QString>

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

inline bool enterPrivateNetwork(QString *error)
{
    // Root may do it directly; anyone else through a user namespace.
    if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        *error = QStringLiteral("unshare: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        *error = QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags |= IFF_UP | IFF_RUNNING;
        up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!up)
        *error = QStringLiteral("loopback up: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    ::close(fd);
    return up;
}

} // namespace testsupport

// Suites without a window need no window system either.
#ifdef QT_WIDGETS_LIB
#define PRIVATE_NETWORK_APPLICATION QApplication
#else
#define PRIVATE_NETWORK_APPLICATION QCoreApplication
#endif

// The test's main(), entering the private network before anything else.
#define PRIVATE_NETWORK_TEST_MAIN(TestObject)                                                          \
    int main(int argc, char *argv[])                                                                   \
    {                                                                                                  \
        QString error;                                                                                 \
        if (!testsupport::enterPrivateNetwork(&error)) {                                               \
            std::fprintf(stderr, "Refusing to run outside a network namespace of our own: %s\n",      \
                         qPrintable(error));                                                           \
            return 1;                                                                                  \
        }                                                                                              \
        PRIVATE_NETWORK_APPLICATION app(argc, argv);                                                   \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                       \
        TestObject test;                                                                               \
        QTEST_SET_MAIN_SOURCE_PATH                                                                     \
        return QTest::qExec(&test, argc, argv);                                                        \
    }

#endif // PRIVATENETWORK_H
