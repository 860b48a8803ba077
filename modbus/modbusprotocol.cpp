#include "modbusprotocol.h"

#include "modbusparameters.h"

#include <QCoreApplication>

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

// index counts registers after the byte count.
static quint16 registerAt(const QByteArray &frame, int index)
{
    const int offset = 3 + 2 * index;
    Q_ASSERT(offset + 1 < frame.size());
    return quint16(quint8(frame.at(offset)) << 8 | quint8(frame.at(offset + 1)));
}

static qint16 signedRegisterAt(const QByteArray &frame, int index)
{
    return qint16(registerAt(frame, index));
}

static quint32 doubleRegisterAt(const QByteArray &frame, int index)
{
    // The transmitter sends the low 16 bits in the first register of the pair.
    return quint32(registerAt(frame, index)) | quint32(registerAt(frame, index + 1)) << 16;
}

static float floatFromWords(quint32 bits)
{
    float value;
    static_assert(sizeof value == sizeof bits, "IEEE 754 single precision expected");
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

static QByteArray requestFrame(quint8 address, quint8 function, int field1, int field2)
{
    QByteArray frame;
    frame.reserve(8);
    frame.append(char(address));
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

QByteArray readHoldingRegistersFrame(int startRegister, int registerCount, quint8 address)
{
    return requestFrame(address, readHoldingRegistersFunction, startRegister, registerCount & 0xFF);
}

QByteArray writeSingleRegisterFrame(int registerNumber, int value, quint8 address)
{
    return requestFrame(address, writeSingleRegisterFunction, registerNumber, value & 0xFFFF);
}

int expectedAnswerLength(const QByteArray &request)
{
    if (request.size() < 6)
        return 0;
    switch (quint8(request.at(1))) {
    case readHoldingRegistersFunction:
        return 3 + 2 * (quint8(request.at(4)) << 8 | quint8(request.at(5))) + 2;
    case writeSingleRegisterFunction:
        return writeEchoLength;
    default:
        return 0;
    }
}

bool answersRequest(const QByteArray &request, const QByteArray &answer)
{
    if (request.size() < 2 || answer.size() < 2)
        return false;
    const quint8 asked = quint8(request.at(0));
    // Whichever transmitter takes 255 answers with its own address.
    const bool addressMatches = asked == anyTransmitterAddress || answer.at(0) == request.at(0);
    return addressMatches && (quint8(answer.at(1)) & 0x7F) == quint8(request.at(1));
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

static QString codeText(const ModbusParameters::CodedParameter &parameter, quint16 value)
{
    const ModbusParameters::Code *code = ModbusParameters::findValue(parameter, value);
    return code ? QLatin1String(code->text) : QString();
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
    p.baudRate = codeText(ModbusParameters::baudRate(), registerAt(frame, reg(baudRateRegister)));
    p.parity = codeText(ModbusParameters::parity(), registerAt(frame, reg(parityRegister)));
    p.stopBits = codeText(ModbusParameters::stopBits(), registerAt(frame, reg(stopBitsRegister)));
    p.address = signedRegisterAt(frame, reg(addressRegister));
    return p;
}

Judgement judgeResponse(const QByteArray &answer)
{
    Judgement judgement;
    judgement.length = answer.size();
    switch (judgement.length) {
    case 0:
        judgement.kind = ResponseKind::NoAnswer;
        return judgement;
    case volatileAnswerLength:
    case persistentAnswerLength:
    case writeEchoLength:
        break;
    case exceptionAnswerLength:
        // A frame of this length is an exception only when it says so and its CRC checks;
        // anything else of five bytes is as unexpected as any other length.
        if ((quint8(answer.at(1)) & 0x80) && modbusCrc16(answer) == 0) {
            judgement.kind = ResponseKind::Exception;
            judgement.exceptionCode = quint8(answer.at(2));
            return judgement;
        }
        Q_FALLTHROUGH();
    default:
        judgement.kind = ResponseKind::UnexpectedLength;
        return judgement;
    }
    if (modbusCrc16(answer) != 0) {
        judgement.kind = ResponseKind::CrcError;
    } else if (judgement.length == volatileAnswerLength) {
        judgement.kind = ResponseKind::VolatileBlock;
        judgement.volatileValues = decodeVolatileValues(answer);
    } else if (judgement.length == persistentAnswerLength) {
        judgement.kind = ResponseKind::PersistentBlock;
        judgement.persistentValues = decodePersistentValues(answer);
    } else {
        judgement.kind = ResponseKind::WriteEcho;
    }
    return judgement;
}

QString describeRequest(const QByteArray &request)
{
    const auto field = [&request](int offset) {
        return int(quint8(request.at(offset)) << 8 | quint8(request.at(offset + 1)));
    };
    if (request.size() != 8 || modbusCrc16(request) != 0)
        return QStringLiteral("request of %1 bytes").arg(request.size());
    const int first = field(2), second = field(4);
    switch (quint8(request.at(1))) {
    case readHoldingRegistersFunction:
        if (first == persistentFirstRegister && second == persistentRegisterCount)
            return QStringLiteral("read persistent block");
        if (first == volatileFirstRegister && second == volatileRegisterCount)
            return QStringLiteral("read volatile block");
        return QStringLiteral("read registers %1 to %2").arg(first).arg(first + second - 1);
    case writeSingleRegisterFunction:
        if (first == addressRegister)
            return QStringLiteral("write address = %1").arg(second);
        for (const auto *parameter : { &ModbusParameters::baudRate(), &ModbusParameters::parity(),
                                       &ModbusParameters::stopBits() }) {
            if (parameter->registerNumber != first)
                continue;
            const ModbusParameters::Code *code = ModbusParameters::findValue(*parameter, second);
            return QStringLiteral("write %1 = %2")
                .arg(QLatin1String(parameter->name),
                     code ? QLatin1String(code->text) : QStringLiteral("code %1").arg(second));
        }
        return QStringLiteral("write register %1 = %2").arg(first).arg(second);
    default:
        return QStringLiteral("function %1").arg(quint8(request.at(1)));
    }
}

// The standard meaning of Modbus exception codes 1 to 4; empty for any other code.
static QString exceptionMeaning(int code)
{
    switch (code) {
    case 1:
        return QCoreApplication::translate("ModbusMasterThread", "illegal function");
    case 2:
        return QCoreApplication::translate("ModbusMasterThread", "illegal data address");
    case 3:
        return QCoreApplication::translate("ModbusMasterThread", "illegal data value");
    case 4:
        return QCoreApplication::translate("ModbusMasterThread", "server device failure");
    default:
        return QString();
    }
}

QString statusText(const Judgement &judgement, const QByteArray &request)
{
    const auto tr = [](const char *text) {
        return QCoreApplication::translate("ModbusMasterThread", text);
    };
    switch (judgement.kind) {
    case ResponseKind::VolatileBlock:
    case ResponseKind::PersistentBlock:
        return QString();
    case ResponseKind::WriteEcho:
        return tr("Response OK");
    case ResponseKind::NoAnswer:
        return tr("Timeout");
    case ResponseKind::CrcError:
        return tr("Bad response, CRC error");
    case ResponseKind::Exception: {
        // Exception codes are written in hex in every Modbus document; two digits as there.
        const QString code =
            QString::number(judgement.exceptionCode, 16).rightJustified(2, QLatin1Char('0'));
        QString text = tr("Exception %1 from the transmitter").arg(code.toUpper());
        const QString meaning = exceptionMeaning(judgement.exceptionCode);
        if (!meaning.isEmpty())
            text += QLatin1String(": ") + meaning;
        if (request.size() > 1 && quint8(request.at(1)) == writeSingleRegisterFunction)
            text += tr("; refused: %1").arg(describeRequest(request));
        return text;
    }
    case ResponseKind::UnexpectedLength:
        return tr("Unexpected answer: %1 bytes").arg(judgement.length);
    case ResponseKind::PortFailure:
        return judgement.portFailure;
    }
    return QString();
}

} // namespace ModbusProtocol
