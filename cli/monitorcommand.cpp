#include "fieldcommands.h"

#include "modbusendpoint.h"
#include "recordformat.h"
#include "unitpoller.h"

#include <cerrno>
#include <cstdio>

using namespace CommandLine;

namespace FieldCommands {

Bus::StopSignal stop;

namespace {

    // The first error in writing standard output (a full disk, a closed pipe); 0 while none.
    int outputError = 0;

    bool print(const QByteArray &text)
    {
        if (outputError)
            return false;
        // Rows reach a pipe as they come; the flush also shows a full disk now.
        if (std::fputs(text.constData(), stdout) < 0 || std::fflush(stdout) != 0)
            outputError = errno ? errno : EIO;
        return outputError == 0;
    }

    // The recording's context of a unit: what its firmware provides, and its address as it
    // reports it (as asked until it has).
    RecordFormat::Context context(const Bus::UnitReport &unit)
    {
        RecordFormat::Context c;
        c.address = unit.address;
        if (unit.identified) {
            const ModbusProtocol::PersistentValues &p = unit.reading.persistent;
            c.firmware = Commissioning::firmwareText(p);
            c.address = p.address;
            c.calculatedValues = Firmware::calculatesValues(Commissioning::featureSet(p));
            c.transmitterSerial = Commissioning::hasTransmitterSerial(p);
        }
        return c;
    }

    QByteArray textLine(const Bus::UnitReport &unit)
    {
        const QString time = RecordFormat::timeText(unit.time);
        const QString address = QStringLiteral("address %1").arg(context(unit).address);
        if (!unit.answered)
            return QStringLiteral("%1, %2, error: %3\n").arg(time, address, unit.failure).toUtf8();
        // monitorLine begins with the time; the address follows it.
        const QString line = Commissioning::monitorLine(unit.reading, unit.time);
        return QStringLiteral("%1, %2%3\n")
            .arg(time, address, line.mid(line.indexOf(',')))
            .toUtf8();
    }

    QByteArray csvRow(const Bus::UnitReport &unit)
    {
        if (!unit.answered)
            return RecordFormat::eventRow(unit.time, RecordFormat::Event::Error, unit.failure,
                                          context(unit));
        return RecordFormat::readingRow(unit.time, unit.reading.values, context(unit));
    }

} // namespace

int monitor(const Request &request)
{
    const std::unique_ptr<ModbusEndpoint> endpoint =
        ModbusEndpoint::create(request.connection.endpoint, request.connection.line);
    Bus::UnitPoller poller(endpoint.get(), request.connection, request.units);
    const bool csv = request.format == QLatin1String("csv");
    if (csv)
        print(RecordFormat::headerRow());
    int cycles = 0;
    QString lost;
    if (!outputError) // a header that could not be written: no unit is asked
        poller.run(request.intervalSeconds * 1000, stop, [&](const Bus::CycleReport &cycle) {
            for (const Bus::UnitReport &unit : cycle.units)
                print(csv ? csvRow(unit) : textLine(unit));
            if (outputError)
                return false; // nobody reads the rows: polling on would only fill the line
            if (cycle.portLost) {
                lost = cycle.portFailure;
                return false;
            }
            return request.count == 0 || ++cycles < request.count;
        });
    endpoint->close();
    if (!lost.isEmpty()) {
        std::fprintf(stderr,
                     "quorvel-setup-cli: %s; check the port name, that the adapter is plugged "
                     "in, that you may open it (group dialout) and that no other program holds "
                     "it\n",
                     lost.toUtf8().constData());
        return PortFailure;
    }
    if (outputError) {
        // Like a record file that cannot be written: what a script reads would be cut short.
        std::fprintf(stderr, "quorvel-setup-cli: can't write the output: %s\n",
                     qt_error_string(outputError).toUtf8().constData());
        return BadUsage;
    }
    return Success;
}

} // namespace FieldCommands
