#ifndef LOGVIEW_H
#define LOGVIEW_H

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <deque>

class QTextBrowser;

// The hex log of every datagram. A full write block makes a 4227-character
// line and a transfer makes tens of thousands of them, so lines are queued
// and laid out in batches, only the last kMaxLines are kept, and nothing is
// laid out while the log cannot be seen.
class LogView : public QObject
{
    Q_OBJECT

public:
    enum Direction { Sent, Received };

    static constexpr int kMaxLines = 300;

    LogView(QTextBrowser *view, QObject *parent = nullptr);

    void add(Direction direction, const QByteArray &datagram);
    // Lays out whatever is queued, visible or not.
    void flush();

    static QString lineFor(Direction direction, const QByteArray &datagram);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Entry {
        Direction direction;
        QByteArray datagram;
    };

    QTextBrowser *_view;
    std::deque<Entry> _pending;
    QTimer _flushTimer;
};

#endif // LOGVIEW_H
