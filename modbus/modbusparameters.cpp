#include "modbusparameters.h"

#include "modbusprotocol.h"

#include <QCoreApplication>

namespace ModbusParameters {

const CodedParameter &baudRate()
{
    static const CodedParameter table {
        "baud rate",
        ModbusProtocol::baudRateRegister,
        {
            { "600", 0, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 600") },
            { "1200", 1, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 1200") },
            { "2400", 2, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 2400") },
            { "4800", 3, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 4800") },
            { "9600", 4, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 9600") },
            { "19200", 5, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 19200") },
            { "38400", 6, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 38400") },
        },
    };
    return table;
}

const CodedParameter &parity()
{
    static const CodedParameter table {
        "parity",
        ModbusProtocol::parityRegister,
        {
            { "None", 0, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write parity: None") },
            { "Even", 1, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write parity: Even") },
            { "Odd", 2, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write parity: Odd") },
        },
    };
    return table;
}

const CodedParameter &stopBits()
{
    static const CodedParameter table {
        "stop bits",
        ModbusProtocol::stopBitsRegister,
        {
            { "1", 0, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write stop bits: 1") },
            { "2", 1, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write stop bits: 2") },
        },
    };
    return table;
}

QStringList texts(const CodedParameter &parameter)
{
    QStringList list;
    for (const Code &code : parameter.codes)
        list << QLatin1String(code.text);
    return list;
}

const Code *findText(const CodedParameter &parameter, const QString &text)
{
    for (const Code &code : parameter.codes) {
        if (text == QLatin1String(code.text))
            return &code;
    }
    return nullptr;
}

const Code *findValue(const CodedParameter &parameter, int value)
{
    for (const Code &code : parameter.codes) {
        if (code.value == value)
            return &code;
    }
    return nullptr;
}

} // namespace ModbusParameters
