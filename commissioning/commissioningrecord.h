#ifndef COMMISSIONINGRECORD_H
#define COMMISSIONINGRECORD_H

#include "acceptancecheck.h"
#include "reading.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

// The commissioning record: what left the bench, as one JSON document. Its form is
// docs/commissioning-record.schema.json; a change of form raises schemaVersion there and here.
// A record without any field of version 2 is still written as version 1, byte for byte as
// before, so that scripts reading plain records need no change.
namespace Commissioning {

constexpr int schemaVersion = 2;

struct ReferenceInstrument
{
    QString instrument;
    QString serialNumber; // empty: not recorded
    QDate calibrationDue; // null: not recorded
};

struct Acceptance
{
    Settling settling;
    QVector<PointResult> points; // up to maximumPoints
};

struct Record
{
    QDateTime time;
    QString tool;        // "quorvel-setup-cli" or "quorvel-setup"
    QString toolVersion; // "2.0.0"
    QString port;
    Reading reading;
    // Written by set: the parameters before its writes; after them is the reading's.
    bool changed = false;
    Communication before;

    // Version 2: where the unit went, who set it up, and the acceptance check.
    QString tag;
    QString location;
    QString technician;
    std::optional<ReferenceInstrument> reference;
    std::optional<Acceptance> acceptance;
    // Blocks whose last read failed, so that their values are those of an earlier read:
    // the measured values with the serial numbers, and the communication settings with the
    // firmware and housing.
    bool staleMeasurement = false;
    bool staleConfiguration = false;
};

// 1 for a record with none of the version 2 fields, else 2.
int versionOf(const Record &record);

QJsonObject toJson(const Record &record);
QByteArray toDocument(const Record &record); // indented, with a final newline

// Writes the document to a file atomically; false with *error set to the reason otherwise.
bool write(const Record &record, const QString &fileName, QString *error);

} // namespace Commissioning

#endif // COMMISSIONINGRECORD_H
