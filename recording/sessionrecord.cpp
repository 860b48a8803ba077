#include "sessionrecord.h"

#include "firmwarestandin.h"

using RecordFormat::Event;

QByteArray SessionRecord::connected(const QDateTime &time, const QString &port)
{
    current = RecordFormat::Context();
    return event(time, Event::Connect, port);
}

QByteArray SessionRecord::disconnected(const QDateTime &time, const QString &port)
{
    current = RecordFormat::Context();
    return event(time, Event::Disconnect, port);
}

void SessionRecord::persistentRead(const ModbusProtocol::PersistentValues &values)
{
    const Firmware::FeatureSet set = Firmware::featureSet(values.year, values.month, values.day);
    const QString text = Firmware::text(values.firmwareId, values.year, values.month, values.day);
    // Housing code 0 says nothing about the serial number: the same transmitter keeps what it
    // said before, as in the window.
    if (values.housing != 0 || text != current.firmware)
        current.transmitterSerial = Firmware::carriesTransmitterSerial(set, values.housing);
    current.firmware = text;
    current.address = values.address;
    current.calculatedValues = Firmware::calculatesValues(set);
}

QByteArray SessionRecord::volatileRead(const QDateTime &time,
                                       const ModbusProtocol::VolatileValues &values)
{
    return RecordFormat::readingRow(time, values, current);
}

QByteArray SessionRecord::event(const QDateTime &time, Event event, const QString &message)
{
    return RecordFormat::eventRow(time, event, message, current);
}
