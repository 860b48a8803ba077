#include "reading.h"

#include "recordformat.h"
#include "valueformat.h"

#include <cmath>

namespace Commissioning {

namespace {

    struct Quantity
    {
        const char *key;
        const char *column;
        const char *caption;
        const char *unit;
        bool calculated;
        double (*value)(const ModbusProtocol::VolatileValues &);
    };

    // The window's captions and units, in its order.
    const Quantity quantities[] = {
        { "temperature", "temperature_degC", "Temperature", "°C", false,
          [](const ModbusProtocol::VolatileValues &v) { return double(v.temperature); } },
        { "temperature_alarm", "temperature_alarm", "Temperature alarm", "", false,
          [](const ModbusProtocol::VolatileValues &v) { return double(v.temperatureAlarm); } },
        { "relative_humidity", "relative_humidity_pct", "Humidity", "% r.H.", false,
          [](const ModbusProtocol::VolatileValues &v) { return double(v.humidity); } },
        { "humidity_alarm", "humidity_alarm", "Humidity alarm", "", false,
          [](const ModbusProtocol::VolatileValues &v) { return double(v.humidityAlarm); } },
        { "dew_point", "dew_point_degC", "Dew-point temperature", "°C", true,
          [](const ModbusProtocol::VolatileValues &v) { return double(v.dewPointTemperature); } },
        { "enthalpy", "enthalpy_kJ_per_kg", "Enthalpy", "kJ/kg", true,
          [](const ModbusProtocol::VolatileValues &v) { return double(v.enthalpy); } },
        { "mixing_ratio", "mixing_ratio_g_per_kg", "Mixing ratio", "g/kg", true,
          [](const ModbusProtocol::VolatileValues &v) { return double(v.mixingRatio); } },
        { "absolute_humidity", "absolute_humidity_g_per_m3", "Absolute humidity", "g/m³", true,
          [](const ModbusProtocol::VolatileValues &v) { return double(v.absoluteHumidity); } },
        { "wet_bulb", "wet_bulb_degC", "Wet-bulb temperature", "°C", true,
          [](const ModbusProtocol::VolatileValues &v) { return double(v.wetBulbTemperature); } },
        { "hx_alarm", "hx_alarm", "Hx alarm", "", true,
          [](const ModbusProtocol::VolatileValues &v) { return double(v.hxAlarm); } },
    };

    const char *const csvColumns[] = {
        "time",
        "temperature_degC",
        "temperature_alarm",
        "relative_humidity_pct",
        "humidity_alarm",
        "probe_serial",
        "transmitter_serial",
        "dew_point_degC",
        "enthalpy_kJ_per_kg",
        "mixing_ratio_g_per_kg",
        "absolute_humidity_g_per_m3",
        "wet_bulb_degC",
        "hx_alarm",
        "firmware",
        "transmitter_address",
        "feature_set",
        "housing",
        "baud_rate",
        "parity",
        "stop_bits",
    };

    // The shortest text that reads back as the same float.
    QString line(const QString &caption, const QString &value)
    {
        return (caption + QLatin1Char(':')).leftJustified(28) + value;
    }

} // namespace

Firmware::FeatureSet featureSet(const ModbusProtocol::PersistentValues &p)
{
    return Firmware::featureSet(p.year, p.month, p.day);
}

QString firmwareText(const ModbusProtocol::PersistentValues &p)
{
    return Firmware::text(p.firmwareId, p.year, p.month, p.day);
}

Communication communication(const ModbusProtocol::PersistentValues &p)
{
    if (!Firmware::setsLineParameters(featureSet(p)))
        return { p.address, QStringLiteral("19200"), QStringLiteral("None"), QStringLiteral("1") };
    return { p.address, p.baudRate, p.parity, p.stopBits };
}

bool hasTransmitterSerial(const ModbusProtocol::PersistentValues &p)
{
    return Firmware::carriesTransmitterSerial(featureSet(p), p.housing);
}

QString Measurement::text() const
{
    if (!*unit)
        return ValueFormat::integer(int(value));
    return ValueFormat::decimal(float(value));
}

QVector<Measurement> measurements(const Reading &reading)
{
    const bool calculates = Firmware::calculatesValues(featureSet(reading.persistent));
    QVector<Measurement> result;
    for (const Quantity &q : quantities)
        result.append({ q.key, q.column, q.caption, q.unit, calculates || !q.calculated,
                        q.value(reading.values) });
    return result;
}

QStringList textLines(const Reading &reading)
{
    const ModbusProtocol::PersistentValues &p = reading.persistent;
    const Communication c = communication(p);
    QStringList lines;
    lines << line(QStringLiteral("Firmware"),
                  QStringLiteral("%1 (feature set %2)")
                      .arg(firmwareText(p), Firmware::featureSetName(featureSet(p))));
    lines << line(QStringLiteral("Housing"), ValueFormat::integer(p.housing));
    lines << line(QStringLiteral("Serial number probe"),
                  ValueFormat::integer(reading.values.serialNumber));
    if (hasTransmitterSerial(p))
        lines << line(QStringLiteral("Serial number transmitter"),
                      ValueFormat::integer(reading.values.serialNumberTr));
    lines << line(QStringLiteral("Address"), ValueFormat::integer(c.address));
    lines << line(QStringLiteral("Baud rate"), c.baudRate);
    lines << line(QStringLiteral("Parity"), c.parity);
    lines << line(QStringLiteral("Stop bits"), c.stopBits);
    for (const Measurement &m : measurements(reading)) {
        if (m.present)
            lines << line(QLatin1String(m.caption),
                          *m.unit ? m.text() + QLatin1Char(' ') + QString::fromUtf8(m.unit)
                                  : m.text());
    }
    return lines;
}

QString monitorLine(const Reading &reading, const QDateTime &time)
{
    QStringList parts { RecordFormat::timeText(time) };
    for (const Measurement &m : measurements(reading)) {
        if (m.present)
            parts << QStringLiteral("%1 %2%3").arg(
                QString::fromLatin1(m.key).replace(QLatin1Char('_'), QLatin1Char(' ')), m.text(),
                *m.unit ? QLatin1Char(' ') + QString::fromUtf8(m.unit) : QString());
    }
    return parts.join(QLatin1String(", "));
}

QString csvHeader()
{
    QStringList columns;
    for (const char *column : csvColumns)
        columns << QLatin1String(column);
    return columns.join(QLatin1Char(','));
}

QString csvRow(const Reading &reading, const QDateTime &time)
{
    const ModbusProtocol::PersistentValues &p = reading.persistent;
    const Communication c = communication(p);
    const QVector<Measurement> m = measurements(reading);
    auto field = [&m](int index) {
        if (!m[index].present)
            return QString();
        return *m[index].unit ? RecordFormat::decimalText(float(m[index].value))
                              : ValueFormat::integer(int(m[index].value));
    };
    QStringList fields { RecordFormat::timeText(time), field(0), field(1), field(2), field(3) };
    fields << ValueFormat::integer(reading.values.serialNumber)
           << (hasTransmitterSerial(p) ? ValueFormat::integer(reading.values.serialNumberTr)
                                       : QString());
    for (int i = 4; i < m.size(); ++i)
        fields << field(i);
    fields << RecordFormat::field(firmwareText(p)) << ValueFormat::integer(c.address)
           << Firmware::featureSetName(featureSet(p)) << ValueFormat::integer(p.housing)
           << c.baudRate << c.parity << c.stopBits;
    return fields.join(QLatin1Char(','));
}

} // namespace Commissioning
