#include "logview.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>

namespace {
// Often enough to look live, rarely enough to stay out of the transfer's way.
constexpr int kFlushIntervalMs = 200;
// Laying out a batch runs on the GUI thread, which also relays every block
// and acknowledgement: keep drawing the log to about a tenth of its time.
constexpr int kFlushCostFactor = 10;
constexpr int kMaxFlushIntervalMs = 2000;
} // namespace

LogView::LogView(QTextBrowser *view, QObject *parent)
    : QObject(parent)
    , _view(view)
{
    _view->document()->setMaximumBlockCount(kMaxLines);
    _view->document()->setUndoRedoEnabled(false);
    _view->installEventFilter(this);
    _flushTimer.setSingleShot(true);
    _flushTimer.setInterval(kFlushIntervalMs);
    connect(&_flushTimer, &QTimer::timeout, this, [this] {
        if (_view->isVisible())
            flush();
    });
}

QString LogView::lineFor(Direction direction, const QByteArray &datagram)
{
    const QLatin1String prefix(direction == Sent ? "TX: " : "RX: ");
    return prefix + QString::fromLatin1(datagram.toHex('-'));
}

void LogView::add(Direction direction, const QByteArray &datagram)
{
    _pending.push_back({direction, datagram});
    // Lines the cap would drop anyway are never laid out.
    while (_pending.size() > size_t(kMaxLines))
        _pending.pop_front();
    if (!_flushTimer.isActive())
        _flushTimer.start();
}

void LogView::flush()
{
    _flushTimer.stop();
    if (_pending.empty())
        return;

    QElapsedTimer cost;
    cost.start();
    QScrollBar *scrollBar = _view->verticalScrollBar();
    const bool atEnd = scrollBar->value() == scrollBar->maximum();

    QTextDocument *document = _view->document();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    bool first = document->isEmpty();
    for (const Entry &entry : _pending) {
        QTextCharFormat format;
        format.setForeground(entry.direction == Sent ? QColorConstants::Red
                                                     : QColorConstants::DarkGreen);
        if (!first)
            cursor.insertBlock();
        first = false;
        cursor.insertText(lineFor(entry.direction, entry.datagram), format);
    }
    cursor.endEditBlock();
    _pending.clear();
    if (atEnd)
        scrollBar->setValue(scrollBar->maximum());

    _flushTimer.setInterval(qBound(kFlushIntervalMs, int(cost.elapsed()) * kFlushCostFactor,
                                   kMaxFlushIntervalMs));
}

bool LogView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == _view && event->type() == QEvent::Show)
        flush();
    return QObject::eventFilter(watched, event);
}
