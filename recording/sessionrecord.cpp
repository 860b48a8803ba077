#include "sessionrecord.h"

#include "firmware.h"

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

QByteArray SessionRecord::transaction(const ModbusTransaction &t)
{
    using ModbusProtocol::ResponseKind;
    const ModbusProtocol::Judgement &j = t.judgement;
    switch (j.kind) {
    case ResponseKind::PersistentBlock:
        persistentRead(j.persistentValues);
        return QByteArray();
    case ResponseKind::VolatileBlock:
        return volatileRead(t.sentAt, j.volatileValues);
    case ResponseKind::WriteEcho:
        return event(t.sentAt, Event::Write, ModbusProtocol::describeRequest(t.request));
    case ResponseKind::NoAnswer:
    case ResponseKind::CrcError:
    case ResponseKind::Exception:
    case ResponseKind::UnexpectedLength:
    case ResponseKind::PortFailure:
        break;
    }
    // The status-bar text, and what was asked unless the text says so already.
    QString message = ModbusProtocol::statusText(j, t.request);
    const QString asked = ModbusProtocol::describeRequest(t.request);
    if (!message.contains(asked))
        message += QStringLiteral(" (%1)").arg(asked);
    return event(t.sentAt, Event::Error, message);
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
