#include "firmware.h"

namespace Firmware {

FeatureSet featureSet(int year, int month, int day)
{
    if (month == 15)
        return FeatureSet::Legacy;
    if (year == 2014 && day == 18 && month == 2)
        return FeatureSet::UpTo19200;
    return FeatureSet::Current;
}

QString text(const QString &id, int year, int month, int day)
{
    if (featureSet(year, month, day) == FeatureSet::Legacy)
        return QStringLiteral("Legacy");
    // Concatenated rather than formatted: the identifier may hold any four characters.
    return id + QLatin1String("__") + QString::number(year) + QLatin1Char('-')
        + QStringLiteral("%1").arg(month, 2, 10, QLatin1Char('0')) + QLatin1Char('-')
        + QStringLiteral("%1").arg(day, 2, 10, QLatin1Char('0'));
}

QString featureSetName(FeatureSet set)
{
    switch (set) {
    case FeatureSet::Legacy:
        return QStringLiteral("legacy");
    case FeatureSet::UpTo19200:
        return QStringLiteral("2014-02-18");
    case FeatureSet::Current:
        break;
    }
    return QStringLiteral("current");
}

bool calculatesValues(FeatureSet set)
{
    return set == FeatureSet::Current;
}

bool setsLineParameters(FeatureSet set)
{
    return set != FeatureSet::Legacy;
}

bool offers38400(FeatureSet set)
{
    return set == FeatureSet::Current;
}

bool carriesTransmitterSerial(FeatureSet set, int housing)
{
    return set == FeatureSet::Current && (housing == 1 || housing == 3);
}

} // namespace Firmware
