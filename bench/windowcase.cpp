// The window cases: Send File through the whole window, as the operator
// would press it, with the log tab hidden or shown.

#include "cases.h"

#include "casesupport.h"
#include "findwidget.h"
#include "logview.h"
#include "loopback.h"
#include "mainwindow.h"
#include "measures.h"
#include "responderclient.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTimer>

#include <memory>

namespace bench {

namespace {

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

} // namespace

CaseResult runWindow(const QString &path, quint32 expectedBlocks, bool logShown)
{
    CaseResult result;
    ResponderClient responder;
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
    const qint64 startNs = monotonicNs();
    stallClock.start();
    ticker.start();
    sendButton->click();
    if (sendButton->isEnabled()) {
        result.error = QStringLiteral("Send File did not start: %1").arg(prompt->text());
        return result;
    }
    guard.start(caseLimitMs(expectedBlocks));
    loop.exec();
    const qint64 endNs = monotonicNs();
    result.seconds = double(endNs - startNs) / 1e9;
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
    if (!endTransfer(responder, expectedBlocks, startNs, endNs, sent.quietTime, result))
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

} // namespace bench
