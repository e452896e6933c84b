#include "textreport.h"

#include "protocol.h"

#include <QStringList>
#include <QTextStream>

#include <algorithm>

namespace {

// Often enough to look live, seldom enough to cost nothing.
constexpr qint64 kRedrawMs = 200;

// Each device's own line above says how it ended; the summary keeps to one
// readable line even for a whole building of devices.
constexpr int kSummaryNames = 20;

QString joined(const QList<QHostAddress> &devices)
{
    QStringList list;
    for (const QHostAddress &device : devices.mid(0, kSummaryNames))
        list.append(device.toString());
    QString text = list.join(QStringLiteral(", "));
    if (devices.size() > kSummaryNames)
        text += QStringLiteral(" and %1 more").arg(devices.size() - kSummaryNames);
    return text;
}

} // namespace

TextReport::TextReport(QTextStream &out, QTextStream &err, bool terminal, FleetUpdate::Mode mode)
    : _out(out)
    , _err(err)
    , _terminal(terminal)
    , _mode(mode)
{
    _clock.start();
}

QString TextReport::rateText(double bytesPerSecond)
{
    if (bytesPerSecond < 0)
        return QStringLiteral("--- KiB/s");
    if (bytesPerSecond >= 1024.0 * 1024.0)
        return QStringLiteral("%1 MiB/s").arg(bytesPerSecond / (1024.0 * 1024.0), 0, 'f', 1);
    return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 0);
}

QString TextReport::durationText(qint64 seconds)
{
    if (seconds < 0)
        return QStringLiteral("--:--");
    const auto two = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    if (seconds >= 3600)
        return QStringLiteral("%1:%2:%3").arg(seconds / 3600).arg(two(seconds / 60 % 60), two(seconds % 60));
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(two(seconds % 60));
}

QString TextReport::imageLabel(int image) const
{
    return _mode == FleetUpdate::Mode::Update ? QStringLiteral("image %1/3").arg(image)
                                              : QStringLiteral("image %1").arg(image);
}

QString TextReport::progressLine(const Transfer &transfer) const
{
    const TransferMeter &meter = transfer.meter;
    return QStringLiteral("%1: %2 %3%  %4  %5 left")
        .arg(transfer.device.toString(), imageLabel(meter.image()))
        .arg(meter.percent(), 3)
        .arg(rateText(meter.bytesPerSecond()), durationText(meter.secondsLeft()));
}

void TextReport::eraseBlock()
{
    if (_drawn > 0)
        _out << "\x1b[" << _drawn << "A\r\x1b[J";
    _drawn = 0;
}

void TextReport::drawBlock()
{
    for (const Transfer &transfer : _transfers)
        _out << progressLine(transfer) << '\n';
    _drawn = int(_transfers.size());
    _lastDrawMs = _clock.elapsed();
}

void TextReport::print(const QString &line)
{
    if (_terminal)
        eraseBlock();
    _out << line << '\n';
    if (_terminal)
        drawBlock();
    _out.flush();
}

void TextReport::images(const QList<Image> &images)
{
    _imageBlocks.clear();
    for (const Image &image : images) {
        _imageBlocks.append({image.number, protocol::blockCount(image.size)});
        // In one go: a path may hold a "%1" of its own.
        print(QStringLiteral("%1: %2, %3 bytes, checksum %4")
                  .arg(imageLabel(image.number), image.path, QString::number(image.size),
                       QStringLiteral("%1").arg(image.checksum, 8, 16, QLatin1Char('0'))));
    }
}

void TextReport::connected(const QHostAddress &device)
{
    print(QStringLiteral("%1: connected").arg(device.toString()));
}

void TextReport::erased(const QHostAddress &device)
{
    print(QStringLiteral("%1: erased").arg(device.toString()));
}

void TextReport::progress(const QHostAddress &device, int image, quint32 blocksDone, quint32 blocksTotal)
{
    auto transfer = std::find_if(_transfers.begin(), _transfers.end(),
                                 [&](const Transfer &t) { return t.device == device; });
    const bool first = transfer == _transfers.end();
    if (first) {
        _transfers.push_back({device, TransferMeter(_imageBlocks)});
        transfer = _transfers.end() - 1;
    }
    transfer->meter.update(image, blocksDone, blocksTotal, _clock.elapsed());

    if (!_terminal) {
        if (_pacer.due(device)) {
            _out << progressLine(*transfer) << '\n';
            _out.flush();
        }
        return;
    }
    if (first || _clock.elapsed() - _lastDrawMs >= kRedrawMs) {
        eraseBlock();
        drawBlock();
        _out.flush();
    }
}

void TextReport::imageDone(const QHostAddress &device, const OperationResult &result)
{
    print(QStringLiteral("%1: %2 sent").arg(device.toString(), imageLabel(result.fileNumber)));
}

void TextReport::deviceDone(const QHostAddress &device, const OperationResult &result, int imagesDone,
                            const QString &reason)
{
    Q_UNUSED(imagesDone);
    _transfers.erase(std::remove_if(_transfers.begin(), _transfers.end(),
                                    [&](const Transfer &t) { return t.device == device; }),
                     _transfers.end());
    _pacer.forget(device);
    if (result.ok()) {
        print(QStringLiteral("%1: done").arg(device.toString()));
        return;
    }
    if (result.outcome == OperationResult::Outcome::Aborted) {
        print(QStringLiteral("%1: aborted").arg(device.toString()));
        return;
    }
    QString step;
    switch (result.operation) {
    case OperationResult::Operation::Connect:
        step = QStringLiteral("connect");
        break;
    case OperationResult::Operation::Erase:
        step = QStringLiteral("erase");
        break;
    case OperationResult::Operation::Image:
        step = imageLabel(result.fileNumber);
        break;
    }
    print(QStringLiteral("%1: FAILED at %2: %3").arg(device.toString(), step, reason));
}

void TextReport::summary(const Summary &summary)
{
    QString line = QStringLiteral("%1 of %2 devices done.").arg(summary.succeeded.size()).arg(summary.devices());
    if (!summary.failed.isEmpty())
        line += QStringLiteral(" Failed: %1.").arg(joined(summary.failed));
    if (!summary.aborted.isEmpty())
        line += QStringLiteral(" Aborted: %1.").arg(joined(summary.aborted));
    print(line);
}

void TextReport::stopped(int exitCode, const QString &message)
{
    Q_UNUSED(exitCode);
    if (_terminal)
        eraseBlock();
    _out.flush();
    _err << message << '\n';
    _err.flush();
}
