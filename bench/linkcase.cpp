// The cases that drive the link with no window: a transfer, the same under a
// flood of strays, and an erase left unanswered.

#include "cases.h"

#include "casesupport.h"
#include "flooderprocess.h"
#include "loopback.h"
#include "measures.h"
#include "responderclient.h"
#include "udpupdater.h"

#include <QEventLoop>
#include <QFutureWatcher>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <chrono>

namespace bench {

namespace {

constexpr int kIdleWaitMs = 3000;

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

// Sends the image over a fresh link, under the flood of `flooder` if any.
CaseResult transfer(const QString &path, quint32 expectedBlocks, FlooderProcess *flooder)
{
    CaseResult result;
    ResponderClient responder;
    udpUpdater link(nullptr);
    if (!connectLink(link, result))
        return result;
    if (!responder.command("RESET")) {
        result.error = QStringLiteral("responder does not answer");
        return result;
    }
    qint64 straysBefore = 0;
    qint64 dropsBefore = -1;
    if (flooder) {
        if (!flooder->start(caseLimitMs(expectedBlocks) / 1000 + 30, &result.error))
            return result;
        dropsBefore = udpReceiveBufferErrors();
        straysBefore = flooder->sent();
    }

    const double cpuBefore = cpuSeconds();
    const qint64 startNs = monotonicNs();
    const bool finished = runInBackground(
        link, [&] { return link.sendFileToTarget(path, 1); }, caseLimitMs(expectedBlocks));
    const qint64 endNs = monotonicNs();
    result.seconds = double(endNs - startNs) / 1e9;
    result.cpu = cpuSeconds() - cpuBefore;

    QString floodError;
    if (flooder) {
        const qint64 strays = flooder->sent() - straysBefore;
        const qint64 dropsAfter = udpReceiveBufferErrors();
        flooder->stop(&floodError);
        result.straysSent = double(strays);
        result.strayRate = double(strays) / (double(endNs - startNs) / 1e9);
        result.receiveBufferDrops = dropsBefore >= 0 && dropsAfter >= 0 ? double(dropsAfter - dropsBefore) : -1;
        // A flood that fell short would flatter the link.
        if (floodError.isEmpty() && result.strayRate < 0.9 * FlooderProcess::kRate)
            floodError = QStringLiteral("the flood reached only %1 strays/s of %2")
                             .arg(result.strayRate, 0, 'f', 0)
                             .arg(FlooderProcess::kRate);
    }

    const udpUpdater::Result sent = link.lastResult();
    result.blocks = sent.ok() ? sent.blockCount : sent.blockIndex;
    if (!finished) {
        result.error = QStringLiteral("transfer still running after %1 ms").arg(caseLimitMs(expectedBlocks));
    } else if (!sent.ok() || sent.blockCount != expectedBlocks || sent.blockIndex != expectedBlocks - 1) {
        result.error = QStringLiteral("transfer: %1").arg(describe(sent));
    } else if (endTransfer(responder, expectedBlocks, startNs, endNs, sent.quietTime, result)) {
        result.error = floodError;
        result.ok = floodError.isEmpty();
    }
    return result;
}

} // namespace

CaseResult runLink(const QString &path, quint32 expectedBlocks)
{
    return transfer(path, expectedBlocks, nullptr);
}

CaseResult runLinkUnderFlood(const QString &path, quint32 expectedBlocks, int flooderCpu)
{
    FlooderProcess flooder(flooderCpu);
    return transfer(path, expectedBlocks, &flooder);
}

CaseResult runIdle()
{
    CaseResult result;
    ResponderClient responder;
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
    const qint64 startNs = monotonicNs();
    const bool finished = runInBackground(link, [&] { return link.eraseTarget(); }, kIdleWaitMs + 10000);
    result.seconds = double(monotonicNs() - startNs) / 1e9;
    result.cpu = cpuSeconds() - cpuBefore;

    const ResponderClient::Stats stats = responder.stats();
    const bool answering = responder.command("ANSWER");
    const udpUpdater::Result erase = link.lastResult();
    if (!finished)
        result.error = QStringLiteral("the wait did not end");
    else if (erase.outcome != udpUpdater::Outcome::NoAnswer)
        result.error = QStringLiteral("erase ended with %1, expected no answer").arg(describe(erase));
    else if (result.seconds < kIdleWaitMs / 1000.0 * 0.98)
        result.error = QStringLiteral("the wait lasted only %1 s").arg(result.seconds);
    else if (stats.seen != 1 || stats.answered != 0)
        result.error = QStringLiteral("responder saw %1 and answered %2 commands, expected 1 and 0")
                           .arg(stats.seen)
                           .arg(stats.answered);
    else if (!answering)
        result.error = QStringLiteral("responder did not leave silent mode");
    else
        result.ok = true;
    return result;
}

} // namespace bench
