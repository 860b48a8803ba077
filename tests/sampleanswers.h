#ifndef SAMPLEANSWERS_H
#define SAMPLEANSWERS_H

#include "modbusprotocol.h"

#include <QByteArray>
#include <QStringList>
#include <QVector>

// Answers of the transmitter with known contents, and the signals they must produce in the form
// SignalRecorder logs them. Unused registers hold 0x5A5A so that a decoder reading the wrong
// register shows it.
namespace SampleAnswers {

inline QByteArray withCrc(QByteArray frame)
{
    const quint16 crc = modbusCrc16(frame);
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

inline QByteArray readAnswer(const QVector<quint16> &registers)
{
    QByteArray frame("\xFF\x03", 2);
    frame.append(char(2 * registers.size()));
    for (quint16 r : registers) {
        frame.append(char(r >> 8));
        frame.append(char(r & 0xFF));
    }
    return withCrc(frame);
}

// Floats and 32-bit integers: low word in the first register of the pair.
inline QByteArray volatileAnswer()
{
    return readAnswer({ 0x0000, 0x41AC, // temperature 21.5
                        0xFFFF, // temperature alarm -1
                        0x0000, 0x4235, // humidity 45.25
                        0x0001, // humidity alarm
                        0xE240, 0x0001, // probe serial number 123456
                        0xFFFE, 0xFFFF, // transmitter serial number -2
                        0x0000, 0xC148, // dew point -12.5
                        0x0000, 0x3F80, // enthalpy 1
                        0x0FDB, 0x4049, // mixing ratio 3.14159274
                        0x0000, 0x42C8, // absolute humidity 100
                        0x0000, 0xBF00, // wet bulb -0.5
                        0x8000 }); // Hx alarm -32768
}

inline QStringList volatileSignals()
{
    return { "temperature(21.5)",        "temperatureAlarm(-1)",   "humidity(45.25)",
             "humidityAlarm(1)",         "serialNumber(123456)",   "serialNumberTr(-2)",
             "dewPointTemperature(-12.5)", "enthalpy(1)",          "mixingRatio(3.14159274)",
             "absoluteHumidity(100)",    "wetBulbTemperatur(-0.5)", "hxAlarm(-32768)" };
}

// Registers 200..215 with firmware "X1.7" of 2014-03-17, housing 3, address 17.
inline QByteArray persistentAnswer(quint16 baudCode = 5, quint16 parityCode = 2,
                                   quint16 stopCode = 1)
{
    return readAnswer({ baudCode, parityCode, stopCode, 0x5A5A, 0x5A5A, 17, 0x5A5A, 0x5A5A,
                        0x5A5A, 0x5831 /* "X1" */, 0x2E37 /* ".7" */, 0x1C71, 3, 0x5A5A,
                        0x5A5A, 0x5A5A });
}

inline QStringList persistentSignals()
{
    return { "firmware(X1.7, 2014, 3, 17)", "housing(3)", "baudRate(19200)", "parity(Odd)",
             "stopBits(2)", "address(17)" };
}

} // namespace SampleAnswers

#endif // SAMPLEANSWERS_H
