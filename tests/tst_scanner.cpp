// The scanner's sequencing against a bus made in the test: units at their own addresses and
// line settings, answering through the simulator's own slave, with the faults a real bus has.

#include "modbusendpoint.h"
#include "rtuslave.h"
#include "scanner.h"
#include "scanreport.h"
#include "scansummary.h"
#include "transmittermodel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

struct FakeUnit
{
    int address = 1;
    LineSettings line;
    TransmitterSettings::Firmware firmware = TransmitterSettings::Firmware::Current;
    bool slow = false;       // answers 40 ms after the request: too late for a 20 ms time-out
    bool twoSerials = false; // stands for two units at one address that take turns
};

// Everything on the line: every unit at the line setting in use hears the request; two answers
// at once collide into bytes that no frame check accepts.
struct FakeBus
{
    QList<FakeUnit> units;
    QByteArray pending;            // a slow unit's answer, arriving in the next transaction
    LineSettings refused;          // the port cannot be set to this one
    const char *refusal = nullptr; // the failed step's trace line
    int exchanges = 0;
    int answersTaken = 0;

    QByteArray answer(const FakeUnit &unit, const QByteArray &request)
    {
        TransmitterSettings s;
        s.setFirmware(unit.firmware);
        s.address = unit.address;
        s.housing = 3;
        s.probeSerial = 1000 + unit.address;
        s.transmitterSerial = 2000 + unit.address;
        if (unit.twoSerials && answersTaken++ % 2)
            s.probeSerial += 500;
        TransmitterModel model(s);
        return RtuSlave(&model).answer(request);
    }

    ModbusTransaction exchange(const QByteArray &request, const ReceiveTiming &timing,
                               const LineSettings &line)
    {
        ++exchanges;
        ModbusTransaction t;
        t.request = request;
        QByteArray heard = pending;
        pending.clear();
        for (const FakeUnit &unit : qAsConst(units)) {
            if (unit.line != line)
                continue;
            const QByteArray a = answer(unit, request);
            if (a.isEmpty())
                continue;
            if (unit.slow && timing.timeoutMs < 40) {
                pending = a;
                continue;
            }
            heard += a;
        }
        t.answer = heard;
        t.judgement = ModbusProtocol::judgeResponse(heard);
        return t;
    }
};

class FakeEndpoint : public ModbusEndpoint
{
public:
    FakeEndpoint(FakeBus *bus, const LineSettings &line) : bus(bus), line(line) { }
    bool open(QString *failure, const char **trace) override
    {
        if (bus->refusal && line == bus->refused) {
            *failure = QStringLiteral("Can't set odd parity");
            *trace = bus->refusal;
            return false;
        }
        return opened = true;
    }
    void close() override { opened = false; }
    bool isOpen() const override { return opened; }
    bool staysOpen() const override { return false; }
    void setLine(const LineSettings &l) override { line = l; }
    ModbusTransaction exchange(const QByteArray &request, const ReceiveTiming &timing) override
    {
        return bus->exchange(request, timing, line);
    }

private:
    FakeBus *bus;
    LineSettings line;
    bool opened = false;
};

LineSettings line(const char *text)
{
    LineSettings l;
    LineSettings::parse(QLatin1String(text), &l);
    return l;
}

using Firmware = TransmitterSettings::Firmware;

} // namespace

Q_DECLARE_METATYPE(QList<FakeUnit>)

class tst_Scanner : public QObject
{
    Q_OBJECT

private slots:
    void scan_data();
    void scan();
    void cancelEndsAfterTheTransactionInFlight();
    void aSettingThePortRefuses_data();
    void aSettingThePortRefuses();
    void jsonHasExactlyTheDocumentedKeys();
};

void tst_Scanner::scan_data()
{
    QTest::addColumn<QList<FakeUnit>>("units");
    QTest::addColumn<bool>("lone");
    QTest::addColumn<bool>("allLines");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("maxExchanges");

    const LineSettings standard;
    const FakeUnit current { 3, standard, Firmware::Current };
    const FakeUnit feb2014 { 17, standard, Firmware::Feb2014 };
    const FakeUnit legacy { 200, standard, Firmware::Legacy };

    QTest::newRow("silent line: one request per address")
        << QList<FakeUnit>() << false << false << QString() << 247;
    QTest::newRow("three firmware generations, each found once")
        << QList<FakeUnit> { current, feb2014, legacy } << false << false
        << "3@19200-8N1 QV30, 17@19200-8N1 QV20, 200@19200-8N1 QV10" << 247 + 3 * 2;
    QTest::newRow("two units at one address: garbled twice")
        << QList<FakeUnit> { { 5, standard }, { 5, standard } } << false << false
        << "5@19200-8N1 [collision]" << 248;
    QTest::newRow("two units at one address taking turns: two serial numbers")
        << QList<FakeUnit> { { 9, standard, Firmware::Current, false, true } } << false << false
        << "9@19200-8N1 QV30 [collision]" << 247 + 2;
    // The answer of 7 arrives in 8's transaction: 8 must not be listed; 7 is asked again with a
    // longer wait at the end of the pass.
    QTest::newRow("late answer not credited to the next address")
        << QList<FakeUnit> { { 7, standard, Firmware::Current, true } } << false << false
        << "7@19200-8N1 QV30" << 247 + 1 + 3;
    QTest::newRow("all lines: only the settings that answer 255 are walked")
        << QList<FakeUnit> { current, { 12, line("9600-8E1") } } << false << true
        << "3@19200-8N1 QV30, 12@9600-8E1 QV30" << 42 + 2 * 247 + 2 * 2;
    QTest::newRow("lone, legacy at the most common setting: one request and its values")
        << QList<FakeUnit> { { 4, standard, Firmware::Legacy } } << true << false
        << "4@19200-8N1 QV10" << 1 + 2;
    QTest::newRow("lone, two units answer 255: found by address")
        << QList<FakeUnit> { { 3, line("9600-8E1") }, { 4, line("9600-8E1") } } << true << false
        << "3@9600-8E1 QV30 [several at 255], 4@9600-8E1 QV30 [several at 255]" << 4 + 247 + 2 * 2;
    QTest::newRow("lone, nobody there: every setting once")
        << QList<FakeUnit>() << true << false << QString() << 42;
}

void tst_Scanner::scan()
{
    QFETCH(QList<FakeUnit>, units);
    QFETCH(bool, lone);
    QFETCH(bool, allLines);
    QFETCH(QString, expected);
    QFETCH(int, maxExchanges);

    FakeBus bus;
    bus.units = units;
    ScanSettings settings;
    settings.search = lone ? ScanSettings::Search::Lone : ScanSettings::Search::Bus;
    settings.allLines = allLines;
    Scanner scanner(settings, [&bus](const Endpoint &, const LineSettings &l) {
        return std::make_unique<FakeEndpoint>(&bus, l);
    });
    QList<Scanner::Progress> steps;
    scanner.onProgress = [&](const Scanner::Progress &p) { steps << p; };

    QCOMPARE(scanner.run(), Scanner::Outcome::Finished);
    QCOMPARE(scanSummary(scanner.found()), expected);
    QVERIFY2(bus.exchanges <= maxExchanges, qPrintable(QString::number(bus.exchanges)));
    QVERIFY(!steps.isEmpty());
    QCOMPARE(steps.last().done, steps.last().total);
    for (int i = 1; i < steps.size(); ++i)
        QVERIFY(steps.at(i).done >= steps.at(i - 1).done && steps.at(i).done <= steps.at(i).total);
}

void tst_Scanner::cancelEndsAfterTheTransactionInFlight()
{
    FakeBus bus;
    ScanSettings settings;
    Scanner scanner(settings, [&bus](const Endpoint &, const LineSettings &l) {
        return std::make_unique<FakeEndpoint>(&bus, l);
    });
    scanner.onProgress = [&](const Scanner::Progress &p) {
        if (p.done == 10)
            scanner.cancel();
    };
    QCOMPARE(scanner.run(), Scanner::Outcome::Cancelled);
    QCOMPARE(bus.exchanges, 10);
}

// An adapter that lacks one line setting still serves the other 41; a port that cannot be
// opened at all ends the scan.
void tst_Scanner::aSettingThePortRefuses_data()
{
    QTest::addColumn<QByteArray>("trace");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("expected");
    QTest::newRow("parity not supported: skipped")
        << QByteArray("run(): parity error, exit") << int(Scanner::Outcome::Finished)
        << "88@38400-8O2 QV30";
    QTest::newRow("port not opened: the end")
        << QByteArray("run(): open error, exit") << int(Scanner::Outcome::PortFailure) << "";
}

void tst_Scanner::aSettingThePortRefuses()
{
    QFETCH(QByteArray, trace);
    QFETCH(int, outcome);
    QFETCH(QString, expected);
    FakeBus bus;
    bus.units = { { 88, line("38400-8O2") } };
    bus.refused = line("9600-8O1");
    bus.refusal = trace.constData();
    ScanSettings settings;
    settings.search = ScanSettings::Search::Lone;
    Scanner scanner(settings, [&bus](const Endpoint &, const LineSettings &l) {
        return std::make_unique<FakeEndpoint>(&bus, l);
    });
    QCOMPARE(int(scanner.run()), outcome);
    QCOMPARE(scanSummary(scanner.found()), expected);
    QCOMPARE(scanner.skippedLines().size(), outcome == int(Scanner::Outcome::Finished) ? 1 : 0);
}

void tst_Scanner::jsonHasExactlyTheDocumentedKeys()
{
    FakeBus bus;
    bus.units = { { 3, LineSettings(), Firmware::Current },
                  { 5, LineSettings() },
                  { 5, LineSettings() },
                  { 9, LineSettings(), Firmware::Legacy } };
    ScanSettings settings;
    Scanner scanner(settings, [&bus](const Endpoint &, const LineSettings &l) {
        return std::make_unique<FakeEndpoint>(&bus, l);
    });
    scanner.run();
    const QJsonArray array = QJsonDocument::fromJson(ScanReport::json(scanner.found())).array();
    QCOMPARE(array.size(), 3);
    QStringList keys = ScanReport::keys();
    keys.sort(); // as QJsonObject lists them
    for (const QJsonValue &v : array)
        QCOMPARE(v.toObject().keys(), keys);
    const QJsonObject current = array.at(0).toObject();
    QCOMPARE(current.value("line").toString(), QStringLiteral("19200-8N1"));
    QCOMPARE(current.value("probe_serial").toInt(), 1003);
    QCOMPARE(current.value("transmitter_serial").toInt(), 2003);
    QCOMPARE(current.value("collision").toBool(), false);
    const QJsonObject collided = array.at(1).toObject();
    QCOMPARE(collided.value("collision").toBool(), true);
    QVERIFY(collided.value("firmware").isNull());
    // Legacy firmware carries no serial number of the transmitter's own.
    QVERIFY(array.at(2).toObject().value("transmitter_serial").isNull());
    QVERIFY(array.at(2).toObject().value("probe_serial").isDouble());
}

QTEST_GUILESS_MAIN(tst_Scanner)
#include "tst_scanner.moc"
