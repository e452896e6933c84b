#include "logview.h"

#include <QEvent>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>

#include <cstring>

namespace {
// Often enough to look live, rarely enough to stay out of the transfer's way.
constexpr int kFlushIntervalMs = 200;
// Laying out a batch runs on the GUI thread, which also relays every block
// and acknowledgement: keep drawing the log to about a tenth of its time.
constexpr int kFlushCostFactor = 10;
constexpr int kMaxFlushIntervalMs = 2000;
// A full write block's line takes about a millisecond to lay out.
constexpr size_t kLinesPerSlice = 8;
} // namespace

LogView::LogView(QTextBrowser *view, QObject *parent)
    : QObject(parent)
    , _view(view)
    , _ring(kMaxLines)
{
    _view->document()->setMaximumBlockCount(kMaxLines);
    _view->document()->setUndoRedoEnabled(false);
    // A scroll bar that comes and goes makes every batch lay out twice.
    _view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    _view->installEventFilter(this);

    _flushTimer.setSingleShot(true);
    _flushTimer.setInterval(kFlushIntervalMs);
    connect(&_flushTimer, &QTimer::timeout, this, [this] {
        if (_view->isVisible())
            startBatch();
    });
    _sliceTimer.setSingleShot(true);
    _sliceTimer.setInterval(0);
    connect(&_sliceTimer, &QTimer::timeout, this, [this] { layOutSome(kLinesPerSlice); });
}

QString LogView::lineFor(Direction direction, const QByteArray &datagram, qint64 size)
{
    const QLatin1String prefix(direction == Sent ? "TX: " : "RX: ");
    QString line = prefix + QString::fromLatin1(datagram.toHex('-'));
    if (size > datagram.size())
        line += QStringLiteral(" ... (%1 bytes)").arg(size);
    return line;
}

void LogView::sent(quint32, const QByteArray &datagram)
{
    push(Sent, datagram.constData(), datagram.size(), datagram.size());
}

void LogView::received(quint32, const char *data, qint64 size, bool)
{
    push(Received, data, qMin(size, kLoggedBytes), size);
}

void LogView::push(Direction direction, const char *data, qint64 kept, qint64 size)
{
    // Lines the cap would drop anyway are never laid out: the oldest goes.
    int slot;
    if (_count < kMaxLines) {
        slot = (_first + _count) % kMaxLines;
        ++_count;
    } else {
        slot = _first;
        _first = (_first + 1) % kMaxLines;
    }
    Entry &entry = _ring[size_t(slot)];
    entry.direction = direction;
    entry.size = size;
    entry.datagram.resize(kept);
    std::memcpy(entry.datagram.data(), data, size_t(kept));
    if (!_flushTimer.isActive() && _batch.empty())
        _flushTimer.start();
}

void LogView::takePending(std::deque<Entry> &to)
{
    for (int i = 0; i < _count; ++i) {
        Entry &entry = _ring[size_t((_first + i) % kMaxLines)];
        to.push_back({entry.direction, std::move(entry.datagram), entry.size});
        entry.datagram = QByteArray();
    }
    _first = 0;
    _count = 0;
}

void LogView::startBatch()
{
    if (!_batch.empty() || _count == 0)
        return;
    takePending(_batch);
    _batchCostMs = 0;
    // Painted once when the batch is whole, not after every slice of it.
    _view->setUpdatesEnabled(false);
    layOutSome(kLinesPerSlice);
}

void LogView::flush()
{
    _flushTimer.stop();
    _sliceTimer.stop();
    takePending(_batch);
    while (_batch.size() > size_t(kMaxLines))
        _batch.pop_front();
    layOutSome(_batch.size());
}

void LogView::layOutSome(size_t count)
{
    if (_batch.empty())
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
    for (size_t i = 0; i < count && !_batch.empty(); ++i) {
        const Entry &entry = _batch.front();
        QTextCharFormat format;
        format.setForeground(entry.direction == Sent ? QColorConstants::Red
                                                     : QColorConstants::DarkGreen);
        if (!first)
            cursor.insertBlock();
        first = false;
        cursor.insertText(lineFor(entry.direction, entry.datagram, entry.size), format);
        _batch.pop_front();
    }
    cursor.endEditBlock();
    if (atEnd)
        scrollBar->setValue(scrollBar->maximum());
    _batchCostMs += cost.elapsed();

    if (!_batch.empty()) {
        _sliceTimer.start();
        return;
    }
    _view->setUpdatesEnabled(true);
    _flushTimer.setInterval(qBound(kFlushIntervalMs, int(_batchCostMs) * kFlushCostFactor,
                                   kMaxFlushIntervalMs));
    if (_count > 0)
        _flushTimer.start();
}

bool LogView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == _view && event->type() == QEvent::Show)
        startBatch();
    return QObject::eventFilter(watched, event);
}
