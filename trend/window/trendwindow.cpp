#include "trendwindow.h"
#include "ui_trendwindow.h"

#include "lastfolder.h"
#include "valueformat.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QImageWriter>
#include <QStandardPaths>
#include <QtCharts>
#include <QtConcurrent>

#include <cmath>

using namespace QtCharts;

namespace {

constexpr qint64 minuteMs = 60 * 1000;
constexpr qint64 hourMs = 60 * minuteMs;
// A slot of two pixel columns shows its lowest and highest sample: as many points as the plot
// is wide, which draws every spike at a fraction of the cost of more points.
constexpr int fewestDrawnPoints = 200;
constexpr int mostDrawnPoints = 2400;
constexpr int mostPieces = 50; // lines per quantity

qint64 spanOf(int timeWindow)
{
    switch (TrendWindow::TimeWindow(timeWindow)) {
    case TrendWindow::TimeWindow::TenMinutes:
        return 10 * minuteMs;
    case TrendWindow::TimeWindow::OneHour:
        return hourMs;
    case TrendWindow::TimeWindow::EightHours:
        return 8 * hourMs;
    case TrendWindow::TimeWindow::All:
        break;
    }
    return 0;
}

struct AxisRange
{
    double low, high;
    int ticks;
};

// A range a little wider than low..high, and at least minimumSpan wide, whose ends and ticks
// fall on 1, 2 or 5 times a power of ten, so that it stays put while the readings move a little
// and sensor noise does not fill the chart's height.
AxisRange niceRange(double low, double high, double minimumSpan)
{
    if (high - low < minimumSpan) {
        const double middle = low / 2 + high / 2;
        low = middle - minimumSpan / 2;
        high = middle + minimumSpan / 2;
    }
    const double pad = high > low ? (high - low) / 20 : 1;
    low -= pad;
    high += pad;
    const double rough = (high - low) / 5;
    if (!std::isfinite(rough) || !(rough > 0)) // a value near the float's limits
        return { low, high, 5 };
    const double magnitude = std::pow(10, std::floor(std::log10(rough)));
    const double fraction = rough / magnitude;
    const double step = magnitude
        * (fraction <= 1       ? 1
               : fraction <= 2 ? 2
               : fraction <= 5 ? 5
                               : 10);
    low = std::floor(low / step) * step;
    high = std::ceil(high / step) * step;
    return { low, high, int(std::lround((high - low) / step)) + 1 };
}

// Less than this is noise, not a change worth the chart's height.
double minimumSpan(TrendQuantity quantity)
{
    switch (quantity) {
    case TrendQuantity::RelativeHumidity:
        return 2;
    case TrendQuantity::MixingRatio:
    case TrendQuantity::AbsoluteHumidity:
        return 0.5;
    default:
        return 1; // °C and kJ/kg
    }
}

struct TimeRange
{
    qint64 from, to;
    int ticks;
};

qint64 floorTo(qint64 time, qint64 step)
{
    return time / step * step - (time % step < 0 ? step : 0);
}

// from..to widened to whole steps of local time (a minute, 5 minutes, an hour, a day...), the
// smallest step that needs no more than mostTicks labels.
TimeRange roundTimes(qint64 from, qint64 to, int mostTicks)
{
    static const qint64 steps[] = {
        10 * 1000,    15 * 1000,     30 * 1000,     minuteMs,      2 * minuteMs,
        5 * minuteMs, 10 * minuteMs, 15 * minuteMs, 30 * minuteMs, hourMs,
        2 * hourMs,   3 * hourMs,    6 * hourMs,    12 * hourMs,   24 * hourMs,
    };
    const qint64 local = qint64(QDateTime::fromMSecsSinceEpoch(from).offsetFromUtc()) * 1000;
    TimeRange range { from, to, 2 };
    for (qint64 step = steps[0], i = 0;;
         step = ++i < qint64(std::size(steps)) ? steps[i] : 2 * step) {
        range.from = floorTo(from + local, step) - local;
        range.to = -floorTo(-(to + local), step) - local;
        range.ticks = int((range.to - range.from) / step) + 1;
        if (range.ticks <= mostTicks)
            return range;
    }
}

} // namespace

TrendWindow::TrendWindow(const TrendStore *store, QWidget *parent)
    : QWidget(parent, Qt::Window), ui(new Ui::TrendWindow), store(store)
{
    ui->setupUi(this);

    chart = new QChart;
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart->setMargins(QMargins(4, 4, 4, 4));
    view = new QChartView(chart, this);
    view->setObjectName(QStringLiteral("chartView"));
    view->setAccessibleName(tr("Trend chart"));
    view->setAccessibleDescription(tr("The readings over the chosen time window"));
    view->setMinimumSize(480, 320);
    ui->chartLayout->addWidget(view);

    timeAxis = new QDateTimeAxis;
    timeAxis->setTitleText(tr("Time"));
    chart->addAxis(timeAxis, Qt::AlignBottom);

    // Temperatures share the °C axis; every other unit gets one of its own.
    auto *celsiusAxis = new QValueAxis;
    auto *percentAxis = new QValueAxis;
    chart->addAxis(celsiusAxis, Qt::AlignLeft);
    chart->addAxis(percentAxis, Qt::AlignRight);
    const struct
    {
        QCheckBox *checkBox;
        QLabel *label;
        QValueAxis *axis;
        Qt::Alignment side;
    } parts[trendQuantityCount] = {
        { ui->checkBox_temperature, ui->label_temperature, celsiusAxis, Qt::AlignLeft },
        { ui->checkBox_relativeHumidity, ui->label_relativeHumidity, percentAxis, Qt::AlignRight },
        { ui->checkBox_dewPoint, ui->label_dewPoint, celsiusAxis, Qt::AlignLeft },
        { ui->checkBox_wetBulb, ui->label_wetBulb, celsiusAxis, Qt::AlignLeft },
        { ui->checkBox_enthalpy, ui->label_enthalpy, nullptr, Qt::AlignRight },
        { ui->checkBox_mixingRatio, ui->label_mixingRatio, nullptr, Qt::AlignRight },
        { ui->checkBox_absoluteHumidity, ui->label_absoluteHumidity, nullptr, Qt::AlignRight },
    };
    for (int i = 0; i < trendQuantityCount; ++i) {
        const TrendQuantity quantity = TrendQuantity(i);
        Series &s = series[i];
        s.checkBox = parts[i].checkBox;
        s.lastReading = parts[i].label;
        s.axis = parts[i].axis;
        if (!s.axis) {
            s.axis = new QValueAxis;
            chart->addAxis(s.axis, parts[i].side);
        }
        // Wide enough for any reading, so that a new one never relays the window out.
        s.lastReading->setMinimumWidth(
            s.lastReading->fontMetrics().horizontalAdvance(QStringLiteral("-88888.8")));
        s.axis->setTitleText(Trend::unit(quantity));
        s.line = new QLineSeries;
        s.line->setName(Trend::name(quantity));
        chart->addSeries(s.line);
        s.line->attachAxis(timeAxis);
        s.line->attachAxis(s.axis);
        // Temperature, humidity and dew point are drawn from the start; the rest on request.
        s.checkBox->setChecked(i <= int(TrendQuantity::DewPoint));
        connect(s.checkBox, &QCheckBox::toggled, this, &TrendWindow::updateVisibility);
    }

    connect(ui->comboBox_timeWindow, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &TrendWindow::redraw);
    connect(ui->pushButton_pause, &QPushButton::toggled, this, &TrendWindow::pauseToggled);
    connect(ui->pushButton_saveImage, &QPushButton::clicked, this, &TrendWindow::askForImagePath);
    connect(store, &TrendStore::readingAdded, this, &TrendWindow::readingAdded);
    connect(store, &TrendStore::calculatedValuesChanged, this, &TrendWindow::updateAvailability);
    connect(this, &TrendWindow::imageSaved, this, &TrendWindow::reportImage);
    connect(chart, &QChart::plotAreaChanged, this, &TrendWindow::plotAreaChanged);

    updateAvailability(store->calculatedValues());
    updateLastReadings();
}

TrendWindow::~TrendWindow()
{
    delete ui;
}

void TrendWindow::setTimeWindow(TimeWindow window)
{
    ui->comboBox_timeWindow->setCurrentIndex(int(window));
}

bool TrendWindow::isPaused() const
{
    return ui->pushButton_pause->isChecked();
}

int TrendWindow::drawnPoints(TrendQuantity quantity) const
{
    const Series &s = series[int(quantity)];
    if (!s.line->isVisible())
        return 0;
    int n = s.line->count();
    for (const QLineSeries *piece : s.pieces)
        n += piece->count();
    return n;
}

void TrendWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (stale)
        redraw();
}

void TrendWindow::readingAdded()
{
    updateLastReadings();
    stale = true;
    if (isVisible() && !isPaused())
        redraw();
}

void TrendWindow::updateLastReadings()
{
    for (int i = 0; i < trendQuantityCount; ++i) {
        const TrendStore::LastReading last = store->lastReading(TrendQuantity(i));
        series[i].lastReading->setText(last.valid ? ValueFormat::decimal(last.value)
                                                  : QStringLiteral("---"));
    }
}

void TrendWindow::updateAvailability(bool calculated)
{
    // A box stays checked while its firmware lacks the value, so the choice survives a swap.
    for (int i = 0; i < trendQuantityCount; ++i)
        if (Trend::isCalculated(TrendQuantity(i)))
            series[i].checkBox->setEnabled(calculated);
    updateVisibility();
}

void TrendWindow::updateVisibility()
{
    for (Series &s : series) {
        s.line->setVisible(s.checkBox->isEnabled() && s.checkBox->isChecked());
        for (QLineSeries *piece : qAsConst(s.pieces)) {
            piece->setVisible(s.line->isVisible());
            for (QLegendMarker *marker : chart->legend()->markers(piece))
                marker->setVisible(false);
        }
    }
    // An axis shows while any of its series does.
    for (Series &s : series)
        s.axis->setVisible(false);
    for (Series &s : series)
        if (s.line->isVisible())
            s.axis->setVisible(true);
    redraw();
}

void TrendWindow::pauseToggled(bool paused)
{
    ui->pushButton_pause->setText(paused ? tr("&Resume") : tr("&Pause"));
    if (paused)
        pausedAt = std::max(QDateTime::currentMSecsSinceEpoch(), store->lastTime());
    else
        redraw();
}

void TrendWindow::redraw()
{
    stale = false;
    const int timeWindow = ui->comboBox_timeWindow->currentIndex();
    // A reading stamped ahead of this clock (another clock, or one set back) still shows.
    const qint64 to =
        isPaused() ? pausedAt : std::max(QDateTime::currentMSecsSinceEpoch(), store->lastTime());
    const qint64 span = spanOf(timeWindow);
    const qint64 first =
        span > 0 ? to - span : (store->isEmpty() ? to - minuteMs : store->firstTime());
    // The time axis runs a tenth of its span ahead and moves only when the readings reach its
    // end: most redraws then leave the axes and their labels alone, which costs the most.
    const bool moveTimeAxis =
        timeWindow != axisWindow || to > axisTo || first < axisFrom || axisTicks != mostTimeTicks();
    if (moveTimeAxis) {
        const qint64 ahead = to + std::max((to - first) / 10, qint64(10 * 1000));
        // Seconds only matter in the 10-minute window, the date only beyond 8 hours.
        timeAxis->setFormat(span > 0 && span <= 10 * minuteMs ? QStringLiteral("HH:mm:ss")
                                : ahead - first <= 8 * hourMs ? QStringLiteral("HH:mm")
                                                              : QStringLiteral("MM-dd HH:mm"));
        axisWindow = timeWindow;
        axisTicks = mostTimeTicks();
        const TimeRange round = roundTimes(first, ahead, axisTicks);
        axisFrom = round.from;
        axisTo = round.to;
        timeAxis->setTickCount(round.ticks);
    }
    const qint64 from = axisFrom;

    struct Range
    {
        double low = qInf(), high = -qInf();
    };
    QHash<QValueAxis *, Range> ranges;
    QHash<QValueAxis *, double> spans;
    std::array<QVector<QVector<QPointF>>, trendQuantityCount> drawn;
    drawnBudget = pointBudget();
    for (int i = 0; i < trendQuantityCount; ++i) {
        Series &s = series[i];
        if (!s.line->isVisible())
            continue;
        const QVector<QVector<TrendPoint>> stretches =
            store->series(TrendQuantity(i)).stretches(from, to, drawnBudget);
        Range &range = ranges[s.axis];
        spans[s.axis] = std::max(spans.value(s.axis), minimumSpan(TrendQuantity(i)));
        const int joined = std::max(0, stretches.size() - 1 - mostPieces);
        for (int k = 0; k < stretches.size(); ++k) {
            const QVector<TrendPoint> &stretch = stretches.at(k);
            // Beyond so many lines the oldest stretches are joined: a rare gap in a long view.
            if (drawn[i].isEmpty() || k > joined)
                drawn[i].append(QVector<QPointF>());
            for (const TrendPoint &p : stretch) {
                drawn[i].last() << QPointF(double(p.time), double(p.value));
                range.low = std::min(range.low, double(p.value));
                range.high = std::max(range.high, double(p.value));
            }
        }
    }

    QVector<QPair<QValueAxis *, AxisRange>> moves;
    for (auto r = ranges.cbegin(); r != ranges.cend(); ++r) {
        if (r.value().low > r.value().high)
            continue;
        const AxisRange nice = niceRange(r.value().low, r.value().high, spans.value(r.key()));
        if (r.key()->min() != nice.low || r.key()->max() != nice.high)
            moves.append({ r.key(), nice });
    }
    // Every range change recomputes the geometry of each series on that axis: the series are
    // emptied first, so that only the final replace computes with all their points.
    if (moveTimeAxis || !moves.isEmpty())
        for (Series &s : series) {
            if (s.line->count() > 0)
                s.line->clear();
            for (QLineSeries *piece : qAsConst(s.pieces))
                if (piece->count() > 0)
                    piece->clear();
        }
    for (const auto &move : qAsConst(moves)) {
        move.first->setTickCount(move.second.ticks);
        move.first->setRange(move.second.low, move.second.high);
    }
    if (moveTimeAxis)
        timeAxis->setRange(QDateTime::fromMSecsSinceEpoch(from),
                           QDateTime::fromMSecsSinceEpoch(axisTo));
    // A line cannot have gaps: the newest stretch is the series in the legend, each older one
    // a line of its own in the same colour.
    for (int i = 0; i < trendQuantityCount; ++i) {
        Series &s = series[i];
        const int older = std::max(0, drawn[i].size() - 1);
        for (int k = 0; k < std::max(older, s.pieces.size()); ++k) {
            QLineSeries *line = piece(i, k);
            if (k < older)
                line->replace(drawn[i].at(k));
            else if (line->count() > 0)
                line->clear();
        }
        if (!drawn[i].isEmpty())
            s.line->replace(drawn[i].last());
    }
}

QLineSeries *TrendWindow::piece(int quantity, int index)
{
    Series &s = series[quantity];
    while (s.pieces.size() <= index) {
        auto *line = new QLineSeries;
        line->setName(s.line->name());
        chart->addSeries(line);
        line->attachAxis(timeAxis);
        line->attachAxis(s.axis);
        line->setPen(s.line->pen());
        line->setVisible(s.line->isVisible());
        for (QLegendMarker *marker : chart->legend()->markers(line))
            marker->setVisible(false);
        s.pieces << line;
    }
    return s.pieces.at(index);
}

void TrendWindow::plotAreaChanged()
{
    // Samples are thinned to the plot's width: a much wider or narrower plot wants them again,
    // and room for more or fewer time labels wants other round times. Small changes, such as
    // wider axis labels after a redraw, are left alone.
    const int budget = pointBudget();
    if ((std::abs(budget - drawnBudget) > drawnBudget / 10 || mostTimeTicks() != axisTicks)
        && isVisible() && !isPaused())
        QMetaObject::invokeMethod(this, &TrendWindow::redraw, Qt::QueuedConnection);
}

int TrendWindow::pointBudget() const
{
    return qBound(fewestDrawnPoints, int(chart->plotArea().width()), mostDrawnPoints);
}

int TrendWindow::mostTimeTicks() const
{
    // As many time labels as fit side by side with half a label's room between them.
    const QString widest =
        QDateTime(QDate(2000, 12, 28), QTime(20, 58, 58)).toString(timeAxis->format());
    const int labelWidth = QFontMetrics(timeAxis->labelsFont()).horizontalAdvance(widest) * 3 / 2;
    return qBound(2, int(chart->plotArea().width()) / labelWidth + 1, 9);
}

void TrendWindow::askForImagePath()
{
    const QString suggested =
        QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
            .filePath(QDateTime::currentDateTime().toString(
                QStringLiteral("'quorvel-trend-'yyyyMMdd-HHmmss'.png'")));
    const QString path = QFileDialog::getSaveFileName(
        this, tr("Save image"), LastFolder::suggest(suggested), tr("PNG images (*.png)"));
    LastFolder::remember(path);
    if (!path.isEmpty())
        saveImage(path);
}

void TrendWindow::saveImage(const QString &path)
{
    const QImage image = view->grab().toImage();
    // The encoding and the disk are left to a worker: the window never waits for a file.
    QPointer<TrendWindow> window(this);
    QtConcurrent::run([window, image, path] {
        QImageWriter writer(path, "png");
        const QString error = writer.write(image) ? QString() : writer.errorString();
        QMetaObject::invokeMethod(qApp, [window, path, error] {
            if (window)
                emit window->imageSaved(path, error);
        });
    });
}

void TrendWindow::reportImage(const QString &path, const QString &error)
{
    const QString name = QDir::toNativeSeparators(path);
    ui->label_status->setText(error.isEmpty() ? tr("Image saved to %1").arg(name)
                                              : tr("Can't save %1: %2").arg(name, error));
}
