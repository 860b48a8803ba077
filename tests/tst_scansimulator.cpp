// Both searches against the simulator: several units of every firmware generation on one
// pseudo-terminal, each hearing only its own line settings, and the same line behind its
// Modbus TCP listener.
#include "scanner.h"
#include "scansummary.h"
#include "simulatorserver.h"

#include <QtTest>

namespace {

// "3:current@19200-8N1 17:2014-02-18@19200-8N1": address, firmware and line of each unit.
QVector<TransmitterSettings> units(const QString &list)
{
    QVector<TransmitterSettings> result;
    const TransmitterSettings base;
    for (const QString &unit : list.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString address = unit.section(QLatin1Char(':'), 0, 0);
        const QString firmware = unit.section(QLatin1Char(':'), 1).section(QLatin1Char('@'), 0, 0);
        const QString line = unit.section(QLatin1Char('@'), 1);
        TransmitterSettings s = base.another(result.size(), address.toInt());
        s.setFirmware(firmware == QLatin1String("legacy") ? TransmitterSettings::Firmware::Legacy
                          : firmware == QLatin1String("2014-02-18")
                          ? TransmitterSettings::Firmware::Feb2014
                          : TransmitterSettings::Firmware::Current);
        LineSettings l;
        LineSettings::parse(line, &l);
        s.setLine(l);
        result << s;
    }
    return result;
}

} // namespace

class tst_ScanSimulator : public QObject
{
    Q_OBJECT

private slots:
    void scan_data();
    void scan();
    void overModbusTcp();
};

void tst_ScanSimulator::scan_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("turnaroundMs");
    QTest::addColumn<bool>("lone");
    QTest::addColumn<bool>("allLines");
    QTest::addColumn<QString>("expected");

    // A pseudo-terminal keeps no parity-enable flag: even and no parity are one setting to the
    // simulator, so the settings told apart here differ in speed, stop bits or odd parity.
    QTest::newRow("bus: three firmware generations")
        << "3:current@19200-8N1 17:2014-02-18@19200-8N1 20:legacy@19200-8N1" << 0 << false << false
        << "3@19200-8N1 QV30, 17@19200-8N1 QV20, 20@19200-8N1 QV10";
    QTest::newRow("bus at one setting: a unit at another is not heard")
        << "3:current@19200-8N1 12:current@38400-8O2" << 0 << false << false << "3@19200-8N1 QV30";
    QTest::newRow("bus at all settings: both")
        << "3:current@19200-8N1 12:2014-02-18@38400-8O2" << 0 << false << true
        << "3@19200-8N1 QV30, 12@38400-8O2 QV20";
    QTest::newRow("two units at one address")
        << "5:current@19200-8N1 5:current@19200-8N1 9:legacy@19200-8N1" << 0 << false << false
        << "5@19200-8N1 [collision], 9@19200-8N1 QV10";
    // Answers start 30 ms after each request, after the 20 ms time-out: each lands in the
    // next address's transaction and must not be listed there.
    QTest::newRow("late answers are not credited to the next address")
        << "5:current@19200-8N1" << 30 << false << false << "5@19200-8N1 QV30";
    QTest::newRow("lone at the far end of the order")
        << "88:current@38400-8O2" << 0 << true << false << "88@38400-8O2 QV30";
    QTest::newRow("lone: two units answer 255")
        << "3:current@9600-8N1 4:2014-02-18@9600-8N1" << 0 << true << false
        << "3@9600-8N1 QV30 [several at 255], 4@9600-8N1 QV20 [several at 255]";
}

void tst_ScanSimulator::scan()
{
    QFETCH(QString, line);
    QFETCH(int, turnaroundMs);
    QFETCH(bool, lone);
    QFETCH(bool, allLines);
    QFETCH(QString, expected);

    ServerSettings serverSettings;
    serverSettings.turnaroundMs = turnaroundMs;
    SimulatorServer server(units(line), serverSettings);
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));

    ScanSettings settings;
    settings.endpoint.path = server.portPath();
    settings.search = lone ? ScanSettings::Search::Lone : ScanSettings::Search::Bus;
    settings.allLines = allLines;
    settings.firstUnit = 1;
    settings.lastUnit = 20;
    Scanner scanner(settings);
    const Scanner::Outcome outcome = scanner.run();
    QVERIFY2(outcome == Scanner::Outcome::Finished, qPrintable(scanner.failureText()));
    QCOMPARE(scanSummary(scanner.found()), expected);
}

// A gateway scan walks unit identifiers the same way; line settings are the gateway's.
void tst_ScanSimulator::overModbusTcp()
{
    ServerSettings serverSettings;
    serverSettings.listeners << ServerSettings::Listener {
        ServerSettings::Listener::Kind::ModbusTcp, 0
    };
    SimulatorServer server(units("3:current@19200-8N1 17:legacy@19200-8N1"), serverSettings);
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));

    ScanSettings settings;
    QVERIFY(Endpoint::parse(QStringLiteral("tcp://127.0.0.1:%1").arg(server.listenTcpPort()),
                            &settings.endpoint));
    settings.allLines = true; // a gateway has one line: one pass, not 42
    settings.firstUnit = 1;
    settings.lastUnit = 20;
    Scanner scanner(settings);
    QCOMPARE(scanner.run(), Scanner::Outcome::Finished);
    QCOMPARE(scanSummary(scanner.found()), QStringLiteral("3@19200-8N1 QV30, 17@19200-8N1 QV10"));
    QVERIFY2(scanner.transactions() <= 20 + 2 * 2,
             qPrintable(QString::number(scanner.transactions())));
}

QTEST_GUILESS_MAIN(tst_ScanSimulator)
#include "tst_scansimulator.moc"
