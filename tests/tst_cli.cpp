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

// Runs the program with PORT and FILE in the arguments replaced; ">PATH" sends stdout there.
Run runCli(const QString &arguments, const QString &port, const QString &file)
{
    QStringList list = arguments.split(' ', Qt::SkipEmptyParts);
    list.replaceInStrings(QRegularExpression("^PORT$"), port);
    list.replaceInStrings(QRegularExpression("^FILE$"), file);
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
        QTest::newRow("read json, 2014-02-18: no calculated value, no transmitter serial")
            << feb2014 << ""
            << "read --port PORT --format json" << 0
            << QStringList { "\"feature_set\": \"2014-02-18\"", "\"baud_rate\": 19200",
                             "\"unit\": \"% r.H.\"" }
            << "dew_point" << untouched << 2;
        QTest::newRow("read csv, legacy: calculated columns empty, line fixed at 19200 None 1")
            << legacy << ""
            << "read --port PORT --format csv" << 0
            << QStringList { "^time,temperature_degC,temperature_alarm,relative_humidity_pct,"
                             "humidity_alarm,probe_serial,transmitter_serial,dew_point_degC,",
                             "^[-0-9T:.]+[-+]\\d\\d:\\d\\d,2\\d[.\\d]*,0,[.\\d]+,0,21034567,,,,,,,,"
                             "Legacy,1,"
                             "legacy,1,19200,None,1$" }
            << "QV10" << untouched << 2;
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
        QTest::newRow("set, legacy: the parity refused before any write")
            << legacy << ""
            << "set --port PORT --address 3 --parity even" << 4
            << QStringList { "Legacy \\(feature set legacy\\) accepts only a new address" } << ""
            << untouched << 1;
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
        QTest::newRow("read: exception 04 is the transmitter's own failure")
            << current << "failing"
            << "read --port PORT" << 4
            << QStringList { "^quorvel-setup-cli: Exception 04 from the transmitter: server "
                             "device failure; check the transmitter itself" }
            << "" << untouched << 1;
        QTest::newRow("set: refused by the transmitter with exception 03")
            << current << "refuse"
            << "set --port PORT --parity even" << 4
            << QStringList { "Exception 03 from the transmitter: illegal data value; refused: "
                             "write parity = Even" }
            << "" << untouched << 2;
        QTest::newRow("monitor csv, current: a header, then two rows")
            << current << ""
            << "monitor --port PORT --count 2 --format csv" << 0
            << QStringList { "^time,temperature_degC,.*,stop_bits\n([^\n]+,current,1,19200,None,"
                             "1\n){2}$" }
            << "" << untouched << 4;
        QTest::newRow("monitor, 2014-02-18: one line without calculated values")
            << feb2014 << ""
            << "monitor --port PORT --count 1" << 0
            << QStringList { "^[-0-9T:.+Z]+, temperature [.\\d]+ °C, temperature alarm 0, "
                             "relative humidity [.\\d]+ % r.H., humidity alarm 0\n$" }
            << "" << untouched << 2;
        QTest::newRow("monitor, legacy: one line")
            << legacy << ""
            << "monitor --port PORT --count 1" << 0 << QStringList { "humidity alarm 0\n$" }
            << "dew" << untouched << 2;
        for (const auto &[name, firmware] :
             { std::pair { "current", current }, { "2014-02-18", feb2014 }, { "legacy", legacy } })
            QTest::newRow(qPrintable(QString("record, %1").arg(name)))
                << firmware << ""
                << "record --port PORT --output FILE" << 0
                << QStringList { "^Record written to .*record.json$" } << "" << untouched << 2;
        QTest::newRow("set --help: usage, options and exit codes; the port is not opened")
            << current << ""
            << "set --help" << 0
            << QStringList { "^Usage: quorvel-setup-cli set --port PATH \\[--address N\\]",
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
        settings.refuseWrites = writes == "refuse" ? 3 : 0;
        settings.ignoreWrites = writes == "ignore";
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

    void recordsMatchTheSchema_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("edit"); // a change to the record that the schema must reject
        QTest::addColumn<QString>("rejection");
        QTest::newRow("set --record: before and after; calculated values in a 2014-02-18 one")
            << "set --port PORT --parity odd --record FILE"
            << "r['transmitter']['firmware']['feature_set'] = '2014-02-18'\n"
               "del r['transmitter']['transmitter_serial']"
            << "'absolute_humidity' is not one of ['temperature',";
        QTest::newRow("read json: as a record; without the humidity's unit")
            << "read --port PORT --format json"
            << "del r['reading']['relative_humidity']['unit']"
            << "'unit' is a required property";
    }

    void recordsMatchTheSchema()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, edit);
        QFETCH(QString, rejection);
        SimulatorServer server { TransmitterSettings() };
        QVERIFY(server.start());
        QTemporaryDir dir;
        const QString file = dir.filePath("record.json");
        const Run run = runCli(arguments, server.portPath(), file);
        QCOMPARE(run.exitCode, 0);
        if (arguments.contains("json")) {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(run.out.toUtf8());
        }
        QString problem = schemaProblem(file);
        if (problem == "skip")
            QSKIP("python3-jsonschema is not installed (scripts/install-deps.sh)");
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        if (arguments.contains("--record")) {
            QFile record(file);
            QVERIFY(record.open(QIODevice::ReadOnly));
            const QJsonObject change =
                QJsonDocument::fromJson(record.readAll())["change"].toObject();
            QCOMPARE(change["before"]["parity"].toString() + change["after"]["parity"].toString(),
                     "noneodd");
        }

        // The same check turns down a record with the edit made.
        QProcess python;
        python.start("python3",
                     { "-c",
                       "import json, sys\nr = json.load(open(sys.argv[1]))\n" + edit
                           + "\njson.dump(r, open(sys.argv[1], 'w'))",
                       file });
        QVERIFY(python.waitForFinished(20000));
        QCOMPARE(python.exitCode(), 0);
        problem = schemaProblem(file);
        QVERIFY2(problem.contains(rejection), qPrintable(problem));
    }

    void ctrlCEndsMonitorWithinATransaction()
    {
        SimulatorServer server { TransmitterSettings() };
        QVERIFY(server.start());
        QProcess process;
        process.start(QStringLiteral(QUORVEL_CLI), { "monitor", "--port", server.portPath() });
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 10000); // the first reading is out
        // Into the second cycle's pause or transaction, whichever it is in.
        QTRY_COMPARE_WITH_TIMEOUT(server.framesReceived(), 3, 5000);
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
        QCOMPARE(process.exitCode(), 6);
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
        process.start(QStringLiteral(QUORVEL_CLI), { "monitor", "--port", server.portPath() });
        // A missed answer is a line of its own, and the next read follows.
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 5000);
        QVERIFY(process.readLine().contains(", no reading: Timeout (read persistent block)"));
        QTRY_VERIFY_WITH_TIMEOUT(server.framesReceived() >= 3, 5000);
        server.stop();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), 2);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(QRegularExpression("^quorvel-setup-cli: Lost port [^,]+, error code \\d+: .*; "
                                    "check the port name")
                     .match(err)
                     .hasMatch(),
                 qPrintable(err));
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
