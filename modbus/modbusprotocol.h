#ifndef MODBUSPROTOCOL_H
#define MODBUSPROTOCOL_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Modbus RTU CRC-16: initial value 0xFFFF, reflected polynomial 0xA001, no final XOR.
// Appended to a frame low byte first; over a whole good frame it yields 0.
quint16 modbusCrc16(const QByteArray &data);

namespace ModbusProtocol {

constexpr quint8 broadcastAddress = 0xFF; // the tool addresses whichever transmitter is on the line
constexpr quint8 readHoldingRegistersFunction = 0x03;
constexpr quint8 writeSingleRegisterFunction = 0x06;

// Register map of the transmitter.
constexpr int volatileFirstRegister = 0;
constexpr int volatileRegisterCount = 21;
constexpr int persistentFirstRegister = 200;
constexpr int persistentRegisterCount = 16;
constexpr int baudRateRegister = 200;
constexpr int parityRegister = 201;
constexpr int stopBitsRegister = 202;
constexpr int addressRegister = 205;
constexpr int firmwareIdRegister = 209;
constexpr int firmwareDateRegister = 211;
constexpr int housingRegister = 212;

// Answer lengths: address, function, byte count, 2 bytes a register, 2 CRC bytes.
constexpr int volatileAnswerLength = 3 + 2 * volatileRegisterCount + 2;     // 47
constexpr int persistentAnswerLength = 3 + 2 * persistentRegisterCount + 2; // 37
constexpr int writeEchoLength = 8;

// The texts of the coded parameters, indexed by their register value. They are the very items
// of the window's selectors, so a decoded code can select its item by text.
const QStringList &baudRateTexts(); // "600" .. "38400", codes 0..6
const QStringList &parityTexts();   // "None", "Even", "Odd", codes 0..2
const QStringList &stopBitsTexts(); // "1", "2", codes 0..1

// Request frames: slave address 0xFF, function, two 16-bit fields (register numbers and counts
// only ever need their low byte), CRC.
QByteArray readHoldingRegistersFrame(int startRegister, int registerCount);
QByteArray writeSingleRegisterFrame(int registerNumber, int value);

enum class ResponseKind {
    NoAnswer,         // nothing arrived
    VolatileBlock,    // good 47-byte answer
    PersistentBlock,  // good 37-byte answer
    WriteEcho,        // good 8-byte answer
    CrcError,         // one of the three lengths, but the CRC does not check
    UnexpectedLength, // exception answer, partial or garbled frame
};

// Judges an answer by its length and CRC only; address, function and byte count are not examined.
ResponseKind judgeResponse(const QByteArray &response);

struct VolatileValues
{
    float temperature = 0;
    int temperatureAlarm = 0;
    float humidity = 0;
    int humidityAlarm = 0;
    int serialNumber = 0;
    int serialNumberTr = 0;
    float dewPointTemperature = 0;
    float enthalpy = 0;
    float mixingRatio = 0;
    float absoluteHumidity = 0;
    float wetBulbTemperature = 0;
    int hxAlarm = 0;
};

struct PersistentValues
{
    QString firmwareId;
    int year = 0;
    int month = 0;
    int day = 0;
    int housing = 0;
    QString baudRate; // empty when the register holds a code outside its table
    QString parity;
    QString stopBits;
    int address = 0;
};

// Both take a whole answer frame that judgeResponse found good (47 or 37 bytes).
VolatileValues decodeVolatileValues(const QByteArray &frame);
PersistentValues decodePersistentValues(const QByteArray &frame);

// Register value helpers, shared with the simulator that encodes what these decode.
// index counts registers after the byte count.
quint16 registerAt(const QByteArray &frame, int index);
qint16 signedRegisterAt(const QByteArray &frame, int index);
quint32 doubleRegisterAt(const QByteArray &frame, int index); // low word first
float floatFromWords(quint32 bits);
quint32 wordsFromFloat(float value);
quint16 packFirmwareDate(int year, int month, int day);

} // namespace ModbusProtocol

#endif // MODBUSPROTOCOL_H
