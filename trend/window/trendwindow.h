#ifndef TRENDWINDOW_H
#define TRENDWINDOW_H

#include "trendstore.h"

#include <QWidget>

#include <array>

QT_BEGIN_NAMESPACE
namespace Ui {
class TrendWindow;
}
class QCheckBox;
class QLabel;
QT_END_NAMESPACE

namespace QtCharts {
class QChart;
class QChartView;
class QDateTimeAxis;
class QLineSeries;
class QValueAxis;
} // namespace QtCharts

// The "Trend" window: draws what a TrendStore holds over a chosen time window. Temperatures on
// one axis (°C), relative humidity on a second (%), each other calculated value on an axis of
// its own unit; the legend beside the chart gives every series' last reading.
class TrendWindow : public QWidget
{
    Q_OBJECT

public:
    enum class TimeWindow { TenMinutes, OneHour, EightHours, All };

    explicit TrendWindow(const TrendStore *store, QWidget *parent = nullptr);
    ~TrendWindow() override;

    void setTimeWindow(TimeWindow window);
    bool isPaused() const;
    // Draws the store's samples now, whether visible or paused; the chart otherwise follows the
    // store while it is shown and not paused.
    void redraw();
    // Saves the chart as a PNG on a worker thread; imageSaved reports the outcome.
    void saveImage(const QString &path);

    // Drawn samples of a quantity, empty when its series is switched off.
    int drawnPoints(TrendQuantity quantity) const;

signals:
    void imageSaved(const QString &path, const QString &error); // error empty: saved

protected:
    void showEvent(QShowEvent *event) override;

private:
    void readingAdded();
    void updateLastReadings();
    void updateAvailability(bool calculated);
    void updateVisibility();
    void pauseToggled(bool paused);
    void plotAreaChanged();
    int pointBudget() const;
    int mostTimeTicks() const;
    QtCharts::QLineSeries *piece(int quantity, int index);
    void askForImagePath();
    void reportImage(const QString &path, const QString &error);

    struct Series
    {
        QCheckBox *checkBox = nullptr;
        QLabel *lastReading = nullptr;
        QtCharts::QLineSeries *line = nullptr;   // the newest stretch, and the legend's entry
        QVector<QtCharts::QLineSeries *> pieces; // older stretches, each its own line
        QtCharts::QValueAxis *axis = nullptr;
    };

    Ui::TrendWindow *ui;
    const TrendStore *store;
    QtCharts::QChart *chart = nullptr;
    QtCharts::QChartView *view = nullptr;
    QtCharts::QDateTimeAxis *timeAxis = nullptr;
    std::array<Series, trendQuantityCount> series;
    qint64 pausedAt = 0;
    int drawnBudget = 0; // the most points a series was last drawn with
    int axisWindow = -1; // the time window and range the time axis was last set for
    qint64 axisFrom = 0;
    qint64 axisTo = 0;
    int axisTicks = 0; // the most time labels the plot's width had room for
    bool stale = true; // readings came while the chart was hidden or paused
};

#endif // TRENDWINDOW_H
