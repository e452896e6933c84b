#include "caseresult.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace bench {

namespace {

struct Figure
{
    const char *key;
    double CaseResult::*member;
};

// Every figure that is a plain number; -1 stands for "not measured".
const Figure kFigures[] = {
    {"seconds", &CaseResult::seconds},
    {"quiet_ms", &CaseResult::quietMs},
    {"cpu_s", &CaseResult::cpu},
    {"tab_show_ms", &CaseResult::tabShowMs},
    {"log_fill_ms", &CaseResult::logFillMs},
    {"fill_stall_ms", &CaseResult::fillStallMs},
    {"checksum_ms", &CaseResult::checksumMs},
    {"stall_ms", &CaseResult::stallMs},
    {"stall_p99_ms", &CaseResult::stallP99Ms},
    {"own_stall_ms", &CaseResult::ownStallMs},
    {"strays_sent", &CaseResult::straysSent},
    {"strays_per_s", &CaseResult::strayRate},
    {"receive_buffer_drops", &CaseResult::receiveBufferDrops},
    {"pause_ms", &CaseResult::pauseMs},
    {"simulator_cpu_s", &CaseResult::simulatorCpu},
    {"startup_ms", &CaseResult::startupMs},
    {"datagrams", &CaseResult::datagrams},
};

} // namespace

bool writeResultFile(const QString &path, const QString &caseName, const CaseResult &result, QString *error)
{
    QJsonObject object{
        {QStringLiteral("case"), caseName},
        {QStringLiteral("ok"), result.ok},
        {QStringLiteral("error"), result.error},
        {QStringLiteral("blocks"), qint64(result.blocks)},
        {QStringLiteral("peak_kb"), qint64(result.peakKb)},
    };
    for (const Figure &figure : kFigures)
        object.insert(QLatin1String(figure.key), result.*figure.member);

    // Whole or not at all: a child killed half-way leaves no file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(object).toJson()) < 0 || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

std::optional<CaseResult> readResultFile(const QString &path, const QString &caseName, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("no result file: %1").arg(file.errorString());
        return std::nullopt;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject()) {
        *error = QStringLiteral("result is not a JSON object: %1").arg(parseError.errorString());
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    if (object.value(QLatin1String("case")).toString() != caseName) {
        *error = QStringLiteral("result is of case \"%1\"").arg(object.value(QLatin1String("case")).toString());
        return std::nullopt;
    }
    const auto lacks = [&](const char *key, bool present) {
        if (!present)
            *error = QStringLiteral("result lacks \"%1\"").arg(QLatin1String(key));
        return !present;
    };

    CaseResult result;
    const QJsonValue ok = object.value(QLatin1String("ok"));
    const QJsonValue message = object.value(QLatin1String("error"));
    const QJsonValue blocks = object.value(QLatin1String("blocks"));
    const QJsonValue peakKb = object.value(QLatin1String("peak_kb"));
    if (lacks("ok", ok.isBool()) || lacks("error", message.isString()) || lacks("blocks", blocks.isDouble())
        || lacks("peak_kb", peakKb.isDouble()))
        return std::nullopt;
    result.ok = ok.toBool();
    result.error = message.toString();
    result.blocks = quint32(blocks.toInteger());
    result.peakKb = long(peakKb.toInteger());
    for (const Figure &figure : kFigures) {
        const QJsonValue value = object.value(QLatin1String(figure.key));
        if (lacks(figure.key, value.isDouble()))
            return std::nullopt;
        result.*figure.member = value.toDouble();
    }
    return result;
}

} // namespace bench
