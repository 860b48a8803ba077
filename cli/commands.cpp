#include "commands.h"

#include "commissioningrecord.h"
#include "modbusparameters.h"
#include "modbustransaction.h"
#include "recordformat.h"

#include <QFileInfo>
#include <QSerialPort>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>

using namespace CommandLine;
using ModbusProtocol::ResponseKind;

namespace Commands {

namespace {

    std::atomic<bool> stopRequested { false };
    // The first error in writing standard output (a full disk, a closed pipe); 0 while none.
    int outputError = 0;
    // Writes that the transmitter has acknowledged in a set still in progress: a failure names
    // them first, so that the user knows what the unit now holds.
    QStringList carriedOut;

    bool print(const QString &text)
    {
        if (outputError)
            return false;
        // A monitor's lines reach a pipe as they come; the flush also shows a full disk now.
        if (std::fputs(text.toUtf8().constData(), stdout) < 0 || std::fputc('\n', stdout) == EOF
            || std::fflush(stdout) != 0) {
            outputError = errno ? errno : EIO;
            return false;
        }
        return true;
    }

    // One line on stderr: what happened, in the status bar's words, and what to check.
    int failure(int code, const QString &what, const QString &check)
    {
        for (const QString &write : qExchange(carriedOut, {}))
            print(write);
        const QString text = check.isEmpty() ? what : what + QStringLiteral("; check ") + check;
        std::fprintf(stderr, "quorvel-setup-cli: %s\n", text.toUtf8().constData());
        return code;
    }

    const char portCheck[] = "the port name, that the adapter is plugged in, that you may open "
                             "it (group dialout) and that no other program holds it";
    const char lineCheck[] = "the wiring and power of the transmitter, that it is the only one "
                             "on the line and that its line is set to 19200 baud 8N1";

    // Exception 04 is the transmitter reporting a fault of its own, not a request it does not
    // take; any other exception is about what its firmware accepts.
    QString exceptionCheck(int code, const QByteArray &request)
    {
        const bool isRead = request.size() > 1
            && quint8(request.at(1)) == ModbusProtocol::readHoldingRegistersFunction;
        if (code == 4 && isRead)
            return QStringLiteral("the transmitter itself: it reports a failure of its own; "
                                  "switch it off and on, and have it serviced if this stays");
        return QStringLiteral("what the transmitter's firmware accepts");
    }

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
                *transaction = once(request);
                const ModbusProtocol::Judgement &judgement = transaction->judgement;
                if (judgement.kind == expected)
                    return Success;
                const QString text = ModbusProtocol::statusText(judgement, request);
                if (judgement.kind == ResponseKind::PortFailure)
                    return failure(PortFailure, text, QLatin1String(portCheck));
                if (judgement.kind == ResponseKind::Exception)
                    return failure(Refused, text, exceptionCheck(judgement.exceptionCode, request));
                if (attempt == 3)
                    return failure(NoValidAnswer,
                                   QStringLiteral("%1 (%2, 3 tries)")
                                       .arg(text, ModbusProtocol::describeRequest(request)),
                                   QLatin1String(lineCheck));
            }
        }

        // One request and its answer, without a retry.
        ModbusTransaction once(const QByteArray &request)
        {
            return ModbusLine::exchange(port, request);
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
        using namespace ModbusProtocol;
        Commissioning::Reading reading;
        bool persistentNext = true;
        int lines = 0;
        const bool csv = request.format == QLatin1String("csv");
        if (csv && !print(Commissioning::csvHeader()))
            return Success; // the caller reports the output's failure
        // As the window polls: the blocks in turn, one try each, a second's pause before each
        // read but the first, which the window spends on its own start. A missed answer is a
        // line of its own and polling goes on; only a lost port ends it.
        for (bool first = true; request.count == 0 || lines < request.count; first = false) {
            if (!first && !pauseUnlessStopped(1000))
                break;
            const QByteArray frame = persistentNext
                ? readHoldingRegistersFrame(persistentFirstRegister, persistentRegisterCount)
                : readHoldingRegistersFrame(volatileFirstRegister, volatileRegisterCount);
            const ModbusTransaction t = transmitter.once(frame);
            const QDateTime now = QDateTime::currentDateTime();
            QString line;
            switch (t.judgement.kind) {
            case ResponseKind::PortFailure:
                return failure(PortFailure, t.judgement.portFailure, QLatin1String(portCheck));
            case ResponseKind::PersistentBlock:
                reading.persistent = t.judgement.persistentValues;
                break;
            case ResponseKind::VolatileBlock:
                reading.values = t.judgement.volatileValues;
                line = csv ? Commissioning::csvRow(reading, now)
                           : Commissioning::monitorLine(reading, now);
                break;
            default:
                // A row of the time alone keeps a table's columns; the reason goes to stderr.
                line = csv ? RecordFormat::timeText(now)
                        + QString(Commissioning::csvHeader().count(QLatin1Char(',')),
                                  QLatin1Char(','))
                           : QStringLiteral("%1, no reading: %2 (%3)")
                                 .arg(RecordFormat::timeText(now), statusText(t.judgement, frame),
                                      describeRequest(frame));
                if (csv)
                    std::fprintf(stderr, "quorvel-setup-cli: %s (%s)\n",
                                 qPrintable(statusText(t.judgement, frame)),
                                 qPrintable(describeRequest(frame)));
            }
            if (!line.isEmpty()) {
                if (!print(line))
                    return Success; // the caller reports the output's failure
                ++lines;
            }
            persistentNext = !persistentNext;
            if (stopRequested)
                break;
        }
        return Success;
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
            for (int i = 0; i < changes.size(); ++i) {
                const Change &c = changes[i];
                // Ctrl+C lets the write in flight end; the next one is not started.
                if (stopRequested)
                    return failure(Stopped,
                                   QStringLiteral("Stopped before %1 of %2 writes; %3 not written")
                                       .arg(i + 1)
                                       .arg(changes.size())
                                       .arg(c.name),
                                   QString());
                if (const int code = transmitter.write(c.registerNumber, c.value))
                    return code;
                carriedOut << QStringLiteral("%1 %2 -> %3 written and acknowledged")
                                  .arg(c.name, c.from, c.to);
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
            carriedOut.clear(); // verified: the lines below say it all
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

namespace {

    // Before the port is opened: a record that could not be written afterwards must not cost a
    // write to the transmitter, nor replace a unit's record by accident.
    int checkRecordFile(const Request &request)
    {
        if (request.output.isEmpty() || request.dryRun)
            return Success;
        const QFileInfo file(request.output);
        if (request.command == QLatin1String("record") && file.exists() && !request.overwrite)
            return failure(BadUsage,
                           QStringLiteral("%1 exists; nothing was read").arg(request.output),
                           QStringLiteral("the file name, or give --overwrite to replace it"));
        const QFileInfo folder(file.absolutePath());
        if (file.isDir() || !folder.isDir() || !folder.isWritable()
            || (file.exists() && !file.isWritable()))
            return failure(BadUsage,
                           QStringLiteral("Can't write %1: %2; nothing was done")
                               .arg(request.output,
                                    file.isDir()          ? QStringLiteral("it is a folder")
                                        : !folder.isDir() ? QStringLiteral("no such folder")
                                                          : QStringLiteral("permission denied")),
                           QStringLiteral("that the folder exists and may be written"));
        return Success;
    }

    int runCommand(const Request &request)
    {
        if (const int code = checkRecordFile(request))
            return code;
        Transmitter transmitter(request.port);
        if (const int code = transmitter.open())
            return code;
        if (request.command == QLatin1String("read"))
            return read(request, transmitter);
        if (request.command == QLatin1String("set"))
            return set(request, transmitter);
        if (request.command == QLatin1String("monitor"))
            return monitor(request, transmitter);
        return recordCommand(request, transmitter);
    }

} // namespace

int run(const Request &request)
{
    const int code = runCommand(request);
    if (outputError == 0 && std::fflush(stdout) != 0)
        outputError = errno ? errno : EIO;
    if (outputError == 0)
        return code;
    // Like a record file that cannot be written: what a script reads would be cut short.
    failure(BadUsage,
            QStringLiteral("can't write the output: %1").arg(qt_error_string(outputError)),
            QString());
    return code == Success ? int(BadUsage) : code;
}

} // namespace Commands
