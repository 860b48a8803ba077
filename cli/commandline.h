#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include "acceptancecheck.h"
#include "connectionsettings.h"

#include <QDate>
#include <QString>
#include <QStringList>
#include <QVector>

// The command line of quorvel-setup-cli: its subcommands, their options, the exit codes and the
// texts that --help prints and the man page is made from, so the two can never disagree.
namespace CommandLine {

enum ExitCode {
    Success = 0,
    BadUsage = 1,
    PortFailure = 2,
    NoValidAnswer = 3,
    Refused = 4,
    ReadBackDifferent = 5,
    BrokerRefused = 6,
    OutsideTolerance = 7,
    Stopped = 8,
};

// check: one point against the reference, and what the record and the report say besides.
struct CheckRequest
{
    Commissioning::PointInput point;
    Commissioning::Settling settling;
    QString tag;
    QString location;
    QString technician;
    QString referenceInstrument;
    QString referenceSerial;
    QDate calibrationDue;
    QString report; // the PDF; empty: none
};

// What the user asked for, checked for form: a known subcommand, known options, values in range.
// Whether the transmitter accepts them is the subcommand's business.
struct Request
{
    // "read", "set", "monitor", "record", "check", "scan", "publish"; empty with --help or
    // --version alone
    QString command;
    bool help = false;
    bool version = false;
    QString port;
    ConnectionSettings connection;           // --port, --line, --unit and --timeout together
    QString format = QStringLiteral("text"); // text, json or csv
    int count = 0;                           // monitor: 0 runs until Ctrl+C
    QString output;                          // record, check: the record file; set: --record
    int address = 0;                         // set: 0 leaves the address alone
    QString baudRate;                        // set: the text of the code, "19200"; empty: alone
    QString parity;                          // set: "None", "Even" or "Odd"; empty: alone
    QString stopBits;                        // set: "1" or "2"; empty: alone
    bool dryRun = false;
    bool overwrite = false; // record: an existing --output file may be replaced
    // monitor and publish: the units in turn, a cycle every interval.
    QVector<int> units { ConnectionSettings::anyUnit };
    int intervalSeconds = 10;
    // publish
    QString broker; // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    QString topicPrefix = QStringLiteral("quorvel");
    QString discoveryPrefix; // empty: no discovery configs
    QString clientId;        // empty: host name and port
    QString credentials;     // file with the user and the password
    QString caFile;
    bool lone = false;     // scan: one unit at address 255, each line setting in turn
    bool allLines = false; // scan: the bus at each of the 42 line settings
    int firstUnit = ConnectionSettings::firstUnit; // scan: --units FIRST-LAST
    int lastUnit = ConnectionSettings::lastUnit;
    int scanTimeoutMs = 20; // scan: per address
    CheckRequest check;
    QString manPageFile; // hidden: the build writes the man page with it
};

// Parses the arguments after the program name. On a usage error returns false and sets *error
// to one line that names the offending argument.
bool parse(const QStringList &arguments, Request *request, QString *error);

// --help: for a subcommand, or the overview when command is empty.
QString helpText(const QString &command);
QString versionText();
QString manPage();

} // namespace CommandLine

#endif // COMMANDLINE_H
