#include "scanner.h"

#include "modbusendpoint.h"
#include "reading.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>

using ModbusProtocol::ResponseKind;

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("Scanner", text);
}

// A unit already found is asked for its values with more patience than a silent address gets.
constexpr int measureTimeoutMs = 100;

} // namespace

QList<LineSettings> ScanSettings::lines() const
{
    if (endpoint.isNetwork())
        return { line };
    if (search == Search::Lone || allLines)
        return LineSettings::searchOrder();
    return { line };
}

QString FoundTransmitter::firmwareText() const
{
    return identified ? Commissioning::firmwareText(persistent) : QString();
}

bool FoundTransmitter::hasTransmitterSerial() const
{
    return identified && measured && Commissioning::hasTransmitterSerial(persistent);
}

QString FoundTransmitter::flagText() const
{
    switch (flag) {
    case Flag::Collision:
        return tr("two or more units answer at this address");
    case Flag::SeveralAtAny:
        return tr("several units answer address 255");
    case Flag::None:
        break;
    }
    return QString();
}

ConnectionSettings FoundTransmitter::connection(const Endpoint &endpoint) const
{
    ConnectionSettings settings;
    settings.endpoint = endpoint;
    settings.line = line;
    settings.unit = address;
    return settings;
}

Scanner::Scanner(const ScanSettings &settings, EndpointFactory factory)
    : settings(settings),
      factory(factory ? std::move(factory) : EndpointFactory(&ModbusEndpoint::create))
{ }

Scanner::~Scanner() = default;

Scanner::Outcome Scanner::run()
{
    results.clear();
    skipped.clear();
    lateAddresses.clear();
    failure.clear();
    exchanges = 0;
    progress = Progress();
    QElapsedTimer timer;
    timer.start();
    clock = &timer;
    endpoint = factory(settings.endpoint, settings.line);
    lineOpen = false;
    const Outcome outcome = settings.search == ScanSettings::Search::Lone ? runLone() : runBus();
    endpoint->close();
    endpoint.reset();
    clock = nullptr;
    if (outcome == Outcome::Finished && onProgress) {
        progress.done = progress.total;
        progress.msLeft = 0;
        onProgress(progress);
    }
    return outcome;
}

Scanner::Outcome Scanner::finish() const
{
    if (!failure.isEmpty())
        return Outcome::PortFailure;
    return cancelled ? Outcome::Cancelled : Outcome::Finished;
}

Scanner::Outcome Scanner::runLone()
{
    const QList<LineSettings> lines = settings.lines();
    progress.total = lines.size();
    for (const LineSettings &line : lines) {
        const LineState state = stopped() ? LineState::Failed : useLine(line);
        if (state == LineState::Failed)
            return finish();
        if (state == LineState::Skipped) {
            step();
            continue;
        }
        ModbusProtocol::PersistentValues persistent;
        Heard heard = ask(ModbusProtocol::anyTransmitterAddress, settings.timeoutMs, &persistent);
        if (heard == Heard::Garbled || heard == Heard::Foreign) {
            const Heard again =
                ask(ModbusProtocol::anyTransmitterAddress, settings.timeoutMs, &persistent);
            if (again != Heard::Silence)
                heard = again;
        }
        step();
        if (heard == Heard::PortFailure)
            return finish();
        if (heard == Heard::Valid) {
            FoundTransmitter unit;
            unit.address = persistent.address;
            unit.line = line;
            unit.identified = true;
            unit.persistent = persistent;
            measure(&unit, ModbusProtocol::anyTransmitterAddress);
            // An answer that arrived late from the setting tried before looks valid here too;
            // the unit that is really at this setting answers its values as well.
            if (unit.measured) {
                report(unit);
                return finish();
            }
        } else if (heard == Heard::Garbled) {
            // More than one unit answers 255 here: they can be told apart only by address.
            progress.total += settings.lastUnit - settings.firstUnit + 1;
            walk(line, FoundTransmitter::Flag::SeveralAtAny);
            return finish();
        }
    }
    return finish();
}

Scanner::Outcome Scanner::runBus()
{
    const QList<LineSettings> lines = settings.lines();
    const int range = settings.lastUnit - settings.firstUnit + 1;
    if (lines.size() == 1) {
        progress.total = range;
        walk(lines.first(), FoundTransmitter::Flag::None);
        return finish();
    }
    // Every unit of this family answers 255: a setting where nothing at all answers it needs no
    // walk. Expect one occupied setting until the first round has shown how many there are.
    progress.total = lines.size() + range;
    QList<LineSettings> occupied;
    for (const LineSettings &line : lines) {
        const LineState state = stopped() ? LineState::Failed : useLine(line);
        if (state == LineState::Failed)
            return finish();
        if (state == LineState::Skipped) {
            step();
            continue;
        }
        ModbusProtocol::PersistentValues ignored;
        const Heard heard =
            ask(ModbusProtocol::anyTransmitterAddress, settings.timeoutMs, &ignored);
        if (heard == Heard::PortFailure)
            return finish();
        if (heard != Heard::Silence)
            occupied << line;
        step();
    }
    progress.total = lines.size() + range * occupied.size();
    for (const LineSettings &line : occupied) {
        if (!walk(line, FoundTransmitter::Flag::None))
            break;
    }
    return finish();
}

bool Scanner::walk(const LineSettings &line, FoundTransmitter::Flag flagIfFound)
{
    if (useLine(line) != LineState::Open)
        return false;
    lateAddresses.clear();
    for (int address = settings.firstUnit; address <= settings.lastUnit; ++address) {
        if (stopped() || !probe(address, line, flagIfFound, settings.timeoutMs))
            return false;
        step();
    }
    // A unit that answered after its own time-out (into the next address's transaction) gets
    // one more chance with a longer wait.
    const QList<int> late = lateAddresses.values();
    for (int address : late) {
        const bool known =
            std::any_of(results.cbegin(), results.cend(), [&](const FoundTransmitter &f) {
                return f.address == address && f.line == line;
            });
        if (known || address < settings.firstUnit || address > settings.lastUnit)
            continue;
        if (stopped()
            || !probe(address, line, flagIfFound,
                      qMin(ScanSettings::maximumTimeoutMs, settings.timeoutMs * 5)))
            return false;
    }
    lateAddresses.clear();
    return !stopped();
}

bool Scanner::probe(int address, const LineSettings &line, FoundTransmitter::Flag flagIfFound,
                    int timeoutMs)
{
    ModbusProtocol::PersistentValues persistent;
    Heard heard = ask(address, timeoutMs, &persistent);
    if (heard == Heard::Garbled || heard == Heard::Foreign) {
        const Heard first = heard;
        heard = ask(address, timeoutMs, &persistent);
        if (first == Heard::Garbled && heard == Heard::Garbled) {
            FoundTransmitter unit;
            unit.address = address;
            unit.line = line;
            unit.flag = FoundTransmitter::Flag::Collision;
            report(unit);
            return true;
        }
    }
    if (heard == Heard::PortFailure)
        return false;
    if (heard != Heard::Valid)
        return true;
    FoundTransmitter unit;
    unit.address = address;
    unit.line = line;
    unit.identified = true;
    unit.persistent = persistent;
    unit.flag = flagIfFound;
    measure(&unit, address);
    report(unit);
    return !stopped();
}

void Scanner::measure(FoundTransmitter *unit, int askedAddress)
{
    const QByteArray request = ModbusProtocol::readHoldingRegistersFrame(
        ModbusProtocol::volatileFirstRegister, ModbusProtocol::volatileRegisterCount,
        quint8(askedAddress));
    const ReceiveTiming timing =
        ReceiveTiming::quick(qMax(settings.timeoutMs, measureTimeoutMs), currentLine);
    // Two reads: two units sharing the address that happen not to collide still give
    // themselves away by different serial numbers.
    QList<ModbusProtocol::VolatileValues> reads;
    int garbled = 0;
    for (int attempt = 0; attempt < 4 && reads.size() < 2 && !stopped(); ++attempt) {
        const ModbusTransaction t = endpoint->exchange(request, timing);
        ++exchanges;
        const ResponseKind kind = t.judgement.kind;
        if (kind == ResponseKind::PortFailure) {
            failure = t.judgement.portFailure;
            return;
        }
        if (kind == ResponseKind::VolatileBlock
            && ModbusProtocol::answersRequest(request, t.answer))
            reads << t.judgement.volatileValues;
        else if (kind == ResponseKind::CrcError || kind == ResponseKind::UnexpectedLength)
            ++garbled;
        else if (kind == ResponseKind::NoAnswer)
            break;
    }
    const FoundTransmitter::Flag collision = askedAddress == ModbusProtocol::anyTransmitterAddress
        ? FoundTransmitter::Flag::SeveralAtAny
        : FoundTransmitter::Flag::Collision;
    if (!reads.isEmpty()) {
        unit->measured = true;
        unit->values = reads.first();
    }
    const bool twoSerials = reads.size() == 2
        && (reads.at(0).serialNumber != reads.at(1).serialNumber
            || reads.at(0).serialNumberTr != reads.at(1).serialNumberTr);
    if (twoSerials || garbled >= 2)
        unit->flag = collision;
}

Scanner::Heard Scanner::ask(int address, int timeoutMs, ModbusProtocol::PersistentValues *values)
{
    const QByteArray request = ModbusProtocol::readHoldingRegistersFrame(
        ModbusProtocol::persistentFirstRegister, ModbusProtocol::persistentRegisterCount,
        quint8(address));
    const ModbusTransaction t =
        endpoint->exchange(request, ReceiveTiming::quick(timeoutMs, currentLine));
    ++exchanges;
    const ModbusProtocol::Judgement &judgement = t.judgement;
    switch (judgement.kind) {
    case ResponseKind::PortFailure:
        failure = judgement.portFailure;
        return Heard::PortFailure;
    case ResponseKind::NoAnswer:
        return Heard::Silence;
    case ResponseKind::CrcError:
    case ResponseKind::UnexpectedLength:
        return Heard::Garbled;
    case ResponseKind::PersistentBlock:
    case ResponseKind::VolatileBlock:
    case ResponseKind::WriteEcho:
    case ResponseKind::Exception:
        break;
    }
    if (!ModbusProtocol::answersRequest(request, t.answer)) {
        // A whole, sound frame from another unit: its late answer to an earlier request.
        lateAddresses.insert(quint8(t.answer.at(0)));
        return Heard::Foreign;
    }
    if (judgement.kind == ResponseKind::Exception)
        return Heard::Refused; // a device, but not one of this family
    if (judgement.kind != ResponseKind::PersistentBlock)
        return Heard::Garbled;
    *values = judgement.persistentValues;
    return Heard::Valid;
}

Scanner::LineState Scanner::useLine(const LineSettings &line)
{
    if (lineOpen && (line == currentLine || settings.endpoint.isNetwork()))
        return LineState::Open;
    // A pseudo-terminal refuses some changes of an open port's settings (odd parity set again):
    // each line setting gets a port opened afresh.
    endpoint->close();
    endpoint->setLine(line);
    currentLine = line;
    QString text;
    const char *trace = nullptr;
    lineOpen = endpoint->open(&text, &trace);
    if (lineOpen)
        return LineState::Open;
    // A port that opens but cannot take one setting (an adapter without 600 baud, a
    // pseudo-terminal without even parity) still serves the others.
    if (trace && qstrcmp(trace, "run(): open error, exit") != 0
        && qstrcmp(trace, "run(): connect error, exit") != 0) {
        skipped << QStringLiteral("%1: %2").arg(line.displayText(), text);
        return LineState::Skipped;
    }
    failure = text;
    return LineState::Failed;
}

void Scanner::report(const FoundTransmitter &unit)
{
    // A receiver set to 8N1 also takes frames sent with two stop bits (and a pseudo-terminal
    // cannot tell even parity from none): one unit can answer at several settings. It is listed
    // once, at the first, most common, setting it answered at.
    const bool seen = unit.measured
        && std::any_of(results.cbegin(), results.cend(), [&](const FoundTransmitter &f) {
                          return f.measured && f.address == unit.address && f.line != unit.line
                              && f.values.serialNumber == unit.values.serialNumber;
                      });
    if (seen)
        return;
    results << unit;
    if (onFound)
        onFound(unit);
}

void Scanner::step()
{
    ++progress.done;
    if (progress.done > progress.total)
        progress.total = progress.done;
    const qint64 elapsed = clock ? clock->elapsed() : 0;
    progress.msLeft =
        progress.done > 0 ? elapsed * (progress.total - progress.done) / progress.done : 0;
    if (onProgress)
        onProgress(progress);
}
