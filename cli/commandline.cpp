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

    const OptionText portOption { "port", "PATH",
                                  "The serial port of the transmitter, for example /dev/ttyUSB0 "
                                  "or a stable /dev/serial/by-id/... path." };

    const QVector<CommandText> &commands()
    {
        static const QVector<CommandText> table {
            { "read",
              "Read both register blocks once and print every value with its unit.",
              "--port PATH [--format text|json|csv]",
              "Reads the persistent block (registers 200-215) and the volatile block (registers "
              "0-20) once each and prints the firmware, the housing code, the serial numbers, the "
              "four communication parameters and the measured and calculated values with their "
              "units. Values that the reported firmware does not provide are left out (text, "
              "json) or left empty (csv), never made up. The json form is the commissioning "
              "record.",
              { portOption,
                { "format", "FORMAT",
                  "text (the default), json (one JSON object) or csv (a header and one row)." } } },
            { "set",
              "Change the address and line settings, read them back and verify them.",
              "--port PATH [--address N] [--baud RATE] [--parity none|even|odd] [--stop-bits 1|2] "
              "[--dry-run] [--record FILE]",
              "Reads the persistent block and, before anything is written, refuses what the "
              "reported firmware does not accept: legacy firmware takes only the address, and "
              "only current firmware takes 38400 baud. Then writes each parameter that differs "
              "from the transmitter's, in the order address, parity, stop bits, baud rate, reads "
              "the persistent block again and checks every written value. Prints each change as "
              "from -> to. This program keeps talking at 19200 baud 8N1 to address 255, which "
              "any single transmitter answers whatever its own settings; keep one transmitter on "
              "the line.",
              { portOption,
                { "address", "N", "The new bus address, 1 to 247." },
                { "baud", "RATE", "The new baud rate: " + baudRates() + '.' },
                { "parity", "PARITY", "The new parity: none, even or odd." },
                { "stop-bits", "N", "The new number of stop bits: 1 or 2." },
                { "dry-run", nullptr, "Read and check, print what would change, write nothing." },
                { "record", "FILE",
                  "After a verified change, write the commissioning record with the values "
                  "before and after to FILE." } } },
            { "monitor",
              "Poll like the window and print one line per reading.",
              "--port PATH [--count N] [--format text|csv]",
              "Reads the persistent and the volatile block in turn, with the window's pause of "
              "one second before every read but the first, and prints one line for every "
              "volatile read, until Ctrl+C or N readings. Ctrl+C ends the program after the "
              "transaction in flight, with exit code 0.",
              { portOption,
                { "count", "N", "Stop after N readings (the default runs until Ctrl+C)." },
                { "format", "FORMAT",
                  "text (the default) or csv (a header, then one row each)." } } },
            { "record",
              "Read both blocks once and write the commissioning record.",
              "--port PATH --output FILE [--overwrite]",
              "Reads both blocks once and writes the commissioning record to FILE: one JSON "
              "document with the time, this program's version, the port, the transmitter's "
              "identity (serial numbers, firmware, feature set, housing code), its four "
              "communication parameters and one complete reading with units. Its form is the "
              "JSON Schema commissioning-record.schema.json in share/quorvel-setup.",
              { portOption,
                { "output", "FILE", "The record file; an existing file is refused." },
                { "overwrite", nullptr, "Replace an existing --output file." } } },
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
              "length)." },
            { Refused,
              "Refused by the transmitter (an exception answer) or by the feature set of its "
              "firmware; in the latter case nothing was written." },
            { ReadBackDifferent, "Written, but the transmitter read back a different value." },
            { Stopped, "Stopped by Ctrl+C or SIGTERM before every write was made." },
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
        return fail(QStringLiteral("no command given: read, set, monitor or record"));
    }

    request->command = rest.takeFirst();
    const CommandText *command = findCommand(request->command);
    if (!command)
        return fail(QStringLiteral("unknown command %1: read, set, monitor or record")
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
        return fail(QStringLiteral("%1 needs --port PATH").arg(request->command));

    if (isSet("format")) {
        const QStringList formats = request->command == QLatin1String("monitor")
            ? QStringList { "text", "csv" }
            : QStringList { "text", "json", "csv" };
        if (!oneOf("format", formats, &request->format))
            return false;
    }
    if (isSet("count") && !number("count", 1, 1000000000, &request->count))
        return false;
    if (request->command == QLatin1String("record")) {
        request->output = value("output");
        if (request->output.isEmpty())
            return fail(QStringLiteral("record needs --output FILE"));
        request->overwrite = isSet("overwrite");
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
        QString text = QStringLiteral("Usage: %1 COMMAND --port PATH [OPTIONS]\n"
                                      "       %1 COMMAND --help\n"
                                      "       %1 --help | --version\n\n")
                           .arg(program);
        text += wrapped("Reads, sets up and records a Quorvel temperature and humidity "
                        "transmitter on a serial line (Modbus RTU at 19200 baud 8N1, slave "
                        "address 255), with the window's Modbus code, for commissioning in "
                        "series from a script.",
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
               "serial line (Modbus RTU at 19200 baud 8N1, slave address 255), with the Modbus "
               "code of the quorvel-setup window, for commissioning in series from a script. "
               "Each command takes --help.")
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
