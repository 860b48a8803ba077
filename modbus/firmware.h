#ifndef FIRMWARE_H
#define FIRMWARE_H

#include <QString>

// What a transmitter offers follows from the firmware date it reports with the persistent block.
namespace Firmware {

enum class FeatureSet { Legacy, UpTo19200, Current };

// Month 15 marks legacy firmware; 2014-02-18 is the one generation without 38400 baud and
// calculated values; everything else is current.
FeatureSet featureSet(int year, int month, int day);

// "Legacy" for legacy firmware, else identifier, "__" and the date as yyyy-mm-dd.
QString text(const QString &id, int year, int month, int day);

// "legacy", "2014-02-18" or "current".
QString featureSetName(FeatureSet set);

// Dew point, enthalpy, mixing ratio, absolute humidity, wet bulb and the Hx alarm.
bool calculatesValues(FeatureSet set);
// Baud rate, parity and stop bits can be written; the address always can.
bool setsLineParameters(FeatureSet set);
bool offers38400(FeatureSet set);
// Only current transmitters in housings 1 and 3 carry a serial number of their own.
bool carriesTransmitterSerial(FeatureSet set, int housing);

} // namespace Firmware

#endif // FIRMWARE_H
