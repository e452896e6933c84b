#include "caseresult.h"

#include <QRegularExpression>

namespace bench {

QByteArray resultLine(const QString &caseName, const CaseResult &result)
{
    QString error = result.error;
    error.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return QByteArray("BENCH-RESULT case=") + caseName.toLocal8Bit()
        + QString::asprintf(" ok=%d blocks=%u seconds=%.6f cpu=%.6f maxrss_kb=%ld tabshow_ms=%.3f "
                               "crc_ms=%.3f stall_ms=%.3f logfill_ms=%.3f fillstall_ms=%.3f error=",
                               result.ok ? 1 : 0, result.blocks, result.seconds, result.cpu, result.peakKb,
                               result.tabShowMs, result.checksumMs, result.stallMs, result.logFillMs,
                               result.fillStallMs)
              .toLocal8Bit()
        + error.toLocal8Bit() + '\n';
}

bool parseResultLine(const QString &out, const QString &caseName, CaseResult *run)
{
    static const QRegularExpression line(QStringLiteral(
        "^BENCH-RESULT case=(\\S+) ok=(\\d) blocks=(\\d+) seconds=([\\d.]+) cpu=([\\d.]+) "
        "maxrss_kb=(\\d+) tabshow_ms=(-?[\\d.]+) crc_ms=(-?[\\d.]+) "
        "stall_ms=(-?[\\d.]+) logfill_ms=(-?[\\d.]+) fillstall_ms=(-?[\\d.]+) error=(.*)$"),
                                         QRegularExpression::MultilineOption);
    const auto match = line.match(out);
    if (!match.hasMatch() || match.captured(1) != caseName)
        return false;
    run->ok = match.captured(2) == QLatin1String("1");
    run->blocks = match.captured(3).toUInt();
    run->seconds = match.captured(4).toDouble();
    run->cpu = match.captured(5).toDouble();
    run->peakKb = match.captured(6).toLong();
    run->tabShowMs = match.captured(7).toDouble();
    run->checksumMs = match.captured(8).toDouble();
    run->stallMs = match.captured(9).toDouble();
    run->logFillMs = match.captured(10).toDouble();
    run->fillStallMs = match.captured(11).toDouble();
    run->error = match.captured(12).trimmed();
    return true;
}

} // namespace bench
