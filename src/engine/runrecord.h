#ifndef RUNRECORD_H
#define RUNRECORD_H

#include "fleetupdate.h"
#include "operationresult.h"

#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QString>

// What one run did, kept for afterwards: which program and images, from
// which adapter, and how each device ended. Written as one JSON object or
// as CSV, one row per device; times in UTC, ISO 8601 with milliseconds.
struct RunRecord {
    enum class Format { Unknown, Json, Csv };

    struct Image {
        int number = 0;
        QString name;
        qint64 size = 0;
        quint32 checksum = 0;  // as the last block carries it
    };

    struct Device {
        QHostAddress address;
        QDateTime startedAt;  // null: never started
        QDateTime endedAt;
        OperationResult::Outcome outcome = OperationResult::Outcome::Aborted;
        QString reason;       // empty on success
        int attempts = 0;
        FleetUpdate::Erasure erasure = FleetUpdate::Erasure::No;
    };

    QString program;
    QString version = QStringLiteral(VARNEL_VERSION);
    QString adapterName;
    QHostAddress adapterAddress;
    QList<Image> images;
    QDateTime startedAt;
    QDateTime endedAt;
    QList<Device> devices;

    // By the file name's extension: .json or .csv, in any case.
    static Format formatOf(const QString &path);
    // "no", "possibly" or "yes", as the JSON lines say it too.
    static QString erasedWord(FleetUpdate::Erasure erasure);
    static Device deviceOf(const FleetUpdate::DeviceReport &report, const QString &reason);

    QByteArray toJson() const;
    // RFC 4180: CRLF line ends, a header row.
    QByteArray toCsv() const;
    QByteArray serialized(Format format) const;
};

#endif // RUNRECORD_H
