#ifndef READING_H
#define READING_H

#include "firmware.h"
#include "modbusprotocol.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVector>

// What one read of each block says about a transmitter, in the forms that the command line, the
// window and the commissioning record share. What the reported firmware does not provide is
// marked absent here once, so that no front end can show a value the transmitter never sent.
namespace Commissioning {

struct Reading
{
    ModbusProtocol::PersistentValues persistent;
    ModbusProtocol::VolatileValues values;
};

// The four communication parameters as texts of the window's selectors ("19200", "None", "1").
// A coded register outside its table gives an empty text.
struct Communication
{
    int address = 0;
    QString baudRate;
    QString parity;
    QString stopBits;

    bool operator==(const Communication &other) const
    {
        return address == other.address && baudRate == other.baudRate && parity == other.parity
            && stopBits == other.stopBits;
    }
    bool operator!=(const Communication &other) const { return !(*this == other); }
};

Firmware::FeatureSet featureSet(const ModbusProtocol::PersistentValues &persistent);
QString firmwareText(const ModbusProtocol::PersistentValues &persistent);

// Legacy firmware keeps its line at 19200 baud 8N1 and reports only the address, as the window
// shows it.
Communication communication(const ModbusProtocol::PersistentValues &persistent);

struct Measurement
{
    const char *key;     // "dew_point"
    const char *column;  // "dew_point_degC"
    const char *caption; // "Dew-point temperature"
    const char *unit;    // "°C"; empty for an alarm state
    bool present = true; // false when the firmware does not calculate it
    double value = 0;    // as the transmitter sent it; an alarm state is a small integer
    // The window's text: the nearest hundredth, an alarm state in plain digits; "NaN" for NaN.
    QString text() const;
};

// The volatile block's values in the window's order, the calculated ones marked absent unless
// the firmware calculates them.
QVector<Measurement> measurements(const Reading &reading);

// The transmitter's own serial number only where the firmware and housing carry it.
bool hasTransmitterSerial(const ModbusProtocol::PersistentValues &persistent);

// "Caption:   value unit" lines: identity, communication parameters, then every measurement
// that is present.
QStringList textLines(const Reading &reading);

// One line of the command line's monitor: the time and every present measurement.
QString monitorLine(const Reading &reading, const QDateTime &time);

// Comma-separated, as the window's recording writes its rows: the same column names in the same
// order where the two have a column (time, the values with their units in the names and the
// serial numbers, firmware, transmitter_address), then the feature set, the housing and the line
// parameters. Values as the transmitter sent them (the shortest text that reads back as the
// same float, "nan" for NaN); an absent value is an empty field.
QString csvHeader();
QString csvRow(const Reading &reading, const QDateTime &time);

} // namespace Commissioning

#endif // READING_H
