#include "commissioningrecord.h"

#include "recordformat.h"

#include <QJsonArray>
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

    // Figures to the hundredth as the window shows them; null for NaN or an infinity.
    QJsonValue figure(double value)
    {
        if (!std::isfinite(value))
            return QJsonValue(QJsonValue::Null);
        return std::llround(value * 100) / 100.0;
    }

    QJsonObject quantityJson(const QuantityResult &q, const char *unit)
    {
        return { { "unit", QString::fromUtf8(unit) },
                 { "reference", q.reference ? figure(*q.reference) : QJsonValue::Null },
                 { "mean", figure(q.mean) },
                 { "spread", figure(q.spread) },
                 { "deviation", q.reference ? figure(q.deviation) : QJsonValue::Null },
                 { "tolerance", figure(q.tolerance) },
                 { "verdict", verdictText(q.verdict) } };
    }

    QJsonObject acceptanceJson(const Acceptance &a)
    {
        QJsonArray points;
        for (const PointResult &p : a.points)
            points.append(QJsonObject { { "time", RecordFormat::timeText(p.time) },
                                        { "reads", p.reads },
                                        { "settled", p.settled },
                                        { "temperature", quantityJson(p.temperature, "°C") },
                                        { "relative_humidity", quantityJson(p.humidity, "% r.H.") },
                                        { "verdict", verdictText(p.verdict) } });
        return { { "settling",
                   QJsonObject { { "reads", a.settling.reads },
                                 { "temperature_spread", a.settling.temperatureSpread },
                                 { "humidity_spread", a.settling.humiditySpread },
                                 { "timeout_s", a.settling.timeoutSeconds } } },
                 { "points", points },
                 { "verdict", verdictText(overallVerdict(a.points)) } };
    }

} // namespace

int versionOf(const Record &record)
{
    const bool second = !record.tag.isEmpty() || !record.location.isEmpty()
        || !record.technician.isEmpty() || record.reference || record.acceptance
        || record.staleMeasurement || record.staleConfiguration;
    return second ? 2 : 1;
}

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
        { "schema_version", versionOf(record) },
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

    const QPair<const char *, QString> texts[] = { { "tag", record.tag },
                                                   { "location", record.location },
                                                   { "technician", record.technician } };
    for (const auto &text : texts) {
        if (!text.second.isEmpty())
            json.insert(QLatin1String(text.first), text.second);
    }
    if (record.reference) {
        QJsonObject reference { { "instrument", record.reference->instrument } };
        if (!record.reference->serialNumber.isEmpty())
            reference.insert("serial_number", record.reference->serialNumber);
        if (record.reference->calibrationDue.isValid())
            reference.insert("calibration_due",
                             record.reference->calibrationDue.toString(Qt::ISODate));
        json.insert("reference", reference);
    }
    if (record.acceptance)
        json.insert("acceptance", acceptanceJson(*record.acceptance));
    QJsonArray stale;
    if (record.staleMeasurement)
        stale.append(QStringLiteral("measurement"));
    if (record.staleConfiguration)
        stale.append(QStringLiteral("configuration"));
    if (!stale.isEmpty())
        json.insert("stale", stale);
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
