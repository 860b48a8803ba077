#include "scanreport.h"

#include "recordformat.h"
#include "scanner.h"
#include "valueformat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace ScanReport {

namespace {

    // The float as the recording writes it, as a JSON number; NaN has no JSON number.
    QJsonValue number(float value)
    {
        if (!std::isfinite(value))
            return QJsonValue::Null;
        return RecordFormat::decimalText(value).toDouble();
    }

    struct Fields
    {
        QString address, line, firmware, housing, probeSerial, transmitterSerial, temperature,
            humidity;
    };

    Fields fields(const FoundTransmitter &u, QString (*decimal)(float))
    {
        Fields f;
        f.address = QString::number(u.address);
        f.line = u.line.toString();
        f.firmware = u.firmwareText();
        if (u.identified)
            f.housing = QString::number(u.persistent.housing);
        if (u.measured) {
            f.probeSerial = QString::number(u.values.serialNumber);
            if (u.hasTransmitterSerial())
                f.transmitterSerial = QString::number(u.values.serialNumberTr);
            f.temperature = decimal(u.values.temperature);
            f.humidity = decimal(u.values.humidity);
        }
        return f;
    }

} // namespace

const QStringList &keys()
{
    static const QStringList list { "address",          "line",
                                    "firmware",         "housing",
                                    "probe_serial",     "transmitter_serial",
                                    "temperature_degC", "relative_humidity_pct",
                                    "collision" };
    return list;
}

QByteArray json(const QList<FoundTransmitter> &found)
{
    QJsonArray array;
    for (const FoundTransmitter &u : found) {
        const auto orNull = [](bool present, const QJsonValue &value) {
            return present ? value : QJsonValue(QJsonValue::Null);
        };
        QJsonObject o;
        o.insert(QStringLiteral("address"), u.address);
        o.insert(QStringLiteral("line"), u.line.toString());
        o.insert(QStringLiteral("firmware"), orNull(u.identified, u.firmwareText()));
        o.insert(QStringLiteral("housing"), orNull(u.identified, u.persistent.housing));
        o.insert(QStringLiteral("probe_serial"), orNull(u.measured, u.values.serialNumber));
        o.insert(QStringLiteral("transmitter_serial"),
                 orNull(u.hasTransmitterSerial(), u.values.serialNumberTr));
        o.insert(QStringLiteral("temperature_degC"),
                 u.measured ? number(u.values.temperature) : QJsonValue(QJsonValue::Null));
        o.insert(QStringLiteral("relative_humidity_pct"),
                 u.measured ? number(u.values.humidity) : QJsonValue(QJsonValue::Null));
        o.insert(QStringLiteral("collision"), u.flag != FoundTransmitter::Flag::None);
        array.append(o);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

QByteArray csv(const QList<FoundTransmitter> &found)
{
    QByteArray out = keys().join(QLatin1Char(',')).toUtf8() + '\n';
    for (const FoundTransmitter &u : found) {
        const Fields f = fields(u, &RecordFormat::decimalText);
        const QStringList row { f.address,
                                f.line,
                                RecordFormat::field(f.firmware),
                                f.housing,
                                f.probeSerial,
                                f.transmitterSerial,
                                f.temperature,
                                f.humidity,
                                u.flag != FoundTransmitter::Flag::None ? QStringLiteral("true")
                                                                       : QStringLiteral("false") };
        out += row.join(QLatin1Char(',')).toUtf8() + '\n';
    }
    return out;
}

QStringList displayFields(const FoundTransmitter &unit)
{
    const Fields f = fields(unit, &ValueFormat::decimal);
    return { f.address,           f.line,        f.firmware, f.housing,      f.probeSerial,
             f.transmitterSerial, f.temperature, f.humidity, unit.flagText() };
}

QString text(const QList<FoundTransmitter> &found)
{
    QList<QStringList> rows { { "Address", "Line", "Firmware", "Housing", "Probe serial",
                                "Transmitter serial", "T/°C", "RH/%", "Note" } };
    for (const FoundTransmitter &u : found) {
        QStringList row = displayFields(u);
        for (QString &cell : row) {
            if (cell.isEmpty())
                cell = QStringLiteral("-");
        }
        row.last() = u.flagText(); // no dash for "nothing to note"
        rows << row;
    }
    QVector<int> widths(rows.first().size(), 0);
    for (const QStringList &row : rows) {
        for (int i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], row.at(i).size());
    }
    QString out;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(widths[i] + 2) : row.at(i);
        out += line.trimmed() + QLatin1Char('\n');
    }
    return out;
}

} // namespace ScanReport
