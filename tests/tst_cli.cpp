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

Firmware firmwareNamed(const QString &name)
{
    return name == "legacy"    ? Firmware::Legacy
        : name == "2014-02-18" ? Firmware::Feb2014
                               : Firmware::Current;
}

// setup: the firmware ("legacy", "2014-02-18"; else current) and how the transmitter takes writes
// or answers; output: patterns on stdout, or on stdout and stderr on failure; frames: requests the
// simulator received (-1: any); stored: parameters() afterwards.
void row(const char *name, const QString &setup, const QString &arguments, int exitCode,
         const QStringList &output, int frames = 0, const QString &stored = "5 0 0 1")
{
    QTest::newRow(name) << setup << arguments << exitCode << output << frames << stored;
}

const QString fullDisk = "^quorvel-setup-cli: can't write the output: No space left on device$";

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void subcommands_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("arguments"); // PORT: the simulator, FILE: a file in a temp dir
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("output");
        QTest::addColumn<int>("frames");
        QTest::addColumn<QString>("stored");

        row("read, current: calculated values and the transmitter's serial number", "",
            "read --port PORT", 0,
            { "^Firmware: +QV30__2024-05-14 \\(feature set current\\)$",
              "^Serial number transmitter: +21034568$", "^Temperature: +2\\d(\\.\\d+)? °C$",
              "^Wet-bulb temperature: .* °C$", "^Hx alarm: +0$" },
            2);
        row("set, current: all four, written in the window's order, verified", "",
            "set --port PORT --baud 38400 --stop-bits 2 --parity odd --address 25", 0,
            { "^address: 1 -> 25\nparity: None -> Odd\nstop bits: 1 -> 2\nbaud rate: 19200 -> "
              "38400$" },
            6, "6 2 1 25");
        row("set, current: what already holds is not written", "",
            "set --port PORT --parity none --address 7", 0,
            { "\\A(?![\\s\\S]*parity)address: 1 -> 7$" }, 3, "5 0 0 7");
        row("set, 2014-02-18: 38400 refused before any write", "2014-02-18",
            "set --port PORT --address 3 --baud 38400", 4,
            { "does not accept 38400 baud; nothing was written; check" }, 1);
        row("set, 2014-02-18: 9600 baud, even parity", "2014-02-18",
            "set --port PORT --baud 9600 --parity even", 0,
            { "^parity: None -> Even\nbaud rate: 19200 -> 9600$" }, 4, "4 1 0 1");
        for (const QString option : { "--parity even", "--stop-bits 2", "--baud 9600" })
            row(qPrintable("set, legacy: " + option + " refused before any write"), "legacy",
                "set --port PORT --address 3 " + option, 4,
                { "Legacy \\(feature set legacy\\) accepts only a new address" }, 1);
        row("set, legacy: a new address", "legacy", "set --port PORT --address 247", 0,
            { "^address: 1 -> 247$" }, 3, "5 0 0 247");
        row("set --dry-run: told, not written", "", "set --port PORT --stop-bits 2 --dry-run", 0,
            { "^stop bits: 1 -> 2 \\(dry run, not written\\)$" }, 1);
        row("set: address 248 is bad usage, the port is not opened", "",
            "set --port PORT --address 248", 1, { "--address takes a number from 1 to 247" });
        // A transmitter that takes written settings at once falls silent at the old ones after
        // every write; the check must be made where it answers now.
        row("set, at once: followed through parity, stop bits and baud rate", "immediately",
            "set --port PORT --unit 1 --parity odd --stop-bits 2 --baud 9600", 0,
            { "^baud rate: 19200 -> 9600\nThe transmitter now answers at 9600 8O2, address 1$" },
            -1, "4 2 1 1");
        row("set, at once: a new address followed from unit 1 to unit 9", "immediately",
            "set --port PORT --unit 1 --address 9", 0,
            { "^The transmitter now answers at 19200 8N1, address 9$" }, -1, "5 0 0 9");
        row("set, at restart: checked at the old settings, and told so", "",
            "set --port PORT --baud 9600 --stop-bits 2", 0,
            { "^The transmitter still answers at 19200 8N1; the new settings take effect when it "
              "restarts$" },
            4, "4 0 1 1");
        row("set: written, echoed, not stored: the writes made, then read back different", "ignore",
            "set --port PORT --address 4 --parity even", 5,
            { "^address 1 -> 4 written and acknowledged\nparity None -> Even written and "
              "acknowledged\nquorvel-setup-cli: address written as 4 but read back as 1; check" },
            4);
        row("set: the second write refused: the first named as done, then the failure",
            "refuse-second", "set --port PORT --address 4 --parity even", 4,
            { "^address 1 -> 4 written and acknowledged\nquorvel-setup-cli: Exception 03 from the "
              "transmitter: illegal data value; refused: write parity = Even" },
            -1, "5 0 0 4");
        row("set: refused by the transmitter with exception 03", "refuse",
            "set --port PORT --parity even", 4,
            { "Exception 03 from the transmitter: illegal data value; refused: write parity = "
              "Even" },
            2);
        row("set --record into a missing folder: refused before the port is opened", "",
            "set --port PORT --address 4 --record /quorvel-no-such-folder/unit.json", 1,
            { "^quorvel-setup-cli: Can't write /quorvel-no-such-folder/unit.json: no such folder; "
              "nothing was done; check that the folder exists" });
        row("record into an existing file: refused without --overwrite", "",
            "record --port PORT --output EXISTING", 1,
            { "^quorvel-setup-cli: .*existing.json exists; nothing was read; check the file "
              "name, or give --overwrite" });
        row("record --overwrite: an existing file replaced", "",
            "record --port PORT --output EXISTING --overwrite", 0,
            { "^Record written to .*existing.json$" }, 2);
        row("read json into a full disk: exit 1, told why", "",
            "read --port PORT --format json >/dev/full", 1, { fullDisk }, 2);
        row("monitor into a full disk: exit 1 after the first row, told why", "",
            "monitor --port PORT --count 3 >/dev/full", 1, { fullDisk }, 2);
        row("monitor --format csv into a full disk: the header fails, nothing asked", "",
            "monitor --port PORT --format csv >/dev/full", 1, { fullDisk });
        row("read: exception 04 is the transmitter's own failure", "failing", "read --port PORT", 4,
            { "^quorvel-setup-cli: Exception 04 from the transmitter: server device failure; "
              "check the transmitter itself" },
            1);
        row("read: no answer, three tries", "silent", "read --port PORT", 3,
            { "^quorvel-setup-cli: Timeout \\(read persistent block, 3 tries\\); check the "
              "wiring" },
            3);
        row("a port that does not exist", "", "read --port /dev/quorvel-no-such-port", 2,
            { "^quorvel-setup-cli: Can't open /dev/quorvel-no-such-port, error code 1.*; check "
              "the port name" });
        row("monitor csv, current: the recording's header, then a row per cycle", "",
            "monitor --port PORT --count 2 --interval 1 --format csv", 0,
            { "^time,event,temperature_degC,.*,transmitter_address,message\n([^\n]+,reading,[^\n]+,"
              "QV30__2024-05-14,1,\n){2}$" },
            3);
        row("monitor, 2014-02-18: the address, then the values without calculated ones",
            "2014-02-18", "monitor --port PORT --count 1", 0,
            { "^[-0-9T:.+Z]+, address 1, temperature [.\\d]+ °C, temperature alarm 0, relative "
              "humidity [.\\d]+ % r.H., humidity alarm 0\n$" },
            2);
        row("monitor csv, a silent unit: an error row each cycle, polling goes on", "silent",
            "monitor --port PORT --unit 3 --count 2 --interval 1 --timeout 50 --format csv", 0,
            { "^([^\n]+,error,,,,,,,,,,,,,,3,Timeout \\(read persistent block\\)\n){2}$" }, 2);
        row("monitor: a reversed range is bad usage", "", "monitor --port PORT --unit 5-2", 1,
            { "--unit: \"5-2\" is not a unit address from 1 to 247 or a range" });
        row("monitor: an address twice is bad usage", "", "monitor --port PORT --unit 1-3,2", 1,
            { "--unit: unit address 2 is given twice" });
        row("monitor --format json: bad usage, the port is not opened", "",
            "monitor --port PORT --count 1 --format json", 1,
            { "--format takes text or csv, not \"json\"" });
        row("check without a reference temperature: bad usage, the port is not opened", "",
            "check --port PORT --output FILE", 1,
            { "^quorvel-setup-cli: check needs --reference-temperature T" });
        row("publish: a password option does not exist", "",
            "publish --port PORT --broker mqtt://localhost --password secret", 1,
            { "Unknown option 'password'" });
        row("set --help: usage, options and exit codes; the port is not opened", "", "set --help",
            0,
            { "^Usage: quorvel-setup-cli set --port ENDPOINT \\[--line L\\]",
              "^  --stop-bits N +The new number of stop bits: 1 or 2.$",
              "^  5 +Written, but the transmitter read back a different value.$" });
        row("--version", "", "--version", 0, { "^quorvel-setup-cli \\d+\\.\\d+\\.\\d+\n$" });
        row("scan json: one object with exactly the documented keys", "",
            "scan --port PORT --units 1-5 --format json", 0,
            { "^\\[\n    \\{\n        \"address\": 1,\n        \"collision\": false,\n        "
              "\"firmware\": \"QV30__2024-05-14\",\n        \"housing\": 1,\n        \"line\": "
              "\"19200-8N1\",\n        \"probe_serial\": 21034567,\n        "
              "\"relative_humidity_pct\": [\\d.]+,\n        \"temperature_degC\": [\\d.]+,\n"
              "        \"transmitter_serial\": 21034568\n    \\}\n\\]$" },
            5 + 2);
        row("scan csv, lone: the unit at 255 and its two reads of values", "legacy",
            "scan --port PORT --lone --format csv", 0,
            { "^address,line,firmware,housing,probe_serial,transmitter_serial,temperature_degC,"
              "relative_humidity_pct,collision$",
              "^1,19200-8N1,Legacy,1,21034567,,[\\d.]+,[\\d.]+,false$" },
            1 + 2);
        row("scan, nobody in 2-6: exit 3", "", "scan --port PORT --units 2-6", 3,
            { "^quorvel-setup-cli: No transmitter answered at 19200 8N1, addresses 2-6; check" },
            5);
        row("scan --lone --units: usage", "", "scan --port PORT --lone --units 1-5", 1,
            { "--lone tries every line setting at address 255" });
        row("scan --units 9-3: usage", "", "scan --port PORT --units 9-3", 1,
            { "--units takes FIRST-LAST within 1-247" });
        row("scan --timeout 5000: usage", "", "scan --port PORT --timeout 5000", 1,
            { "--timeout takes a number from 10 to 1000" });
    }

    void subcommands()
    {
        QFETCH(QString, setup);
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        QFETCH(QStringList, output);
        QFETCH(int, frames);

        TransmitterSettings settings;
        settings.setFirmware(firmwareNamed(setup));
        settings.refuseWrites = setup.startsWith("refuse") ? 3 : 0;
        settings.refuseWritesFrom = setup == "refuse-second" ? 2 : 1;
        settings.ignoreWrites = setup == "ignore";
        if (setup == "immediately")
            settings.applySettings = TransmitterSettings::Apply::Immediately;
        ServerSettings line;
        line.faults.noAnswer = setup == "silent" ? 1 : 0;
        line.faults.exception = setup == "failing" ? 1 : 0;
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
        QTEST(parameters(server), "stored");
        if (frames >= 0)
            QCOMPARE(server.framesReceived(), frames);
    }

    // Each firmware generation's whole record and CSV row, as a reader parses them, against
    // tests/golden/<generation>.txt: only the time, the port, the file and the version vary.
    // Then the schema turns the record down with the edit made.
    void wholeRecords_data()
    {
        QTest::addColumn<QString>("arguments"); // the record into FILE or onto stdout
        QTest::addColumn<QString>("edit");
        QTest::addColumn<QString>("rejection");
        QTest::newRow("current") << "set --port PORT --parity odd --record FILE"
                                 << "r['transmitter']['firmware']['feature_set'] = '2014-02-18'\n"
                                    "del r['transmitter']['transmitter_serial']"
                                 << "'absolute_humidity' is not one of ['temperature',";
        QTest::newRow("2014-02-18") << "read --port PORT --format json"
                                    << "del r['reading']['relative_humidity']['unit']"
                                    << "'unit' is a required property";
        QTest::newRow("legacy") << "record --port PORT --output FILE"
                                << "r['communication']['baud_rate'] = 9600"
                                << "19200 was expected";
    }

    void wholeRecords()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, edit);
        TransmitterSettings settings;
        settings.setFirmware(firmwareNamed(QTest::currentDataTag()));
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

    // The simulator holds 22.5 °C and 45 % r.H. still; the verdict goes with the exit code.
    void check_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output"); // a pattern on stdout
        QTest::newRow("inside tolerance, asked at its own address: exit 0")
            << "--unit 1 --line 19200-8N1 --reference-temperature 22.3 --reference-humidity 44" << 0
            << "^Temperature: reference 22.30 °C, transmitter 22.50 °C \\(spread 0.00 over 2 "
               "reads\\), deviation \\+0.20 °C, tolerance ±0.50 °C: pass\nRelative humidity: "
               "reference 44.00 % r.H., .*: pass\nVerdict: pass\nRecord written";
        QTest::newRow("outside tolerance: exit 7, record and report written all the same")
            << "--reference-temperature 22.3 --reference-humidity 41 --tolerance-humidity 2" << 7
            << "^Relative humidity: .*deviation \\+4.00 % r.H., tolerance ±2.00 % r.H.: fail$";
    }

    void check()
    {
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        TransmitterSettings settings;
        settings.temperatureDrift = settings.humidityDrift = 0;
        SimulatorServer server(settings);
        QVERIFY(server.start());
        QTemporaryDir dir;
        const QString file = dir.filePath("record.json"), report = dir.filePath("report.pdf");
        const Run run = runCli("check --port PORT --reads 2 --tag TT-101 --technician Moreau "
                               "--reference-instrument Hygrometer --calibration-due 2026-03-31 "
                               "--output FILE --report REPORT "
                                   + arguments,
                               server.portPath(), file, report);
        QVERIFY2(run.out.contains(QRegularExpression(output, QRegularExpression::MultilineOption)),
                 qPrintable(output + "\nnot in:\n" + run.out));
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(server.framesReceived(), 3);
        QCOMPARE(run.err.count('\n'), exitCode == 0 ? 0 : 1);

        const QString verdict = exitCode == 0 ? "pass" : "fail";
        QFile record(file); // its version follows from the schema: a tag needs version 2
        QVERIFY(record.open(QIODevice::ReadOnly));
        const QJsonObject json = QJsonDocument::fromJson(record.readAll()).object();
        QCOMPARE(json["acceptance"]["verdict"].toString() + ' ' + json["tag"].toString(),
                 verdict + " TT-101");
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

    // A command ended from outside: Ctrl+C once the given request is on the line, or the port
    // taken away; it ends within the transaction in flight and says what it had done.
    void interrupted_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("frames"); // received before the interruption
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("outPattern");
        QTest::addColumn<QString>("errPattern");
        QTest::addColumn<QString>("stored");
        // Into the pause before the second cycle; a transaction is at most 0.4 s.
        QTest::newRow("Ctrl+C in monitor's pause: exit 0, whole lines")
            << "monitor --port PORT" << 2 << 0 << "\\A([^\n]+\n)+\\z"
            << "\\A\\z"
            << "5 0 0 1";
        // The read, then the first write on the line: a write listens 0.3 s for its echo.
        QTest::newRow("Ctrl+C during set: the write in flight ends, the rest are not made")
            << "set --port PORT --address 25 --parity odd --stop-bits 2" << 2 << 8
            << "\\Aaddress 1 -> 25 written and acknowledged\n\\z"
            << "^quorvel-setup-cli: Stopped before 2 of 3 writes; parity not written"
            << "5 0 0 25";
        // Missed answers are a line each and the next cycle follows; only a lost port ends it.
        QTest::newRow("monitor, silent unit, then the port lost: exit 2 in the port's words")
            << "monitor --port PORT --interval 1 lost" << 3 << 2 << "\\A([^\n]+, error: [^\n]+\n)+"
            << "^quorvel-setup-cli: Lost \\S+: device removed or no longer available; check the "
               "port name"
            << "5 0 0 1";
    }

    void interrupted()
    {
        QFETCH(QString, arguments);
        QFETCH(int, frames);
        const bool lost = arguments.endsWith(" lost");
        ServerSettings line;
        line.faults.noAnswer = lost ? 1 : 0;
        SimulatorServer server(TransmitterSettings(), line);
        QVERIFY(server.start());
        QProcess process;
        process.start(QStringLiteral(QUORVEL_CLI),
                      arguments.remove(" lost").replace("PORT", server.portPath()).split(' '));
        QTRY_VERIFY_WITH_TIMEOUT(server.framesReceived() >= frames, 10000);
        QElapsedTimer timer;
        timer.start();
        if (lost)
            server.stop();
        else
            ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(5000));
        QVERIFY2(lost || timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QTEST(process.exitCode(), "exitCode");
        QFETCH(QString, outPattern);
        QFETCH(QString, errPattern);
        const QString out = QString::fromUtf8(process.readAllStandardOutput()),
                      err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(QRegularExpression(outPattern).match(out).hasMatch(), qPrintable(out));
        QVERIFY2(QRegularExpression(errPattern).match(err).hasMatch(), qPrintable(err));
        QTEST(parameters(server), "stored");
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
