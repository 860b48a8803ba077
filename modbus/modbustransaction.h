#ifndef MODBUSTRANSACTION_H
#define MODBUSTRANSACTION_H

#include "connectionsettings.h"
#include "modbusprotocol.h"

#include <QByteArray>
#include <QDateTime>
#include <QLoggingCategory>
#include <QMetaType>
#include <QString>

#include <functional>

class QElapsedTimer;
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

// How long a transaction listens for its answer.
struct ReceiveTiming
{
    // The bench's rule: a fixed number of receive passes, each waiting at most passMs for more
    // bytes, whether or not the answer is already complete.
    int passes = 6;
    int passMs = 50;
    // The field's rule, for a scanner or a poller that cannot spend 300 ms on every unit: wait at
    // most timeoutMs for the first byte, and end as soon as the answer is whole or the line has
    // been silent for a frame gap after it.
    bool endWhenComplete = false;
    int timeoutMs = 300;
    qint64 silenceUs = 0;   // the line's frame gap (at least 20 ms: adapters and gateways bunch)
    qint64 characterUs = 0; // the request's own sending time is added to the time-out

    static ReceiveTiming bench() { return ReceiveTiming(); }
    static ReceiveTiming quick(int timeoutMs, const LineSettings &line);
    // The bench's passes for the bench's time-out, the quick rule for any other.
    static ReceiveTiming forSettings(const ConnectionSettings &settings);
};

// The transaction on the line, blocking, shared by the master thread and the command line so that
// both open, time and judge alike.
namespace ModbusLine {

// The wall clock in local time, as a fixed offset from UTC taken now. Cheap where
// QDateTime::currentDateTime() is not: its local time goes through mktime() at every use, which
// cost a tenth of a poll cycle.
QDateTime now();

// Opens the port read-write at the given line settings (the bench's 19200 8N1 unless told),
// no flow control. On failure the port is closed, *failureText holds the status text with the
// error code in words and *trace the failed step's trace line.
bool open(QSerialPort &port, const QString &name, QString *failureText,
          const char **trace = nullptr, const LineSettings &line = LineSettings());

// Sends the request on an open line and collects the answer: at most 100 ms to send, then the
// receive passes of the timing (six of at most 50 ms on the bench). Input left from an earlier
// answer is dropped first.
ModbusTransaction exchange(QSerialPort &port, const QByteArray &request,
                           const ReceiveTiming &timing = ReceiveTiming::bench());

// The receiving half of a transaction on any byte stream (a serial port, RTU over TCP): wait(ms)
// waits at most ms for bytes, read() takes what has arrived. Sets the answer, the round trip
// (timer started at the end of sending) and the judgement.
void collectAnswer(ModbusTransaction *t, const ReceiveTiming &timing, const QElapsedTimer &timer,
                   const std::function<void(int)> &wait, const std::function<QByteArray()> &read);

// The transactions' step trace, in Qt's default category as a plain qDebug(): with
// qCDebug(ModbusLine::trace) a switched-off trace costs one check instead of a formatted message
// per step, a fair share of each transaction of a running poller.
const QLoggingCategory &trace();

} // namespace ModbusLine

#endif // MODBUSTRANSACTION_H
