#ifndef FIRMWARESTANDIN_H
#define FIRMWARESTANDIN_H

// Temporary: the feature-set rules until modbus/firmware.h is on main; same names, same rules.
#include <QString>

namespace Firmware {
enum class FeatureSet { Legacy, UpTo19200, Current };
inline FeatureSet featureSet(int year, int month, int day)
{
    if (month == 15)
        return FeatureSet::Legacy;
    if (year == 2014 && month == 2 && day == 18)
        return FeatureSet::UpTo19200;
    return FeatureSet::Current;
}
inline QString text(const QString &id, int year, int month, int day)
{
    if (featureSet(year, month, day) == FeatureSet::Legacy)
        return QStringLiteral("Legacy");
    return id + QLatin1String("__") + QString::number(year) + QLatin1Char('-')
        + QStringLiteral("%1").arg(month, 2, 10, QLatin1Char('0')) + QLatin1Char('-')
        + QStringLiteral("%1").arg(day, 2, 10, QLatin1Char('0'));
}
inline bool calculatesValues(FeatureSet set)
{
    return set == FeatureSet::Current;
}
inline bool carriesTransmitterSerial(FeatureSet set, int housing)
{
    return set == FeatureSet::Current && (housing == 1 || housing == 3);
}
} // namespace Firmware

#endif // FIRMWARESTANDIN_H
