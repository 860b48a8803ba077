#ifndef MODBUSPROTOCOL_H
#define MODBUSPROTOCOL_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Modbus RTU CRC-16: initial value 0xFFFF, reflected polynomial 0xA001, no final XOR.
// Appended to a frame low byte first; over a whole good frame it yields 0.
quint16 modbusCrc16(const QByteArray &data);

namespace ModbusProtocol {

// The tool addresses whichever single transmitter is on the line: each answers 0xFF as well as
// its own address. Address 0 is Modbus broadcast: every slave carries it out and none answers.
constexpr quint8 anyTransmitterAddress = 0xFF;
constexpr quint8 broadcastAddress = 0x00;
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
constexpr int exceptionAnswerLength = 5; // address, function | 0x80, code, CRC

// Request frames: slave address (0xFF on the bench), function, two 16-bit fields (register
// numbers and counts only ever need their low byte), CRC.
QByteArray readHoldingRegistersFrame(int startRegister, int registerCount,
                                     quint8 address = anyTransmitterAddress);
QByteArray writeSingleRegisterFrame(int registerNumber, int value,
                                    quint8 address = anyTransmitterAddress);

// The length of a good answer to a request (0 for a function the tool never sends); an exception
// answer is exceptionAnswerLength whatever was asked.
int expectedAnswerLength(const QByteArray &request);

// Whether an answer comes from the unit asked and to the function asked (an exception included):
// on a shared line a late answer from one unit must not be taken for the next unit's.
bool answersRequest(const QByteArray &request, const QByteArray &answer);

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

enum class ResponseKind {
    NoAnswer,         // nothing arrived
    VolatileBlock,    // good 47-byte answer
    PersistentBlock,  // good 37-byte answer
    WriteEcho,        // good 8-byte answer
    CrcError,         // one of the three lengths, but the CRC does not check
    Exception,        // good 5-byte answer with the function's high bit set
    UnexpectedLength, // partial or garbled frame, or one of any other length
    PortFailure,      // the port could not be opened or set up; nothing was sent
};

// What a transaction's answer says, with what it carries.
struct Judgement
{
    ResponseKind kind = ResponseKind::NoAnswer;
    int length = 0;        // bytes of the answer
    int exceptionCode = 0; // Exception
    VolatileValues volatileValues;
    PersistentValues persistentValues;
    QString portFailure; // PortFailure: the whole status text
};

// Judges an answer by its length and CRC, and an exception by its function's high bit; address,
// function and byte count of a block are not examined. Decodes a good block.
Judgement judgeResponse(const QByteArray &answer);

// What a request asks for, in words: "read persistent block", "write parity = Odd".
QString describeRequest(const QByteArray &request);

// The status-bar text of a judgement; empty for a good read, which shows in the values instead.
QString statusText(const Judgement &judgement, const QByteArray &request);

// Encodings shared with the simulator, which writes what the decoding reads.
quint32 wordsFromFloat(float value);
quint16 packFirmwareDate(int year, int month, int day);

} // namespace ModbusProtocol

#endif // MODBUSPROTOCOL_H
