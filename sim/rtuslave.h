#ifndef RTUSLAVE_H
#define RTUSLAVE_H

#include <QByteArray>

class TransmitterModel;

// The transmitter's Modbus RTU slave: turns one request frame into the answer frame, or into
// nothing when a slave on a bus must stay silent.
class RtuSlave
{
public:
    enum ExceptionCode : quint8 {
        IllegalFunction = 0x01,
        IllegalDataAddress = 0x02,
        IllegalDataValue = 0x03,
        SlaveDeviceFailure = 0x04,
    };

    explicit RtuSlave(TransmitterModel *model) : model(model) { }

    // Silent for a bad CRC, for another slave's address, and for a broadcast (address 0), whose
    // write is carried out all the same. Address 255 reaches this slave whatever its address.
    QByteArray answer(const QByteArray &request);

    // Address, function with bit 7 set, code, CRC.
    static QByteArray exceptionAnswer(quint8 address, quint8 function, quint8 code);

private:
    QByteArray readHoldingRegisters(const QByteArray &request);
    QByteArray writeSingleRegister(const QByteArray &request);

    TransmitterModel *model;
};

#endif // RTUSLAVE_H
