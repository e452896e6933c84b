// Runs one program to its end and says what it cost, for the cases that time
// another program's whole process. Plain C++, no Qt, and tiny on purpose: a
// child's peak memory, as the kernel keeps it, starts from what the process
// it was forked from held, so a child of the bench itself would carry the
// bench's image and libraries in its own figure.
//
//   varnel-bench-timed LIMIT-MS OUT ERR PROGRAM [ARGUMENT...]
//
// Runs PROGRAM with stdin from /dev/null and stdout and stderr to the files
// OUT and ERR, kills it after LIMIT-MS, and prints one line:
//   exit E signal S start_ns T0 end_ns T1 cpu_us C peak_kb M timed_out 0|1
// T0 and T1 are CLOCK_MONOTONIC at fork and once it has ended; C and M are
// the program's own, from wait4(). Exit status 0 when that line is printed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

long long microseconds(const timeval &t)
{
    return t.tv_sec * 1000000LL + t.tv_usec;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: varnel-bench-timed LIMIT-MS OUT ERR PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    const long long limitMs = std::atoll(argv[1]);
    if (limitMs <= 0) {
        std::fprintf(stderr, "varnel-bench-timed: bad limit %s\n", argv[1]);
        return 2;
    }
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in < 0 || out < 0 || err < 0) {
        std::fprintf(stderr, "varnel-bench-timed: cannot open the output files: %s\n", std::strerror(errno));
        return 3;
    }

    const long long startNs = monotonicNs();
    const pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "varnel-bench-timed: fork: %s\n", std::strerror(errno));
        return 3;
    }
    if (pid == 0) {
        if (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        execv(argv[4], argv + 4);
        _exit(127);
    }

    // A pidfd wakes us the moment the program ends: polling for it would add
    // its own period to the wall time.
    bool timedOut = false;
    const int pidFd = int(syscall(SYS_pidfd_open, pid, 0));
    if (pidFd < 0) {
        std::fprintf(stderr, "varnel-bench-timed: pidfd_open: %s\n", std::strerror(errno));
        kill(pid, SIGKILL);
    } else {
        const long long deadlineNs = startNs + limitMs * 1000000;
        for (;;) {
            const long long leftMs = (deadlineNs - monotonicNs()) / 1000000;
            if (leftMs <= 0) {
                timedOut = true;
                kill(pid, SIGKILL);
                break;
            }
            pollfd ended{pidFd, POLLIN, 0};
            const int ready = poll(&ended, 1, int(leftMs));
            if (ready > 0)
                break;
            if (ready < 0 && errno != EINTR) {
                kill(pid, SIGKILL);
                break;
            }
        }
        close(pidFd);
    }

    int status = 0;
    rusage usage{};
    pid_t waited;
    do {
        waited = wait4(pid, &status, 0, &usage);
    } while (waited < 0 && errno == EINTR);
    const long long endNs = monotonicNs();
    if (waited != pid || pidFd < 0) {
        std::fprintf(stderr, "varnel-bench-timed: wait4: %s\n", std::strerror(errno));
        return 3;
    }
    std::printf("exit %d signal %d start_ns %lld end_ns %lld cpu_us %lld peak_kb %ld timed_out %d\n",
                WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0, startNs,
                endNs, microseconds(usage.ru_utime) + microseconds(usage.ru_stime), usage.ru_maxrss,
                timedOut ? 1 : 0);
    return 0;
}
