#ifndef MODBUSENDPOINT_H
#define MODBUSENDPOINT_H

#include "connectionsettings.h"
#include "modbustransaction.h"

#include <QByteArray>
#include <QString>

#include <memory>

// One way to a transmitter: a serial port, a Modbus TCP gateway or a serial device server that
// passes RTU frames over TCP. Requests and answers are RTU frames (address, PDU, CRC) whatever
// the transport, so judging and decoding never ask which one carried them. Blocking, used from
// one thread at a time; an endpoint that stays open may be used by successive threads in turn.
class ModbusEndpoint
{
public:
    virtual ~ModbusEndpoint() = default;

    // Opens the way, or does nothing when it is already open. On failure *failureText holds the
    // status text and *trace the failed step's trace line.
    virtual bool open(QString *failureText, const char **trace = nullptr) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // A serial port is opened for each transaction, as on the bench; a TCP connection is kept.
    virtual bool staysOpen() const = 0;
    // Sends the request and collects the answer. A failure of the way itself (a port gone, a
    // connection that cannot be made again) is judged PortFailure with its text.
    virtual ModbusTransaction exchange(const QByteArray &request, const ReceiveTiming &timing) = 0;
    // Line settings for the next open (serial) or from now on (a gateway ignores them).
    virtual void setLine(const LineSettings &line) = 0;

    static std::unique_ptr<ModbusEndpoint> create(const Endpoint &endpoint,
                                                  const LineSettings &line);
};

#endif // MODBUSENDPOINT_H
