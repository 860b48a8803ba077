// The scanner's sequencing against a bus made in the test: units at their own addresses and
// line settings, answering through the simulator's own slave, with the faults a real bus has.
#include "modbusendpoint.h"
#include "rtuslave.h"
#include "scanreport.h"
#include "scansummary.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

// Everything on the line: every unit at the line setting in use hears the request; two answers
// at once collide into bytes that no frame check accepts.
struct FakeBus
{
    QVector<TransmitterSettings> units;
    int slow = 0;         // the unit here answers after 40 ms: too late for a 20 ms time-out
    int turns = 0;        // two units here take turns: two serial numbers on two reads
    QByteArray pending;   // a slow unit's answer, arriving in the next transaction
    LineSettings refused; // the port cannot be set to this one
    QByteArray refusal;   // the failed step's trace line
    int exchanges = 0, answersTaken = 0;

    ModbusTransaction exchange(const QByteArray &request, int timeoutMs, const LineSettings &line)
    {
        ++exchanges;
        ModbusTransaction t;
        t.request = request;
        t.answer = std::exchange(pending, {});
        for (TransmitterSettings unit : qAsConst(units)) {
            if (unit.line != line)
                continue;
            if (unit.address == turns && answersTaken++ % 2)
                unit.probeSerial += 500;
            TransmitterModel model(unit);
            (unit.address == slow && timeoutMs < 40 ? pending : t.answer) +=
                RtuSlave(&model).answer(request);
        }
        t.judgement = ModbusProtocol::judgeResponse(t.answer);
        return t;
    }
};

class FakeEndpoint : public ModbusEndpoint
{
public:
    FakeEndpoint(FakeBus *bus, const LineSettings &line) : bus(bus), line(line) { }
    bool open(QString *failure, const char **trace) override
    {
        if (bus->refusal.isEmpty() || line != bus->refused)
            return opened = true;
        *failure = QStringLiteral("Can't set odd parity");
        *trace = bus->refusal.constData();
        return false;
    }
    void close() override { opened = false; }
    bool isOpen() const override { return opened; }
    bool staysOpen() const override { return false; }
    void setLine(const LineSettings &l) override { line = l; }
    ModbusTransaction exchange(const QByteArray &request, const ReceiveTiming &timing) override
    {
        return bus->exchange(request, timing.timeoutMs, line);
    }

private:
    FakeBus *bus;
    LineSettings line;
    bool opened = false;
};

std::unique_ptr<Scanner> scannerOn(FakeBus *bus, const ScanSettings &settings = {})
{
    return std::make_unique<Scanner>(settings, [bus](const Endpoint &, const LineSettings &l) {
        return std::make_unique<FakeEndpoint>(bus, l);
    });
}

} // namespace

class tst_Scanner : public QObject
{
    Q_OBJECT

private slots:
    void scan_data()
    {
        QTest::addColumn<QString>("units"); // as scanUnits() reads them
        // "bus", "all lines" or "lone"; then "slow N", "turns N", "cancel at N" or
        // "refused: <trace>" (the port cannot be set to 9600-8O1).
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("expected"); // scanSummary(), then how it ended unless finished
        QTest::addColumn<int>("maxExchanges");
        const auto row = [](const char *name, const char *units, const char *search,
                            const char *expected, int maxExchanges) {
            QTest::newRow(name) << units << search << expected << maxExchanges;
        };
        row("silent line: one request per address", "", "bus", "", 247);
        row("three firmware generations, each found once", "3:current 17:2014-02-18 200:legacy",
            "bus", "3@19200-8N1 QV30, 17@19200-8N1 QV20, 200@19200-8N1 QV10", 247 + 3 * 2);
        row("two units at one address: garbled twice", "5:current 5:current", "bus",
            "5@19200-8N1 [collision]", 248);
        row("two units at one address taking turns: two serial numbers", "9:current",
            "bus, turns 9", "9@19200-8N1 QV30 [collision]", 247 + 2);
        // The answer of 7 arrives in 8's transaction: 8 must not be listed; 7 is asked again
        // with a longer wait at the end of the pass.
        row("late answer not credited to the next address", "7:current", "bus, slow 7",
            "7@19200-8N1 QV30", 247 + 1 + 3);
        row("all lines: only the settings that answer 255 are walked",
            "3:current 12:current@9600-8E1", "all lines", "3@19200-8N1 QV30, 12@9600-8E1 QV30",
            42 + 2 * 247 + 2 * 2);
        row("lone, legacy at the most common setting: one request and its values", "4:legacy",
            "lone", "4@19200-8N1 QV10", 1 + 2);
        row("lone, two units answer 255: found by address", "3:current@9600-8E1 4:current@9600-8E1",
            "lone", "3@9600-8E1 QV30 [several at 255], 4@9600-8E1 QV30 [several at 255]",
            4 + 247 + 2 * 2);
        row("lone, nobody there: every setting once", "", "lone", "", 42);
        row("cancel: ends after the transaction in flight", "", "bus, cancel at 10", "cancelled",
            10);
        // An adapter that lacks one line setting still serves the other 41; a port that cannot
        // be opened at all ends the scan.
        row("parity not supported: that setting skipped", "88:current@38400-8O2",
            "lone, refused: run(): parity error, exit", "88@38400-8O2 QV30, 1 skipped", 42 + 2);
        row("port not opened: the end", "88:current@38400-8O2",
            "lone, refused: run(): open error, exit", "port failure", 42);
    }

    void scan()
    {
        QFETCH(QString, units);
        QFETCH(QString, search);
        QFETCH(QString, expected);
        QFETCH(int, maxExchanges);
        const auto option = [&](const char *name) {
            return search.section(QString(", %1 ").arg(name), 1).toInt();
        };
        FakeBus bus;
        bus.units = scanUnits(units);
        bus.slow = option("slow");
        bus.turns = option("turns");
        bus.refusal = search.section("refused: ", 1).toLatin1();
        LineSettings::parse("9600-8O1", &bus.refused);
        ScanSettings settings;
        settings.search =
            search.startsWith("lone") ? ScanSettings::Search::Lone : ScanSettings::Search::Bus;
        settings.allLines = search.startsWith("all lines");
        const auto scanner = scannerOn(&bus, settings);
        QList<Scanner::Progress> steps;
        const int cancelAt = option("cancel at");
        scanner->onProgress = [&](const Scanner::Progress &p) {
            steps << p;
            if (p.done == cancelAt && cancelAt > 0)
                scanner->cancel();
        };
        const Scanner::Outcome outcome = scanner->run();
        QStringList got { scanSummary(scanner->found()) };
        if (!scanner->skippedLines().isEmpty())
            got << QString("%1 skipped").arg(scanner->skippedLines().size());
        if (outcome != Scanner::Outcome::Finished)
            got << (outcome == Scanner::Outcome::Cancelled ? "cancelled" : "port failure");
        got.removeAll(QString());
        QCOMPARE(got.join(", "), expected);
        QVERIFY2(bus.exchanges <= maxExchanges, qPrintable(QString::number(bus.exchanges)));
        QVERIFY(!steps.isEmpty());
        QVERIFY(outcome != Scanner::Outcome::Finished || steps.last().done == steps.last().total);
        for (int i = 1; i < steps.size(); ++i)
            QVERIFY(steps[i].done >= steps[i - 1].done && steps[i].done <= steps[i].total);
    }

    // Every key for every unit; null where the unit did not say (a collision's firmware, a
    // legacy unit's own serial number).
    void json()
    {
        FakeBus bus;
        bus.units = scanUnits("3:current 5:current 5:current 9:legacy");
        const auto scanner = scannerOn(&bus);
        scanner->run();
        QStringList got;
        for (const QJsonValue &v :
             QJsonDocument::fromJson(ScanReport::json(scanner->found())).array()) {
            QJsonObject o = v.toObject();
            for (const char *measured : { "temperature_degC", "relative_humidity_pct" })
                o[measured] = o[measured].isDouble(); // the values drift
            got << QJsonDocument(o).toJson(QJsonDocument::Compact);
        }
        const QString common = R"(,"line":"19200-8N1","probe_serial":)",
                      measured = R"(,"relative_humidity_pct":true,"temperature_degC":true,)";
        QCOMPARE(got,
                 QStringList(
                     { R"({"address":3,"collision":false,"firmware":"QV30__2024-05-14","housing":1)"
                           + common + "21034567" + measured + R"("transmitter_serial":21034568})",
                       R"({"address":5,"collision":true,"firmware":null,"housing":null)" + common
                           + R"(null,"relative_humidity_pct":false,"temperature_degC":false,)"
                           + R"("transmitter_serial":null})",
                       R"({"address":9,"collision":false,"firmware":"Legacy","housing":1)" + common
                           + "21037567" + measured + R"("transmitter_serial":null})" }));
    }
};

QTEST_GUILESS_MAIN(tst_Scanner)
#include "tst_scanner.moc"
