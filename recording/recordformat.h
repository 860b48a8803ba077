#ifndef RECORDFORMAT_H
#define RECORDFORMAT_H

#include "modbusprotocol.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// The rows of a record file: CSV as RFC 4180 has it, UTF-8, comma separated, "\n" after every
// row, one header row. Numbers are written in the C locale whatever the user's locale is.
namespace RecordFormat {

enum class Event {
    Reading,    // a good read of the volatile block: the values columns are filled
    Recording,  // recording started or stopped
    Connect,    // the user connected; message: the port
    Disconnect, // polling ended; message: the port
    Write,      // a parameter was written; message: what was written
    Error,      // a transaction failed; message: the status-bar text
};

// What the transmitter last reported about itself, and what its feature set provides.
struct Context
{
    QString firmware;               // the firmware text as the window shows it; empty: none yet
    int address = -1;               // the bus address last reported; -1: none yet
    bool calculatedValues = false;  // dew point to Hx alarm are read and shown
    bool transmitterSerial = false; // the transmitter carries a serial number of its own
};

// time, event, the twelve values of the volatile block (units in the names), firmware,
// transmitter_address, message.
const QStringList &columns();
QByteArray headerRow();

QByteArray readingRow(const QDateTime &time, const ModbusProtocol::VolatileValues &values,
                      const Context &context);
QByteArray eventRow(const QDateTime &time, Event event, const QString &message,
                    const Context &context);

// Local time with milliseconds and the offset from UTC: 2026-12-07T05:12:03.123+01:00.
QString timeText(const QDateTime &time);
// The shortest text that reads back as the same float: the file keeps what the transmitter
// sent, where the window rounds to hundredths. "nan", "inf" and "-inf" for the special values.
QString decimalText(float value);
// A field as RFC 4180 wants it: quoted when it holds a comma or a quote, quotes doubled.
// Control characters, which no reader expects in a field, become U+FFFD.
QString field(const QString &text);
QString eventName(Event event);

} // namespace RecordFormat

#endif // RECORDFORMAT_H
