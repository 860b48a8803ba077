#include "commands.h"

#include "checkcommand.h"
#include "commissioningrecord.h"
#include "modbusparameters.h"
#include "modbustransaction.h"

#include <QElapsedTimer>
#include <QSerialPort>

#include <atomic>
#include <cstdio>
#include <ctime>

using namespace CommandLine;
using ModbusProtocol::ResponseKind;

namespace Commands {

namespace {

    std::atomic<bool> stopRequested { false };

    void print(const QString &text)
    {
        std::fputs(text.toUtf8().constData(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout); // a monitor's lines reach a pipe as they come
    }

    // One line on stderr: what happened, in the status bar's words, and what to check.
    int failure(int code, const QString &what, const QString &check)
    {
        const QString text = check.isEmpty() ? what : what + QStringLiteral("; check ") + check;
        std::fprintf(stderr, "quorvel-setup-cli: %s\n", text.toUtf8().constData());
        return code;
    }

    const char portCheck[] = "the port name, that the adapter is plugged in, that you may open "
                             "it (group dialout) and that no other program holds it";
    const char lineCheck[] = "the wiring and power of the transmitter, that it is the only one "
                             "on the line and that its line is set to 19200 baud 8N1";

    // The window's pause before a read, cut short by a stop request.
    bool pauseUnlessStopped(int milliseconds)
    {
        for (int waited = 0; waited < milliseconds && !stopRequested; waited += 20) {
            const timespec slice { 0, 20 * 1000 * 1000 };
            nanosleep(&slice, nullptr);
        }
        return !stopRequested;
    }

    // The transmitter at the end of an opened line, with the command line's retry rule.
    class Transmitter
    {
    public:
        explicit Transmitter(const QString &portName) : portName(portName) { }

        int open()
        {
            QString text;
            if (!ModbusLine::open(port, portName, &text))
                return failure(PortFailure, text, QLatin1String(portCheck));
            return Success;
        }

        // Up to three tries until the answer is the expected one. An exception answer is the
        // transmitter's word and is not asked again.
        int exchange(const QByteArray &request, ResponseKind expected,
                     ModbusTransaction *transaction)
        {
            for (int attempt = 1;; ++attempt) {
                *transaction = ModbusLine::exchange(port, request);
                const ModbusProtocol::Judgement &judgement = transaction->judgement;
                if (judgement.kind == expected)
                    return Success;
                const QString text = ModbusProtocol::statusText(judgement, request);
                if (judgement.kind == ResponseKind::PortFailure)
                    return failure(PortFailure, text, QLatin1String(portCheck));
                if (judgement.kind == ResponseKind::Exception)
                    return failure(Refused, text,
                                   QStringLiteral("what the transmitter's firmware accepts"));
                if (attempt == 3)
                    return failure(NoValidAnswer,
                                   QStringLiteral("%1 (%2, 3 tries)")
                                       .arg(text, ModbusProtocol::describeRequest(request)),
                                   QLatin1String(lineCheck));
            }
        }

        int readPersistent(ModbusProtocol::PersistentValues *values)
        {
            ModbusTransaction t;
            const int code = exchange(
                ModbusProtocol::readHoldingRegistersFrame(ModbusProtocol::persistentFirstRegister,
                                                          ModbusProtocol::persistentRegisterCount),
                ResponseKind::PersistentBlock, &t);
            *values = t.judgement.persistentValues;
            return code;
        }

        int readVolatile(ModbusProtocol::VolatileValues *values)
        {
            ModbusTransaction t;
            const int code = exchange(
                ModbusProtocol::readHoldingRegistersFrame(ModbusProtocol::volatileFirstRegister,
                                                          ModbusProtocol::volatileRegisterCount),
                ResponseKind::VolatileBlock, &t);
            *values = t.judgement.volatileValues;
            return code;
        }

        int read(Commissioning::Reading *reading)
        {
            const int code = readPersistent(&reading->persistent);
            return code != Success ? code : readVolatile(&reading->values);
        }

        int write(int registerNumber, int value)
        {
            ModbusTransaction t;
            return exchange(ModbusProtocol::writeSingleRegisterFrame(registerNumber, value),
                            ResponseKind::WriteEcho, &t);
        }

    private:
        QString portName;
        QSerialPort port;
    };

    Commissioning::Record record(const Request &request, const Commissioning::Reading &reading)
    {
        Commissioning::Record r;
        r.time = QDateTime::currentDateTime();
        r.tool = QStringLiteral("quorvel-setup-cli");
        r.toolVersion = QStringLiteral(QUORVEL_VERSION);
        r.port = request.port;
        r.reading = reading;
        return r;
    }

    int writeRecord(const Commissioning::Record &record, const QString &fileName)
    {
        QString error;
        if (!Commissioning::write(record, fileName, &error))
            return failure(BadUsage, error,
                           QStringLiteral("that the folder exists and may be written"));
        print(QStringLiteral("Record written to %1").arg(fileName));
        return Success;
    }

    int read(const Request &request, Transmitter &transmitter)
    {
        Commissioning::Reading reading;
        if (const int code = transmitter.read(&reading))
            return code;
        const QDateTime now = QDateTime::currentDateTime();
        if (request.format == QLatin1String("json"))
            print(QString::fromUtf8(Commissioning::toDocument(record(request, reading))).trimmed());
        else if (request.format == QLatin1String("csv"))
            print(Commissioning::csvHeader() + QLatin1Char('\n')
                  + Commissioning::csvRow(reading, now));
        else
            print(Commissioning::textLines(reading).join(QLatin1Char('\n')));
        return Success;
    }

    int recordCommand(const Request &request, Transmitter &transmitter)
    {
        Commissioning::Reading reading;
        if (const int code = transmitter.read(&reading))
            return code;
        return writeRecord(record(request, reading), request.output);
    }

    int monitor(const Request &request, Transmitter &transmitter)
    {
        Commissioning::Reading reading;
        bool persistentNext = true;
        int lines = 0;
        // As the window polls: the blocks in turn, a second's pause before each read but the
        // first, which the window spends on its own start.
        for (bool first = true; request.count == 0 || lines < request.count; first = false) {
            if (!first && !pauseUnlessStopped(1000))
                break;
            const int code = persistentNext ? transmitter.readPersistent(&reading.persistent)
                                            : transmitter.readVolatile(&reading.values);
            if (code != Success)
                return code;
            if (!persistentNext) {
                const QDateTime now = QDateTime::currentDateTime();
                if (request.format == QLatin1String("csv"))
                    print((lines == 0 ? Commissioning::csvHeader() + QLatin1Char('\n') : QString())
                          + Commissioning::csvRow(reading, now));
                else
                    print(Commissioning::monitorLine(reading, now));
                ++lines;
            }
            persistentNext = !persistentNext;
            if (stopRequested)
                break;
        }
        return Success;
    }

    // One point of the acceptance check: volatile reads a second apart until the point is done.
    int check(const Request &request, Transmitter &transmitter)
    {
        Commissioning::Reading reading;
        if (const int code = transmitter.readPersistent(&reading.persistent))
            return code;
        Commissioning::PointTaker point(request.check.point, request.check.settling);
        QElapsedTimer clock;
        clock.start();
        for (bool first = true; !point.done(); first = false) {
            if (!first)
                pauseUnlessStopped(1000);
            if (const int code = transmitter.readVolatile(&reading.values))
                return code;
            point.add(reading.values.temperature, reading.values.humidity, clock.elapsed());
        }
        return CheckCommand::finish(request, reading, point.result());
    }

    struct Change
    {
        QString name;
        int registerNumber;
        int value;
        QString from;
        QString to;
    };

    int set(const Request &request, Transmitter &transmitter)
    {
        using namespace ModbusParameters;
        Commissioning::Reading reading;
        if (const int code = transmitter.readPersistent(&reading.persistent))
            return code;
        const ModbusProtocol::PersistentValues &p = reading.persistent;
        const Firmware::FeatureSet set = Commissioning::featureSet(p);
        const QString firmware =
            QStringLiteral("firmware %1 (feature set %2)")
                .arg(Commissioning::firmwareText(p), Firmware::featureSetName(set));

        // Refused before any write, so that a unit is never left half set up.
        if (!Firmware::setsLineParameters(set)
            && !(request.baudRate.isEmpty() && request.parity.isEmpty()
                 && request.stopBits.isEmpty()))
            return failure(Refused,
                           QStringLiteral("The %1 accepts only a new address; nothing was written")
                               .arg(firmware),
                           QStringLiteral("the unit's firmware, or leave out --baud, --parity "
                                          "and --stop-bits"));
        if (request.baudRate == QLatin1String("38400") && !Firmware::offers38400(set))
            return failure(Refused,
                           QStringLiteral("The %1 does not accept 38400 baud; nothing was written")
                               .arg(firmware),
                           QStringLiteral("the unit's firmware, or choose 19200 baud or less"));

        // The window's order of writes.
        const Commissioning::Communication before = Commissioning::communication(p);
        QVector<Change> changes;
        if (request.address != 0 && request.address != before.address)
            changes.append({ QStringLiteral("address"), ModbusProtocol::addressRegister,
                             request.address, QString::number(before.address),
                             QString::number(request.address) });
        const struct
        {
            const CodedParameter &parameter;
            QString wanted;
            QString current;
        } coded[] = { { parity(), request.parity, before.parity },
                      { stopBits(), request.stopBits, before.stopBits },
                      { baudRate(), request.baudRate, before.baudRate } };
        for (const auto &c : coded) {
            if (!c.wanted.isEmpty() && c.wanted != c.current)
                changes.append({ QLatin1String(c.parameter.name), c.parameter.registerNumber,
                                 findText(c.parameter, c.wanted)->value,
                                 c.current.isEmpty() ? QStringLiteral("?") : c.current, c.wanted });
        }

        if (changes.isEmpty()) {
            print(QStringLiteral("Nothing to change: address %1, baud rate %2, parity %3, stop "
                                 "bits %4")
                      .arg(before.address)
                      .arg(before.baudRate, before.parity, before.stopBits));
        } else if (request.dryRun) {
            for (const Change &c : changes)
                print(QStringLiteral("%1: %2 -> %3 (dry run, not written)")
                          .arg(c.name, c.from, c.to));
            return Success;
        } else {
            for (const Change &c : changes) {
                if (const int code = transmitter.write(c.registerNumber, c.value))
                    return code;
            }
            // Any single transmitter answers 255, so a new address changes nothing here.
            if (const int code = transmitter.readPersistent(&reading.persistent))
                return code;
            const Commissioning::Communication after = Commissioning::communication(p);
            const QString readBack[] = { QString::number(after.address), after.parity,
                                         after.stopBits, after.baudRate };
            const QStringList names { "address", "parity", "stop bits", "baud rate" };
            for (const Change &c : changes) {
                const QString got = readBack[names.indexOf(c.name)];
                if (got != c.to)
                    return failure(ReadBackDifferent,
                                   QStringLiteral("%1 written as %2 but read back as %3")
                                       .arg(c.name, c.to, got.isEmpty() ? "an unknown code" : got),
                                   QStringLiteral("that the transmitter stores its parameters"));
            }
            for (const Change &c : changes)
                print(QStringLiteral("%1: %2 -> %3").arg(c.name, c.from, c.to));
        }

        if (request.output.isEmpty() || request.dryRun)
            return Success;
        if (const int code = transmitter.readVolatile(&reading.values))
            return code;
        Commissioning::Record r = record(request, reading);
        r.changed = true;
        r.before = before;
        return writeRecord(r, request.output);
    }

} // namespace

void requestStop()
{
    stopRequested = true;
}

int run(const Request &request)
{
    Transmitter transmitter(request.port);
    if (const int code = transmitter.open())
        return code;
    if (request.command == QLatin1String("read"))
        return read(request, transmitter);
    if (request.command == QLatin1String("set"))
        return set(request, transmitter);
    if (request.command == QLatin1String("monitor"))
        return monitor(request, transmitter);
    if (request.command == QLatin1String("check"))
        return check(request, transmitter);
    return recordCommand(request, transmitter);
}

} // namespace Commands
