#ifndef TRANSFERMETER_H
#define TRANSFERMETER_H

#include <QList>
#include <QString>
#include <QtGlobal>

#include <utility>

// How far one device's transfer is, how fast it goes and how long the rest
// will take: over every image it is sent, so the time left is the device's,
// not just its current image's.
class TransferMeter
{
public:
    // The images the device is sent, in order: number and blocks.
    explicit TransferMeter(const QList<std::pair<int, quint32>> &images = {});

    void update(int image, quint32 blocksDone, quint32 blocksTotal, qint64 nowMs);

    int image() const { return _image; }
    int percent() const;
    // Negative while too little has been seen to tell.
    double bytesPerSecond() const;
    qint64 secondsLeft() const;

    // As people read them: "68 KiB/s", "2.5 MiB/s"; "1:05", "1:02:05".
    // Empty for a negative figure, one not known yet.
    static QString rateText(double bytesPerSecond);
    static QString durationText(qint64 seconds);

private:
    quint32 blocksBefore(int image) const;

    QList<std::pair<int, quint32>> _images;
    int _image = 0;
    quint32 _done = 0;
    quint32 _total = 0;
    // The first report is the start: what came before it is not timed.
    qint64 _firstMs = -1;
    quint64 _firstBlocks = 0;
    qint64 _lastMs = -1;
    quint64 _lastBlocks = 0;
};

#endif // TRANSFERMETER_H
