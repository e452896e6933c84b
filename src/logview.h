#ifndef LOGVIEW_H
#define LOGVIEW_H

#include "datagramtap.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>
#include <vector>

class QTextBrowser;

// The hex log of every datagram. A full write block makes a 4227-character
// line and a transfer makes tens of thousands of them, so only the last
// kMaxLines are kept, in a ring that costs a copy and no allocation per
// datagram; nothing is laid out while the log cannot be seen; and what is
// laid out goes in batches, a few lines per pass of the event loop so that
// the window never freezes, painted once a batch is whole.
class LogView : public QObject, public DatagramTap
{
    Q_OBJECT

public:
    enum Direction { Sent, Received };

    static constexpr int kMaxLines = 300;

    LogView(QTextBrowser *view, QObject *parent = nullptr);

    void sent(quint32 device, const QByteArray &datagram) override;
    // A datagram from anyone may be 64 KiB: only its first kLoggedBytes are
    // kept, followed by its length.
    void received(quint32 from, const char *data, qint64 size, bool fromDevice) override;

    // Lays out everything queued at once, visible or not.
    void flush();
    // Lines queued or in a batch, not yet in the view.
    int pendingLines() const { return _count + int(_batch.size()); }

    // `size` is the datagram's real length when `datagram` holds only its start.
    static QString lineFor(Direction direction, const QByteArray &datagram, qint64 size = -1);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Entry {
        Direction direction = Sent;
        QByteArray datagram;  // keeps its memory from one lap of the ring to the next
        qint64 size = 0;
    };
    void push(Direction direction, const char *data, qint64 kept, qint64 size);
    // Moves the ring's lines, oldest first, to the end of `to`.
    void takePending(std::deque<Entry> &to);

    void startBatch();
    void layOutSome(size_t count);

    QTextBrowser *_view;
    std::vector<Entry> _ring;     // newest lines, not yet in a batch
    int _first = 0;               // oldest of them
    int _count = 0;
    std::deque<Entry> _batch;     // lines being laid out, a few per pass
    QTimer _flushTimer;           // next batch
    QTimer _sliceTimer;           // next few lines of the current batch
    qint64 _batchCostMs = 0;
};

#endif // LOGVIEW_H
