#include "textreport.h"

#include "operatortexts.h"
#include "printable.h"
#include "protocol.h"

#include <QStringList>
#include <QTextStream>

#include <algorithm>
#include <limits>

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
    const QString text = TransferMeter::rateText(bytesPerSecond);
    return text.isEmpty() ? QStringLiteral("--- KiB/s") : text;
}

QString TextReport::durationText(qint64 seconds)
{
    const QString text = TransferMeter::durationText(seconds);
    return text.isEmpty() ? QStringLiteral("--:--") : text;
}

QString TextReport::imageLabel(int image) const
{
    return _mode == FleetUpdate::Mode::Update ? QStringLiteral("image %1/3").arg(image)
                                              : QStringLiteral("image %1").arg(image);
}

std::optional<FleetUpdate::Wait> TextReport::longWait(const QHostAddress &device) const
{
    const auto wait = _waitOf ? _waitOf(device) : std::nullopt;
    if (!wait || wait->limit.count() <= 0 || wait->waited < kQuietBeforeWaiting)
        return std::nullopt;
    return wait;
}

QString TextReport::progressLine(const Transfer &transfer) const
{
    const TransferMeter &meter = transfer.meter;
    const QString head = QStringLiteral("%1: %2 %3%")
                             .arg(transfer.device.toString(), imageLabel(meter.image()))
                             .arg(meter.percent(), 3);
    if (const auto wait = longWait(transfer.device))
        return head + QStringLiteral("  ") + OperatorTexts::waiting(wait->waited, wait->limit);
    return head
        + QStringLiteral("  %1  %2 left").arg(rateText(meter.bytesPerSecond()), durationText(meter.secondsLeft()));
}

void TextReport::eraseBlock()
{
    if (_drawn > 0)
        _out << "\x1b[" << _drawn << "A\r\x1b[J";
    _drawn = 0;
}

void TextReport::drawBlock()
{
    // The cursor goes back up over the whole block to redraw it: a block
    // taller than the terminal would leave its top behind, line after line.
    const int room = _rows ? qMax(1, _rows() - 1) : std::numeric_limits<int>::max();
    const int count = int(_transfers.size());
    const int shown = count <= room ? count : room - 1;
    for (int i = 0; i < shown; ++i)
        _out << progressLine(_transfers[size_t(i)]) << '\n';
    _drawn = shown;
    if (shown < count) {
        if (shown == 0)
            _out << QStringLiteral("%1 devices in transfer").arg(count) << '\n';
        else
            _out << QStringLiteral("and %1 more in transfer").arg(count - shown) << '\n';
        ++_drawn;
    }
    _lastDrawMs = _clock.elapsed();
}

void TextReport::print(const QString &line, QTextStream &stream)
{
    if (_terminal)
        eraseBlock();
    // Both may be the one terminal: what went before must be out first.
    if (&stream != &_out)
        _out.flush();
    stream << line << '\n';
    stream.flush();
    if (_terminal)
        drawBlock();
    _out.flush();
}

void TextReport::refresh()
{
    if (_transfers.empty())
        return;
    if (_terminal) {
        eraseBlock();
        drawBlock();
        _out.flush();
        return;
    }
    // Elsewhere a silent device has no progress to print: its wait is, once
    // a refresh, which comes once a second already.
    for (const Transfer &transfer : _transfers) {
        if (!longWait(transfer.device))
            continue;
        _pacer.due(transfer.device);  // counts as its progress line
        _out << progressLine(transfer) << '\n';
    }
    _out.flush();
}

void TextReport::images(const QList<Image> &images)
{
    _imageBlocks.clear();
    for (const Image &image : images) {
        _imageBlocks.append({image.number, protocol::blockCount(image.size)});
        // In one go: a path may hold a "%1" of its own.
        print(QStringLiteral("%1: %2, %3 bytes, checksum %4")
                  .arg(imageLabel(image.number), printable::escaped(image.path), QString::number(image.size),
                       QStringLiteral("%1").arg(image.checksum, 8, 16, QLatin1Char('0'))),
              _out);
    }
}

void TextReport::attempt(const QHostAddress &device, int number, int of)
{
    // The first is the run itself; the lines after it tell how it goes.
    if (number > 1)
        print(QStringLiteral("%1: attempt %2 of %3").arg(device.toString()).arg(number).arg(of), _out);
}

void TextReport::attemptFailed(const QHostAddress &device, int number, int of, const OperationResult &result,
                               const QString &reason, std::chrono::milliseconds pause)
{
    forget(device);
    print(QStringLiteral("%1: attempt %2 of %3 failed at %4: %5 Trying again in %6 s.")
              .arg(device.toString())
              .arg(number)
              .arg(of)
              .arg(stepOf(result), reason, QString::number(pause.count() / 1000.0)),
          _err);
}

void TextReport::connected(const QHostAddress &device)
{
    print(QStringLiteral("%1: connected").arg(device.toString()), _out);
}

void TextReport::erased(const QHostAddress &device)
{
    print(QStringLiteral("%1: erased").arg(device.toString()), _out);
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
    print(QStringLiteral("%1: %2 sent").arg(device.toString(), imageLabel(result.fileNumber)), _out);
}

QString TextReport::stoppedAt(const OperationResult &result, int imagesDone, FleetUpdate::Erasure erasure) const
{
    switch (result.operation) {
    case OperationResult::Operation::Connect:
        // In the pause between the erase and image 1, or never started.
        if (erasure == FleetUpdate::Erasure::Yes)
            return QStringLiteral("before ") + imageLabel(1);
        if (!result.sent)
            return QStringLiteral("before it started");
        return QStringLiteral("at connect");
    case OperationResult::Operation::Erase:
        return QStringLiteral("at the erase");
    case OperationResult::Operation::Image:
        if (result.fileNumber <= 0)
            return QStringLiteral("before ") + imageLabel(imagesDone + 1);
        return QStringLiteral("at ") + imageLabel(result.fileNumber);
    }
    return QString();
}

QString TextReport::stepOf(const OperationResult &result) const
{
    switch (result.operation) {
    case OperationResult::Operation::Connect:
        return QStringLiteral("connect");
    case OperationResult::Operation::Erase:
        return QStringLiteral("erase");
    case OperationResult::Operation::Image:
        break;
    }
    return imageLabel(result.fileNumber);
}

void TextReport::forget(const QHostAddress &device)
{
    _transfers.erase(std::remove_if(_transfers.begin(), _transfers.end(),
                                    [&](const Transfer &t) { return t.device == device; }),
                     _transfers.end());
    _pacer.forget(device);
}

void TextReport::deviceDone(const QHostAddress &device, const OperationResult &result, int imagesDone,
                            FleetUpdate::Erasure erasure, const QString &reason, int attempts)
{
    forget(device);
    if (result.ok()) {
        print(attempts > 1 ? QStringLiteral("%1: done, attempt %2").arg(device.toString()).arg(attempts)
                           : QStringLiteral("%1: done").arg(device.toString()),
              _out);
        return;
    }
    if (result.outcome == OperationResult::Outcome::Aborted) {
        print(QStringLiteral("%1: aborted %2 (%3)")
                  .arg(device.toString(), stoppedAt(result, imagesDone, erasure), OperatorTexts::erasure(erasure)),
              _err);
        return;
    }
    // An earlier attempt may have erased it, whatever the last one says.
    const QString after = attempts > 1 ? QStringLiteral(" (%1 attempts, %2)").arg(attempts).arg(OperatorTexts::erasure(erasure))
                                       : QString();
    print(QStringLiteral("%1: FAILED at %2: %3%4").arg(device.toString(), stepOf(result), reason, after), _err);
}

void TextReport::summary(const Summary &summary)
{
    QString line = QStringLiteral("%1 of %2 devices done.").arg(summary.succeeded.size()).arg(summary.devices());
    if (!summary.failed.isEmpty())
        line += QStringLiteral(" Failed: %1.").arg(joined(summary.failed));
    if (!summary.aborted.isEmpty())
        line += QStringLiteral(" Aborted: %1.").arg(joined(summary.aborted));
    QStringList retried;
    for (const auto &[device, count] : summary.attempts) {
        if (count > 1)
            retried.append(QStringLiteral("%1 for %2").arg(count).arg(device.toString()));
    }
    if (!retried.isEmpty()) {
        const qsizetype once = summary.attempts.size() - retried.size();
        if (retried.size() > kSummaryNames)
            retried = retried.mid(0, kSummaryNames) << QStringLiteral("%1 more retried").arg(retried.size() - kSummaryNames);
        if (once > 0)
            retried.append(QStringLiteral("1 for the others"));
        line += QStringLiteral(" Attempts: %1.").arg(retried.join(QStringLiteral(", ")));
    }
    print(line, _out);
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
