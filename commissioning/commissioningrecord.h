#ifndef COMMISSIONINGRECORD_H
#define COMMISSIONINGRECORD_H

#include "reading.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

// The commissioning record: what left the bench, as one JSON document. Its form is
// docs/commissioning-record.schema.json; a change of form raises schemaVersion there and here.
namespace Commissioning {

constexpr int schemaVersion = 1;

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
};

QJsonObject toJson(const Record &record);
QByteArray toDocument(const Record &record); // indented, with a final newline

// Writes the document to a file atomically; false with *error set to the reason otherwise.
bool write(const Record &record, const QString &fileName, QString *error);

} // namespace Commissioning

#endif // COMMISSIONINGRECORD_H
