#include "recordformat.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace RecordFormat {

const QStringList &columns()
{
    static const QStringList names = {
        QStringLiteral("time"),
        QStringLiteral("event"),
        QStringLiteral("temperature_degC"),
        QStringLiteral("temperature_alarm"),
        QStringLiteral("relative_humidity_pct"),
        QStringLiteral("humidity_alarm"),
        QStringLiteral("probe_serial"),
        QStringLiteral("transmitter_serial"),
        QStringLiteral("dew_point_degC"),
        QStringLiteral("enthalpy_kJ_per_kg"),
        QStringLiteral("mixing_ratio_g_per_kg"),
        QStringLiteral("absolute_humidity_g_per_m3"),
        QStringLiteral("wet_bulb_degC"),
        QStringLiteral("hx_alarm"),
        QStringLiteral("firmware"),
        QStringLiteral("transmitter_address"),
        QStringLiteral("message"),
    };
    return names;
}

namespace {

    QByteArray row(const QStringList &fields)
    {
        Q_ASSERT(fields.size() == columns().size());
        return fields.join(QLatin1Char(',')).toUtf8() + '\n';
    }

    QString integerText(int value)
    {
        return QString::number(value);
    }

    // The cells after the values: firmware, transmitter_address, message.
    void appendContext(QStringList &fields, const Context &context, const QString &message)
    {
        fields << field(context.firmware)
               << (context.address >= 0 ? integerText(context.address) : QString())
               << field(message);
    }

} // namespace

QByteArray headerRow()
{
    return row(columns());
}

QByteArray readingRow(const QDateTime &time, const ModbusProtocol::VolatileValues &values,
                      const Context &context)
{
    const bool calculated = context.calculatedValues;
    // A value that the window shows as "---" is an empty cell.
    auto calculatedDecimal = [calculated](float value) {
        return calculated ? decimalText(value) : QString();
    };
    QStringList fields;
    fields.reserve(columns().size());
    fields << timeText(time) << eventName(Event::Reading) << decimalText(values.temperature)
           << integerText(values.temperatureAlarm) << decimalText(values.humidity)
           << integerText(values.humidityAlarm) << integerText(values.serialNumber)
           << (context.transmitterSerial ? integerText(values.serialNumberTr) : QString())
           << calculatedDecimal(values.dewPointTemperature) << calculatedDecimal(values.enthalpy)
           << calculatedDecimal(values.mixingRatio) << calculatedDecimal(values.absoluteHumidity)
           << calculatedDecimal(values.wetBulbTemperature)
           << (calculated ? integerText(values.hxAlarm) : QString());
    appendContext(fields, context, QString());
    return row(fields);
}

QByteArray eventRow(const QDateTime &time, Event event, const QString &message,
                    const Context &context)
{
    QStringList fields;
    fields.reserve(columns().size());
    fields << timeText(time) << eventName(event);
    for (int i = 0; i < 12; ++i)
        fields << QString();
    appendContext(fields, context, message);
    return row(fields);
}

QString timeText(const QDateTime &time)
{
    // Composed from numbers rather than a date format, which would follow the user's locale.
    const QDate d = time.date();
    const QTime t = time.time();
    const int offset = time.offsetFromUtc() / 60;
    const int offsetMagnitude = std::abs(offset);
    // The C library's formatting: QString::asprintf costs several times as much, once a reading.
    char text[48];
    const int length =
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", d.year(),
                      d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec(),
                      offset < 0 ? '-' : '+', offsetMagnitude / 60, offsetMagnitude % 60);
    return QString::fromLatin1(text, qBound(0, length, int(sizeof text) - 1));
}

QString decimalText(float value)
{
    if (std::isnan(value))
        return QStringLiteral("nan"); // to_chars would write "-nan" for a NaN with its sign set
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return QString::fromLatin1(text, int(result.ptr - text));
}

QString field(const QString &text)
{
    QString cleaned = text;
    bool quote = false;
    for (QChar &c : cleaned) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QChar::ReplacementCharacter;
        else if (c == QLatin1Char(',') || c == QLatin1Char('"'))
            quote = true;
    }
    if (!quote)
        return cleaned;
    cleaned.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + cleaned + QLatin1Char('"');
}

QString eventName(Event event)
{
    switch (event) {
    case Event::Reading:
        return QStringLiteral("reading");
    case Event::Recording:
        return QStringLiteral("recording");
    case Event::Connect:
        return QStringLiteral("connect");
    case Event::Disconnect:
        return QStringLiteral("disconnect");
    case Event::Write:
        return QStringLiteral("write");
    case Event::Error:
        return QStringLiteral("error");
    }
    return QString();
}

} // namespace RecordFormat
