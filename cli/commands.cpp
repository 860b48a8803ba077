#include "commands.h"

#include "checkcommand.h"
#include "commissioningrecord.h"
#include "modbusendpoint.h"
#include "modbusparameters.h"
#include "recordformat.h"

#include <QElapsedTimer>
#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <optional>

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
    QString lineCheck(const ConnectionSettings &settings)
    {
        if (settings.endpoint.kind == Endpoint::Kind::ModbusTcp)
            return QStringLiteral("the gateway's serial settings, the wiring and power of the "
                                  "transmitter and that unit %1 is on that line")
                .arg(ConnectionSettings::unitText(settings.unit));
        if (settings.unit == ConnectionSettings::anyUnit)
            return QStringLiteral("the wiring and power of the transmitter, that it is the only "
                                  "one on the line and that its line is set to %1")
                .arg(settings.line.displayText());
        return QStringLiteral("the wiring and power of the transmitter, that its address is %1 "
                              "and that its line is set to %2")
            .arg(settings.unit)
            .arg(settings.line.displayText());
    }

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
        explicit Transmitter(const ConnectionSettings &settings)
            : settings(settings), endpoint(ModbusEndpoint::create(settings.endpoint, settings.line))
        { }

        int open()
        {
            QString text;
            if (!endpoint->open(&text))
                return failure(PortFailure, text, QLatin1String(portCheck));
            return Success;
        }

        const ConnectionSettings &connection() const { return settings; }

        // Where the transmitter may answer once the writes so far take effect. When it falls
        // silent at the settings in use, the next exchange tries these and follows it there.
        void expectAfterWrites(const ConnectionSettings &written) { following = written; }
        bool followed() const { return hasFollowed; }

        // Up to three tries until the answer is the expected one. An exception answer is the
        // transmitter's word and is not asked again.
        int exchange(const QByteArray &request, ResponseKind expected,
                     ModbusTransaction *transaction)
        {
            const int code = tryExchange(request, expected, transaction);
            if (code != NoValidAnswer || transaction->judgement.kind != ResponseKind::NoAnswer
                || !following || !differs(*following))
                return report(code, request, *transaction);
            // Silent where it was: perhaps it took the written settings at once.
            const ConnectionSettings old = settings;
            use(*following);
            QByteArray moved = request;
            moved[0] = char(settings.unit);
            const quint16 crc = modbusCrc16(moved.left(moved.size() - 2));
            moved[moved.size() - 2] = char(crc & 0xFF);
            moved[moved.size() - 1] = char(crc >> 8);
            const int again = tryExchange(moved, expected, transaction);
            if (again == Success || transaction->judgement.kind != ResponseKind::NoAnswer) {
                hasFollowed = true;
                following.reset();
                std::fprintf(stderr,
                             "quorvel-setup-cli: The transmitter now answers at %s; the tool "
                             "follows\n",
                             qPrintable(where(settings)));
                return report(again, moved, *transaction);
            }
            use(old);
            return failure(NoValidAnswer,
                           QStringLiteral("No answer at %1 or at %2: the transmitter may take new "
                                          "line settings only when restarted. Restart it, then "
                                          "connect with the new settings.")
                               .arg(where(old), where(*following)),
                           QString());
        }

        // The unit this transmitter is reached at, for requests built by the caller.
        quint8 unit() const { return quint8(settings.unit); }

        static QString where(const ConnectionSettings &s)
        {
            if (s.unit == ConnectionSettings::anyUnit)
                return s.line.displayText();
            return QStringLiteral("%1, address %2").arg(s.line.displayText()).arg(s.unit);
        }

    private:
        bool differs(const ConnectionSettings &other) const
        {
            return other.line != settings.line || other.unit != settings.unit;
        }

        void use(const ConnectionSettings &next)
        {
            if (next.line != settings.line) {
                endpoint->close();
                endpoint->setLine(next.line);
                QString ignored;
                endpoint->open(&ignored);
            }
            settings.line = next.line;
            settings.unit = next.unit;
        }

        int tryExchange(const QByteArray &request, ResponseKind expected,
                        ModbusTransaction *transaction)
        {
            const ReceiveTiming timing = ReceiveTiming::forSettings(settings);
            for (int attempt = 1;; ++attempt) {
                if (!endpoint->isOpen()) {
                    QString text;
                    if (!endpoint->open(&text)) {
                        transaction->judgement = ModbusProtocol::Judgement();
                        transaction->judgement.kind = ResponseKind::PortFailure;
                        transaction->judgement.portFailure = text;
                        return PortFailure;
                    }
                }
                *transaction = endpoint->exchange(request, timing);
                const ModbusProtocol::Judgement &judgement = transaction->judgement;
                if (judgement.kind == expected)
                    return Success;
                if (judgement.kind == ResponseKind::PortFailure)
                    return PortFailure;
                if (judgement.kind == ResponseKind::Exception)
                    return Refused;
                if (attempt == 3)
                    return NoValidAnswer;
            }
        }

        int report(int code, const QByteArray &request, const ModbusTransaction &transaction)
        {
            if (code == Success)
                return Success;
            const QString text = ModbusProtocol::statusText(transaction.judgement, request);
            if (code == PortFailure)
                return failure(PortFailure, text, QLatin1String(portCheck));
            if (code == Refused)
                return failure(Refused, text,
                               exceptionCheck(transaction.judgement.exceptionCode, request));
            return failure(NoValidAnswer,
                           QStringLiteral("%1 (%2, 3 tries)")
                               .arg(text, ModbusProtocol::describeRequest(request)),
                           lineCheck(settings));
        }

    public:
        // One request to the transmitter's unit and its answer, without a retry.
        ModbusTransaction once(QByteArray request)
        {
            request[0] = char(unit());
            const quint16 crc = modbusCrc16(request.left(request.size() - 2));
            request[request.size() - 2] = char(crc & 0xFF);
            request[request.size() - 1] = char(crc >> 8);
            if (!endpoint->isOpen()) {
                ModbusTransaction t;
                t.request = request;
                QString text;
                if (!endpoint->open(&text)) {
                    t.judgement.kind = ResponseKind::PortFailure;
                    t.judgement.portFailure = text;
                    return t;
                }
            }
            return endpoint->exchange(request, ReceiveTiming::forSettings(settings));
        }

        int readPersistent(ModbusProtocol::PersistentValues *values)
        {
            ModbusTransaction t;
            const int code = exchange(ModbusProtocol::readHoldingRegistersFrame(
                                          ModbusProtocol::persistentFirstRegister,
                                          ModbusProtocol::persistentRegisterCount, unit()),
                                      ResponseKind::PersistentBlock, &t);
            *values = t.judgement.persistentValues;
            return code;
        }

        int readVolatile(ModbusProtocol::VolatileValues *values)
        {
            ModbusTransaction t;
            const int code = exchange(ModbusProtocol::readHoldingRegistersFrame(
                                          ModbusProtocol::volatileFirstRegister,
                                          ModbusProtocol::volatileRegisterCount, unit()),
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
            return exchange(ModbusProtocol::writeSingleRegisterFrame(registerNumber, value, unit()),
                            ResponseKind::WriteEcho, &t);
        }

    private:
        ConnectionSettings settings;
        std::unique_ptr<ModbusEndpoint> endpoint;
        std::optional<ConnectionSettings> following;
        bool hasFollowed = false;
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
                pauseUnlessStopped(request.connection.pauseMs);
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
            // Where the transmitter answers once each write takes effect: a gateway's line is
            // its own, and address 255 reaches a transmitter whatever its address.
            ConnectionSettings expected = transmitter.connection();
            bool movesLine = false;
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
                expected = expected.afterWrite(c.registerNumber, c.value);
                movesLine = movesLine || expected.line != transmitter.connection().line
                    || expected.unit != transmitter.connection().unit;
                transmitter.expectAfterWrites(expected);
            }
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
            if (transmitter.followed())
                print(QStringLiteral("The transmitter now answers at %1")
                          .arg(Transmitter::where(transmitter.connection())));
            else if (movesLine)
                print(QStringLiteral("The transmitter still answers at %1; the new settings take "
                                     "effect when it restarts")
                          .arg(Transmitter::where(transmitter.connection())));
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
        if (request.command == QLatin1String("scan"))
            return scan(request);
        Transmitter transmitter(request.connection);
        if (const int code = transmitter.open())
            return code;
        if (request.command == QLatin1String("read"))
            return read(request, transmitter);
        if (request.command == QLatin1String("set"))
            return set(request, transmitter);
        if (request.command == QLatin1String("check"))
            return check(request, transmitter);
        return recordCommand(request, transmitter);
    }

} // namespace

bool stopping()
{
    return stopRequested;
}

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
