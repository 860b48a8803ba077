#ifndef CONNECTIONSETTINGS_H
#define CONNECTIONSETTINGS_H

#include <QList>
#include <QString>
#include <QVector>
#include <QtGlobal>

// How the tool reaches a transmitter: where (the endpoint), at which line settings, which unit
// address, and how long it waits. One text form for each, parsed and printed here only, so the
// window, the command line, the scanner and the publisher read and write the same texts.

struct LineSettings
{
    enum class Parity { None, Even, Odd };

    int baudRate = 19200;
    Parity parity = Parity::None;
    int stopBits = 1; // 8 data bits always: the transmitter knows no other

    // The baud rates the transmitter can be set to, lowest first.
    static const QList<int> &baudRates();
    // Every line setting the transmitter can have, the most common first: the order a search
    // for a lone transmitter tries them in.
    static QList<LineSettings> searchOrder();

    // "19200-8N1", "9600-8E1", "38400-8O2"; false with *error in words for anything else.
    static bool parse(const QString &text, LineSettings *line, QString *error = nullptr);
    QString toString() const;    // "9600-8E1"
    QString displayText() const; // "9600 8E1"

    // The time of one character on the line (start, 8 data, parity, stop bits), and the silence
    // that ends a frame: 3.5 characters, fixed at 1750 us above 19200 baud as Modbus prescribes.
    qint64 characterMicroseconds() const;
    qint64 frameGapMicroseconds() const;
    // Sending n bytes at this speed.
    qint64 transmitMicroseconds(int bytes) const { return bytes * characterMicroseconds(); }

    bool operator==(const LineSettings &o) const
    {
        return baudRate == o.baudRate && parity == o.parity && stopBits == o.stopBits;
    }
    bool operator!=(const LineSettings &o) const { return !(*this == o); }
};

// Where the requests go: a serial port, Modbus TCP (MBAP header, no CRC) or RTU frames with their
// CRC over a plain TCP stream, as serial device servers pass them on.
struct Endpoint
{
    enum class Kind { Serial, ModbusTcp, RtuOverTcp };

    Kind kind = Kind::Serial;
    QString path; // Serial: the device path
    QString host; // TCP kinds
    quint16 port = 0;

    static constexpr quint16 modbusTcpDefaultPort = 502;

    // A device path, "tcp://HOST[:PORT]" or "rtu+tcp://HOST:PORT"; false with *error in words.
    static bool parse(const QString &text, Endpoint *endpoint, QString *error = nullptr);
    QString toString() const;
    // "HOST:PORT", or the path: what failure texts name.
    QString name() const;
    bool isNetwork() const { return kind != Kind::Serial; }
};

struct ConnectionSettings
{
    static constexpr int anyUnit = 255; // answered by whichever single transmitter is on the line
    static constexpr int firstUnit = 1;
    static constexpr int lastUnit = 247;
    static constexpr int minimumPauseMs = 100;
    static constexpr int maximumPauseMs = 60000;
    static constexpr int minimumTimeoutMs = 10;
    static constexpr int maximumTimeoutMs = 10000;
    // The bench's receive window: six passes of 50 ms after the request.
    static constexpr int benchTimeoutMs = 300;

    Endpoint endpoint;
    LineSettings line;
    int unit = anyUnit;
    int responseTimeoutMs = benchTimeoutMs;
    int pauseMs = 1000; // before each read, as on the bench

    // Where the transmitter answers once a write of value to register takes effect: a new
    // address moves the unit asked (not the catch-all 255), new line settings move a serial
    // line (a gateway's serial side keeps its own). Any other register changes nothing.
    ConnectionSettings afterWrite(int registerNumber, int value) const;

    // 19200-8N1 to the catch-all address on a local port: a transmitter alone on the bench.
    bool isBenchDefault() const;
    // "19200 8N1 · any", "9600 8E1 · 17"; a network endpoint's line is the gateway's business
    // for RTU over TCP and does not exist for Modbus TCP, which shows "TCP · 17".
    QString summary() const;

    static bool isValidUnit(int unit)
    {
        return unit == anyUnit || (unit >= firstUnit && unit <= lastUnit);
    }
    // "17" or "any"; false with *error in words for anything else.
    static bool parseUnit(const QString &text, int *unit, QString *error = nullptr);
    static QString unitText(int unit);
    // "1,2,5", "1-8" or a mix, each address once, in the order given; a single "255" or "any"
    // on its own. False with *error in words for anything else.
    static bool parseUnitList(const QString &text, QVector<int> *units, QString *error = nullptr);
};

#endif // CONNECTIONSETTINGS_H
