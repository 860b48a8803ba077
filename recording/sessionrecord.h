#ifndef SESSIONRECORD_H
#define SESSIONRECORD_H

#include "modbusprotocol.h"
#include "modbustransaction.h"
#include "recordformat.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// Turns what happens on the line into record rows. It follows the transmitter's reports as the
// window does: the firmware text and address last reported, and from the feature set whether
// the calculated values and the transmitter's own serial number are there to be written.
class SessionRecord
{
public:
    // Connecting and disconnecting forget the transmitter: the window then shows "---".
    QByteArray connected(const QDateTime &time, const QString &port);
    QByteArray disconnected(const QDateTime &time, const QString &port);

    // The row a transaction adds to the record; empty for a persistent read, which only
    // updates the firmware and address that the next rows carry.
    QByteArray transaction(const ModbusTransaction &t);

    void persistentRead(const ModbusProtocol::PersistentValues &values);
    QByteArray volatileRead(const QDateTime &time, const ModbusProtocol::VolatileValues &values);
    QByteArray event(const QDateTime &time, RecordFormat::Event event, const QString &message);

    const RecordFormat::Context &context() const { return current; }

private:
    RecordFormat::Context current;
};

#endif // SESSIONRECORD_H
