// bench_trend [DAYS] [REDRAWS]: feeds DAYS (default 7) of readings at the normal rate, one every
// 2.5 s with calculated values, into a trend store as fast as it can, opens the Trend window on
// "All" and times whole redraws of it: the store's query, the series and axes, and the painting.
// Prints "name value" lines: feed_s, samples, stored_points, redraw_ms_median, redraw_ms_max
// (three series, the default) and the same with all seven series, rss_mb and hwm_mb after all.

#include "trendstore.h"
#include "trendwindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QtCharts>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

double statusMb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toDouble() * 1024
                / 1e6;
    return -1;
}

// Median and maximum of n redraws, each painted before the clock stops.
std::pair<double, double> timeRedraws(TrendWindow &window, QWidget *view, int n)
{
    std::vector<double> ms;
    for (int i = 0; i < n; ++i) {
        QElapsedTimer clock;
        clock.start();
        window.redraw();
        QCoreApplication::processEvents();
        view->repaint();
        ms.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return { ms[ms.size() / 2], ms.back() };
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets); // as the tool does
    QApplication app(argc, argv);
    const double days = argc > 1 ? atof(argv[1]) : 7;
    const int redraws = argc > 2 ? std::max(1, atoi(argv[2])) : 30;

    TrendStore store;
    constexpr qint64 period = 2500;
    const qint64 end = QDateTime::currentMSecsSinceEpoch();
    const qint64 samples = qint64(days * 24 * 3600 * 1000 / period);
    QElapsedTimer clock;
    clock.start();
    for (qint64 i = 0; i < samples; ++i) {
        const double hours = double(i) * period / 3.6e6;
        ModbusProtocol::VolatileValues v;
        v.temperature = float(22 + 3 * std::sin(hours / 24 * 2 * M_PI) + (i % 997 == 0 ? 15 : 0));
        v.humidity = float(45 + 10 * std::cos(hours / 12 * 2 * M_PI));
        v.dewPointTemperature = v.temperature - 12;
        v.wetBulbTemperature = v.temperature - 7;
        v.enthalpy = 41 + v.temperature / 10;
        v.mixingRatio = 7.3f;
        v.absoluteHumidity = 8.6f;
        store.addReading(end - (samples - 1 - i) * period, v, true);
    }
    const double feed = double(clock.nsecsElapsed()) / 1e9;
    qint64 stored = 0;
    for (int q = 0; q < trendQuantityCount; ++q)
        stored += store.series(TrendQuantity(q)).storedPoints();

    TrendWindow window(&store);
    window.setTimeWindow(TrendWindow::TimeWindow::All);
    window.show();
    for (int i = 0; i < 20; ++i) // mapped and laid out
        QCoreApplication::processEvents();
    QWidget *view = window.findChild<QChartView *>(QStringLiteral("chartView"))->viewport();

    const auto three = timeRedraws(window, view, redraws);
    for (QCheckBox *box : window.findChildren<QCheckBox *>())
        box->setChecked(true);
    const auto seven = timeRedraws(window, view, redraws);

    std::printf("feed_s %.3f\nsamples %lld\nstored_points %lld\n", feed, samples * 7, stored);
    std::printf("drawn_points %d\n", window.drawnPoints(TrendQuantity::Temperature));
    std::printf("redraw_ms_median %.2f\nredraw_ms_max %.2f\n", three.first, three.second);
    std::printf("redraw7_ms_median %.2f\nredraw7_ms_max %.2f\n", seven.first, seven.second);
    std::printf("rss_mb %.1f\nhwm_mb %.1f\n", statusMb("VmRSS:"), statusMb("VmHWM:"));
    return 0;
}
