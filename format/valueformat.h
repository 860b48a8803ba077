#ifndef VALUEFORMAT_H
#define VALUEFORMAT_H

#include <QString>

// The number texts that the window shows. Kept apart from the window so that the
// rounding rules can be checked without one.
namespace ValueFormat {

// Nearest hundredth (halfway up), at most six significant digits, C locale. NaN and infinities
// show as "NaN", "inf" and "-inf" rather than as a number an integer overflow made up.
QString decimal(float value);

// Plain decimal digits, a leading "-" for negative values.
QString integer(int value);

} // namespace ValueFormat

#endif // VALUEFORMAT_H
