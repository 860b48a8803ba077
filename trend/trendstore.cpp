#include "trendstore.h"

#include "firmware.h"
#include "modbustransaction.h"

#include <algorithm>

namespace Trend {

bool isCalculated(TrendQuantity quantity)
{
    return quantity != TrendQuantity::Temperature && quantity != TrendQuantity::RelativeHumidity;
}

QString name(TrendQuantity quantity)
{
    switch (quantity) {
    case TrendQuantity::Temperature:
        return QObject::tr("Temperature");
    case TrendQuantity::RelativeHumidity:
        return QObject::tr("Relative humidity");
    case TrendQuantity::DewPoint:
        return QObject::tr("Dew point");
    case TrendQuantity::WetBulb:
        return QObject::tr("Wet-bulb temperature");
    case TrendQuantity::Enthalpy:
        return QObject::tr("Enthalpy");
    case TrendQuantity::MixingRatio:
        return QObject::tr("Mixing ratio");
    case TrendQuantity::AbsoluteHumidity:
        return QObject::tr("Absolute humidity");
    }
    return QString();
}

QString unit(TrendQuantity quantity)
{
    switch (quantity) {
    case TrendQuantity::Temperature:
    case TrendQuantity::DewPoint:
    case TrendQuantity::WetBulb:
        return QStringLiteral("°C");
    case TrendQuantity::RelativeHumidity:
        return QStringLiteral("%");
    case TrendQuantity::Enthalpy:
        return QStringLiteral("kJ/kg");
    case TrendQuantity::MixingRatio:
        return QStringLiteral("g/kg");
    case TrendQuantity::AbsoluteHumidity:
        return QStringLiteral("g/m³");
    }
    return QString();
}

} // namespace Trend

TrendStore::TrendStore(QObject *parent) : TrendStore(TrendSeries::Limits(), parent) { }

TrendStore::TrendStore(const TrendSeries::Limits &limits, QObject *parent) : QObject(parent)
{
    all.fill(TrendSeries(limits));
}

void TrendStore::transaction(const ModbusTransaction &t)
{
    using ModbusProtocol::ResponseKind;
    const ModbusProtocol::Judgement &j = t.judgement;
    if (j.kind == ResponseKind::PersistentBlock) {
        const ModbusProtocol::PersistentValues &p = j.persistentValues;
        providedByFirmware =
            Firmware::calculatesValues(Firmware::featureSet(p.year, p.month, p.day));
    } else if (j.kind == ResponseKind::VolatileBlock) {
        addReading(t.sentAt.toMSecsSinceEpoch(), j.volatileValues, providedByFirmware);
    }
}

void TrendStore::addReading(qint64 time, const ModbusProtocol::VolatileValues &values,
                            bool provided)
{
    const float read[trendQuantityCount] = {
        values.temperature,        values.humidity, values.dewPointTemperature,
        values.wetBulbTemperature, values.enthalpy, values.mixingRatio,
        values.absoluteHumidity,
    };
    // Another transmitter's readings are not joined to this one's.
    if (anyReading && values.serialNumber != serialNumber)
        for (TrendSeries &s : all)
            s.addBreak();
    anyReading = true;
    serialNumber = values.serialNumber;
    for (int i = 0; i < trendQuantityCount; ++i) {
        const bool kept = provided || !Trend::isCalculated(TrendQuantity(i));
        if (kept)
            all[i].add(time, read[i]);
        last[i] = { kept, read[i], time };
    }
    if (provided != calculated) {
        calculated = provided;
        emit calculatedValuesChanged(calculated);
    }
    emit readingAdded();
}

void TrendStore::connected()
{
    providedByFirmware = false;
    for (TrendSeries &s : all)
        s.addBreak();
}

const TrendSeries &TrendStore::series(TrendQuantity quantity) const
{
    return all[int(quantity)];
}

TrendStore::LastReading TrendStore::lastReading(TrendQuantity quantity) const
{
    return last[int(quantity)];
}

bool TrendStore::isEmpty() const
{
    return all[int(TrendQuantity::Temperature)].isEmpty()
        && all[int(TrendQuantity::RelativeHumidity)].isEmpty();
}

qint64 TrendStore::firstTime() const
{
    qint64 first = 0;
    for (const TrendSeries &s : all)
        if (!s.isEmpty() && (first == 0 || s.firstTime() < first))
            first = s.firstTime();
    return first;
}

qint64 TrendStore::lastTime() const
{
    qint64 latest = 0;
    for (const TrendSeries &s : all)
        if (!s.isEmpty())
            latest = std::max(latest, s.lastTime());
    return latest;
}
