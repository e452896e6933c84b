#include "jsonreport.h"

#include "runrecord.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QTextStream>

namespace {

template <typename Enum>
QString nameOf(Enum value)
{
    const char *key = QMetaEnum::fromType<Enum>().valueToKey(int(value));
    return key ? QString::fromLatin1(key) : QString::number(int(value));
}

QJsonArray addresses(const QList<QHostAddress> &devices)
{
    QJsonArray list;
    for (const QHostAddress &device : devices)
        list.append(device.toString());
    return list;
}

} // namespace

JsonReport::JsonReport(QTextStream &out, QTextStream &err)
    : _out(out)
    , _err(err)
{
}

void JsonReport::write(const char *event, QJsonObject fields, const QHostAddress &device)
{
    fields.insert(QStringLiteral("v"), kVersion);
    fields.insert(QStringLiteral("event"), QString::fromLatin1(event));
    fields.insert(QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    if (!device.isNull())
        fields.insert(QStringLiteral("device"), device.toString());
    _out << QString::fromUtf8(QJsonDocument(fields).toJson(QJsonDocument::Compact)) << '\n';
    _out.flush();
}

void JsonReport::images(const QList<Image> &images)
{
    QJsonArray files;
    for (const Image &image : images) {
        files.append(QJsonObject{
            {QStringLiteral("number"), image.number},
            {QStringLiteral("name"), QFileInfo(image.path).fileName()},
            {QStringLiteral("path"), image.path},
            {QStringLiteral("size"), image.size},
            {QStringLiteral("checksum"), QStringLiteral("%1").arg(image.checksum, 8, 16, QLatin1Char('0'))},
        });
    }
    write("images", {{QStringLiteral("images"), files}});
}

void JsonReport::attempt(const QHostAddress &device, int number, int of)
{
    write("attempt", {{QStringLiteral("attempt"), number}, {QStringLiteral("of"), of}}, device);
}

void JsonReport::attemptFailed(const QHostAddress &device, int number, int of, const OperationResult &result,
                               const QString &reason, std::chrono::milliseconds pause)
{
    write("attempt-failed",
          {{QStringLiteral("attempt"), number},
           {QStringLiteral("of"), of},
           {QStringLiteral("outcome"), nameOf(result.outcome)},
           {QStringLiteral("reason"), reason},
           {QStringLiteral("retryInMs"), qint64(pause.count())}},
          device);
    _pacer.forget(device);
}

void JsonReport::connected(const QHostAddress &device)
{
    write("connected", {}, device);
}

void JsonReport::erased(const QHostAddress &device)
{
    write("erased", {}, device);
}

void JsonReport::progress(const QHostAddress &device, int image, quint32 blocksDone, quint32 blocksTotal)
{
    if (!_pacer.due(device))
        return;
    write("progress",
          {{QStringLiteral("image"), image},
           {QStringLiteral("blocksDone"), qint64(blocksDone)},
           {QStringLiteral("blocksTotal"), qint64(blocksTotal)}},
          device);
}

void JsonReport::imageDone(const QHostAddress &device, const OperationResult &result)
{
    // The quiet spells around the last block are a fixed cost per image:
    // who times the transfer can leave them out.
    write("image-done",
          {{QStringLiteral("image"), result.fileNumber},
           {QStringLiteral("blocks"), qint64(result.blockCount)},
           {QStringLiteral("quietMs"), qint64(result.quietTime.count())}},
          device);
}

void JsonReport::deviceDone(const QHostAddress &device, const OperationResult &result, int imagesDone,
                            FleetUpdate::Erasure erasure, const QString &reason, int attempts)
{
    QJsonObject fields{
        {QStringLiteral("outcome"), nameOf(result.outcome)},
        {QStringLiteral("reason"), reason},
        {QStringLiteral("operation"), nameOf(result.operation)},
        {QStringLiteral("imagesDone"), imagesDone},
        {QStringLiteral("erased"), RunRecord::erasedWord(erasure)},
        {QStringLiteral("attempts"), attempts},
    };
    if (result.operation == OperationResult::Operation::Image && result.fileNumber > 0)
        fields.insert(QStringLiteral("image"), result.fileNumber);
    write("device-done", fields, device);
    _pacer.forget(device);
}

void JsonReport::summary(const Summary &summary)
{
    QJsonObject attempts;
    for (const auto &[device, count] : summary.attempts)
        attempts.insert(device.toString(), count);
    write("summary", {
                         {QStringLiteral("devices"), summary.devices()},
                         {QStringLiteral("succeeded"), int(summary.succeeded.size())},
                         {QStringLiteral("failed"), int(summary.failed.size())},
                         {QStringLiteral("aborted"), int(summary.aborted.size())},
                         {QStringLiteral("failedDevices"), addresses(summary.failed)},
                         {QStringLiteral("abortedDevices"), addresses(summary.aborted)},
                         {QStringLiteral("attempts"), attempts},
                         {QStringLiteral("exitCode"), summary.exitCode},
                     });
}

void JsonReport::stopped(int exitCode, const QString &message)
{
    _err << message << '\n';
    _err.flush();
    write("error", {{QStringLiteral("exitCode"), exitCode}, {QStringLiteral("message"), message}});
}

void JsonReport::found(const QHostAddress &device)
{
    write("found", {}, device);
}

void JsonReport::scanSummary(int found, int probed, int exitCode)
{
    write("summary", {
                         {QStringLiteral("found"), found},
                         {QStringLiteral("probed"), probed},
                         {QStringLiteral("exitCode"), exitCode},
                     });
}
