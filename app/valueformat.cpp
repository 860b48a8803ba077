#include "valueformat.h"

#include <cmath>

namespace ValueFormat {

QString decimal(float value)
{
    const double x = value;
    if (std::isnan(x))
        return QStringLiteral("NaN");
    if (std::isinf(x))
        return x > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    // Rounding stays in double: a float's hundredfold always fits, so no magnitude can wrap
    // around the way an integer conversion would.
    const double n = std::floor(100.0 * x + 0.5);
    // QString::arg(double) always uses the C locale's "." and no group separators.
    return QStringLiteral("%1").arg(n / 100.0, 0, 'g', 6);
}

QString integer(int value)
{
    return QStringLiteral("%1").arg(value);
}

FeatureSet featureSet(int year, int month, int day)
{
    if (month == 15)
        return FeatureSet::Legacy;
    if (year == 2014 && day == 18 && month == 2)
        return FeatureSet::UpTo19200;
    return FeatureSet::Current;
}

QString firmwareText(const QString &id, int year, int month, int day)
{
    if (featureSet(year, month, day) == FeatureSet::Legacy)
        return QStringLiteral("Legacy");
    // Concatenated rather than formatted: the identifier may hold any four characters.
    return id + QLatin1String("__") + QString::number(year) + QLatin1Char('-')
        + QStringLiteral("%1").arg(month, 2, 10, QLatin1Char('0')) + QLatin1Char('-')
        + QStringLiteral("%1").arg(day, 2, 10, QLatin1Char('0'));
}

} // namespace ValueFormat
