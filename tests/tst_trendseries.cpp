// Thinning in bounded memory: a spike of any age stays on the chart; recent samples stay whole.
#include "trendseries.h"

#include <QtTest>

#include <cmath>

namespace {

constexpr qint64 period = 2500;      // one volatile read every 2.5 s
constexpr qint64 t0 = 1796000000000; // 2026-12-01
constexpr qint64 day = 24 * 3600 * 1000;

float smooth(qint64 i)
{
    return float(20 + std::sin(double(i) / 100));
}

} // namespace

class tst_TrendSeries : public QObject
{
    Q_OBJECT

private slots:
    void spikesSurvive_data()
    {
        QTest::addColumn<qint64>("samples");
        QTest::addColumn<qint64>("spikeAge"); // samples before the last one
        QTest::addColumn<float>("spike");
        QTest::addColumn<qint64>("bucketWidth"); // of the thinned samples, in the end

        const qint64 perHour = 3600 * 1000 / period, perDay = day / period;
        QTest::newRow("up, 1 h old: among the full-resolution hours")
            << 10 * perHour << perHour << 80.0f << qint64(60000);
        QTest::newRow("down, 20 h old: in a minute bucket")
            << perDay << 20 * perHour << -40.0f << qint64(60000);
        QTest::newRow("up, 6 days old of 7 days")
            << 7 * perDay << 6 * perDay << 80.0f << qint64(60000);
        QTest::newRow("down, on day 1 of 30: the buckets merged twice")
            << 30 * perDay << 29 * perDay + 5 << -40.0f << qint64(240000);
        QTest::newRow("up, the very first sample of 30 days")
            << 30 * perDay << 30 * perDay - 1 << 80.0f << qint64(240000);
    }

    void spikesSurvive()
    {
        QFETCH(qint64, samples);
        QFETCH(qint64, spikeAge);
        QFETCH(float, spike);
        const qint64 spikeIndex = samples - 1 - spikeAge;
        TrendSeries series;
        for (qint64 i = 0; i < samples; ++i)
            series.add(t0 + i * period, i == spikeIndex ? spike : smooth(i));
        const qint64 last = t0 + (samples - 1) * period;

        // 7 days and more fit in the same bound.
        const TrendSeries::Limits limits;
        QVERIFY(series.storedPoints() <= limits.recentCapacity + 2 * limits.bucketCapacity);
        QCOMPARE(series.firstTime(), t0);
        QCOMPARE(series.lastTime(), last);
        QTEST(series.bucketWidth(), "bucketWidth");

        for (const int maxPoints : { 2000, 100 }) {
            const QVector<TrendPoint> all = series.points(t0, last, maxPoints);
            QVERIFY2(all.size() <= maxPoints, qPrintable(QString::number(all.size())));
            QVERIFY(all.contains(TrendPoint { t0 + spikeIndex * period, spike }));
            // Thinning picks samples; it never makes a value or a time up.
            for (int k = 0; k < all.size(); ++k) {
                const TrendPoint &p = all.at(k);
                QVERIFY(k == 0 || all.at(k - 1).time < p.time);
                QCOMPARE((p.time - t0) % period, 0);
                const qint64 i = (p.time - t0) / period;
                QCOMPARE(p.value, i == spikeIndex ? spike : smooth(i));
            }
        }

        // The last ten minutes come whole: 240 periods, 241 samples.
        const QVector<TrendPoint> recent = series.points(last - 600 * 1000, last, 2000);
        QCOMPARE(recent.size(), 241);
        QCOMPARE(recent.first().time, last - 600 * 1000);
        QCOMPARE(recent.last().time, last);
    }

    void thinningSlotsKeepTheirExtremes()
    {
        // 100 samples, 10 slots of 10: each slot gives its lowest and its highest sample.
        std::vector<float> values;
        TrendSeries series;
        for (int i = 0; i < 100; ++i)
            series.add(t0 + i, values.emplace_back(float((i * 37) % 100)));
        const QVector<TrendPoint> thinned = series.points(t0, t0 + 99, 20);
        QCOMPARE(thinned.size(), 20);
        for (int slot = 0; slot < 10; ++slot) {
            const auto all = std::minmax_element(&values[10 * slot], &values[10 * slot + 10]);
            const std::pair<float, float> drawn =
                std::minmax(thinned[2 * slot].value, thinned[2 * slot + 1].value);
            QCOMPARE(drawn, std::make_pair(*all.first, *all.second));
        }
    }

    void stretches_data()
    {
        // Times in seconds; -1 stands for a break (a new connection, another transmitter).
        QTest::addColumn<QVector<int>>("times");
        QTest::addColumn<QVector<QVector<qint64>>>("stretches"); // the stored times, in seconds
        QTest::newRow("steady polling: one line")
            << QVector<int> { 0, 2, 5, 7 } << QVector<QVector<qint64>> { { 0, 2, 5, 7 } };
        QTest::newRow("a minute without readings: a gap")
            << QVector<int> { 0, 2, 5, 65, 67 }
            << QVector<QVector<qint64>> { { 0, 2, 5 }, { 65, 67 } };
        QTest::newRow("polling every 30 s: still one line")
            << QVector<int> { 0, 30, 60, 90 } << QVector<QVector<qint64>> { { 0, 30, 60, 90 } };
        QTest::newRow("a break, however soon: a gap")
            << QVector<int> { 0, 2, -1, 5, 7 } << QVector<QVector<qint64>> { { 0, 2 }, { 5, 7 } };
        QTest::newRow("the clock set back an hour: the line goes on")
            << QVector<int> { 3600, 3602, 2, 5, 7 }
            << QVector<QVector<qint64>> { { 3600, 3602, 3602, 3605, 3607 } };
    }

    void stretches()
    {
        QFETCH(QVector<int>, times);
        TrendSeries series;
        for (const int t : times)
            t < 0 ? series.addBreak() : series.add(t0 + t * 1000, 1);
        QVector<QVector<qint64>> drawn;
        for (const QVector<TrendPoint> &stretch : series.stretches(t0, t0 + 7200 * 1000, 100)) {
            drawn.append(QVector<qint64>());
            for (const TrendPoint &p : stretch)
                drawn.last() << (p.time - t0) / 1000;
        }
        QTEST(drawn, "stretches");
    }

    void oddInput()
    {
        TrendSeries series;
        series.add(t0 + 1000, 1);
        series.add(t0 + 2000, std::nanf(""));
        series.add(t0 + 3000, -INFINITY);
        series.add(t0 + 4000, 4);
        QCOMPARE(series.points(t0, t0 + 5000, 100),
                 (QVector<TrendPoint> { { t0 + 1000, 1 }, { t0 + 4000, 4 } }));
        QCOMPARE(series.points(t0 + 4001, t0 + 5000, 100), QVector<TrendPoint>());
        QCOMPARE(series.points(t0 + 5000, t0, 100), QVector<TrendPoint>());
    }
};

QTEST_GUILESS_MAIN(tst_TrendSeries)
#include "tst_trendseries.moc"
