// The Trend window opened offscreen on a store with two hours of samples.
#include "modbustransaction.h"
#include "trendstore.h"
#include "trendwindow.h"

#include <QtCharts>
#include <QtTest>
#include <QtWidgets>

using namespace QtCharts;

namespace {

constexpr qint64 period = 2500;

// In register order: the measured values, serial numbers, dew point, enthalpy, mixing ratio,
// absolute humidity, wet bulb.
ModbusProtocol::VolatileValues values(float temperature)
{
    return { temperature, 0, 45.678f, 0, 0, 0, 10.5f, 50, 8, 9, 15.25f, 0 };
}

} // namespace

class tst_TrendWindow : public QObject
{
    Q_OBJECT

private:
    TrendStore store;
    qint64 end = 0;
    qint64 latest = 0; // of the readings so far
    QScopedPointer<TrendWindow> window;

    static QChart *chart(QWidget *trend)
    {
        return trend->findChild<QChartView *>("chartView")->chart();
    }
    QLineSeries *line(TrendQuantity quantity) const
    {
        return qobject_cast<QLineSeries *>(chart(window.data())->series().at(int(quantity)));
    }
    QString shown(const char *name) const
    {
        auto *label = window->findChild<QLabel *>(QString("label_") + name);
        return QAccessible::queryAccessibleInterface(label)->text(QAccessible::Name);
    }
    QDateTimeAxis *timeAxis() const
    {
        return static_cast<QDateTimeAxis *>(line(TrendQuantity::Temperature)->attachedAxes()[0]);
    }
    // The two hours' samples from the time axis' start on, the second one at the end too.
    int samplesShown() const
    {
        const qint64 from = std::max(timeAxis()->min().toMSecsSinceEpoch(), end - 2 * 3600 * 1000);
        return int((end - from) / period) + 2;
    }
    QCheckBox *box(const char *name) const
    {
        return window->findChild<QCheckBox *>(QString("checkBox_") + name);
    }
    // As polling reports them: firmware of that date (year 0: none read), then a reading one
    // period after the last.
    void read(int year, int month = 0, int day = 0)
    {
        ModbusTransaction t;
        t.judgement.kind = ModbusProtocol::ResponseKind::PersistentBlock;
        t.judgement.persistentValues = { QString(), year, month, day, 0, {}, {}, {}, 0 };
        if (year)
            store.transaction(t);
        t.judgement.kind = ModbusProtocol::ResponseKind::VolatileBlock;
        t.judgement.volatileValues = values(24);
        t.sentAt = QDateTime::fromMSecsSinceEpoch(latest += period);
        store.transaction(t);
    }
    static bool exposed(QWidget *window)
    {
        window->show();
        return QTest::qWaitForWindowExposed(window);
    }

private slots:
    void initTestCase()
    {
        // Two hours up to now from firmware without calculated values.
        end = QDateTime::currentMSecsSinceEpoch();
        for (qint64 t = end - 2 * 3600 * 1000; t <= end; t += period)
            store.addReading(t, values(21.0f + float(t % 7) / 10), false);
        store.addReading(latest = end, values(23.456f), false);
        window.reset(new TrendWindow(&store));
        // Wide enough that the ten-minute axis, rounded out to whole ticks whatever the clock
        // reads, holds fewer samples than pixel columns.
        window->resize(1600, 600);
        QVERIFY(exposed(window.data()));
    }

    void opensWithTheMeasuredValues()
    {
        QCOMPARE(shown("temperature") + ' ' + shown("relativeHumidity") + ' ' + shown("dewPoint"),
                 "23.46 45.68 ---");
        QCOMPARE(window->drawnPoints(TrendQuantity::DewPoint), 0);
        // Ten minutes of samples at 2.5 s, the clock having moved on a little since.
        QVERIFY(qAbs(window->drawnPoints(TrendQuantity::Temperature) - samplesShown()) <= 2);
        QCOMPARE(line(TrendQuantity::Temperature)->points().last(), QPointF(end, 23.456f));
    }

    void timeWindows_data()
    {
        QTest::addColumn<int>("timeWindow");
        QTest::addColumn<bool>("thinned"); // else every sample
        using W = TrendWindow::TimeWindow;
        // Thinned to one sample per pixel column: each two columns' lowest and highest.
        QTest::newRow("1 h: thinned") << int(W::OneHour) << true;
        QTest::newRow("8 h: the 2 h fill a part") << int(W::EightHours) << true;
        QTest::newRow("all: the 2 h fill it") << int(W::All) << true;
        QTest::newRow("10 min: every sample") << int(W::TenMinutes) << false;
    }

    void timeWindows()
    {
        QFETCH(int, timeWindow);
        QFETCH(bool, thinned);
        window->setTimeWindow(TrendWindow::TimeWindow(timeWindow));
        const double width = line(TrendQuantity::Temperature)->chart()->plotArea().width();
        QVERIFY(width > 300 && width < 2400);
        const qint64 axisFrom = timeAxis()->min().toMSecsSinceEpoch();
        const qint64 axisTo = timeAxis()->max().toMSecsSinceEpoch();
        // Thinned over the axis' start to now (the time axis runs on ahead of the readings).
        const double share =
            double(end - std::max(axisFrom, end - 2 * 3600 * 1000)) / double(end - axisFrom);
        const int drawn = window->drawnPoints(TrendQuantity::Temperature);
        const double expected = thinned ? share * width : samplesShown();
        QVERIFY2(qAbs(drawn - expected) <= 2 + expected / 50,
                 qPrintable(QString("%1 drawn, %2 expected").arg(drawn).arg(expected)));
        // Humidity stands still: where it is thinned, one sample a slot.
        const int humidity = window->drawnPoints(TrendQuantity::RelativeHumidity);
        QVERIFY2(thinned ? qAbs(2 * humidity - drawn) <= 2 : humidity == drawn,
                 qPrintable(QString::number(humidity)));
        // The value axis takes in every drawn reading, the highest too.
        const auto *axis =
            static_cast<QValueAxis *>(line(TrendQuantity::Temperature)->attachedAxes()[1]);
        for (const QPointF &p : line(TrendQuantity::Temperature)->pointsVector())
            QVERIFY2(p.y() >= axis->min() && p.y() <= axis->max(),
                     qPrintable(QString::number(axis->max())));
        // Every time label on a round local time: whole minutes, 5 minutes, hours.
        const qint64 step = (axisTo - axisFrom) / (timeAxis()->tickCount() - 1);
        const QList<qint64> round { 1, 2, 5, 10, 15, 30, 60, 120, 180, 360, 720, 1440 };
        QVERIFY2(
            step % 60000 == 0 && round.contains(step / 60000) && timeAxis()->tickCount() >= 3,
            qPrintable(
                QString("%1 labels every %2 s").arg(timeAxis()->tickCount()).arg(step / 1000)));
        QCOMPARE((axisTo - axisFrom) % step, 0);
        const QDateTime first = timeAxis()->min();
        QCOMPARE((first.time().msecsSinceStartOfDay()) % std::min(step, qint64(86400000)), 0);
    }

    void valueAxesSpanASensibleMinimum_data()
    {
        QTest::addColumn<int>("quantity");
        QTest::addColumn<double>("minimum");
        QTest::newRow("temperature, 1 °C") << int(TrendQuantity::Temperature) << 1.0;
        QTest::newRow("relative humidity, 2 %RH") << int(TrendQuantity::RelativeHumidity) << 2.0;
        QTest::newRow("enthalpy, 1 kJ/kg") << int(TrendQuantity::Enthalpy) << 1.0;
        QTest::newRow("mixing ratio, 0.5 g/kg") << int(TrendQuantity::MixingRatio) << 0.5;
        QTest::newRow("absolute humidity, 0.5 g/m³") << int(TrendQuantity::AbsoluteHumidity) << 0.5;
    }

    void valueAxesSpanASensibleMinimum()
    {
        QFETCH(int, quantity);
        QFETCH(double, minimum);
        // Every value wavers by 0.02 around where it stands: noise, not a swing.
        TrendStore noisy;
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        for (int i = 0; i < 100; ++i) {
            ModbusProtocol::VolatileValues v = values(21 + 0.02f * (i % 2));
            v.dewPointTemperature = v.wetBulbTemperature = v.temperature; // on the same axis
            for (float *f : { &v.humidity, &v.enthalpy, &v.mixingRatio, &v.absoluteHumidity })
                *f += 0.02f * (i % 3);
            noisy.addReading(now - (100 - i) * period, v, true);
        }
        TrendWindow trend(&noisy);
        for (QCheckBox *box : trend.findChildren<QCheckBox *>())
            box->setChecked(true);
        QVERIFY(exposed(&trend));
        const auto *axis =
            static_cast<QValueAxis *>(chart(&trend)->series().at(quantity)->attachedAxes()[1]);
        QVERIFY2(axis->max() - axis->min() >= minimum,
                 qPrintable(QString("%1 to %2").arg(axis->min()).arg(axis->max())));
        QVERIFY(axis->max() - axis->min() <= 3 * minimum);
    }

    void gapsWhereNoReadingWasMade_data()
    {
        QTest::addColumn<QString>("between");
        QTest::newRow("a minute without an answer") << "outage";
        QTest::newRow("a new connection") << "reconnect";
        QTest::newRow("another transmitter") << "exchange";
    }

    void gapsWhereNoReadingWasMade()
    {
        QFETCH(QString, between);
        TrendStore store;
        qint64 t = QDateTime::currentMSecsSinceEpoch() - 60 * period;
        ModbusProtocol::VolatileValues v = values(21);
        for (int i = 0; i < 20; ++i)
            store.addReading(t += period, v, false);
        if (between == "outage")
            t += 60 * 1000;
        else if (between == "reconnect")
            store.connected();
        else
            v.serialNumber = 222;
        for (int i = 0; i < 20; ++i)
            store.addReading(t += period, v, false);
        TrendWindow trend(&store);
        QVERIFY(exposed(&trend));
        // Two temperature lines of 20 readings each, nothing drawn across.
        QList<int> lines;
        for (QAbstractSeries *s : chart(&trend)->series())
            if (s->name() == "Temperature" && static_cast<QLineSeries *>(s)->count() > 0)
                lines << static_cast<QLineSeries *>(s)->count();
        QCOMPARE(lines, QList<int>({ 20, 20 }));
        QCOMPARE(trend.drawnPoints(TrendQuantity::Temperature), 40);
    }

    void calculatedValuesFollowTheFirmware()
    {
        read(2024, 5, 14);
        QVERIFY(box("dewPoint")->isEnabled() && box("enthalpy")->isEnabled());
        QCOMPARE(shown("dewPoint"), "10.5");
        QCOMPARE(shown("wetBulb"), "15.25");
        QCOMPARE(window->drawnPoints(TrendQuantity::DewPoint), 1); // the first one it provided
        QCOMPARE(window->drawnPoints(TrendQuantity::WetBulb), 0);  // not switched on
        box("wetBulb")->click();
        QCOMPARE(window->drawnPoints(TrendQuantity::WetBulb), 1);
        read(2014, 2, 18);
        QVERIFY(!box("wetBulb")->isEnabled() && box("wetBulb")->isChecked());
        QCOMPARE(window->drawnPoints(TrendQuantity::WetBulb), 0);
        QCOMPARE(shown("wetBulb"), "---");
        read(2024, 5, 14);
        QCOMPARE(shown("wetBulb"), "15.25");
        read(2127, 15, 31); // legacy
        QCOMPARE(shown("wetBulb"), "---");
        read(2024, 5, 14);
        store.connected(); // a new connection: nothing calculated until its firmware is read
        read(0);
        QVERIFY(!box("wetBulb")->isEnabled());
        QCOMPARE(shown("wetBulb"), "---");
    }

    void pauseHoldsTheChart()
    {
        auto *pause = window->findChild<QPushButton *>("pushButton_pause");
        pause->click();
        QCOMPARE(pause->text(), "&Resume");
        const QVector<QPointF> before = line(TrendQuantity::Temperature)->pointsVector();
        store.addReading(latest += period, values(-5.5f), false);
        QCOMPARE(shown("temperature"), "-5.5"); // the legend goes on
        QCOMPARE(line(TrendQuantity::Temperature)->pointsVector(), before);
        pause->click();
        QCOMPARE(pause->text(), "&Pause");
        QCOMPARE(line(TrendQuantity::Temperature)->points().last(), QPointF(latest, -5.5));
    }

    void saveImage_data()
    {
        QTest::addColumn<bool>("writable");
        QTest::newRow("into a temporary folder") << true;
        QTest::newRow("into /sys, where no one may create a file") << false;
    }

    void saveImage()
    {
        QFETCH(bool, writable);
        QTemporaryDir folder;
        const QString path = writable ? folder.filePath("trend.png") : "/sys/quorvel-trend.png";
        QSignalSpy saved(window.data(), &TrendWindow::imageSaved);
        window->saveImage(path);
        QTRY_COMPARE(saved.size(), 1);
        const QString error = saved.at(0).at(1).toString();
        QCOMPARE(error.isEmpty(), writable);
        QCOMPARE(shown("status"),
                 writable ? "Image saved to " + path : "Can't save " + path + ": " + error);
        if (writable)
            QCOMPARE(QImage(path, "PNG").size(),
                     window->findChild<QChartView *>("chartView")->size());
    }
};

QTEST_MAIN(tst_TrendWindow)
#include "tst_trendwindow.moc"
