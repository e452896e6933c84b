#include "tftpserver.h"

#include "loopback.h"
#include "placement.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern char **environ;

namespace bench {

namespace {

// The user in.tftpd drops to after it has shut itself in the folder.
constexpr char kServerUser[] = "nobody";

QString systemError(const char *call)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(call), QString::fromLocal8Bit(std::strerror(errno)));
}

// Waits up to `ms` for `pid` to end and reaps it; false if it still runs.
bool reap(pid_t pid, int ms)
{
    const int pidFd = int(syscall(SYS_pidfd_open, pid, 0));
    if (pidFd >= 0) {
        pollfd ended{pidFd, POLLIN, 0};
        while (poll(&ended, 1, ms) < 0 && errno == EINTR) {
        }
        close(pidFd);
    }
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

} // namespace

TftpServer::~TftpServer()
{
    stop();
}

QString TftpServer::program()
{
    const QString name = QStringLiteral("in.tftpd");
    const QString found = QStandardPaths::findExecutable(name);
    if (!found.isEmpty())
        return found;
    // A user's PATH often lacks the sbin folders.
    return QStandardPaths::findExecutable(name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

bool TftpServer::start(int cpu, int idleSeconds, QString *error)
{
    const QString path = program();
    if (path.isEmpty()) {
        *error = QStringLiteral("in.tftpd is not installed");
        return false;
    }
    if (geteuid() != 0) {
        *error = QStringLiteral("in.tftpd needs root: it shuts itself in its folder and serves as %1")
                     .arg(QLatin1String(kServerUser));
        return false;
    }
    const passwd *user = getpwnam(kServerUser);
    if (!user) {
        *error = QStringLiteral("no user %1 for in.tftpd").arg(QLatin1String(kServerUser));
        return false;
    }
    // Only the served folder is the server's; the one around it stays root's.
    if (!_dir.isValid()) {
        *error = QStringLiteral("cannot make a temporary folder for in.tftpd");
        return false;
    }
    _served = _dir.filePath(QStringLiteral("served"));
    const QByteArray served = QFile::encodeName(_served);
    if (!QDir().mkpath(_served) || chown(served.constData(), user->pw_uid, user->pw_gid) != 0
        || chmod(served.constData(), 0700) != 0) {
        *error = QStringLiteral("cannot hand %1 to %2: %3")
                     .arg(_served, QLatin1String(kServerUser), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }

    // Port 0: the kernel picks one free from its (high) ephemeral range, and
    // the socket holds it from here on, so nothing can take it meanwhile.
    const int socketFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = ipv4(kLocalIp, 0);
    socklen_t length = sizeof address;
    if (socketFd < 0 || bind(socketFd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || getsockname(socketFd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        *error = systemError("in.tftpd's socket");
        if (socketFd >= 0)
            close(socketFd);
        return false;
    }
    _port = ntohs(address.sin_port);
    if (_port < 1024) {
        *error = QStringLiteral("the kernel gave in.tftpd port %1, not a high one").arg(_port);
        close(socketFd);
        return false;
    }

    // -c: puts may create files; -s: shut in the folder; -t: quit when idle.
    std::vector<QByteArray> words{QFile::encodeName(path),
                                  "-c",
                                  "-s",
                                  "-u",
                                  kServerUser,
                                  "-t",
                                  QByteArray::number(idleSeconds),
                                  served};
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, socketFd, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const int spawned = posix_spawn(&_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(socketFd);
    if (spawned != 0) {
        _pid = -1;
        *error = QStringLiteral("cannot start %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(spawned)));
        return false;
    }
    pinPid(_pid, cpu);
    // It logs only to syslog: a bad start shows as a quick exit.
    if (reap(_pid, 200)) {
        _pid = -1;
        *error = QStringLiteral("in.tftpd quit at once");
        return false;
    }
    return true;
}

bool TftpServer::running()
{
    if (_pid <= 0)
        return false;
    int status = 0;
    if (waitpid(_pid, &status, WNOHANG) != _pid)
        return true;
    _pid = -1;
    _quit = true;
    return false;
}

bool TftpServer::stop(QString *error)
{
    if (running()) {
        kill(_pid, SIGTERM);
        if (!reap(_pid, 3000)) {
            kill(_pid, SIGKILL);
            reap(_pid, 3000);
        }
        _pid = -1;
    }
    if (_quit && error)
        *error = QStringLiteral("in.tftpd had quit before the bench stopped it");
    return !_quit;
}

} // namespace bench
