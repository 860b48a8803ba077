#include "commissioningrecord.h"

#include "recordformat.h"

#include <QJsonDocument>
#include <QSaveFile>

#include <cmath>

namespace Commissioning {

namespace {

    // A coded parameter as JSON: the baud rate and stop bits as numbers, the parity as a word;
    // null for a code outside its table.
    QJsonObject communicationJson(const Communication &c)
    {
        auto number = [](const QString &text) {
            bool ok = false;
            const int value = text.toInt(&ok);
            return ok ? QJsonValue(value) : QJsonValue(QJsonValue::Null);
        };
        return { { "address", c.address },
                 { "baud_rate", number(c.baudRate) },
                 { "parity",
                   c.parity.isEmpty() ? QJsonValue(QJsonValue::Null)
                                      : QJsonValue(c.parity.toLower()) },
                 { "stop_bits", number(c.stopBits) } };
    }

    // The value as the window shows it (nearest hundredth); JSON has no NaN or infinity, so
    // those become null rather than a made-up number.
    QJsonValue measurementValue(const Measurement &m)
    {
        if (!std::isfinite(m.value))
            return QJsonValue(QJsonValue::Null);
        if (!*m.unit)
            return int(m.value);
        return m.text().toDouble();
    }

} // namespace

QJsonObject toJson(const Record &record)
{
    const ModbusProtocol::PersistentValues &p = record.reading.persistent;
    const Firmware::FeatureSet set = featureSet(p);

    QJsonObject firmware { { "id", p.firmwareId },
                           { "text", firmwareText(p) },
                           { "feature_set", Firmware::featureSetName(set) } };
    if (set != Firmware::FeatureSet::Legacy)
        firmware.insert("date",
                        QStringLiteral("%1-%2-%3")
                            .arg(p.year, 4, 10, QLatin1Char('0'))
                            .arg(p.month, 2, 10, QLatin1Char('0'))
                            .arg(p.day, 2, 10, QLatin1Char('0')));
    QJsonObject transmitter { { "probe_serial", record.reading.values.serialNumber },
                              { "firmware", firmware },
                              { "housing", p.housing } };
    if (hasTransmitterSerial(p))
        transmitter.insert("transmitter_serial", record.reading.values.serialNumberTr);

    QJsonObject reading;
    for (const Measurement &m : measurements(record.reading)) {
        if (!m.present)
            continue;
        QJsonObject value { { "value", measurementValue(m) } };
        if (*m.unit)
            value.insert("unit", QString::fromUtf8(m.unit));
        reading.insert(QLatin1String(m.key), value);
    }

    const Communication now = communication(p);
    QJsonObject json {
        { "schema_version", schemaVersion },
        { "time", RecordFormat::timeText(record.time) },
        { "tool", QJsonObject { { "name", record.tool }, { "version", record.toolVersion } } },
        { "port", record.port },
        { "transmitter", transmitter },
        { "communication", communicationJson(now) },
        { "reading", reading }
    };
    if (record.changed)
        json.insert("change",
                    QJsonObject { { "before", communicationJson(record.before) },
                                  { "after", communicationJson(now) } });
    return json;
}

QByteArray toDocument(const Record &record)
{
    return QJsonDocument(toJson(record)).toJson(QJsonDocument::Indented);
}

bool write(const Record &record, const QString &fileName, QString *error)
{
    // A record is either whole or not there: a half-written one would pass for a unit's record.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(toDocument(record)) < 0 || !file.commit()) {
        *error = QStringLiteral("Can't write %1: %2").arg(fileName, file.errorString());
        return false;
    }
    return true;
}

} // namespace Commissioning
