#ifndef MODBUSTRANSACTION_H
#define MODBUSTRANSACTION_H

#include "modbusprotocol.h"

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>

class QSerialPort;

// One request and what came of it, as the bus saw it.
struct ModbusTransaction
{
    QByteArray request;
    QByteArray answer;       // as received: empty, split pieces put together, trailing bytes kept
    QDateTime sentAt;        // wall clock when the request went out
    double roundTripMs = -1; // end of sending to the last byte received; -1 when nothing came
    ModbusProtocol::Judgement judgement;
};

Q_DECLARE_METATYPE(ModbusTransaction)

// The transaction on the line, blocking, shared by the master thread and the command line so that
// both open, time and judge alike.
namespace ModbusLine {

// Opens the port read-write at the tool's fixed 19200 baud, 8 data bits, no parity, 1 stop bit,
// no flow control. On failure the port is closed, *failureText holds the status text with the
// error code in words and *trace the failed step's trace line.
bool open(QSerialPort &port, const QString &name, QString *failureText,
          const char **trace = nullptr);

// Sends the request on an open line and collects the answer: at most 100 ms to send, then six
// receive passes of at most 50 ms each. Input left from an earlier answer is dropped first.
ModbusTransaction exchange(QSerialPort &port, const QByteArray &request);

} // namespace ModbusLine

#endif // MODBUSTRANSACTION_H
