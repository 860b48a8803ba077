#ifndef SCANNER_H
#define SCANNER_H

#include "connectionsettings.h"
#include "modbusprotocol.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class ModbusEndpoint;
class QElapsedTimer;

// What a scan asks: which search, where, at which line settings, which addresses, how long it
// waits for each.
struct ScanSettings
{
    enum class Search { Lone, Bus };

    // A transmitter starts its answer within 20 ms; a longer wait only slows every silent address.
    static constexpr int defaultTimeoutMs = 20;
    static constexpr int minimumTimeoutMs = 10;
    static constexpr int maximumTimeoutMs = 1000;

    Search search = Search::Bus;
    Endpoint endpoint;
    bool allLines = false; // a bus search at each of the 42 line settings; a lone search always is
    LineSettings line;     // a bus search at one line setting
    int firstUnit = ConnectionSettings::firstUnit;
    int lastUnit = ConnectionSettings::lastUnit;
    int timeoutMs = defaultTimeoutMs;

    // The line settings the search walks: all 42 in search order, or the one given. A gateway
    // keeps its own line, so a network endpoint has only the one given.
    QList<LineSettings> lines() const;
};

// A transmitter that answered, with what it said about itself.
struct FoundTransmitter
{
    enum class Flag {
        None,
        Collision,    // garbled twice at one address, or two serial numbers on two reads
        SeveralAtAny, // a lone search met more than one unit answering address 255
    };

    int address = 0;
    LineSettings line;
    bool identified = false; // the persistent block was read
    ModbusProtocol::PersistentValues persistent;
    bool measured = false; // the volatile block was read
    ModbusProtocol::VolatileValues values;
    Flag flag = Flag::None;

    QString firmwareText() const; // empty when not identified
    bool hasTransmitterSerial() const;
    QString flagText() const; // the flag in words; empty for none
    // The connection settings that reach this unit at its own address.
    ConnectionSettings connection(const Endpoint &endpoint) const;
};

// Finds transmitters by reading the persistent block at each address and line setting. Widget
// free and blocking: the window runs it on a thread of its own, the command line directly. The
// endpoint is made, opened and closed by run(), in the calling thread.
class Scanner
{
public:
    using EndpointFactory =
        std::function<std::unique_ptr<ModbusEndpoint>(const Endpoint &, const LineSettings &)>;

    enum class Outcome { Finished, Cancelled, PortFailure };

    struct Progress
    {
        int done = 0;
        int total = 0;
        qint64 msLeft = 0; // estimated from the time per step so far
    };

    explicit Scanner(const ScanSettings &settings, EndpointFactory factory = EndpointFactory());
    ~Scanner();

    // Called in the scanning thread.
    std::function<void(const FoundTransmitter &)> onFound;
    std::function<void(const Progress &)> onProgress;

    Outcome run();
    // From any thread: the scan ends after the transaction in flight.
    void cancel() { cancelled = true; }

    const QList<FoundTransmitter> &found() const { return results; }
    QString failureText() const { return failure; }
    // Line settings the port could not be set to, each with the reason; the scan went on
    // without them.
    const QStringList &skippedLines() const { return skipped; }
    // Requests sent by the last run, for timing figures.
    int transactions() const { return exchanges; }

private:
    enum class Heard { Silence, Valid, Garbled, Foreign, Refused, PortFailure };

    enum class LineState { Open, Skipped, Failed };
    LineState useLine(const LineSettings &line);
    Heard ask(int address, int timeoutMs, ModbusProtocol::PersistentValues *values);
    // One address: the scan read, one more try after a garbled or foreign answer, then the
    // unit's values. Returns false when the scan must end.
    bool probe(int address, const LineSettings &line, FoundTransmitter::Flag flagIfFound,
               int timeoutMs);
    void measure(FoundTransmitter *unit, int askedAddress);
    bool walk(const LineSettings &line, FoundTransmitter::Flag flagIfFound);
    Outcome runLone();
    Outcome runBus();
    Outcome finish() const;
    void report(const FoundTransmitter &unit);
    void step();
    bool stopped() const { return cancelled || !failure.isEmpty(); }

    ScanSettings settings;
    EndpointFactory factory;
    std::unique_ptr<ModbusEndpoint> endpoint;
    LineSettings currentLine;
    bool lineOpen = false;
    std::atomic<bool> cancelled { false };
    QString failure;
    QStringList skipped;
    QList<FoundTransmitter> results;
    QSet<int> lateAddresses; // answered after their own time-out, into another's transaction
    Progress progress;
    const QElapsedTimer *clock = nullptr; // while running
    int exchanges = 0;
};

#endif // SCANNER_H
