// The acceptance check's judging and settling, and the record's version 2 against its schema.
#include "acceptancecheck.h"
#include "commissioningrecord.h"
#include "recordschema.h"

#include <QtTest>

#include <cmath>

using namespace Commissioning;

Q_DECLARE_METATYPE(Verdict)

namespace {

const double none = std::nan("");

std::optional<double> entered(double value)
{
    return std::isnan(value) ? std::nullopt : std::optional<double>(value);
}

// The header of a record of a current unit as the simulator starts it.
Record record()
{
    Record r;
    r.time = QDateTime::currentDateTime();
    r.tool = "quorvel-setup";
    r.toolVersion = "2.0.0";
    r.port = "/dev/ttyUSB0";
    r.reading.persistent = { "QV30", 2024, 5, 14, 1, "19200", "None", "1", 1 };
    r.reading.values.temperature = 22.5f;
    r.reading.values.humidity = 45.0f;
    r.reading.values.serialNumber = 21034567;
    r.reading.values.serialNumberTr = 21034568;
    return r;
}

// Humidity wandering between 45 and 46 %RH.
QVector<double> wandering(int reads)
{
    QVector<double> h;
    for (int i = 0; i < reads; ++i)
        h << 45 + i % 2;
    return h;
}

} // namespace

class TestAcceptanceCheck : public QObject
{
    Q_OBJECT

private slots:
    void verdicts_data()
    {
        QTest::addColumn<double>("referenceTemperature"); // NaN: not entered
        QTest::addColumn<double>("referenceHumidity");
        QTest::addColumn<QVector<double>>("temperatures");
        QTest::addColumn<QVector<double>>("humidities");
        QTest::addColumn<bool>("settled");
        QTest::addColumn<double>("deviation"); // of the temperature
        QTest::addColumn<Verdict>("temperature");
        QTest::addColumn<Verdict>("humidity");
        QTest::addColumn<Verdict>("point");

        const QVector<double> steadyHumidity { 45, 45, 45 };
        QTest::newRow("inside: mean 22.48 against 22.00 ±0.50")
            << 22.0 << 45.0 << QVector<double> { 22.46, 22.5, 22.48 } << steadyHumidity << true
            << 0.48 << Verdict::Pass << Verdict::Pass << Verdict::Pass;
        QTest::newRow("on the limit: float 22.6 against 22.1 is +0.50, within ±0.50")
            << 22.1 << 45.0 << QVector<double> { double(22.6f), double(22.6f), double(22.6f) }
            << steadyHumidity << true << 0.5 << Verdict::Pass << Verdict::Pass << Verdict::Pass;
        QTest::newRow("on the limit below: -0.50")
            << 23.0 << 45.0 << QVector<double> { 22.5, 22.5, 22.5 } << steadyHumidity << true
            << -0.5 << Verdict::Pass << Verdict::Pass << Verdict::Pass;
        QTest::newRow("outside above: +0.51")
            << 22.0 << 45.0 << QVector<double> { 22.51, 22.51, 22.51 } << steadyHumidity << true
            << 0.51 << Verdict::Fail << Verdict::Pass << Verdict::Fail;
        QTest::newRow("outside below: -1.00")
            << 23.5 << 45.0 << QVector<double> { 22.5, 22.5, 22.5 } << steadyHumidity << true
            << -1.0 << Verdict::Fail << Verdict::Pass << Verdict::Fail;
        QTest::newRow("humidity outside, temperature inside: the point fails")
            << 22.5 << 41.9 << QVector<double> { 22.5, 22.5, 22.5 } << steadyHumidity << true << 0.0
            << Verdict::Pass << Verdict::Fail << Verdict::Fail;
        QTest::newRow("not settled, within tolerance: not accepted")
            << 22.5 << 45.0 << QVector<double> { 22.3, 22.7, 22.5 } << steadyHumidity << false
            << 0.0 << Verdict::Pass << Verdict::Pass << Verdict::NotSettled;
        QTest::newRow("not settled and outside: outside is what counts")
            << 21.0 << 45.0 << QVector<double> { 22.3, 22.7, 22.5 } << steadyHumidity << false
            << 1.5 << Verdict::Fail << Verdict::Pass << Verdict::Fail;
        QTest::newRow("no humidity reference: judged on the temperature alone")
            << 22.5 << none << QVector<double> { 22.5, 22.5, 22.5 }
            << QVector<double> { 10, 90, 50 } << true << 0.0 << Verdict::Pass << Verdict::NotChecked
            << Verdict::Pass;
        QTest::newRow("no reference at all: the point is not checked")
            << none << none << QVector<double> { 22.5 } << QVector<double> { 45 } << true << 0.0
            << Verdict::NotChecked << Verdict::NotChecked << Verdict::NotChecked;
        QTest::newRow("a NaN read: fails rather than passing on a made-up mean")
            << 22.5 << 45.0 << QVector<double> { 22.5, none, 22.5 } << steadyHumidity << true
            << none << Verdict::Fail << Verdict::Pass << Verdict::Fail;
    }

    void verdicts()
    {
        QFETCH(double, referenceTemperature);
        QFETCH(double, referenceHumidity);
        QFETCH(QVector<double>, temperatures);
        QFETCH(QVector<double>, humidities);
        QFETCH(bool, settled);
        QFETCH(double, deviation);

        PointInput input;
        input.referenceTemperature = entered(referenceTemperature);
        input.referenceHumidity = entered(referenceHumidity);
        const PointResult result = judgePoint(input, temperatures, humidities, settled);
        QTEST(result.temperature.verdict, "temperature");
        QTEST(result.humidity.verdict, "humidity");
        QTEST(result.verdict, "point");
        if (std::isnan(deviation))
            QVERIFY(std::isnan(result.temperature.deviation));
        else
            QCOMPARE(result.temperature.deviation, deviation);
        QCOMPARE(overallVerdict({ result }),
                 result.verdict == Verdict::Pass ? Verdict::Pass : Verdict::Fail);
    }

    void settling_data()
    {
        QTest::addColumn<bool>("humidityReference");
        QTest::addColumn<QVector<double>>("temperatures"); // one read every 2 s
        QTest::addColumn<QVector<double>>("humidities");
        QTest::addColumn<int>("readsTaken"); // when the point is done
        QTest::addColumn<bool>("settled");
        QTest::addColumn<double>("mean");

        QTest::newRow("steady: done at the fifth read")
            << true << QVector<double>(8, 22.5) << QVector<double>(8, 45.0) << 5 << true << 22.5;
        QTest::newRow("a jump at first drops out of the window as it slides")
            << true << QVector<double> { 25, 22.5, 22.5, 22.5, 22.5, 22.5, 22.5 }
            << QVector<double>(7, 45.0) << 6 << true << 22.5;
        QTest::newRow("spread 0.10 exactly is settled")
            << true << QVector<double> { 22.4, 22.5, 22.45, 22.5, 22.4 } << QVector<double>(5, 45.0)
            << 5 << true << 22.45;
        QTest::newRow("humidity wandering 1 % r.H. with a humidity reference: never settles")
            << true << QVector<double>(70, 22.5) << wandering(70) << 61 << false << 22.5;
        QTest::newRow("the same humidity without a humidity reference: settled")
            << false << QVector<double>(6, 22.5) << wandering(6) << 5 << true << 22.5;
    }

    void settling()
    {
        QFETCH(bool, humidityReference);
        QFETCH(QVector<double>, temperatures);
        QFETCH(QVector<double>, humidities);
        QFETCH(double, mean);

        PointInput input;
        input.referenceTemperature = 22.5;
        if (humidityReference)
            input.referenceHumidity = 45.5;
        PointTaker taker(input);
        int taken = 0;
        for (int i = 0; i < temperatures.size() && !taker.done(); ++i, ++taken)
            taker.add(temperatures[i], humidities[i], 2000 * i);
        QVERIFY(taker.done());
        QTEST(taken, "readsTaken");
        const PointResult result = taker.result();
        QTEST(result.settled, "settled");
        QCOMPARE(result.reads, 5);
        QCOMPARE(std::round(result.temperature.mean * 100) / 100, mean);
    }

    void recordsMatchTheSchema_data()
    {
        QTest::addColumn<bool>("acceptance");
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("edit"); // a change that the schema must turn down
        QTest::addColumn<QString>("rejection");

        QTest::newRow("version 2 with a check: a verdict where no reference was entered")
            << true << 2 << "r['acceptance']['points'][0]['relative_humidity']['verdict'] = 'pass'"
            << "'not checked' was expected";
        QTest::newRow("version 2: six points are one too many")
            << true << 2 << "r['acceptance']['points'] *= 6"
            << "is too long";
        QTest::newRow("version 1 as before; a tag in it is turned down")
            << false << 1 << "r['tag'] = 'TT-101'"
            << "should not be valid";
        QTest::newRow("version 1: a stale mark belongs to version 2")
            << false << 1 << "r['stale'] = ['measurement']"
            << "should not be valid";
    }

    void recordsMatchTheSchema()
    {
        QFETCH(bool, acceptance);
        QFETCH(QString, edit);
        QFETCH(QString, rejection);

        Record r = record();
        if (acceptance) {
            r.tag = "TT-101";
            r.location = "Hall 3, cold store";
            r.technician = "A. Moreau";
            r.reference =
                ReferenceInstrument { "Handheld hygrometer", "H-2231", QDate(2026, 3, 31) };
            PointInput input;
            input.referenceTemperature = 22.3;
            Acceptance check;
            check.points << judgePoint(input, { 22.5, 22.5 }, { 45, 45 }, true);
            r.acceptance = check;
        }
        QTemporaryDir dir;
        const QString file = dir.filePath("record.json");
        QString error;
        QVERIFY2(write(r, file, &error), qPrintable(error));
        QFile read(file);
        QVERIFY(read.open(QIODevice::ReadOnly));
        const QJsonObject json = QJsonDocument::fromJson(read.readAll()).object();
        QTEST(json["schema_version"].toInt(), "version");
        if (acceptance) {
            const QJsonObject t = json["acceptance"]["points"][0]["temperature"].toObject();
            QCOMPARE(t["deviation"].toDouble(), 0.2);
            QCOMPARE(json["acceptance"]["verdict"].toString(), "pass");
        }

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
        QVERIFY2(problem.contains(rejection), qPrintable(problem));
    }
};

QTEST_GUILESS_MAIN(TestAcceptanceCheck)
#include "tst_acceptancecheck.moc"
