// The command-line program, run as a process against the simulator on a pseudo-terminal.
#include "recordschema.h"
#include "simulatorserver.h"

#include <QtTest>

#include <csignal>

namespace {

using Firmware = TransmitterSettings::Firmware;

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs the program with PORT, FILE and REPORT in the arguments replaced; ">PATH" sends stdout
// there.
Run runCli(const QString &arguments, const QString &port, const QString &file,
           const QString &report = QString())
{
    QStringList list = arguments.split(' ', Qt::SkipEmptyParts);
    list.replaceInStrings(QRegularExpression("^PORT$"), port);
    list.replaceInStrings(QRegularExpression("^FILE$"), file);
    list.replaceInStrings(QRegularExpression("^REPORT$"), report);
    QProcess process;
    if (!list.isEmpty() && list.last().startsWith('>'))
        process.setStandardOutputFile(list.takeLast().mid(1));
    process.start(QStringLiteral(QUORVEL_CLI), list);
    Run run;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// The stored parameters as "baud-rate-code parity-code stop-bits-code address".
QString parameters(const SimulatorServer &server)
{
    QVector<quint16> r;
    server.transmitter().readRegisters(200, 6, &r);
    return QStringLiteral("%1 %2 %3 %4").arg(r[0]).arg(r[1]).arg(r[2]).arg(r[5]);
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void subcommands_data()
    {
        QTest::addColumn<int>("firmware");
        QTest::addColumn<QString>("writes"); // how the transmitter takes writes; silent: no answers
        QTest::addColumn<QString>("arguments"); // PORT: the simulator, FILE: a file in a temp dir
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("output"); // patterns on stdout, or stderr on failure
        QTest::addColumn<QString>("absent");     // a text stdout must not hold
        QTest::addColumn<QString>("stored");     // baud, parity, stop-bits codes and address after
        QTest::addColumn<int>("frames");         // requests the simulator received; -1: any

        const int current = int(Firmware::Current), feb2014 = int(Firmware::Feb2014),
                  legacy = int(Firmware::Legacy);
        const QString untouched = "5 0 0 1";
        QTest::newRow("read, current: calculated values and the transmitter's serial number")
            << current << ""
            << "read --port PORT" << 0
            << QStringList { "^Firmware: +QV30__2024-05-14 \\(feature set current\\)$",
                             "^Serial number transmitter: +21034568$",
                             "^Temperature: +2\\d(\\.\\d+)? °C$", "^Wet-bulb temperature: .* °C$",
                             "^Hx alarm: +0$" }
            << "" << untouched << 2;
        QTest::newRow("set, current: all four, written in the window's order, verified")
            << current << ""
            << "set --port PORT --baud 38400 --stop-bits 2 --parity odd --address 25" << 0
            << QStringList { "^address: 1 -> 25\nparity: None -> Odd\nstop bits: 1 -> 2\n"
                             "baud rate: 19200 -> 38400$" }
            << ""
            << "6 2 1 25" << 6;
        QTest::newRow("set, current: what already holds is not written")
            << current << ""
            << "set --port PORT --parity none --address 7" << 0
            << QStringList { "^address: 1 -> 7$" } << "parity"
            << "5 0 0 7" << 3;
        QTest::newRow("set, 2014-02-18: 38400 refused before any write")
            << feb2014 << ""
            << "set --port PORT --address 3 --baud 38400" << 4
            << QStringList { "does not accept 38400 baud; nothing was written; check" } << ""
            << untouched << 1;
        QTest::newRow("set, 2014-02-18: 9600 baud, even parity")
            << feb2014 << ""
            << "set --port PORT --baud 9600 --parity even" << 0
            << QStringList { "^parity: None -> Even\nbaud rate: 19200 -> 9600$" } << ""
            << "4 1 0 1" << 4;
        for (const QString option : { "--parity even", "--stop-bits 2", "--baud 9600" })
            QTest::newRow(qPrintable("set, legacy: " + option + " refused before any write"))
                << legacy << ""
                << "set --port PORT --address 3 " + option << 4
                << QStringList { "Legacy \\(feature set legacy\\) accepts only a new address" }
                << "" << untouched << 1;
        QTest::newRow("set, legacy: a new address")
            << legacy << ""
            << "set --port PORT --address 247" << 0 << QStringList { "^address: 1 -> 247$" } << ""
            << "5 0 0 247" << 3;
        QTest::newRow("set --dry-run: told, not written")
            << current << ""
            << "set --port PORT --stop-bits 2 --dry-run" << 0
            << QStringList { "^stop bits: 1 -> 2 \\(dry run, not written\\)$" } << "" << untouched
            << 1;
        QTest::newRow("set: address 248 is bad usage, the port is not opened")
            << current << ""
            << "set --port PORT --address 248" << 1
            << QStringList { "--address takes a number from 1 to 247" } << "" << untouched << 0;
        // A transmitter that takes written settings at once falls silent at the old ones after
        // every write; the check must be made where it answers now.
        QTest::newRow("set, at once: followed through parity, stop bits and baud rate")
            << current << "immediately"
            << "set --port PORT --unit 1 --parity odd --stop-bits 2 --baud 9600" << 0
            << QStringList { "^baud rate: 19200 -> 9600\nThe transmitter now answers at 9600 8O2, "
                             "address 1$" }
            << ""
            << "4 2 1 1" << -1;
        QTest::newRow("set, at once: a new address followed from unit 1 to unit 9")
            << current << "immediately"
            << "set --port PORT --unit 1 --address 9" << 0
            << QStringList { "^The transmitter now answers at 19200 8N1, address 9$" } << ""
            << "5 0 0 9" << -1;
        QTest::newRow("set, at restart: checked at the old settings, and told so")
            << current << ""
            << "set --port PORT --baud 9600 --stop-bits 2" << 0
            << QStringList { "^The transmitter still answers at 19200 8N1; the new settings take "
                             "effect when it restarts$" }
            << ""
            << "4 0 1 1" << 4;
        QTest::newRow("set: written, echoed, not stored: the writes made, then read back different")
            << current << "ignore"
            << "set --port PORT --address 4 --parity even" << 5
            << QStringList { "^address 1 -> 4 written and acknowledged\n"
                             "parity None -> Even written and acknowledged\n"
                             "quorvel-setup-cli: address written as 4 but read back as 1; check" }
            << "" << untouched << 4;
        QTest::newRow("set --record into a missing folder: refused before the port is opened")
            << current << ""
            << "set --port PORT --address 4 --record /quorvel-no-such-folder/unit.json" << 1
            << QStringList { "^quorvel-setup-cli: Can't write /quorvel-no-such-folder/unit.json: "
                             "no such folder; nothing was done" }
            << "" << untouched << 0;
        QTest::newRow("record into an existing file: refused without --overwrite")
            << current << ""
            << "record --port PORT --output EXISTING" << 1
            << QStringList { "^quorvel-setup-cli: .*existing.json exists; nothing was read; "
                             "check the file name, or give --overwrite" }
            << "" << untouched << 0;
        QTest::newRow("record --overwrite: an existing file replaced")
            << current << ""
            << "record --port PORT --output EXISTING --overwrite" << 0
            << QStringList { "^Record written to .*existing.json$" } << "" << untouched << 2;
        QTest::newRow("read json into a full disk: exit 1, told why")
            << current << ""
            << "read --port PORT --format json >/dev/full" << 1
            << QStringList { "^quorvel-setup-cli: can't write the output: No space left on "
                             "device$" }
            << "" << untouched << 2;
        QTest::newRow("monitor into a full disk: exit 1 after the first row, told why")
            << current << ""
            << "monitor --port PORT --count 3 >/dev/full" << 1
            << QStringList { "^quorvel-setup-cli: can't write the output: No space left on "
                             "device$" }
            << "" << untouched << 2;
        QTest::newRow("monitor --format csv into a full disk: the header fails, nothing asked")
            << current << ""
            << "monitor --port PORT --format csv >/dev/full" << 1
            << QStringList { "^quorvel-setup-cli: can't write the output: No space left on "
                             "device$" }
            << "" << untouched << 0;
        QTest::newRow("read: exception 04 is the transmitter's own failure")
            << current << "failing"
            << "read --port PORT" << 4
            << QStringList { "^quorvel-setup-cli: Exception 04 from the transmitter: server "
                             "device failure; check the transmitter itself" }
            << "" << untouched << 1;
        QTest::newRow("set: the second write refused: the first named as done, then the failure")
            << current << "refuse-second"
            << "set --port PORT --address 4 --parity even" << 4
            << QStringList { "^address 1 -> 4 written and acknowledged\n"
                             "quorvel-setup-cli: Exception 03 from the transmitter: illegal data "
                             "value; refused: write parity = Even" }
            << ""
            << "5 0 0 4" << -1;
        QTest::newRow("set: refused by the transmitter with exception 03")
            << current << "refuse"
            << "set --port PORT --parity even" << 4
            << QStringList { "Exception 03 from the transmitter: illegal data value; refused: "
                             "write parity = Even" }
            << "" << untouched << 2;
        QTest::newRow("monitor csv, current: the recording's header, then a row per cycle")
            << current << ""
            << "monitor --port PORT --count 2 --interval 1 --format csv" << 0
            << QStringList { "^time,event,temperature_degC,.*,transmitter_address,message\n"
                             "([^\n]+,reading,[^\n]+,QV30__2024-05-14,1,\n){2}$" }
            << "" << untouched << 3;
        QTest::newRow("monitor, 2014-02-18: the address, then the values without calculated ones")
            << feb2014 << ""
            << "monitor --port PORT --count 1" << 0
            << QStringList { "^[-0-9T:.+Z]+, address 1, temperature [.\\d]+ °C, temperature "
                             "alarm 0, relative humidity [.\\d]+ % r.H., humidity alarm 0\n$" }
            << "" << untouched << 2;
        QTest::newRow("monitor: a reversed range is bad usage")
            << current << ""
            << "monitor --port PORT --unit 5-2" << 1
            << QStringList { "--unit: \"5-2\" is not a unit address from 1 to 247 or a range" }
            << "" << untouched << 0;
        QTest::newRow("monitor: an address twice is bad usage")
            << current << ""
            << "monitor --port PORT --unit 1-3,2" << 1
            << QStringList { "--unit: unit address 2 is given twice" } << "" << untouched << 0;
        QTest::newRow("publish: a password option does not exist")
            << current << ""
            << "publish --port PORT --broker mqtt://localhost --password secret" << 1
            << QStringList { "Unknown option 'password'" } << "" << untouched << 0;
        QTest::newRow("monitor csv, a silent unit: an error row each cycle, polling goes on")
            << current << "silent"
            << "monitor --port PORT --unit 3 --count 2 --interval 1 --timeout 50 --format csv" << 0
            << QStringList { "^([^\n]+,error,,,,,,,,,,,,,,3,Timeout \\(read persistent "
                             "block\\)\n){2}$" }
            << "" << untouched << 2;
        QTest::newRow("monitor --format json: bad usage, the port is not opened")
            << current << ""
            << "monitor --port PORT --count 1 --format json" << 1
            << QStringList { "--format takes text or csv, not \"json\"" } << "" << untouched << 0;
        QTest::newRow("set --help: usage, options and exit codes; the port is not opened")
            << current << ""
            << "set --help" << 0
            << QStringList { "^Usage: quorvel-setup-cli set --port ENDPOINT \\[--line L\\]",
                             "^  --stop-bits N +The new number of stop bits: 1 or 2.$",
                             "^  5 +Written, but the transmitter read back a different value.$" }
            << "" << untouched << 0;
        QTest::newRow("--version")
            << current << ""
            << "--version" << 0 << QStringList { "^quorvel-setup-cli \\d+\\.\\d+\\.\\d+\n$" } << ""
            << untouched << 0;
        QTest::newRow("read: no answer, three tries")
            << current << "silent"
            << "read --port PORT" << 3
            << QStringList { "^quorvel-setup-cli: Timeout \\(read persistent block, 3 tries\\); "
                             "check the wiring" }
            << "" << untouched << 3;
        QTest::newRow("record: into a folder that does not exist")
            << current << ""
            << "record --port PORT --output /quorvel-no-such-folder/unit.json" << 1
            << QStringList { "^quorvel-setup-cli: Can't write /quorvel-no-such-folder/unit.json: "
                             "no such folder; nothing was done; check that the folder exists" }
            << "" << untouched << 0;
        QTest::newRow("scan json: one object with exactly the documented keys")
            << current << ""
            << "scan --port PORT --units 1-5 --format json" << 0
            << QStringList { "^\\[\n    \\{\n        \"address\": 1,\n        \"collision\": "
                             "false,\n"
                             "        \"firmware\": \"QV30__2024-05-14\",\n        \"housing\": "
                             "1,\n"
                             "        \"line\": \"19200-8N1\",\n        \"probe_serial\": "
                             "21034567,\n"
                             "        \"relative_humidity_pct\": [\\d.]+,\n"
                             "        \"temperature_degC\": [\\d.]+,\n"
                             "        \"transmitter_serial\": 21034568\n    \\}\n\\]$" }
            << "" << untouched << 5 + 2;
        QTest::newRow("scan csv, lone: the unit at 255 and its two reads of values")
            << legacy << ""
            << "scan --port PORT --lone --format csv" << 0
            << QStringList { "^address,line,firmware,housing,probe_serial,transmitter_serial,"
                             "temperature_degC,relative_humidity_pct,collision$",
                             "^1,19200-8N1,Legacy,1,21034567,,[\\d.]+,[\\d.]+,false$" }
            << "" << untouched << 1 + 2;
        QTest::newRow("scan, nobody in 2-6: exit 3")
            << current << ""
            << "scan --port PORT --units 2-6" << 3
            << QStringList { "^quorvel-setup-cli: No transmitter answered at 19200 8N1, "
                             "addresses 2-6; check" }
            << "" << untouched << 5;
        QTest::newRow("scan --lone --units: usage")
            << current << ""
            << "scan --port PORT --lone --units 1-5" << 1
            << QStringList { "--lone tries every line setting at address 255" } << "" << untouched
            << 0;
        QTest::newRow("scan --units 9-3: usage")
            << current << ""
            << "scan --port PORT --units 9-3" << 1
            << QStringList { "--units takes FIRST-LAST within 1-247" } << "" << untouched << 0;
        QTest::newRow("scan --timeout 5000: usage")
            << current << ""
            << "scan --port PORT --timeout 5000" << 1
            << QStringList { "--timeout takes a number from 10 to 1000" } << "" << untouched << 0;
        QTest::newRow("a port that does not exist")
            << current << ""
            << "read --port /dev/quorvel-no-such-port" << 2
            << QStringList { "^quorvel-setup-cli: Can't open /dev/quorvel-no-such-port, error code "
                             "1.*; check the port name" }
            << "" << untouched << 0;
    }

    void subcommands()
    {
        QFETCH(int, firmware);
        QFETCH(QString, writes);
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        QFETCH(QStringList, output);
        QFETCH(QString, absent);
        QFETCH(QString, stored);
        QFETCH(int, frames);

        TransmitterSettings settings;
        settings.setFirmware(Firmware(firmware));
        settings.refuseWrites = writes.startsWith("refuse") ? 3 : 0;
        settings.refuseWritesFrom = writes == "refuse-second" ? 2 : 1;
        settings.ignoreWrites = writes == "ignore";
        if (writes == "immediately")
            settings.applySettings = TransmitterSettings::Apply::Immediately;
        ServerSettings line;
        line.faults.noAnswer = writes == "silent" ? 1 : 0;
        line.faults.exception = writes == "failing" ? 1 : 0;
        SimulatorServer server(settings, line);
        QVERIFY(server.start());
        QTemporaryDir dir;
        const QString file = dir.filePath("record.json");
        QFile existing(dir.filePath("existing.json"));
        QVERIFY(existing.open(QIODevice::WriteOnly) && existing.write("{}") == 2);
        existing.close();

        const Run run = runCli(QString(arguments).replace("EXISTING", existing.fileName()),
                               server.portPath(), file);
        // A failure: the writes already made on stdout, then one line on stderr.
        const QString text = exitCode == 0 ? run.out : run.out + run.err;
        for (const QString &pattern : output) {
            const QRegularExpression re(pattern, QRegularExpression::MultilineOption);
            QVERIFY2(re.match(text).hasMatch(), qPrintable(pattern + "\nnot in:\n" + text));
        }
        QCOMPARE(run.exitCode, exitCode);
        if (exitCode != 0) {
            QCOMPARE(run.err.count('\n'), 1); // one line says what happened
            for (const QString &made : run.out.split('\n', Qt::SkipEmptyParts))
                QVERIFY2(made.endsWith("written and acknowledged"), qPrintable(run.out));
        }
        if (arguments.contains("EXISTING") && exitCode != 0) {
            QVERIFY(existing.open(QIODevice::ReadOnly));
            QCOMPARE(existing.readAll(), "{}");
        }
        if (!absent.isEmpty())
            QVERIFY2(!run.out.contains(absent), qPrintable(run.out));
        QCOMPARE(parameters(server), stored);
        if (frames >= 0)
            QCOMPARE(server.framesReceived(), frames);
        if (arguments.startsWith("record") && exitCode == 0 && !arguments.contains("EXISTING")) {
            const QString problem = schemaProblem(file);
            if (problem == "skip")
                QSKIP("python3-jsonschema is not installed (scripts/install-deps.sh)");
            QVERIFY2(problem.isEmpty(), qPrintable(problem));
        }
    }

    // Each firmware generation's whole record and CSV row, as a reader parses them, against
    // tests/golden/<generation>.txt: only the time, the port, the file and the version vary.
    // Then the schema turns the record down with the edit made.
    void wholeRecords_data()
    {
        QTest::addColumn<int>("firmware");
        QTest::addColumn<QString>("arguments"); // the record into FILE or onto stdout
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("rejection");
        QTest::newRow("current") << int(Firmware::Current)
                                 << "set --port PORT --parity odd --record FILE"
                                 << "r['transmitter']['firmware']['feature_set'] = '2014-02-18'\n"
                                    "del r['transmitter']['transmitter_serial']"
                                 << "'absolute_humidity' is not one of ['temperature',";
        QTest::newRow("2014-02-18") << int(Firmware::Feb2014) << "read --port PORT --format json"
                                    << "del r['reading']['relative_humidity']['unit']"
                                    << "'unit' is a required property";
        QTest::newRow("legacy") << int(Firmware::Legacy) << "record --port PORT --output FILE"
                                << "r['communication']['baud_rate'] = 9600"
                                << "19200 was expected";
    }

    void wholeRecords()
    {
        QFETCH(int, firmware);
        QFETCH(QString, arguments);
        QFETCH(QString, edit);
        TransmitterSettings settings;
        settings.setFirmware(Firmware(firmware));
        settings.firmwareId = "V,\"1"; // a field that a reader's CSV must keep whole
        settings.temperature = 23.456; // values to the hundredth, as the window shows them
        settings.humidity = 45.678;
        settings.temperatureDrift = settings.humidityDrift = 0;
        SimulatorServer server(settings);
        QVERIFY(server.start());
        QTemporaryDir dir;
        const QString file = dir.filePath("record.json");
        QString got = runCli(arguments, server.portPath(), file).out;
        QFile record(file); // the command's record file, or a copy of stdout for the schema
        if (arguments.endsWith("FILE")) {
            QVERIFY(record.open(QIODevice::ReadOnly));
            got += record.readAll();
        } else {
            QVERIFY(record.open(QIODevice::WriteOnly));
            record.write(got.toUtf8());
        }
        record.close();
        got += runCli("read --port PORT --format csv", server.portPath(), file).out;
        got.replace(file, "FILE").replace(server.portPath(), "PORT");
        got.replace(QRegularExpression("\\d{4}-\\d\\d-\\d\\dT[\\d:.]+[-+]\\d\\d:\\d\\d"), "TIME");
        got.replace(QRegularExpression("(\"version\": )\"[^\"]+\""), "\\1\"VERSION\"");
        QFile golden(
            QStringLiteral(QUORVEL_SOURCE_DIR "/tests/golden/%1.txt").arg(QTest::currentDataTag()));
        QVERIFY(golden.open(QIODevice::ReadOnly));
        QCOMPARE(got, QString::fromUtf8(golden.readAll()));
        QCOMPARE(server.framesReceived(), arguments.startsWith("set") ? 6 : 4);

        QString problem = schemaProblem(file);
        if (problem == "skip")
            QSKIP("python3-jsonschema is not installed (scripts/install-deps.sh)");
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QProcess python;
        python.start("python3",
                     { "-c",
                       "import json, sys\nr = json.load(open(sys.argv[1]))\n" + edit
                           + "\njson.dump(r, open(sys.argv[1], 'w'))",
                       file });
        QVERIFY(python.waitForFinished(20000));
        QCOMPARE(python.exitCode(), 0);
        problem = schemaProblem(file);
        QFETCH(QString, rejection);
        QVERIFY2(problem.contains(rejection), qPrintable(problem));
    }

    // The simulator holds 22.5 °C and 45 % r.H. still.
    void check_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");  // a pattern on stdout, or on stderr on bad usage
        QTest::addColumn<QString>("verdict"); // in the record and the report; empty: none
        QTest::addColumn<int>("frames");

        const QString point = "check --port PORT --reads 2 --tag TT-101 --technician Moreau "
                              "--reference-instrument Hygrometer --calibration-due 2026-03-31 "
                              "--output FILE --report REPORT ";
        QTest::newRow("inside tolerance, asked at its own address: exit 0")
            << point
                + "--unit 1 --line 19200-8N1 --reference-temperature 22.3 --reference-humidity 44"
            << 0
            << "^Temperature: reference 22.30 °C, transmitter 22.50 °C \\(spread 0.00 over 2 "
               "reads\\), deviation \\+0.20 °C, tolerance ±0.50 °C: pass\nRelative humidity: "
               "reference 44.00 % r.H., .*: pass\nVerdict: pass\nRecord written"
            << "pass" << 3;
        QTest::newRow("outside tolerance: exit 7, record and report written all the same")
            << point + "--reference-temperature 22.3 --reference-humidity 41 --tolerance-humidity 2"
            << 7 << "^Relative humidity: .*deviation \\+4.00 % r.H., tolerance ±2.00 % r.H.: fail$"
            << "fail" << 3;
        QTest::newRow("no reference temperature: bad usage, the port is not opened")
            << "check --port PORT --output FILE" << 1
            << "^quorvel-setup-cli: check needs --reference-temperature T"
            << "" << 0;
    }

    void check()
    {
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QFETCH(QString, verdict);
        QFETCH(int, frames);

        TransmitterSettings settings;
        settings.temperatureDrift = settings.humidityDrift = 0;
        SimulatorServer server(settings);
        QVERIFY(server.start());
        QTemporaryDir dir;
        const QString file = dir.filePath("record.json"), report = dir.filePath("report.pdf");
        const Run run = runCli(arguments, server.portPath(), file, report);
        const QString text = exitCode == 1 ? run.err : run.out;
        QVERIFY2(text.contains(QRegularExpression(output, QRegularExpression::MultilineOption)),
                 qPrintable(output + "\nnot in:\n" + text));
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(server.framesReceived(), frames);
        if (verdict.isEmpty())
            return;
        QCOMPARE(run.err.count('\n'), exitCode == 0 ? 0 : 1);

        QFile record(file);
        QVERIFY(record.open(QIODevice::ReadOnly));
        const QJsonObject json = QJsonDocument::fromJson(record.readAll()).object();
        QCOMPARE(json["schema_version"].toInt(), 2);
        QCOMPARE(json["acceptance"]["verdict"].toString(), verdict);
        QCOMPARE(json["tag"].toString(), "TT-101");

        QProcess pdftotext;
        pdftotext.start("pdftotext", { report, "-" });
        pdftotext.waitForFinished(20000);
        if (pdftotext.error() == QProcess::FailedToStart)
            QSKIP("pdftotext is not installed (poppler-utils, scripts/install-deps.sh)");
        const QString pdf = QString::fromUtf8(pdftotext.readAllStandardOutput());
        for (const QString &expected : { QString("21034567"), QString("TT-101"),
                                         QString("Overall verdict: ") + verdict.toUpper() })
            QVERIFY2(pdf.contains(expected), qPrintable(expected + "\nnot in:\n" + pdf));

        const QString problem = schemaProblem(file);
        if (problem == "skip")
            QSKIP("python3-jsonschema is not installed (scripts/install-deps.sh)");
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    void ctrlCEndsMonitorWithinATransaction()
    {
        SimulatorServer server { TransmitterSettings() };
        QVERIFY(server.start());
        QProcess process;
        process.start(QStringLiteral(QUORVEL_CLI), { "monitor", "--port", server.portPath() });
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 10000); // the first reading is out
        // Into the pause before the second cycle.
        QTRY_COMPARE_WITH_TIMEOUT(server.framesReceived(), 2, 5000);
        QElapsedTimer timer;
        timer.start();
        ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(3000));
        // A transaction is at most 0.4 s; the pause ends at once.
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        const QByteArray out = process.readAllStandardOutput();
        QVERIFY2(out.endsWith('\n') && process.readAllStandardError().isEmpty(), out.constData());
    }

    void ctrlCDuringSetEndsAfterTheWriteInFlight()
    {
        SimulatorServer server { TransmitterSettings() };
        QVERIFY(server.start());
        QProcess process;
        process.start(QStringLiteral(QUORVEL_CLI),
                      { "set", "--port", server.portPath(), "--address", "25", "--parity", "odd",
                        "--stop-bits", "2" });
        // The read, then the first write on the line: a write listens 0.3 s for its echo.
        QTRY_COMPARE_WITH_TIMEOUT(server.framesReceived(), 2, 5000);
        ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(3000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 8);
        QCOMPARE(process.readAllStandardOutput(), "address 1 -> 25 written and acknowledged\n");
        QVERIFY(process.readAllStandardError().startsWith(
            "quorvel-setup-cli: Stopped before 2 of 3 writes; parity not written"));
        QCOMPARE(parameters(server), "5 0 0 25");
    }

    void monitorGoesOnUntilThePortIsLost()
    {
        ServerSettings line;
        line.faults.noAnswer = 1;
        SimulatorServer server(TransmitterSettings(), line);
        QVERIFY(server.start());
        QProcess process;
        process.start(QStringLiteral(QUORVEL_CLI),
                      { "monitor", "--port", server.portPath(), "--interval", "1" });
        // A missed answer is a line of its own, and the next cycle follows.
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 5000);
        QVERIFY(process.readLine().contains(", error: "));
        QTRY_VERIFY_WITH_TIMEOUT(server.framesReceived() >= 3, 10000);
        server.stop();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), 2);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(QRegularExpression("^quorvel-setup-cli: Lost \\S+: device removed or no longer "
                                    "available; check the port name")
                     .match(err)
                     .hasMatch(),
                 qPrintable(err));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
