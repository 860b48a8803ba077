#include "commandline.h"

#include "modbusparameters.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace CommandLine {

namespace {

    const char program[] = "quorvel-setup-cli";

    struct OptionText
    {
        const char *name;
        const char *valueName; // nullptr for a switch
        QString description;
    };

    struct CommandText
    {
        const char *name;
        const char *summary;
        QString synopsis;
        QString description;
        QVector<OptionText> options;
    };

    QString baudRates()
    {
        QStringList texts = ModbusParameters::texts(ModbusParameters::baudRate());
        const QString last = texts.takeLast();
        return texts.join(QLatin1String(", ")) + QLatin1String(" or ") + last;
    }

    const OptionText portOption { "port", "ENDPOINT",
                                  "The serial port of the transmitter, for example /dev/ttyUSB0 "
                                  "or a stable /dev/serial/by-id/... path; tcp://HOST[:PORT] for a "
                                  "Modbus TCP gateway (port 502 unless given); rtu+tcp://HOST:PORT "
                                  "for a serial device server that passes RTU frames over TCP." };
    const OptionText lineOption { "line", "L",
                                  "The line settings to talk at: baud rate, 8 data bits, parity "
                                  "N, E or O, stop bits 1 or 2, as 19200-8N1 (the default) or "
                                  "9600-8E1." };
    const OptionText unitOption { "unit", "N",
                                  "The unit address to ask: 1 to 247, or 255 (the default), which "
                                  "whichever single transmitter is on the line answers." };
    const OptionText timeoutOption { "timeout", "MS",
                                     "How long to wait for an answer, 10 to 10000 ms; the default "
                                     "listens six times 50 ms, as the window does." };

    const OptionText unitListOption { "unit", "LIST",
                                      "The unit addresses to poll in turn: one address, a list "
                                      "such as 1,2,5 or a range such as 1-8 (1 to 247); 255 (the "
                                      "default) alone asks whichever single transmitter is on "
                                      "the line." };
    const OptionText intervalOption { "interval", "SECONDS",
                                      "Start a cycle over all units every SECONDS, 1 to 86400 "
                                      "(default 10); a cycle that takes longer is followed at "
                                      "once by the next." };

    // The options every command takes to reach its transmitter.
    QVector<OptionText> withConnection(QVector<OptionText> options,
                                       const OptionText &unit = unitOption)
    {
        options.insert(1, timeoutOption);
        options.insert(1, unit);
        options.insert(1, lineOption);
        return options;
    }

    const OptionText scanTimeoutOption {
        "timeout", "MS",
        "How long each address is given to start its answer, 10 to 1000 ms (default 20: a "
        "transmitter answers within 20 ms; a longer wait slows every silent address)."
    };

    const char connectionSynopsis[] = "--port ENDPOINT [--line L] [--unit N] [--timeout MS]";
    const char unitListSynopsis[] = "--port ENDPOINT [--line L] [--unit LIST] [--timeout MS]";

    const QVector<CommandText> &commands()
    {
        static const QVector<CommandText> table {
            { "read", "Read both register blocks once and print every value with its unit.",
              QString(connectionSynopsis) + " [--format text|json|csv]",
              "Reads the persistent block (registers 200-215) and the volatile block (registers "
              "0-20) once each and prints the firmware, the housing code, the serial numbers, the "
              "four communication parameters and the measured and calculated values with their "
              "units. Values that the reported firmware does not provide are left out (text, "
              "json) or left empty (csv), never made up. The json form is the commissioning "
              "record.",
              withConnection({ portOption,
                               { "format", "FORMAT",
                                 "text (the default), json (one JSON object) or csv (a header and "
                                 "one row)." } }) },
            { "set", "Change the address and line settings, read them back and verify them.",
              QString(connectionSynopsis)
                  + " [--address N] [--baud RATE] [--parity none|even|odd] [--stop-bits 1|2] "
                    "[--dry-run] [--record FILE]",
              "Reads the persistent block and, before anything is written, refuses what the "
              "reported firmware does not accept: legacy firmware takes only the address, and "
              "only current firmware takes 38400 baud. Then writes each parameter that differs "
              "from the transmitter's, in the order address, parity, stop bits, baud rate, reads "
              "the persistent block again and checks every written value. Prints each change as "
              "from -> to. A transmitter that takes new line settings or a new address at once "
              "stops answering at the old ones: the program then tries the written settings, "
              "follows the transmitter there and says so; the check is made at whichever "
              "settings answer, and the settings the transmitter now answers at are printed.",
              withConnection(
                  { portOption,
                    { "address", "N", "The new bus address, 1 to 247." },
                    { "baud", "RATE", "The new baud rate: " + baudRates() + '.' },
                    { "parity", "PARITY", "The new parity: none, even or odd." },
                    { "stop-bits", "N", "The new number of stop bits: 1 or 2." },
                    { "dry-run", nullptr,
                      "Read and check, print what would change, write nothing." },
                    { "record", "FILE",
                      "After a verified change, write the commissioning record with the values "
                      "before and after to FILE." } }) },
            { "monitor", "Poll one or several units and print one line per unit and cycle.",
              QString(unitListSynopsis) + " [--interval SECONDS] [--count N] [--format text|csv]",
              "Polls the units in turn: each unit's persistent block at the start and then every "
              "tenth cycle, its volatile block every cycle, one try each and the requests a "
              "frame gap apart. Prints one line per unit and cycle with the unit's address, "
              "until Ctrl+C or N cycles. A unit that does not answer gives an error line (an "
              "error row in csv) and polling goes on; a lost port ends the program with exit "
              "code 2. Ctrl+C ends the program after the transaction in flight, with exit code "
              "0.",
              withConnection(
                  { portOption,
                    intervalOption,
                    { "count", "N", "Stop after N cycles (the default runs until Ctrl+C)." },
                    { "format", "FORMAT",
                      "text (the default) or csv (the recording's columns: a header, then one "
                      "row per unit and cycle, an error row for a unit that missed it)." } },
                  unitListOption) },
            { "record", "Read both blocks once and write the commissioning record.",
              QString(connectionSynopsis) + " --output FILE [--overwrite]",
              "Reads both blocks once and writes the commissioning record to FILE: one JSON "
              "document with the time, this program's version, the port, the transmitter's "
              "identity (serial numbers, firmware, feature set, housing code), its four "
              "communication parameters and one complete reading with units. Its form is the "
              "JSON Schema commissioning-record.schema.json in share/quorvel-setup.",
              withConnection(
                  { portOption,
                    { "output", "FILE", "The record file; an existing file is refused." },
                    { "overwrite", nullptr, "Replace an existing --output file." } }) },
            { "check",
              "Check one point against a reference instrument; write the record and a report.",
              QString(connectionSynopsis)
                  + " --reference-temperature T [--reference-humidity H] "
                    "[--tolerance-temperature DT] [--tolerance-humidity DH] [--reads N] [--tag "
                    "TEXT] "
                    "[--location TEXT] [--technician TEXT] [--reference-instrument TEXT] "
                    "[--reference-serial TEXT] [--calibration-due DATE] --output FILE [--report "
                    "FILE]",
              "The acceptance check at the place of installation: reads the persistent block "
              "once, then the volatile block once a second until the last N reads lie within "
              "0.1 °C (and 0.5 % r.H. when a reference humidity is given), or for two minutes "
              "at most, after which the point is marked not settled and not accepted. Compares "
              "the mean of those reads with the reference values, prints the figures and the "
              "verdict, and writes the commissioning record with the check (schema version 2) "
              "to FILE and, with --report, the one-page PDF report for signing. One point per "
              "call; exit code 0 within tolerance, 7 outside it or not settled. For a series of "
              "units, call it once per unit with its --tag.",
              withConnection(
                  { portOption,
                    { "reference-temperature", "T", "The reference's temperature in °C." },
                    { "reference-humidity", "H",
                      "The reference's relative humidity in % r.H.; without it the humidity is "
                      "recorded but not judged." },
                    { "tolerance-temperature", "DT",
                      "Plus or minus DT °C is accepted (default 0.5)." },
                    { "tolerance-humidity", "DH",
                      "Plus or minus DH % r.H. is accepted (default 3)." },
                    { "reads", "N",
                      "The reads over which mean and spread are taken, 1 to 60 "
                      "(default 5)." },
                    { "tag", "TEXT", "The unit's tag at the plant." },
                    { "location", "TEXT", "Where the unit is installed." },
                    { "technician", "TEXT", "Who commissions the unit." },
                    { "reference-instrument", "TEXT",
                      "The reference instrument, maker and model." },
                    { "reference-serial", "TEXT", "The reference instrument's serial number." },
                    { "calibration-due", "DATE",
                      "When the reference's calibration is due, as YYYY-MM-DD." },
                    { "output", "FILE", "The record file; an existing file is replaced." },
                    { "report", "FILE",
                      "Also write the report as a one-page PDF (A4, or Letter "
                      "where the locale measures in US units)." } }) },
            { "publish", "Poll units and publish their readings to an MQTT broker.",
              QString(unitListSynopsis)
                  + " --broker URL [--topic-prefix PREFIX] [--ha-discovery [PREFIX]] "
                    "[--interval SECONDS] [--client-id ID] [--credentials FILE] [--cafile FILE]",
              "Polls the units as monitor does and publishes each reading as one JSON object "
              "to PREFIX/SERIAL/state (QoS 1), where SERIAL is the probe's serial number; "
              "PREFIX/SERIAL/availability holds online or offline (retained; offline after three "
              "missed cycles) and PREFIX/publisher/ID/availability this program's own state, "
              "offline by its last will when it dies. Readings made while the broker is away are "
              "kept (at most 10,000 messages) and delivered in order once it is back; a lost "
              "port is opened again every 5 seconds. It only reads from the transmitters and "
              "subscribes to nothing. SIGINT or SIGTERM marks everything offline and ends the "
              "program with exit code 0.",
              withConnection(
                  { portOption,
                    intervalOption,
                    { "broker", "URL",
                      "mqtt://HOST[:PORT] (port 1883 unless given) or mqtts://HOST[:PORT] for "
                      "TLS (port 8883 unless given)." },
                    { "topic-prefix", "PREFIX", "The first level of every topic (quorvel)." },
                    { "ha-discovery", "PREFIX",
                      "Publish retained discovery configs for every value under PREFIX "
                      "(homeassistant when PREFIX is left out)." },
                    { "client-id", "ID",
                      "The MQTT client identifier (the host name and the port's name)." },
                    { "credentials", "FILE",
                      "The user name on the first line and the password on the second; refused "
                      "when anyone but its owner may read it. There is no password option." },
                    { "cafile", "FILE",
                      "The certificate authority that the broker's certificate must be signed "
                      "by (mqtts: the system's authorities unless given)." } },
                  unitListOption) },
            { "scan",
              "Find the transmitters on a line: their addresses and line settings.",
              "--port ENDPOINT [--lone] [--line L | --all-lines] [--units FIRST-LAST] "
              "[--timeout MS] [--format text|json|csv]",
              "Reads the persistent block at each address from FIRST to LAST (1 to 247 unless "
              "given) at one line setting, or with --all-lines at each of the 42 settings the "
              "transmitter can have: there address 255, which every transmitter answers, is "
              "asked first at each setting, and the addresses are walked only where something "
              "answered. --lone looks for a single transmitter at unknown settings instead: it "
              "asks address 255 at each setting, the most common first, and stops at the first "
              "that answers. For each transmitter found it prints the address, the line "
              "settings, the firmware, the housing code, the serial numbers and the temperature "
              "and humidity, and flags two or more units that answer at one address. A late "
              "answer is never taken for the next address's. A progress line goes to standard "
              "error when it is a terminal. Ctrl+C ends the scan after the request in flight and "
              "prints what was found so far. Exit code 0 when a transmitter answered, 3 when none "
              "did.",
              { portOption,
                { "lone", nullptr,
                  "Look for one transmitter alone on the line, at whichever of the 42 settings "
                  "it answers." },
                { "line", "L", "The line setting to scan at, as 19200-8N1 (the default)." },
                { "all-lines", nullptr, "Scan at each of the 42 line settings." },
                { "units", "FIRST-LAST", "The address range, within 1-247 (default 1-247)." },
                scanTimeoutOption,
                { "format", "FORMAT",
                  "text (the default), json (one JSON array, one object per transmitter) or csv "
                  "(a header and one row per transmitter)." } } },
        };
        return table;
    }

    const CommandText *findCommand(const QString &name)
    {
        for (const CommandText &command : commands()) {
            if (name == QLatin1String(command.name))
                return &command;
        }
        return nullptr;
    }

    const QVector<QPair<int, QString>> &exitCodes()
    {
        static const QVector<QPair<int, QString>> codes {
            { Success, "Success." },
            { BadUsage,
              "Bad usage: an unknown command or option, a missing --port, a value out of range, "
              "a record file that cannot be written or exists already, standard output that "
              "cannot be written." },
            { PortFailure, "The port cannot be opened or set up." },
            { NoValidAnswer,
              "No valid answer after three tries (timeout, CRC error, answer of the wrong "
              "length); for scan: no transmitter answered." },
            { Refused,
              "Refused by the transmitter (an exception answer) or by the feature set of its "
              "firmware; in the latter case nothing was written." },
            { ReadBackDifferent, "Written, but the transmitter read back a different value." },
            { BrokerRefused,
              "publish: the broker refused the connection at start (bad credentials, not "
              "authorised, certificate not trusted)." },
            { Stopped, "Stopped by Ctrl+C or SIGTERM before every write was made." },
            { OutsideTolerance,
              "check: the transmitter reads outside the tolerance of the reference, or its "
              "reads did not settle; the record and the report were written." },
        };
        return codes;
    }

    const char failureNote[] =
        "Every failure prints one line on standard error: what happened, in the words of the "
        "window's status bar, and what to check. When set fails after a write, each write "
        "already carried out is printed on standard output first.";

    QString usageLine(const CommandText &command)
    {
        return QStringLiteral("%1 %2 %3").arg(program, command.name, command.synopsis);
    }

    QString optionLabel(const OptionText &option)
    {
        QString label = QStringLiteral("--") + option.name;
        if (option.valueName)
            label += QLatin1Char(' ') + option.valueName;
        return label;
    }

    // Plain text wrapped to 80 columns, every line indented.
    QString wrapped(const QString &text, int indent, int firstIndent = -1)
    {
        QString result, line(firstIndent < 0 ? indent : firstIndent, QLatin1Char(' '));
        bool lineEmpty = true;
        for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (!lineEmpty && line.size() + 1 + word.size() > 79) {
                result += line + QLatin1Char('\n');
                line = QString(indent, QLatin1Char(' '));
                lineEmpty = true;
            }
            if (!lineEmpty)
                line += QLatin1Char(' ');
            line += word;
            lineEmpty = false;
        }
        return result + line + QLatin1Char('\n');
    }

    // The usage line wrapped between its options, never inside "[--parity none|even|odd]".
    QString wrappedUsage(const CommandText &command)
    {
        QString line = QStringLiteral("Usage: ") + usageLine(command);
        int depth = 0;
        for (QChar &c : line) {
            depth += (c == QLatin1Char('[')) - (c == QLatin1Char(']'));
            if (depth > 0 && c == QLatin1Char(' '))
                c = QChar(0xA0);
        }
        return wrapped(line, 7, 0).replace(QChar(0xA0), QLatin1Char(' '));
    }

    // A two-column list: the label, then its text from column 22 on.
    QString listItem(const QString &label, const QString &text)
    {
        const QString start = QStringLiteral("  ") + label;
        if (start.size() < 21)
            return wrapped(text, 22, 22).replace(0, start.size(), start);
        return start + QLatin1Char('\n') + wrapped(text, 22);
    }

    QString exitCodeHelp()
    {
        QString text = QStringLiteral("Exit codes:\n");
        for (const auto &code : exitCodes())
            text += listItem(QString::number(code.first), code.second);
        return text + QLatin1Char('\n') + wrapped(failureNote, 0);
    }

    // roff: a backslash doubled, a minus that is meant as one written \-, no line starts with a
    // dot or an apostrophe.
    QString roff(const QString &text)
    {
        QString result = text;
        result.replace(QLatin1Char('\\'), QLatin1String("\\e"));
        result.replace(QLatin1Char('-'), QLatin1String("\\-"));
        if (result.startsWith(QLatin1Char('.')) || result.startsWith(QLatin1Char('\'')))
            result.prepend(QLatin1String("\\&"));
        return result;
    }

    QString bold(const QString &text)
    {
        return QStringLiteral("\\fB%1\\fR").arg(roff(text));
    }

    // Bold options and their values in italics, as in any synopsis.
    QString roffSynopsis(const QString &synopsis)
    {
        QString result = roff(synopsis);
        static const QRegularExpression option(QStringLiteral("(\\\\-\\\\-[a-z\\\\-]+)"));
        static const QRegularExpression value(QStringLiteral("\\b([A-Z]{1,})\\b"));
        result.replace(option, QStringLiteral("\\fB\\1\\fR"));
        result.replace(value, QStringLiteral("\\fI\\1\\fR"));
        return result;
    }

} // namespace

bool parse(const QStringList &arguments, Request *request, QString *error)
{
    auto fail = [error](const QString &text) {
        *error = text;
        return false;
    };

    QStringList rest = arguments;
    // --ha-discovery takes its prefix only when one follows it.
    for (int i = 0; i < rest.size(); ++i) {
        if (rest[i] == QLatin1String("--ha-discovery")
            && (i + 1 == rest.size() || rest[i + 1].startsWith(QLatin1Char('-'))))
            rest[i] = QStringLiteral("--ha-discovery=homeassistant");
    }
    // The options that stand before any command, as in "quorvel-setup-cli --help".
    while (!rest.isEmpty() && rest.first().startsWith(QLatin1Char('-'))) {
        const QString option = rest.takeFirst();
        if (option == QLatin1String("--help") || option == QLatin1String("-h"))
            request->help = true;
        else if (option == QLatin1String("--version"))
            request->version = true;
        else if (option == QLatin1String("--write-man-page") && !rest.isEmpty())
            request->manPageFile = rest.takeFirst();
        else
            return fail(QStringLiteral("unknown option %1 before the command").arg(option));
    }
    if (rest.isEmpty()) {
        if (request->help || request->version || !request->manPageFile.isEmpty())
            return true;
        return fail(
            QStringLiteral("no command given: read, set, monitor, record, check, scan or publish"));
    }

    request->command = rest.takeFirst();
    const CommandText *command = findCommand(request->command);
    if (!command)
        return fail(
            QStringLiteral("unknown command %1: read, set, monitor, record, check, scan or publish")
                .arg(request->command));

    QCommandLineParser parser;
    parser.addHelpOption();
    for (const OptionText &option : command->options) {
        if (option.valueName)
            parser.addOption({ option.name, option.description, option.valueName });
        else
            parser.addOption({ option.name, option.description });
    }
    if (!parser.parse(QStringList { QString::fromLatin1(program) } + rest))
        return fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        request->help = true;
        return true;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments()[0]));
    for (const QString &name : parser.optionNames()) {
        if (parser.values(name).size() > 1)
            return fail(QStringLiteral("--%1 is given more than once").arg(name));
    }

    auto isSet = [&parser, command](const char *name) {
        for (const OptionText &option : command->options) {
            if (qstrcmp(option.name, name) == 0)
                return parser.isSet(QLatin1String(name));
        }
        return false;
    };
    auto value = [&](const char *name) {
        return isSet(name) ? parser.value(QLatin1String(name)) : QString();
    };
    auto number = [&](const char *name, int low, int high, int *result) {
        bool ok = false;
        *result = value(name).toInt(&ok);
        if (ok && *result >= low && *result <= high)
            return true;
        return fail(QStringLiteral("--%1 takes a number from %2 to %3, not \"%4\"")
                        .arg(QLatin1String(name))
                        .arg(low)
                        .arg(high)
                        .arg(value(name)));
    };
    auto oneOf = [&](const char *name, const QStringList &texts, QString *result) {
        for (const QString &text : texts) {
            if (value(name).compare(text, Qt::CaseInsensitive) == 0) {
                *result = text;
                return true;
            }
        }
        QStringList lower;
        for (const QString &text : texts)
            lower << text.toLower();
        const QString last = lower.takeLast();
        return fail(
            QStringLiteral("--%1 takes %2 or %3, not \"%4\"")
                .arg(QLatin1String(name), lower.join(QLatin1String(", ")), last, value(name)));
    };

    request->port = value("port");
    if (request->port.isEmpty())
        return fail(QStringLiteral("%1 needs --port ENDPOINT").arg(request->command));
    QString why;
    ConnectionSettings &connection = request->connection;
    if (!Endpoint::parse(request->port, &connection.endpoint, &why))
        return fail(QStringLiteral("--port: %1").arg(why));
    if (isSet("line") && !LineSettings::parse(value("line"), &connection.line, &why))
        return fail(QStringLiteral("--line: %1").arg(why));
    const bool severalUnits = request->command == QLatin1String("monitor")
        || request->command == QLatin1String("publish");
    if (severalUnits) {
        if (isSet("unit")
            && !ConnectionSettings::parseUnitList(value("unit"), &request->units, &why))
            return fail(QStringLiteral("--unit: %1").arg(why));
        connection.unit = request->units.first();
        if (isSet("interval") && !number("interval", 1, 86400, &request->intervalSeconds))
            return false;
    } else if (isSet("unit")
               && !ConnectionSettings::parseUnit(value("unit"), &connection.unit, &why)) {
        return fail(QStringLiteral("--unit: %1").arg(why));
    }
    if (request->command == QLatin1String("scan")) {
        request->lone = isSet("lone");
        request->allLines = isSet("all-lines");
        if (request->lone && (isSet("line") || request->allLines || isSet("units")))
            return fail(QStringLiteral("--lone tries every line setting at address 255: it takes "
                                       "no --line, --all-lines or --units"));
        if (request->allLines && isSet("line"))
            return fail(QStringLiteral("--line and --all-lines exclude each other"));
        if (isSet("units")) {
            static const QRegularExpression form(QStringLiteral("^(\\d+)-(\\d+)$"));
            const QRegularExpressionMatch m = form.match(value("units"));
            request->firstUnit = m.captured(1).toInt();
            request->lastUnit = m.captured(2).toInt();
            if (!m.hasMatch() || request->firstUnit < ConnectionSettings::firstUnit
                || request->lastUnit > ConnectionSettings::lastUnit
                || request->firstUnit > request->lastUnit)
                return fail(QStringLiteral("--units takes FIRST-LAST within 1-247, such as "
                                           "1-30, not \"%1\"")
                                .arg(value("units")));
        }
        if (isSet("timeout") && !number("timeout", 10, 1000, &request->scanTimeoutMs))
            return false;
    } else if (isSet("timeout")
               && !number("timeout", ConnectionSettings::minimumTimeoutMs,
                          ConnectionSettings::maximumTimeoutMs, &connection.responseTimeoutMs)) {
        return false;
    }

    if (isSet("format")) {
        const QStringList formats = request->command == QLatin1String("monitor")
            ? QStringList { "text", "csv" }
            : QStringList { "text", "json", "csv" };
        if (!oneOf("format", formats, &request->format))
            return false;
    }
    if (isSet("count") && !number("count", 1, 1000000000, &request->count))
        return false;
    if (request->command == QLatin1String("record") || request->command == QLatin1String("check")) {
        request->output = value("output");
        if (request->output.isEmpty())
            return fail(QStringLiteral("%1 needs --output FILE").arg(request->command));
        request->overwrite = isSet("overwrite");
    }

    if (request->command == QLatin1String("check")) {
        CheckRequest &check = request->check;
        auto decimal = [&](const char *name, double low, double high) -> std::optional<double> {
            bool ok = false;
            const double result = value(name).toDouble(&ok);
            if (ok && result >= low && result <= high)
                return result;
            fail(QStringLiteral("--%1 takes a number from %2 to %3, not \"%4\"")
                     .arg(QLatin1String(name))
                     .arg(low)
                     .arg(high)
                     .arg(value(name)));
            return std::nullopt;
        };
        if (!isSet("reference-temperature"))
            return fail(QStringLiteral("check needs --reference-temperature T"));
        if (!(check.point.referenceTemperature = decimal("reference-temperature", -100, 200)))
            return false;
        if (isSet("reference-humidity")
            && !(check.point.referenceHumidity = decimal("reference-humidity", 0, 100)))
            return false;
        const struct
        {
            const char *name;
            double high;
            double *result;
        } tolerances[] = { { "tolerance-temperature", 20, &check.point.tolerance.temperature },
                           { "tolerance-humidity", 50, &check.point.tolerance.humidity } };
        for (const auto &t : tolerances) {
            if (!isSet(t.name))
                continue;
            const std::optional<double> tolerance = decimal(t.name, 0, t.high);
            if (!tolerance)
                return false;
            *t.result = *tolerance;
        }
        if (isSet("reads") && !number("reads", 1, 60, &check.settling.reads))
            return false;
        if (isSet("calibration-due")) {
            check.calibrationDue = QDate::fromString(value("calibration-due"), Qt::ISODate);
            if (!check.calibrationDue.isValid())
                return fail(QStringLiteral("--calibration-due takes a date as YYYY-MM-DD, not "
                                           "\"%1\"")
                                .arg(value("calibration-due")));
        }
        check.tag = value("tag");
        check.location = value("location");
        check.technician = value("technician");
        check.referenceInstrument = value("reference-instrument");
        check.referenceSerial = value("reference-serial");
        check.report = value("report");
    }

    if (request->command == QLatin1String("publish")) {
        request->broker = value("broker");
        if (request->broker.isEmpty())
            return fail(QStringLiteral("publish needs --broker mqtt://HOST[:PORT]"));
        static const QRegularExpression url(
            QStringLiteral("^mqtts?://(\\[[0-9A-Fa-f:.]+\\]|[^:/\\[\\]]+)(:[0-9]{1,5})?$"));
        if (!url.match(request->broker).hasMatch())
            return fail(QStringLiteral("--broker takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT], "
                                       "not \"%1\"")
                            .arg(request->broker));
        if (isSet("topic-prefix"))
            request->topicPrefix = value("topic-prefix");
        request->discoveryPrefix = value("ha-discovery");
        const QString *levels[] = { &request->topicPrefix, &request->discoveryPrefix };
        for (const QString *level : levels) {
            if (level->contains(QLatin1Char('+')) || level->contains(QLatin1Char('#'))
                || level->startsWith(QLatin1Char('/')) || level->endsWith(QLatin1Char('/')))
                return fail(QStringLiteral("a topic prefix takes no +, # or leading or trailing "
                                           "/, not \"%1\"")
                                .arg(*level));
        }
        if (request->topicPrefix.isEmpty())
            return fail(QStringLiteral("--topic-prefix must not be empty"));
        request->clientId = value("client-id");
        request->credentials = value("credentials");
        request->caFile = value("cafile");
    }

    if (request->command == QLatin1String("set")) {
        using namespace ModbusParameters;
        if (isSet("address") && !number("address", 1, 247, &request->address))
            return false;
        if (isSet("baud") && !oneOf("baud", texts(baudRate()), &request->baudRate))
            return false;
        if (isSet("parity") && !oneOf("parity", texts(parity()), &request->parity))
            return false;
        if (isSet("stop-bits") && !oneOf("stop-bits", texts(stopBits()), &request->stopBits))
            return false;
        request->dryRun = isSet("dry-run");
        request->output = value("record");
        if (request->address == 0 && request->baudRate.isEmpty() && request->parity.isEmpty()
            && request->stopBits.isEmpty())
            return fail(QStringLiteral(
                "set needs at least one of --address, --baud, --parity, --stop-bits"));
    }
    return true;
}

QString helpText(const QString &commandName)
{
    const CommandText *command = findCommand(commandName);
    if (!command) {
        QString text = QStringLiteral("Usage: %1 COMMAND --port ENDPOINT [OPTIONS]\n"
                                      "       %1 COMMAND --help\n"
                                      "       %1 --help | --version\n\n")
                           .arg(program);
        text += wrapped("Reads, sets up and records a Quorvel temperature and humidity "
                        "transmitter on a serial line (Modbus RTU, by default at 19200 baud 8N1 "
                        "to slave address 255) or through a Modbus TCP or RTU-over-TCP gateway, "
                        "with the window's Modbus code, for commissioning in series from a "
                        "script.",
                        0);
        text += QStringLiteral("\nCommands:\n");
        for (const CommandText &c : commands())
            text += listItem(QLatin1String(c.name), QLatin1String(c.summary));
        return text + QLatin1Char('\n') + exitCodeHelp();
    }
    QString text = wrappedUsage(*command) + QLatin1Char('\n');
    text += wrapped(command->description, 0) + QStringLiteral("\nOptions:\n");
    for (const OptionText &option : command->options)
        text += listItem(optionLabel(option), option.description);
    text += listItem(QStringLiteral("-h, --help"), QStringLiteral("Show this help."));
    return text + QLatin1Char('\n') + exitCodeHelp();
}

QString versionText()
{
    return QStringLiteral("%1 %2\n").arg(program, QStringLiteral(QUORVEL_VERSION));
}

QString manPage()
{
    // No date: one version always builds the same page.
    QString page = QStringLiteral(".TH QUORVEL-SETUP-CLI 1 \"\" \"Quorvel-Setup %1\" "
                                  "\"User Commands\"\n")
                       .arg(QStringLiteral(QUORVEL_VERSION));
    page += QStringLiteral(".SH NAME\n%1 \\- read, set up and record a Quorvel transmitter "
                           "from a script\n")
                .arg(roff(program));
    page += QStringLiteral(".SH SYNOPSIS\n");
    for (const CommandText &command : commands())
        page += QStringLiteral(".B %1 %2\n%3\n.br\n")
                    .arg(roff(program), command.name, roffSynopsis(command.synopsis));
    page +=
        QStringLiteral(".B %1\n\\fB\\-\\-help\\fR | \\fB\\-\\-version\\fR\n").arg(roff(program));
    page += QStringLiteral(".SH DESCRIPTION\n")
        + roff("Reads, sets up and records a Quorvel temperature and humidity transmitter on a "
               "serial line (Modbus RTU, by default at 19200 baud 8N1 to slave address 255) or "
               "through a Modbus TCP or RTU-over-TCP gateway, with the Modbus code of the "
               "quorvel-setup window, for commissioning in series from a script. Each command "
               "takes --help.")
        + QLatin1Char('\n');
    page += QStringLiteral(".SH COMMANDS\n");
    for (const CommandText &command : commands()) {
        page += QStringLiteral(".SS %1\n%2\n.PP\n%3\n")
                    .arg(bold(QLatin1String(command.name)), roffSynopsis(command.synopsis),
                         roff(command.description));
        for (const OptionText &option : command.options) {
            page += QStringLiteral(".TP\n\\fB\\-\\-%1\\fR%2\n%3\n")
                        .arg(roff(QLatin1String(option.name)),
                             option.valueName ? QStringLiteral(" \\fI%1\\fR").arg(option.valueName)
                                              : QString(),
                             roff(option.description));
        }
    }
    page += QStringLiteral(".SH EXIT STATUS\n");
    for (const auto &code : exitCodes())
        page += QStringLiteral(".TP\n.B %1\n%2\n").arg(code.first).arg(roff(code.second));
    page += QStringLiteral(".PP\n") + roff(failureNote) + QLatin1Char('\n');
    return page;
}

} // namespace CommandLine
