#include "timedprocess.h"

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern char **environ;

namespace bench {

namespace {

// varnel-bench-timed's own time beyond the program's limit: its start and exit.
constexpr int kLauncherMarginMs = 10000;

QString systemError(const char *call, int error)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(call), QString::fromLocal8Bit(std::strerror(error)));
}

// Waits up to `ms` for `pid` and reaps it; kills it first when it outlives that.
bool waitFor(pid_t pid, int ms, int *status)
{
    const int pidFd = int(syscall(SYS_pidfd_open, pid, 0));
    bool ended = false;
    if (pidFd >= 0) {
        pollfd done{pidFd, POLLIN, 0};
        int ready;
        while ((ready = poll(&done, 1, ms)) < 0 && errno == EINTR) {
        }
        ended = ready > 0;
        close(pidFd);
    }
    if (!ended)
        kill(pid, SIGKILL);
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
    return ended;
}

} // namespace

QString TimedProcess::describe() const
{
    if (!error.isEmpty())
        return error;
    if (!exited)
        return signal ? QStringLiteral("ended by signal %1").arg(signal) : QStringLiteral("did not end");
    return QStringLiteral("exit code %1").arg(exitCode);
}

TimedProcess runTimed(const QString &program, const QStringList &arguments, const QString &outPath,
                      const QString &errPath, int limitMs)
{
    TimedProcess run;
    const QString launcher = QCoreApplication::applicationDirPath() + QStringLiteral("/varnel-bench-timed");
    std::vector<QByteArray> words{QFile::encodeName(launcher), QByteArray::number(limitMs),
                                  QFile::encodeName(outPath), QFile::encodeName(errPath), QFile::encodeName(program)};
    for (const QString &argument : arguments)
        words.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const QString reportPath = outPath + QStringLiteral(".timed");
    const QByteArray report = QFile::encodeName(reportPath);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, report.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        run.error = systemError("cannot start varnel-bench-timed", spawned);
        return run;
    }
    int status = 0;
    const bool ended = waitFor(pid, limitMs + kLauncherMarginMs, &status);

    QFile file(reportPath);
    const QString said = file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()).trimmed() : QString();
    file.close();
    QFile::remove(reportPath);
    static const QRegularExpression line(QStringLiteral(
        "^exit (-?\\d+) signal (\\d+) start_ns (\\d+) end_ns (\\d+) cpu_us (\\d+) peak_kb (\\d+) timed_out ([01])$"));
    const QRegularExpressionMatch match = line.match(said);
    if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !match.hasMatch()) {
        run.error = QStringLiteral("varnel-bench-timed failed: %1").arg(said.left(400));
        return run;
    }
    const int exitCode = match.captured(1).toInt();
    run.exited = exitCode >= 0;
    run.exitCode = exitCode;
    run.signal = match.captured(2).toInt();
    run.startNs = match.captured(3).toLongLong();
    run.endNs = match.captured(4).toLongLong();
    run.seconds = double(run.endNs - run.startNs) / 1e9;
    run.cpu = double(match.captured(5).toLongLong()) / 1e6;
    run.peakKb = match.captured(6).toLong();
    if (match.captured(7) == QLatin1String("1"))
        run.error = QStringLiteral("still running after %1 ms, killed").arg(limitMs);
    return run;
}

QString fileHead(const QString &path, int bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(file.read(bytes)).trimmed();
}

} // namespace bench
