#include "unitpoller.h"

#include "modbusendpoint.h"
#include "stopsignal.h"

#include <QElapsedTimer>

#include <ctime>

using ModbusProtocol::ResponseKind;

namespace Bus {

namespace {

    void sleepMicroseconds(qint64 us)
    {
        timespec t { time_t(us / 1000000), long(us % 1000000) * 1000 };
        while (nanosleep(&t, &t) != 0 && errno == EINTR) { }
    }

} // namespace

UnitPoller::UnitPoller(ModbusEndpoint *endpoint, const ConnectionSettings &settings,
                       const QVector<int> &addresses)
    : endpoint(endpoint), settings(settings)
{
    for (int address : addresses) {
        Unit unit;
        unit.address = address;
        units.append(unit);
    }
}

ModbusProtocol::Judgement UnitPoller::ask(const QByteArray &request, ResponseKind expected,
                                          QString *failure)
{
    // Modbus needs 3.5 characters of silence between frames; a slave may still be listening
    // to the end of the previous answer.
    if (requestSent)
        sleepMicroseconds(settings.line.frameGapMicroseconds());
    requestSent = true;
    const ModbusTransaction t = endpoint->exchange(
        request, ReceiveTiming::quick(settings.responseTimeoutMs, settings.line));
    if (t.judgement.kind == ResponseKind::PortFailure) {
        portLost = true;
        portFailure = t.judgement.portFailure;
    } else if (t.judgement.kind != expected || !ModbusProtocol::answersRequest(request, t.answer)) {
        *failure = t.judgement.kind == expected
            ? QStringLiteral("An answer from another unit to %1")
                  .arg(ModbusProtocol::describeRequest(request))
            : QStringLiteral("%1 (%2)").arg(ModbusProtocol::statusText(t.judgement, request),
                                            ModbusProtocol::describeRequest(request));
        ModbusProtocol::Judgement none;
        none.kind = ResponseKind::NoAnswer;
        return none;
    }
    return t.judgement;
}

void UnitPoller::markPortLost()
{
    for (Unit &unit : units) {
        unit.online = false;
        unit.missed = 0;
    }
}

CycleReport UnitPoller::runCycle(const StopSignal *stop)
{
    CycleReport cycle;
    requestSent = false;
    portLost = false;
    if (!endpoint->isOpen() && !endpoint->open(&portFailure)) {
        markPortLost();
        cycle.portLost = true;
        cycle.portFailure = portFailure;
        return cycle;
    }
    for (Unit &unit : units) {
        if (stop && stop->requested())
            break;
        UnitReport report;
        report.address = unit.address;
        const quint8 address = quint8(unit.address);
        // The firmware decides which values exist; it is read again now and then in case the
        // unit at this address was exchanged.
        if (!unit.identified || unit.cyclesSinceIdentity >= persistentEvery) {
            const ModbusProtocol::Judgement j =
                ask(ModbusProtocol::readHoldingRegistersFrame(
                        ModbusProtocol::persistentFirstRegister,
                        ModbusProtocol::persistentRegisterCount, address),
                    ResponseKind::PersistentBlock, &report.failure);
            if (j.kind == ResponseKind::PersistentBlock) {
                unit.reading.persistent = j.persistentValues;
                unit.identified = true;
                unit.cyclesSinceIdentity = 0;
            }
        }
        if (portLost)
            break;
        if (unit.identified && report.failure.isEmpty()) {
            const ModbusProtocol::Judgement j =
                ask(ModbusProtocol::readHoldingRegistersFrame(ModbusProtocol::volatileFirstRegister,
                                                              ModbusProtocol::volatileRegisterCount,
                                                              address),
                    ResponseKind::VolatileBlock, &report.failure);
            if (portLost)
                break;
            if (j.kind == ResponseKind::VolatileBlock) {
                unit.reading.values = j.volatileValues;
                report.answered = true;
            }
        }
        report.time = ModbusLine::now();
        ++unit.cyclesSinceIdentity;
        if (report.answered) {
            report.cameOnline = !unit.online;
            unit.online = true;
            unit.missed = 0;
        } else {
            ++unit.missed;
            if (unit.missed == missesUntilOffline && unit.online) {
                report.wentOffline = true;
                unit.online = false;
                // A unit back after a silence may be another one at the same address.
                unit.identified = false;
            }
        }
        report.reading = unit.reading;
        report.identified = unit.identified;
        report.missedCycles = unit.missed;
        report.online = unit.online;
        cycle.units.append(report);
    }
    if (portLost) {
        markPortLost();
        endpoint->close();
        cycle.portLost = true;
        cycle.portFailure = portFailure;
    }
    return cycle;
}

qint64 UnitPoller::delayBeforeNext(qint64 cycleStartMs, qint64 nowMs, int intervalMs)
{
    return std::max<qint64>(0, cycleStartMs + intervalMs - nowMs);
}

void UnitPoller::run(int intervalMs, const StopSignal &stop,
                     const std::function<bool(const CycleReport &)> &onCycle,
                     const std::function<bool(qint64 ms)> &wait)
{
    QElapsedTimer clock;
    clock.start();
    while (!stop.requested()) {
        const qint64 start = clock.elapsed();
        const CycleReport cycle = runCycle(&stop);
        if (!onCycle(cycle))
            return;
        const qint64 delay =
            cycle.portLost ? reopenMs : delayBeforeNext(start, clock.elapsed(), intervalMs);
        if (!(wait ? wait(delay) : stop.waitFor(delay)))
            return;
    }
}

} // namespace Bus
