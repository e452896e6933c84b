#ifndef LOGVIEW_H
#define LOGVIEW_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>

class QTextBrowser;

// The hex log of every datagram. A full write block makes a 4227-character
// line and a transfer makes tens of thousands of them, so lines are queued
// and laid out in batches, only the last kMaxLines are kept, nothing is laid
// out while the log cannot be seen, and a batch is laid out a few lines per
// pass of the event loop so the window never freezes on it.
class LogView : public QObject
{
    Q_OBJECT

public:
    enum Direction { Sent, Received };

    static constexpr int kMaxLines = 300;
    // A full write block: no answer from a device is longer.
    static constexpr qint64 kMaxLoggedBytes = 1408;

    LogView(QTextBrowser *view, QObject *parent = nullptr);

    void add(Direction direction, const QByteArray &datagram);
    // A received datagram may be anything up to 64 KiB from anyone on the
    // LAN: only its first kMaxLoggedBytes are kept, followed by its length.
    void addReceived(const QByteArray &head, qint64 size);
    // Lays out everything queued at once, visible or not.
    void flush();
    // Lines queued or in a batch, not yet in the view.
    int pendingLines() const { return int(_pending.size() + _batch.size()); }

    // `size` is the datagram's real length when `datagram` holds only its start.
    static QString lineFor(Direction direction, const QByteArray &datagram, qint64 size = -1);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Entry {
        Direction direction;
        QByteArray datagram;
        qint64 size;
    };
    void push(Entry &&entry);

    void startBatch();
    void layOutSome(size_t count);

    QTextBrowser *_view;
    std::deque<Entry> _pending;   // newest lines, not yet in a batch
    std::deque<Entry> _batch;     // lines being laid out, a few per pass
    QTimer _flushTimer;           // next batch
    QTimer _sliceTimer;           // next few lines of the current batch
    qint64 _batchCostMs = 0;
};

#endif // LOGVIEW_H
