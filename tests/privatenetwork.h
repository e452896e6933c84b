#ifndef PRIVATENETWORK_H
#define PRIVATENETWORK_H

// Moves the process into a network namespace of its own, holding nothing but
// a loopback adapter: whatever a test sends there (to a broadcast address, or
// to an address with no route) cannot leave the machine. Call it first thing
// in main(), before any thread exists, since a namespace is per thread.

#include <QProcess>
#include <QStandardPaths>
#include <QString>

#ifdef QT_WIDGETS_LIB
#include <QApplication>
#else
#include <QCoreApplication>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/capability.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
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

// Without root the namespace came with a user namespace of our own, whose
// rights a program we start keeps only as an ambient capability.
inline bool passNetworkRightsOn(QString *error)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0) {
        *error = QStringLiteral("capget: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    data[CAP_TO_INDEX(CAP_NET_ADMIN)].inheritable |= CAP_TO_MASK(CAP_NET_ADMIN);
    if (::syscall(SYS_capset, &header, data) != 0
        || ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_NET_ADMIN, 0, 0) != 0) {
        *error = QStringLiteral("ambient CAP_NET_ADMIN: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

// Runs iproute2's `ip` with these arguments (split at blanks) on the private
// network's adapters; the error says what it printed.
inline bool ip(const QString &arguments, QString *error)
{
    static const QString program = [] {
        const QString found = QStandardPaths::findExecutable(QStringLiteral("ip"));
        return found.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("ip"),
                                                                {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                               : found;
    }();
    if (program.isEmpty()) {
        *error = QStringLiteral("ip (iproute2) is not installed");
        return false;
    }
    if (::geteuid() != 0 && !passNetworkRightsOn(error))
        return false;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments.split(QLatin1Char(' ')));
    const bool done = process.waitForFinished(10000);
    if (done && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    *error = QStringLiteral("ip %1: %2").arg(arguments, done ? QString::fromLocal8Bit(process.readAll().trimmed())
                                                             : process.errorString());
    return false;
}

// Suites without a window need no widgets to run.
#ifdef QT_WIDGETS_LIB
using TestApplication = QApplication;
#else
using TestApplication = QCoreApplication;
#endif

} // namespace testsupport

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
        testsupport::TestApplication app(argc, argv);                                                  \
        TestObject test;                                                                               \
        QTEST_SET_MAIN_SOURCE_PATH                                                                     \
        return QTest::qExec(&test, argc, argv);                                                        \
    }

#endif // PRIVATENETWORK_H
