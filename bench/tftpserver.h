#ifndef BENCH_TFTPSERVER_H
#define BENCH_TFTPSERVER_H

// The TFTP server the peer cases put the image to: in.tftpd, ours alone, on
// a socket bound here to 127.0.0.1 and a port the kernel picks free,
// serving a private folder, stopped by its PID.
//
// in.tftpd -L cannot listen on 127.0.0.1 in a namespace with only loopback:
// it resolves its -a address with AI_ADDRCONFIG, and glibc counts no
// address of lo as configured. So it runs in its inetd mode on the socket
// we hand it as stdin: still our child, in the foreground, one process
// forking one child per transfer, as -L does.

#include <QString>
#include <QTemporaryDir>

#include <sys/types.h>

namespace bench {

class TftpServer
{
public:
    TftpServer() = default;
    ~TftpServer();
    TftpServer(const TftpServer &) = delete;
    TftpServer &operator=(const TftpServer &) = delete;

    // in.tftpd's path; empty when it is not installed.
    static QString program();

    // Starts it, pinned to `cpu` unless negative; it quits by itself after
    // `idleSeconds` without a request. False, with `error`, when it cannot.
    bool start(int cpu, int idleSeconds, QString *error);
    // Ends it (SIGTERM, then SIGKILL); false, with `error`, when it had
    // quit before.
    bool stop(QString *error = nullptr);
    // Reaps it if it has quit.
    bool running();

    pid_t pid() const { return _pid; }
    quint16 port() const { return _port; }
    // Where the puts land; the peer cases check and remove each file.
    QString directory() const { return _served; }

private:
    QTemporaryDir _dir;
    QString _served;
    pid_t _pid = -1;
    bool _quit = false;  // by itself, before stop()
    quint16 _port = 0;
};

} // namespace bench

#endif // BENCH_TFTPSERVER_H
