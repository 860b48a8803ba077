#include "modbusprotocol.h"

#include <cstring>

quint16 modbusCrc16(const QByteArray &data)
{
    quint16 crc = 0xFFFF;
    for (const char c : data) {
        crc ^= static_cast<quint8>(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

namespace ModbusProtocol {

const QStringList &baudRateTexts()
{
    static const QStringList texts { "600", "1200", "2400", "4800", "9600", "19200", "38400" };
    return texts;
}

const QStringList &parityTexts()
{
    static const QStringList texts { "None", "Even", "Odd" };
    return texts;
}

const QStringList &stopBitsTexts()
{
    static const QStringList texts { "1", "2" };
    return texts;
}

static QByteArray requestFrame(quint8 function, int field1, int field2)
{
    QByteArray frame;
    frame.reserve(8);
    frame.append(char(broadcastAddress));
    frame.append(char(function));
    frame.append(char(0x00)); // register numbers and counts stay below 256
    frame.append(char(field1 & 0xFF));
    frame.append(char((field2 >> 8) & 0xFF));
    frame.append(char(field2 & 0xFF));
    const quint16 crc = modbusCrc16(frame);
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

QByteArray readHoldingRegistersFrame(int startRegister, int registerCount)
{
    return requestFrame(readHoldingRegistersFunction, startRegister, registerCount & 0xFF);
}

QByteArray writeSingleRegisterFrame(int registerNumber, int value)
{
    return requestFrame(writeSingleRegisterFunction, registerNumber, value & 0xFFFF);
}

ResponseKind judgeResponse(const QByteArray &response)
{
    const int length = response.size();
    if (length == 0)
        return ResponseKind::NoAnswer;
    if (length != volatileAnswerLength && length != persistentAnswerLength
        && length != writeEchoLength)
        return ResponseKind::UnexpectedLength;
    if (modbusCrc16(response) != 0)
        return ResponseKind::CrcError;
    if (length == volatileAnswerLength)
        return ResponseKind::VolatileBlock;
    if (length == persistentAnswerLength)
        return ResponseKind::PersistentBlock;
    return ResponseKind::WriteEcho;
}

quint16 registerAt(const QByteArray &frame, int index)
{
    const int offset = 3 + 2 * index;
    Q_ASSERT(offset + 1 < frame.size());
    return quint16(quint8(frame.at(offset)) << 8 | quint8(frame.at(offset + 1)));
}

qint16 signedRegisterAt(const QByteArray &frame, int index)
{
    return qint16(registerAt(frame, index));
}

quint32 doubleRegisterAt(const QByteArray &frame, int index)
{
    // The transmitter sends the low 16 bits in the first register of the pair.
    return quint32(registerAt(frame, index)) | quint32(registerAt(frame, index + 1)) << 16;
}

float floatFromWords(quint32 bits)
{
    float value;
    static_assert(sizeof value == sizeof bits, "IEEE 754 single precision expected");
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

quint32 wordsFromFloat(float value)
{
    quint32 bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

quint16 packFirmwareDate(int year, int month, int day)
{
    return quint16(((year - 2000) & 0x7F) << 9 | (month & 0x0F) << 5 | (day & 0x1F));
}

VolatileValues decodeVolatileValues(const QByteArray &frame)
{
    VolatileValues v;
    v.temperature = floatFromWords(doubleRegisterAt(frame, 0));
    v.temperatureAlarm = signedRegisterAt(frame, 2);
    v.humidity = floatFromWords(doubleRegisterAt(frame, 3));
    v.humidityAlarm = signedRegisterAt(frame, 5);
    v.serialNumber = qint32(doubleRegisterAt(frame, 6));
    v.serialNumberTr = qint32(doubleRegisterAt(frame, 8));
    v.dewPointTemperature = floatFromWords(doubleRegisterAt(frame, 10));
    v.enthalpy = floatFromWords(doubleRegisterAt(frame, 12));
    v.mixingRatio = floatFromWords(doubleRegisterAt(frame, 14));
    v.absoluteHumidity = floatFromWords(doubleRegisterAt(frame, 16));
    v.wetBulbTemperature = floatFromWords(doubleRegisterAt(frame, 18));
    v.hxAlarm = signedRegisterAt(frame, 20);
    return v;
}

static QString codeText(const QStringList &table, quint16 code)
{
    return code < table.size() ? table.at(code) : QString();
}

PersistentValues decodePersistentValues(const QByteArray &frame)
{
    auto reg = [](int number) { return number - persistentFirstRegister; };
    PersistentValues p;
    // Four Latin-1 characters in frame order, high byte of each register first; a zero byte
    // stays a character of code 0 so the text always has four characters.
    const int idOffset = 3 + 2 * reg(firmwareIdRegister);
    for (int i = 0; i < 4; ++i)
        p.firmwareId.append(QChar(quint8(frame.at(idOffset + i))));
    const int date = signedRegisterAt(frame, reg(firmwareDateRegister));
    p.year = 2000 + ((date >> 9) & 0x7F);
    p.month = (date >> 5) & 0x0F;
    p.day = date & 0x1F;
    p.housing = signedRegisterAt(frame, reg(housingRegister));
    p.baudRate = codeText(baudRateTexts(), registerAt(frame, reg(baudRateRegister)));
    p.parity = codeText(parityTexts(), registerAt(frame, reg(parityRegister)));
    p.stopBits = codeText(stopBitsTexts(), registerAt(frame, reg(stopBitsRegister)));
    p.address = signedRegisterAt(frame, reg(addressRegister));
    return p;
}

} // namespace ModbusProtocol
