#ifndef UNITPOLLER_H
#define UNITPOLLER_H

#include "connectionsettings.h"
#include "reading.h"

#include <QDateTime>
#include <QString>
#include <QVector>

#include <functional>

class ModbusEndpoint;

namespace Bus {

class StopSignal;

// What one cycle found at one unit.
struct UnitReport
{
    int address = 0;                // as asked (255: whichever single unit answers)
    bool answered = false;          // reading holds a fresh volatile block
    Commissioning::Reading reading; // persistent part as last read
    bool identified = false;        // reading.persistent holds a block read from this unit
    QDateTime time;                 // of the volatile read, or of the failed transaction
    QString failure;                // status text of the transaction that failed
    int missedCycles = 0;           // in a row, this one included
    bool online = false;            // answered in one of its last three cycles
    bool cameOnline = false;        // first answer, or first after being offline
    bool wentOffline = false;       // this cycle was its third miss in a row
};

struct CycleReport
{
    QVector<UnitReport> units; // the units asked before the port was lost, in list order
    bool portLost = false;     // the endpoint failed; every unit counts as offline
    QString portFailure;
};

// Polls several units on one endpoint: each unit's persistent block at the start and then every
// tenth cycle, its volatile block every cycle, one try each, requests a frame gap apart. A silent
// unit costs only its own time-out, so the others keep their period.
class UnitPoller
{
public:
    static constexpr int missesUntilOffline = 3;
    static constexpr int persistentEvery = 10;
    static constexpr int reopenMs = 5000;

    // The endpoint must outlive the poller; it is opened and closed here.
    UnitPoller(ModbusEndpoint *endpoint, const ConnectionSettings &settings,
               const QVector<int> &units);

    // One pass over the units. Stops between transactions once a stop is requested.
    CycleReport runCycle(const StopSignal *stop = nullptr);

    // Starts a cycle every intervalMs (or as soon as the previous one ends, when it takes
    // longer) until a stop is requested or onCycle returns false. After a lost port the next try
    // comes reopenMs later, every unit offline meanwhile. Between cycles it sleeps on the stop
    // signal, or calls wait (which returns false once a stop is requested) to do other work.
    void run(int intervalMs, const StopSignal &stop,
             const std::function<bool(const CycleReport &)> &onCycle,
             const std::function<bool(qint64 ms)> &wait = {});

    // The wait before the next cycle: the rest of the interval, never less than nothing.
    static qint64 delayBeforeNext(qint64 cycleStartMs, qint64 nowMs, int intervalMs);

private:
    struct Unit
    {
        int address = 0;
        Commissioning::Reading reading;
        bool identified = false;
        int cyclesSinceIdentity = 0;
        int missed = 0;
        bool online = false;
    };

    ModbusProtocol::Judgement ask(const QByteArray &request, ModbusProtocol::ResponseKind expected,
                                  QString *failure);
    void markPortLost();

    ModbusEndpoint *endpoint;
    ConnectionSettings settings;
    QVector<Unit> units;
    bool requestSent = false; // in this cycle: the next request waits a frame gap
    bool portLost = false;
    QString portFailure;
};

} // namespace Bus

#endif // UNITPOLLER_H
