#include "rtuslave.h"

#include "modbusprotocol.h"
#include "transmittermodel.h"

using namespace ModbusProtocol;

namespace {

quint16 field(const QByteArray &frame, int offset)
{
    return quint16(quint8(frame.at(offset)) << 8 | quint8(frame.at(offset + 1)));
}

QByteArray &appendCrc(QByteArray &frame)
{
    const quint16 crc = modbusCrc16(frame);
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

} // namespace

QByteArray RtuSlave::answer(const QByteArray &request)
{
    if (request.size() < 4 || modbusCrc16(request) != 0)
        return {};
    const quint8 address = quint8(request.at(0));
    const bool isBroadcast = address == broadcastAddress;
    if (!isBroadcast && address != anyTransmitterAddress && address != model->address())
        return {};

    QByteArray frame;
    switch (quint8(request.at(1))) {
    case readHoldingRegistersFunction:
        frame = readHoldingRegisters(request);
        break;
    case writeSingleRegisterFunction:
        frame = writeSingleRegister(request);
        break;
    default:
        frame = exceptionAnswer(address, quint8(request.at(1)), IllegalFunction);
        break;
    }
    return isBroadcast ? QByteArray() : frame;
}

QByteArray RtuSlave::exceptionAnswer(quint8 address, quint8 function, quint8 code)
{
    QByteArray frame;
    frame.append(char(address));
    frame.append(char(function | 0x80));
    frame.append(char(code));
    return appendCrc(frame);
}

QByteArray RtuSlave::readHoldingRegisters(const QByteArray &request)
{
    const quint8 address = quint8(request.at(0));
    const int first = field(request, 2);
    const int count = field(request, 4);
    // A frame of 256 bytes at most carries 125 registers.
    if (request.size() != 8 || count < 1 || count > 125)
        return exceptionAnswer(address, readHoldingRegistersFunction, IllegalDataValue);
    QVector<quint16> values;
    if (!model->readRegisters(first, count, &values))
        return exceptionAnswer(address, readHoldingRegistersFunction, IllegalDataAddress);

    QByteArray frame;
    frame.append(char(address));
    frame.append(char(readHoldingRegistersFunction));
    frame.append(char(2 * count));
    for (const quint16 value : values) {
        frame.append(char(value >> 8));
        frame.append(char(value & 0xFF));
    }
    return appendCrc(frame);
}

QByteArray RtuSlave::writeSingleRegister(const QByteArray &request)
{
    const quint8 address = quint8(request.at(0));
    if (request.size() != 8)
        return exceptionAnswer(address, writeSingleRegisterFunction, IllegalDataValue);
    switch (model->writeRegister(field(request, 2), field(request, 4))) {
    case TransmitterModel::WriteResult::Written:
        return request; // the echo of the request is the answer
    case TransmitterModel::WriteResult::IllegalAddress:
        return exceptionAnswer(address, writeSingleRegisterFunction, IllegalDataAddress);
    case TransmitterModel::WriteResult::Refused:
        return exceptionAnswer(address, writeSingleRegisterFunction,
                               quint8(model->refusedWriteCode()));
    case TransmitterModel::WriteResult::IllegalValue:
        break;
    }
    return exceptionAnswer(address, writeSingleRegisterFunction, IllegalDataValue);
}
