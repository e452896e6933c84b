#include "runrecord.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QStringList>

namespace {

QString timeText(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QJsonValue timeValue(const QDateTime &time)
{
    return time.isValid() ? QJsonValue(timeText(time)) : QJsonValue();
}

QString outcomeName(OperationResult::Outcome outcome)
{
    return QString::fromLatin1(QMetaEnum::fromType<OperationResult::Outcome>().valueToKey(int(outcome)));
}

QString hex32(quint32 value)
{
    return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0'));
}

// Quoted only when it must be; a quote inside is doubled.
QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n'))
        && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString csvRow(const QStringList &fields)
{
    QStringList quoted;
    for (const QString &field : fields)
        quoted.append(csvField(field));
    return quoted.join(QLatin1Char(',')) + QStringLiteral("\r\n");
}

} // namespace

RunRecord::Format RunRecord::formatOf(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("json"))
        return Format::Json;
    if (suffix == QLatin1String("csv"))
        return Format::Csv;
    return Format::Unknown;
}

QString RunRecord::erasedWord(FleetUpdate::Erasure erasure)
{
    switch (erasure) {
    case FleetUpdate::Erasure::No:
        break;
    case FleetUpdate::Erasure::Possibly:
        return QStringLiteral("possibly");
    case FleetUpdate::Erasure::Yes:
        return QStringLiteral("yes");
    }
    return QStringLiteral("no");
}

RunRecord::Device RunRecord::deviceOf(const FleetUpdate::DeviceReport &report, const QString &reason)
{
    Device device;
    device.address = report.device;
    device.startedAt = report.startedAt;
    device.endedAt = report.endedAt;
    // A device not through when the run ended did not succeed.
    device.outcome = report.done ? report.result.outcome : OperationResult::Outcome::Aborted;
    device.reason = report.ok() ? QString() : reason;
    device.attempts = report.attempts;
    device.erasure = report.erasure;
    return device;
}

QByteArray RunRecord::toJson() const
{
    QJsonArray imageList;
    for (const Image &image : images) {
        imageList.append(QJsonObject{
            {QStringLiteral("number"), image.number},
            {QStringLiteral("name"), image.name},
            {QStringLiteral("size"), image.size},
            {QStringLiteral("checksum"), hex32(image.checksum)},
        });
    }
    QJsonArray deviceList;
    for (const Device &device : devices) {
        deviceList.append(QJsonObject{
            {QStringLiteral("device"), device.address.toString()},
            {QStringLiteral("start"), timeValue(device.startedAt)},
            {QStringLiteral("end"), timeValue(device.endedAt)},
            {QStringLiteral("outcome"), outcomeName(device.outcome)},
            {QStringLiteral("reason"), device.reason},
            {QStringLiteral("attempts"), device.attempts},
            {QStringLiteral("erased"), erasedWord(device.erasure)},
        });
    }
    const QJsonObject record{
        {QStringLiteral("program"), program},
        {QStringLiteral("version"), version},
        {QStringLiteral("adapter"), adapterName},
        {QStringLiteral("adapterAddress"), adapterAddress.toString()},
        {QStringLiteral("start"), timeValue(startedAt)},
        {QStringLiteral("end"), timeValue(endedAt)},
        {QStringLiteral("images"), imageList},
        {QStringLiteral("devices"), deviceList},
    };
    return QJsonDocument(record).toJson(QJsonDocument::Indented);
}

QByteArray RunRecord::toCsv() const
{
    // One row per device, the run's own fields repeated on each, so every
    // row stands on its own in a spreadsheet.
    QStringList header{QStringLiteral("device"),  QStringLiteral("start"),       QStringLiteral("end"),
                       QStringLiteral("outcome"), QStringLiteral("reason"),      QStringLiteral("attempts"),
                       QStringLiteral("erased"),  QStringLiteral("program"),     QStringLiteral("version"),
                       QStringLiteral("adapter"), QStringLiteral("adapter address"), QStringLiteral("run start"),
                       QStringLiteral("run end")};
    QStringList run{program, version, adapterName, adapterAddress.toString(), timeText(startedAt), timeText(endedAt)};
    for (const Image &image : images) {
        header << QStringLiteral("image %1").arg(image.number) << QStringLiteral("image %1 size").arg(image.number)
               << QStringLiteral("image %1 checksum").arg(image.number);
        run << image.name << QString::number(image.size) << hex32(image.checksum);
    }
    QString text = csvRow(header);
    for (const Device &device : devices) {
        text += csvRow(QStringList{device.address.toString(), timeText(device.startedAt), timeText(device.endedAt),
                                   outcomeName(device.outcome), device.reason, QString::number(device.attempts),
                                   erasedWord(device.erasure)}
                       + run);
    }
    return text.toUtf8();
}

QByteArray RunRecord::serialized(Format format) const
{
    switch (format) {
    case Format::Json:
        return toJson();
    case Format::Csv:
        return toCsv();
    case Format::Unknown:
        break;
    }
    return QByteArray();
}
