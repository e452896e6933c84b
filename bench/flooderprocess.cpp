#include "flooderprocess.h"

#include "casesupport.h"
#include "loopback.h"
#include "placement.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bench {

FlooderProcess::FlooderProcess(int cpu)
    : _cpu(cpu)
{
}

FlooderProcess::~FlooderProcess()
{
    QString ignored;
    stop(&ignored);
    if (_counter)
        munmap(const_cast<quint64 *>(_counter), sizeof *_counter);
}

bool FlooderProcess::start(int seconds, QString *error)
{
    if (!_dir.isValid()) {
        *error = QStringLiteral("no temporary folder for the flooder's counter");
        return false;
    }
    // Made and mapped here first, so the count reads 0 until the flooder runs.
    const QString counterPath = _dir.filePath(QStringLiteral("sent"));
    const int fd = open(QFile::encodeName(counterPath).constData(), O_RDWR | O_CREAT, 0600);
    void *mapped = MAP_FAILED;
    if (fd >= 0 && ftruncate(fd, sizeof *_counter) == 0)
        mapped = mmap(nullptr, sizeof *_counter, PROT_READ, MAP_SHARED, fd, 0);
    if (fd >= 0)
        close(fd);
    if (mapped == MAP_FAILED) {
        *error = QStringLiteral("cannot map the flooder's counter: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    _counter = static_cast<const quint64 *>(mapped);

    pinTo(_process, _cpu);
    _process.setStandardOutputFile(QProcess::nullDevice());
    _process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    _process.start(QCoreApplication::applicationDirPath() + QStringLiteral("/varnel-bench-flooder"),
                   {QStringLiteral("--from"), QString::fromLatin1(kStrayIp), QStringLiteral("--to"),
                    QString::fromLatin1(kLocalIp), QStringLiteral("--port"), QString::number(kAckPort),
                    QStringLiteral("--rate"), QString::number(kRate), QStringLiteral("--seconds"),
                    QString::number(seconds), QStringLiteral("--counter"), counterPath});
    if (!_process.waitForStarted(5000)) {
        *error = QStringLiteral("cannot start the flooder: %1").arg(_process.errorString());
        return false;
    }
    _started = true;
    if (!waitUntil([this] { return sent() > 0 || _process.state() != QProcess::Running; }, 5000)
        || sent() <= 0) {
        *error = QStringLiteral("the flooder sends nothing");
        return false;
    }
    return true;
}

qint64 FlooderProcess::sent() const
{
    return _counter ? qint64(__atomic_load_n(_counter, __ATOMIC_ACQUIRE)) : 0;
}

bool FlooderProcess::stop(QString *error)
{
    if (!_started)
        return true;
    _started = false;
    if (_process.state() != QProcess::NotRunning) {
        _process.terminate();
        if (!_process.waitForFinished(5000)) {
            _process.kill();
            _process.waitForFinished(5000);
            *error = QStringLiteral("the flooder did not end on SIGTERM");
            return false;
        }
    }
    if (_process.exitStatus() != QProcess::NormalExit || _process.exitCode() != 0) {
        *error = QStringLiteral("the flooder ended with exit code %1").arg(_process.exitCode());
        return false;
    }
    return true;
}

} // namespace bench
