// Transfer benchmark: how much the updater adds to the stop-and-wait round
// trip, measured against a plain socket loop on the same machine.
//
//   varnel-bench [--size-mib N] [--runs N] [--placement same|spread|free]
//
// The parent writes one image, starts varnel-bench-responder on 127.0.0.2 and
// runs every case as a fresh child of itself (--case NAME), so CPU time and
// peak memory belong to that case alone. The child prints one BENCH-RESULT
// line; the parent prints the medians.
//
// Placement: a stop-and-wait round trip is two wake-ups, and on this machine
// waking a thread on the other CPU costs about ten times waking it on the
// same one. Left to the scheduler, the same run swings tenfold with where it
// lands, so by default the responder and every case share one CPU; "spread"
// puts the responder on a second CPU, "free" pins nothing.

#include "logview.h"
#include "mainwindow.h"
#include "udpupdater.h"
#include "crc.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFutureWatcher>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPixmap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTextDocument>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Loopback only: nothing here may reach a real network.
const char kDeviceIp[] = "127.0.0.2";
const char kLocalIp[] = "127.0.0.1";
constexpr quint16 kDevicePort = udpUpdater::kDevicePort;
constexpr quint16 kAckPort = udpUpdater::kAckPort;

// The raw loop's wait; a healthy loopback round trip is tens of microseconds.
// The link and the window keep the program's own waits.
constexpr auto kBlockLimit = 5s;
constexpr int kIdleWaitMs = 3000;
constexpr int kConnectLimitMs = 10000;

const QStringList kCases = {"raw", "link", "window", "window+log", "idle"};

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long peakResidentKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

sockaddr_in ipv4(const char *address, quint16 port)
{
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    inet_pton(AF_INET, address, &socketAddress.sin_addr);
    return socketAddress;
}

// Waits on the event loop, checking now and then; only outside timed parts.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Control words to the responder, answered to our own ephemeral port.
class Responder
{
public:
    Responder()
    {
        _fd = socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in local = ipv4(kLocalIp, 0);
        if (_fd >= 0 && bind(_fd, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
            close(_fd);
            _fd = -1;
        }
    }
    ~Responder()
    {
        if (_fd >= 0)
            close(_fd);
    }
    Responder(const Responder &) = delete;
    Responder &operator=(const Responder &) = delete;

    // The reply, or nothing after `tries` unanswered attempts.
    std::optional<QByteArray> ask(const char *word, int tries = 5, int waitMs = 200)
    {
        if (_fd < 0)
            return std::nullopt;
        const sockaddr_in device = ipv4(kDeviceIp, kDevicePort);
        for (int attempt = 0; attempt < tries; ++attempt) {
            sendto(_fd, word, std::strlen(word), 0, reinterpret_cast<const sockaddr *>(&device),
                   sizeof device);
            pollfd waitFor{_fd, POLLIN, 0};
            if (poll(&waitFor, 1, waitMs) <= 0)
                continue;
            char buffer[256];
            const ssize_t length = recv(_fd, buffer, sizeof buffer, 0);
            if (length > 0)
                return QByteArray(buffer, int(length));
        }
        return std::nullopt;
    }

    bool command(const char *word) { return ask(word) == QByteArray("OK"); }

    // Commands seen and answered since the last RESET, or {-1, -1}.
    std::pair<qint64, qint64> counts()
    {
        const auto reply = ask("STATS");
        static const QRegularExpression pattern(QStringLiteral("^seen (\\d+) answered (\\d+)$"));
        const auto match = pattern.match(QString::fromLatin1(reply.value_or(QByteArray())));
        if (!match.hasMatch())
            return {-1, -1};
        return {match.captured(1).toLongLong(), match.captured(2).toLongLong()};
    }

private:
    int _fd = -1;
};

struct CaseResult
{
    bool ok = false;
    QString error;
    quint32 blocks = 0;
    double seconds = 0;
    double cpu = 0;
    long peakKb = 0;
    double tabShowMs = -1;
    double logFillMs = -1;
    double fillStallMs = -1;
    double checksumMs = -1;
    double stallMs = -1;
};

QString describe(const udpUpdater::Result &result)
{
    return QStringLiteral("outcome %1 at block %2 of %3 %4")
        .arg(int(result.outcome))
        .arg(result.blockIndex)
        .arg(result.blockCount)
        .arg(result.detail);
}

// The responder must have answered exactly the commands the case sent.
bool checkAnswered(Responder &responder, qint64 expected, CaseResult &result)
{
    const auto [seen, answered] = responder.counts();
    if (seen != expected || answered != expected) {
        result.error = QStringLiteral("responder saw %1 and answered %2 commands, expected %3")
                           .arg(seen)
                           .arg(answered)
                           .arg(expected);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- raw

CaseResult runRaw(const QString &path, quint32 expectedBlocks)
{
    CaseResult result;
    Responder responder;

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
    const timeval limit{std::chrono::seconds(kBlockLimit).count(), 0};
    setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (!responder.command("RESET")) {
        result.error = QStringLiteral("responder does not answer");
        cleanup();
        return result;
    }

    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();

    // Reading the image and its checksum is work any sender does: timed too.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.error = file.errorString();
        cleanup();
        return result;
    }
    const QByteArray image = file.readAll();
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

    result.seconds = double(clock.nsecsElapsed()) / 1e9;
    result.cpu = cpuSeconds() - cpuBefore;
    result.blocks = acknowledged;
    cleanup();
    if (!result.error.isEmpty())
        return result;

    if (acknowledged != expectedBlocks) {
        result.error = QStringLiteral("%1 blocks acknowledged, expected %2").arg(acknowledged).arg(expectedBlocks);
        return result;
    }
    result.ok = checkAnswered(responder, expectedBlocks, result);
    return result;
}

// ---------------------------------------------------------------- link

// Connects a link with no window; the device's INIT answer must arrive.
bool connectLink(udpUpdater &link, CaseResult &result)
{
    bool initAcked = false;
    QObject::connect(&link, &udpUpdater::acknowledged, &link, [&initAcked](message_types type) {
        if (type == MT_INIT)
            initAcked = true;
    });
    if (!link.initialise(QHostAddress(QString::fromLatin1(kDeviceIp)),
                         QHostAddress(QString::fromLatin1(kLocalIp)))) {
        result.error = QStringLiteral("initialise: %1").arg(link.errorString());
        return false;
    }
    if (!waitUntil([&] { return initAcked; }, kConnectLimitMs)) {
        result.error = QStringLiteral("no INIT acknowledgement");
        return false;
    }
    return true;
}

// Runs `task` on the pool, as the window does, while this thread serves the
// sockets; false if it outlives `limitMs` (then the link is aborted).
bool runInBackground(udpUpdater &link, const std::function<bool()> &task, int limitMs)
{
    QFutureWatcher<bool> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<bool>::finished, &loop, &QEventLoop::quit);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(limitMs);
    watcher.setFuture(QtConcurrent::run(QThreadPool::globalInstance(), task));
    loop.exec();
    if (watcher.isFinished())
        return true;
    link.abort();
    watcher.waitForFinished();
    return false;
}

int caseLimitMs(quint32 blocks)
{
    return 60000 + int(blocks) * 2;
}

CaseResult runLink(const QString &path, quint32 expectedBlocks)
{
    CaseResult result;
    Responder responder;
    udpUpdater link(nullptr);
    if (!connectLink(link, result))
        return result;
    if (!responder.command("RESET")) {
        result.error = QStringLiteral("responder does not answer");
        return result;
    }

    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    const bool finished = runInBackground(
        link, [&] { return link.sendFileToTarget(path, 1); }, caseLimitMs(expectedBlocks));
    result.seconds = double(clock.nsecsElapsed()) / 1e9;
    result.cpu = cpuSeconds() - cpuBefore;

    const udpUpdater::Result sent = link.lastResult();
    result.blocks = sent.ok() ? sent.blockCount : sent.blockIndex;
    if (!finished) {
        result.error = QStringLiteral("transfer still running after %1 ms").arg(caseLimitMs(expectedBlocks));
    } else if (!sent.ok() || sent.blockCount != expectedBlocks || sent.blockIndex != expectedBlocks - 1) {
        result.error = QStringLiteral("transfer: %1").arg(describe(sent));
    } else {
        result.ok = checkAnswered(responder, expectedBlocks, result);
    }
    return result;
}

// ---------------------------------------------------------------- idle

CaseResult runIdle()
{
    CaseResult result;
    Responder responder;
    udpUpdater link(nullptr);
    if (!connectLink(link, result))
        return result;
    if (!responder.command("SILENT") || !responder.command("RESET")) {
        result.error = QStringLiteral("responder does not answer");
        return result;
    }
    const std::chrono::milliseconds wait(kIdleWaitMs);
    link.setTimeouts({wait, wait, wait});

    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    const bool finished = runInBackground(link, [&] { return link.eraseTarget(); }, kIdleWaitMs + 10000);
    result.seconds = double(clock.nsecsElapsed()) / 1e9;
    result.cpu = cpuSeconds() - cpuBefore;

    const auto [seen, answered] = responder.counts();
    const bool answering = responder.command("ANSWER");
    const udpUpdater::Result erase = link.lastResult();
    if (!finished)
        result.error = QStringLiteral("the wait did not end");
    else if (erase.outcome != udpUpdater::Outcome::NoAnswer)
        result.error = QStringLiteral("erase ended with %1, expected no answer").arg(describe(erase));
    else if (result.seconds < kIdleWaitMs / 1000.0 * 0.98)
        result.error = QStringLiteral("the wait lasted only %1 s").arg(result.seconds);
    else if (seen != 1 || answered != 0)
        result.error = QStringLiteral("responder saw %1 and answered %2 commands, expected 1 and 0").arg(seen).arg(answered);
    else if (!answering)
        result.error = QStringLiteral("responder did not leave silent mode");
    else
        result.ok = true;
    return result;
}

// ---------------------------------------------------------------- window

// Stops `loop` when `button` is enabled again: MainWindow re-enables it only
// after the result is on the label, so this marks the end exactly, without
// polling during the transfer.
class EnabledAgain : public QObject
{
public:
    EnabledAgain(QWidget *button, QEventLoop *loop)
        : _button(button)
        , _loop(loop)
    {
        button->installEventFilter(this);
    }
    bool fired = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == _button && event->type() == QEvent::EnabledChange && _button->isEnabled()) {
            fired = true;
            _loop->quit();
        }
        return false;
    }

private:
    QWidget *_button;
    QEventLoop *_loop;
};

template <typename T>
T *widget(QWidget &window, const char *name, QStringList &missing)
{
    T *found = window.findChild<T *>(QString::fromLatin1(name));
    if (!found)
        missing << QString::fromLatin1(name);
    return found;
}

CaseResult runWindow(const QString &path, quint32 expectedBlocks, bool logShown)
{
    CaseResult result;
    Responder responder;
    QTemporaryDir updateDir;
    for (const char *name : {"file1.varnelfmw", "file2.varnelfmw", "file3.varnelfmw"}) {
        QFile file(updateDir.filePath(QString::fromLatin1(name)));
        if (!file.open(QIODevice::WriteOnly) || file.write("x") != 1) {
            result.error = QStringLiteral("cannot write %1").arg(file.fileName());
            return result;
        }
    }

    auto window = std::make_unique<MainWindow>();
    QStringList missing;
    auto *interfaces = widget<QComboBox>(*window, "combo_interfaces", missing);
    auto *targetIp = widget<QLineEdit>(*window, "txt_targetIp", missing);
    auto *updatePath = widget<QComboBox>(*window, "combo_updatePath", missing);
    auto *filePath = widget<QComboBox>(*window, "combo_filePath", missing);
    auto *fileNumber = widget<QSpinBox>(*window, "spin_fileNumber", missing);
    auto *tabs = widget<QTabWidget>(*window, "tabWidget", missing);
    auto *log = widget<QTextBrowser>(*window, "txt_log", missing);
    auto *connectButton = widget<QAbstractButton>(*window, "btn_initUpdate", missing);
    auto *startButton = widget<QAbstractButton>(*window, "btn_startUpdate", missing);
    auto *sendButton = widget<QAbstractButton>(*window, "btn_sendFile", missing);
    auto *userPrompt = widget<QLabel>(*window, "label_user_prompt", missing);
    auto *prompt = widget<QLabel>(*window, "label_prompt", missing);
    if (!missing.isEmpty()) {
        result.error = QStringLiteral("widgets not found: %1").arg(missing.join(QLatin1Char(' ')));
        return result;
    }

    interfaces->addItem(QStringLiteral("lo - %1").arg(QLatin1String(kLocalIp)));
    interfaces->setCurrentIndex(interfaces->count() - 1);
    targetIp->setText(QString::fromLatin1(kDeviceIp));
    MainWindow::addAndSelectPath(updatePath, updateDir.path());
    MainWindow::addAndSelectPath(filePath, path);
    fileNumber->setValue(1);
    // Send File lives on the Engineering tab; the Log tab is the other choice.
    tabs->setCurrentIndex(logShown ? 1 : 2);
    window->show();
    if (!waitUntil([&] { return window->isVisible(); }, 5000)) {
        result.error = QStringLiteral("the window does not show");
        return result;
    }
    if (log->isVisible() != logShown) {
        result.error = QStringLiteral("the log is %1 visible").arg(logShown ? "not" : "");
        return result;
    }

    connectButton->click();
    if (!waitUntil([&] { return startButton->isEnabled(); }, kConnectLimitMs)) {
        result.error = QStringLiteral("Connect failed: %1").arg(userPrompt->text());
        return result;
    }
    if (!responder.command("RESET")) {
        result.error = QStringLiteral("responder does not answer");
        return result;
    }

    QEventLoop loop;
    EnabledAgain ended(sendButton, &loop);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);

    // How long the window stops answering during the transfer: the longest
    // gap between the ticks of a 50 ms timer, beyond its period.
    QElapsedTimer stallClock;
    qint64 lastTick = 0;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setInterval(50);
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        const qint64 now = stallClock.elapsed();
        longestGap = qMax(longestGap, now - lastTick);
        lastTick = now;
    });

    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    stallClock.start();
    ticker.start();
    sendButton->click();
    if (sendButton->isEnabled()) {
        result.error = QStringLiteral("Send File did not start: %1").arg(prompt->text());
        return result;
    }
    guard.start(caseLimitMs(expectedBlocks));
    loop.exec();
    result.seconds = double(clock.nsecsElapsed()) / 1e9;
    result.cpu = cpuSeconds() - cpuBefore;
    ticker.stop();
    longestGap = qMax(longestGap, stallClock.elapsed() - lastTick);
    result.stallMs = qMax<qint64>(0, longestGap - ticker.interval());

    const udpUpdater::Result sent = window->link()->lastResult();
    result.blocks = sent.ok() ? sent.blockCount : sent.blockIndex;
    if (!ended.fired) {
        result.error = QStringLiteral("transfer still running after %1 ms").arg(caseLimitMs(expectedBlocks));
        return result;  // the window's destructor aborts and waits
    }
    if (prompt->text() != QStringLiteral("File Sent!")) {
        result.error = QStringLiteral("label_prompt says \"%1\"").arg(prompt->text());
        return result;
    }
    if (!sent.ok() || sent.blockCount != expectedBlocks || sent.blockIndex != expectedBlocks - 1) {
        result.error = QStringLiteral("transfer: %1").arg(describe(sent));
        return result;
    }
    if (!checkAnswered(responder, expectedBlocks, result))
        return result;

    if (!logShown) {
        // What the operator feels when looking at the log after a transfer.
        QElapsedTimer showClock;
        showClock.start();
        tabs->setCurrentIndex(1);
        QApplication::processEvents();
        const QPixmap shown = log->grab();
        result.tabShowMs = double(showClock.nsecsElapsed()) / 1e6;
        if (!log->isVisible() || shown.isNull()) {
            result.error = QStringLiteral("the log tab did not show");
            return result;
        }
        // The rest of the log is laid out a slice per pass of the event
        // loop: time it, and how long the window stops answering meanwhile.
        LogView *logView = window->link()->log();
        QElapsedTimer fillClock;
        fillClock.start();
        lastTick = 0;
        longestGap = 0;
        stallClock.restart();
        ticker.setInterval(10);
        ticker.start();
        while (logView->pendingLines() > 0 && fillClock.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        ticker.stop();
        longestGap = qMax(longestGap, stallClock.elapsed() - lastTick);
        result.logFillMs = result.tabShowMs + double(fillClock.nsecsElapsed()) / 1e6;
        result.fillStallMs = qMax<qint64>(0, longestGap - ticker.interval());
        // Two lines per block were logged: the view must hold its full cap.
        if (log->document()->blockCount() != LogView::kMaxLines) {
            result.error = QStringLiteral("the shown log holds %1 lines, expected %2")
                               .arg(log->document()->blockCount())
                               .arg(LogView::kMaxLines);
            return result;
        }
    }
    result.ok = true;
    return result;
}

// ---------------------------------------------------------------- child

int runCase(int argc, char **argv, const QString &name, const QString &path, quint32 blocks)
{
    const bool gui = name.startsWith(QLatin1String("window"));
    // Pinned to one CPU, Qt sizes the global pool to one thread, which the
    // transfer task fills, and the raster engine's parallel fills then wait
    // for it; give the pool what the machine has, as an unpinned run gets.
    const int onlineCpus = int(sysconf(_SC_NPROCESSORS_ONLN));
    if (QThreadPool::globalInstance()->maxThreadCount() < onlineCpus)
        QThreadPool::globalInstance()->setMaxThreadCount(onlineCpus);
    std::unique_ptr<QCoreApplication> app;
    if (gui) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }

    CaseResult result;
    if (name == QLatin1String("raw"))
        result = runRaw(path, blocks);
    else if (name == QLatin1String("link"))
        result = runLink(path, blocks);
    else if (name == QLatin1String("window"))
        result = runWindow(path, blocks, false);
    else if (name == QLatin1String("window+log"))
        result = runWindow(path, blocks, true);
    else if (name == QLatin1String("idle"))
        result = runIdle();
    else
        result.error = QStringLiteral("unknown case");

    result.peakKb = peakResidentKb();
    QString error = result.error;
    error.replace(QLatin1Char('\n'), QLatin1Char(' '));
    std::printf("BENCH-RESULT case=%s ok=%d blocks=%u seconds=%.6f cpu=%.6f maxrss_kb=%ld tabshow_ms=%.3f "
                "crc_ms=%.3f stall_ms=%.3f logfill_ms=%.3f fillstall_ms=%.3f error=%s\n",
                qPrintable(name), result.ok ? 1 : 0, result.blocks, result.seconds, result.cpu,
                result.peakKb, result.tabShowMs, result.checksumMs,
                result.stallMs, result.logFillMs, result.fillStallMs, qPrintable(error));
    std::fflush(stdout);
    return result.ok ? 0 : 1;
}

// ---------------------------------------------------------------- parent

// What the parent reads back from a child: the child's own result.
using Run = CaseResult;

double peakMb(const Run &run)
{
    return double(run.peakKb) * 1024.0 / 1e6;
}

// Allowed CPUs of this process, in order.
std::vector<int> allowedCpus()
{
    std::vector<int> cpus;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set))
                cpus.push_back(cpu);
        }
    }
    return cpus;
}

// Pins the process about to start on `cpu` (none when negative).
void pinTo(QProcess &process, int cpu)
{
    if (cpu < 0)
        return;
    process.setChildProcessModifier([cpu] {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        sched_setaffinity(0, sizeof set, &set);
    });
}

double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.readLine().split(' ').value(0).toDouble();
}

Run runChild(const QString &name, const QString &imagePath, quint32 blocks, int cpu)
{
    Run run;
    QProcess child;
    pinTo(child, cpu);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--case"), name, QStringLiteral("--file"), imagePath,
                 QStringLiteral("--blocks"), QString::number(blocks)});
    const int limit = caseLimitMs(blocks) + 30000;
    if (!child.waitForFinished(limit)) {
        child.kill();
        child.waitForFinished(5000);
        run.error = QStringLiteral("did not finish within %1 s").arg(limit / 1000);
        return run;
    }
    const QString out = QString::fromLocal8Bit(child.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(child.readAllStandardError()).trimmed();
    static const QRegularExpression line(QStringLiteral(
        "^BENCH-RESULT case=(\\S+) ok=(\\d) blocks=(\\d+) seconds=([\\d.]+) cpu=([\\d.]+) "
        "maxrss_kb=(\\d+) tabshow_ms=(-?[\\d.]+) crc_ms=(-?[\\d.]+) "
        "stall_ms=(-?[\\d.]+) logfill_ms=(-?[\\d.]+) fillstall_ms=(-?[\\d.]+) error=(.*)$"),
                                         QRegularExpression::MultilineOption);
    const auto match = line.match(out);
    if (!match.hasMatch() || match.captured(1) != name) {
        run.error = QStringLiteral("no result (exit code %1) %2").arg(child.exitCode()).arg(err.right(600));
        return run;
    }
    run.ok = match.captured(2) == QLatin1String("1") && child.exitCode() == 0;
    run.blocks = match.captured(3).toUInt();
    run.seconds = match.captured(4).toDouble();
    run.cpu = match.captured(5).toDouble();
    run.peakKb = match.captured(6).toLong();
    run.tabShowMs = match.captured(7).toDouble();
    run.checksumMs = match.captured(8).toDouble();
    run.stallMs = match.captured(9).toDouble();
    run.logFillMs = match.captured(10).toDouble();
    run.fillStallMs = match.captured(11).toDouble();
    run.error = match.captured(12).trimmed();
    if (!run.ok && run.error.isEmpty())
        run.error = QStringLiteral("exit code %1 %2").arg(child.exitCode()).arg(err.right(600));
    return run;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool writeImage(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // Fixed seed: every run sends the same bytes.
    QRandomGenerator generator(20261207u);
    std::vector<quint32> chunk(1 << 18);  // 1 MiB
    qint64 left = size;
    while (left > 0) {
        generator.fillRange(chunk.data(), qsizetype(chunk.size()));
        const qint64 piece = qMin<qint64>(left, qint64(chunk.size() * sizeof(quint32)));
        if (file.write(reinterpret_cast<const char *>(chunk.data()), piece) != piece)
            return false;
        left -= piece;
    }
    return file.flush();
}

int usage()
{
    std::fprintf(stderr, "usage: varnel-bench [--size-mib N (1..1024, default 32)] [--runs N (1..15, default 3)]\n"
                         "                    [--placement same|spread|free (default same)]\n");
    return 2;
}

int runParent(int argc, char **argv, int sizeMib, int runs, const QString &placement)
{
    QCoreApplication app(argc, argv);
    const std::vector<int> cpus = allowedCpus();
    int caseCpu = -1;
    int responderCpu = -1;
    QString placementText = QStringLiteral("left to the scheduler");
    if (placement == QLatin1String("same") && !cpus.empty()) {
        caseCpu = responderCpu = cpus.front();
        placementText = QStringLiteral("responder and case on CPU %1").arg(caseCpu);
    } else if (placement == QLatin1String("spread")) {
        if (cpus.size() < 2) {
            std::fprintf(stderr, "--placement spread needs two CPUs\n");
            return 2;
        }
        caseCpu = cpus[0];
        responderCpu = cpus[1];
        placementText = QStringLiteral("case on CPU %1, responder on CPU %2").arg(caseCpu).arg(responderCpu);
    }
    const double loadBefore = loadAverage();

    QTemporaryDir workDir;
    if (!workDir.isValid()) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 1;
    }
    const QString imagePath = workDir.filePath(QStringLiteral("image.varnelfmw"));
    const qint64 size = qint64(sizeMib) * 1024 * 1024;
    if (!writeImage(imagePath, size)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(imagePath));
        return 1;
    }
    const quint32 blocks = udpUpdater::blockCount(size);

    QProcess responderProcess;
    responderProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    pinTo(responderProcess, responderCpu);
    responderProcess.start(QCoreApplication::applicationDirPath() + QStringLiteral("/varnel-bench-responder"),
                           {QString::fromLatin1(kDeviceIp), QStringLiteral("120")});
    if (!responderProcess.waitForStarted(5000)) {
        std::fprintf(stderr, "cannot start the responder: %s\n", qPrintable(responderProcess.errorString()));
        return 1;
    }
    Responder control;
    const auto stopResponder = [&] {
        control.ask("QUIT", 3, 200);
        if (!responderProcess.waitForFinished(3000)) {
            responderProcess.kill();
            responderProcess.waitForFinished(3000);
        }
    };
    if (control.ask("PING", 25, 200) != QByteArray("PONG")) {
        std::fprintf(stderr, "the responder does not answer (is %s:%u taken?)\n", kDeviceIp, kDevicePort);
        stopResponder();
        return 1;
    }

    std::printf("image %d MiB, %u blocks of %d bytes, %d run(s) per case, median shown; %s\n", sizeMib,
                blocks, udpUpdater::chunkSize, runs, qPrintable(placementText));
    std::fflush(stdout);

    QMap<QString, std::vector<Run>> runsOf;
    QStringList failures;
    // Cases interleaved, so a slow moment of the machine is spread over all.
    for (int round = 1; round <= runs; ++round) {
        for (const QString &name : kCases) {
            Run run;
            if (!control.command("ANSWER"))
                run.error = QStringLiteral("the responder stopped answering");
            else
                run = runChild(name, imagePath, blocks, caseCpu);
            std::fprintf(stderr, "  run %d/%d %-10s %s\n", round, runs, qPrintable(name),
                         run.ok ? qPrintable(QStringLiteral("%1 s").arg(run.seconds, 0, 'f', 3))
                                : qPrintable(QStringLiteral("FAILED: ") + run.error));
            if (!run.ok)
                failures << QStringLiteral("%1 (run %2): %3").arg(name).arg(round).arg(run.error);
            runsOf[name].push_back(run);
        }
    }
    stopResponder();

    struct Figures
    {
        bool ok = false;
        double blocksPerSecond = 0, usPerBlock = 0, cpu = 0, peakMb = 0, worstPeakMb = 0, seconds = 0,
               tabShowMs = -1, checksumMs = -1, worstStallMs = -1,
               logFillMs = -1, worstFillStallMs = -1;
    };
    QMap<QString, Figures> figures;
    for (const QString &name : kCases) {
        const std::vector<Run> &all = runsOf[name];
        Figures f;
        f.ok = std::all_of(all.begin(), all.end(), [](const Run &r) { return r.ok; });
        if (!f.ok) {
            figures[name] = f;
            continue;
        }
        std::vector<double> rate, perBlock, cpu, peak, seconds, tab, fill, checksum;
        for (const Run &r : all) {
            rate.push_back(r.blocks / r.seconds);
            perBlock.push_back(r.seconds * 1e6 / qMax<quint32>(r.blocks, 1));
            cpu.push_back(r.cpu);
            peak.push_back(peakMb(r));
            seconds.push_back(r.seconds);
            f.worstPeakMb = qMax(f.worstPeakMb, peakMb(r));
            if (r.tabShowMs >= 0)
                tab.push_back(r.tabShowMs);
            if (r.logFillMs >= 0)
                fill.push_back(r.logFillMs);
            if (r.fillStallMs >= 0)
                f.worstFillStallMs = qMax(f.worstFillStallMs, r.fillStallMs);
            if (r.stallMs >= 0)
                f.worstStallMs = qMax(f.worstStallMs, r.stallMs);
            if (r.checksumMs >= 0)
                checksum.push_back(r.checksumMs);
        }
        f.blocksPerSecond = median(rate);
        f.usPerBlock = median(perBlock);
        f.cpu = median(cpu);
        f.peakMb = median(peak);
        f.seconds = median(seconds);
        if (!tab.empty())
            f.tabShowMs = median(tab);
        if (!fill.empty())
            f.logFillMs = median(fill);
        if (!checksum.empty())
            f.checksumMs = median(checksum);
        figures[name] = f;
    }

    const Figures &raw = figures["raw"];
    const auto ratio = [&](const QString &name) {
        return raw.ok && figures[name].ok ? figures[name].blocksPerSecond / raw.blocksPerSecond : -1.0;
    };
    const auto number = [](double value, int decimals) {
        return value < 0 ? QStringLiteral("n/a") : QString::number(value, 'f', decimals);
    };

    std::printf("\n%-12s %10s %10s %7s %8s %8s\n", "case", "blocks/s", "us/block", "ratio", "cpu s", "peak MB");
    for (const QString &name : kCases) {
        const Figures &f = figures[name];
        if (!f.ok) {
            std::printf("%-12s %s\n", qPrintable(name), "FAILED");
            continue;
        }
        if (name == QLatin1String("idle")) {
            std::printf("%-12s %10s %10s %7s %8.4f %8.1f\n", qPrintable(name), "-", "-", "-", f.cpu, f.peakMb);
            continue;
        }
        std::printf("%-12s %10.0f %10.1f %7.2f %8.3f %8.1f\n", qPrintable(name), f.blocksPerSecond, f.usPerBlock,
                    ratio(name), f.cpu, f.peakMb);
    }

    const Figures &idle = figures["idle"];
    const double idleCpuPerSecond = idle.ok ? idle.cpu / idle.seconds : -1;
    const double tabShow = figures["window"].ok ? figures["window"].tabShowMs : -1;

    // The goals, checked on the figures above (memory on the worst run).
    QStringList missed;
    const auto goal = [&](bool met, const QString &what) {
        if (!met)
            missed << what;
    };
    goal(ratio("link") >= 0.5, QStringLiteral("link >= 0.5 of raw"));
    goal(ratio("window") >= 0.4, QStringLiteral("window >= 0.4 of raw"));
    goal(ratio("window+log") >= 0.2, QStringLiteral("window+log >= 0.2 of raw"));
    goal(idleCpuPerSecond >= 0 && idleCpuPerSecond < 0.01, QStringLiteral("idle < 0.01 cpu s/s"));
    for (const QString &name : kCases)
        goal(figures[name].ok && figures[name].worstPeakMb < 150,
             QStringLiteral("%1 peak < 150 MB").arg(name));

    // Other work on this small machine skews every figure: say how busy it was.
    std::printf("\nmachine load (1 min average): %.2f before, %.2f after\n", loadBefore, loadAverage());
    if (raw.ok) {
        // Part of every sending case's time, once per image.
        std::printf("image checksum (the program's, part of every sending case): %.1f ms\n", raw.checksumMs);
    }
    if (figures["window"].ok || figures["window+log"].ok) {
        std::printf("longest pause of the window's event loop during a transfer (worst run): window %s ms, "
                    "window+log %s ms\n",
                    qPrintable(number(figures["window"].ok ? figures["window"].worstStallMs : -1, 0)),
                    qPrintable(number(figures["window+log"].ok ? figures["window+log"].worstStallMs : -1, 0)));
    }
    if (figures["window"].ok) {
        std::printf("log tab after the transfer: shown in %.1f ms, its %d lines all laid out after %.1f ms, "
                    "longest pause of the window meanwhile (worst run) %.0f ms\n",
                    figures["window"].tabShowMs, LogView::kMaxLines, figures["window"].logFillMs,
                    figures["window"].worstFillStallMs);
    }
    for (const QString &failure : failures)
        std::printf("FAILED: %s\n", qPrintable(failure));
    std::printf("targets: %s\n",
                missed.isEmpty() ? "all met" : qPrintable(QStringLiteral("missed ") + missed.join(QStringLiteral("; "))));
    std::printf("ratios: link %s window %s window+log %s; idle cpu %s s/s; log tab show %s ms\n",
                qPrintable(number(ratio("link"), 2)), qPrintable(number(ratio("window"), 2)),
                qPrintable(number(ratio("window+log"), 2)), qPrintable(number(idleCpuPerSecond, 4)),
                qPrintable(number(tabShow, 1)));
    std::fflush(stdout);
    if (!failures.isEmpty())
        return 1;
    return missed.isEmpty() ? 0 : 3;
}

} // namespace

int main(int argc, char **argv)
{
    QString caseName;
    QString imagePath;
    quint32 blocks = 0;
    int sizeMib = 32;
    int runs = 3;
    QString placement = QStringLiteral("same");
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument(argv[i]);
        const bool hasValue = i + 1 < argc;
        bool ok = true;
        if (argument == "--case" && hasValue)
            caseName = QString::fromLocal8Bit(argv[++i]);
        else if (argument == "--file" && hasValue)
            imagePath = QString::fromLocal8Bit(argv[++i]);
        else if (argument == "--blocks" && hasValue)
            blocks = QByteArray(argv[++i]).toUInt(&ok);
        else if (argument == "--size-mib" && hasValue)
            sizeMib = QByteArray(argv[++i]).toInt(&ok);
        else if (argument == "--runs" && hasValue)
            runs = QByteArray(argv[++i]).toInt(&ok);
        else if (argument == "--placement" && hasValue)
            placement = QString::fromLocal8Bit(argv[++i]);
        else
            return usage();
        if (!ok)
            return usage();
    }
    if (!caseName.isEmpty())
        return runCase(argc, argv, caseName, imagePath, blocks);
    if (sizeMib < 1 || sizeMib > 1024 || runs < 1 || runs > 15
        || !QStringList({"same", "spread", "free"}).contains(placement))
        return usage();
    return runParent(argc, argv, sizeMib, runs, placement);
}
