// Both searches against the simulator: several units of every firmware generation on one
// pseudo-terminal, each hearing only its own line settings, and the same line behind its
// Modbus TCP listener.
#include "scansummary.h"
#include "simulatorserver.h"

#include <QtTest>

class tst_ScanSimulator : public QObject
{
    Q_OBJECT

private slots:
    void scan_data()
    {
        QTest::addColumn<QString>("units"); // as scanUnits() reads them
        QTest::addColumn<int>("turnaroundMs");
        QTest::addColumn<QString>("search"); // "bus", "all lines", "lone", "tcp" (all lines)
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const char *units, int turnaroundMs,
                            const char *search, const char *expected) {
            QTest::newRow(name) << units << turnaroundMs << search << expected;
        };
        // A pseudo-terminal keeps no parity-enable flag: even and no parity are one setting to
        // the simulator, so the settings told apart here differ in speed, stop bits or odd parity.
        row("bus: three firmware generations", "3:current 17:2014-02-18 20:legacy", 0, "bus",
            "3@19200-8N1 QV30, 17@19200-8N1 QV20, 20@19200-8N1 QV10");
        row("bus at one setting: a unit at another is not heard", "3:current 12:current@38400-8O2",
            0, "bus", "3@19200-8N1 QV30");
        row("bus at all settings: both", "3:current 12:2014-02-18@38400-8O2", 0, "all lines",
            "3@19200-8N1 QV30, 12@38400-8O2 QV20");
        row("two units at one address", "5:current 5:current 9:legacy", 0, "bus",
            "5@19200-8N1 [collision], 9@19200-8N1 QV10");
        // Answers start 30 ms after each request, after the 20 ms time-out: each lands in the
        // next address's transaction and must not be listed there.
        row("late answers are not credited to the next address", "5:current", 30, "bus",
            "5@19200-8N1 QV30");
        row("lone at the far end of the order", "88:current@38400-8O2", 0, "lone",
            "88@38400-8O2 QV30");
        row("lone: two units answer 255", "3:current@9600-8N1 4:2014-02-18@9600-8N1", 0, "lone",
            "3@9600-8N1 QV30 [several at 255], 4@9600-8N1 QV20 [several at 255]");
        // A gateway has one line: all lines is one pass over the unit identifiers, not 42.
        row("Modbus TCP gateway", "3:current 17:legacy", 0, "tcp",
            "3@19200-8N1 QV30, 17@19200-8N1 QV10");
    }

    void scan()
    {
        QFETCH(QString, units);
        QFETCH(int, turnaroundMs);
        QFETCH(QString, search);
        ServerSettings serverSettings;
        serverSettings.turnaroundMs = turnaroundMs;
        if (search == "tcp")
            serverSettings.listeners << ServerSettings::Listener();
        SimulatorServer server(scanUnits(units), serverSettings);
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));

        ScanSettings settings;
        settings.endpoint.path = server.portPath();
        if (search == "tcp")
            QVERIFY(Endpoint::parse(QString("tcp://127.0.0.1:%1").arg(server.listenTcpPort()),
                                    &settings.endpoint));
        settings.search = search == "lone" ? ScanSettings::Search::Lone : ScanSettings::Search::Bus;
        settings.allLines = search == "all lines" || search == "tcp";
        settings.firstUnit = 1;
        settings.lastUnit = 20;
        Scanner scanner(settings);
        QVERIFY2(scanner.run() == Scanner::Outcome::Finished, qPrintable(scanner.failureText()));
        QTEST(scanSummary(scanner.found()), "expected");
        // Each address once, and a found unit's values: no pass per line setting.
        QVERIFY(search != "tcp" || scanner.transactions() <= 20 + 2 * 2);
    }
};

QTEST_GUILESS_MAIN(tst_ScanSimulator)
#include "tst_scansimulator.moc"
