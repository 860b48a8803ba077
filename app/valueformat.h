#ifndef VALUEFORMAT_H
#define VALUEFORMAT_H

#include <QString>

// The number and firmware texts that the window shows. Kept apart from the window so that the
// rounding rules can be checked without one.
namespace ValueFormat {

// Nearest hundredth (halfway up), at most six significant digits, C locale. NaN and infinities
// show as "NaN", "inf" and "-inf" rather than as a number an integer overflow made up.
QString decimal(float value);

// Plain decimal digits, a leading "-" for negative values.
QString integer(int value);

enum class FeatureSet { Legacy, UpTo19200, Current };

// Month 15 marks legacy firmware; 2014-02-18 is the one generation without 38400 baud and
// calculated values; everything else is current.
FeatureSet featureSet(int year, int month, int day);

// "Legacy" for legacy firmware, else identifier, "__" and the date as yyyy-mm-dd.
QString firmwareText(const QString &id, int year, int month, int day);

} // namespace ValueFormat

#endif // VALUEFORMAT_H
