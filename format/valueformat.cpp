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

} // namespace ValueFormat
