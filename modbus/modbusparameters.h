#ifndef MODBUSPARAMETERS_H
#define MODBUSPARAMETERS_H

#include <QString>
#include <QStringList>
#include <QVector>

// The transmitter's coded communication parameters. Each table is the one list of its texts,
// register values and write announcements: the master's writes, the decoding, the window's
// selectors and the simulator all read it, so they cannot drift apart.
namespace ModbusParameters {

struct Code
{
    const char *text;         // as the window's selector shows it
    int value;                // as the register holds it
    const char *announcement; // the status text of a write, translated in ModbusMasterThread
};

struct CodedParameter
{
    const char *name; // "baud rate", as a write is described
    int registerNumber;
    QVector<Code> codes;
};

const CodedParameter &baudRate(); // "600" .. "38400", codes 0 .. 6
const CodedParameter &parity();   // "None", "Even", "Odd", codes 0 .. 2
const CodedParameter &stopBits(); // "1", "2", codes 0 .. 1

QStringList texts(const CodedParameter &parameter);
const Code *findText(const CodedParameter &parameter, const QString &text);
const Code *findValue(const CodedParameter &parameter, int value);

} // namespace ModbusParameters

#endif // MODBUSPARAMETERS_H
