#include "acceptancecheck.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Commissioning {

namespace {

    qint64 hundredths(double value)
    {
        return std::llround(value * 100);
    }

    // Largest minus smallest; a NaN or infinity among the reads never counts as settled.
    double spreadOf(const QVector<double> &values)
    {
        if (values.isEmpty())
            return 0;
        for (double v : values) {
            if (!std::isfinite(v))
                return std::numeric_limits<double>::infinity();
        }
        const auto [low, high] = std::minmax_element(values.begin(), values.end());
        return *high - *low;
    }

    double meanOf(const QVector<double> &values)
    {
        if (values.isEmpty())
            return std::numeric_limits<double>::quiet_NaN();
        double sum = 0;
        for (double v : values)
            sum += v;
        return sum / values.size();
    }

    QuantityResult judge(std::optional<double> reference, double tolerance,
                         const QVector<double> &values)
    {
        QuantityResult q;
        q.reference = reference;
        q.mean = meanOf(values);
        q.spread = spreadOf(values);
        q.tolerance = tolerance;
        if (!reference)
            return q;
        if (!std::isfinite(q.mean)) {
            q.deviation = q.mean;
            q.verdict = Verdict::Fail;
            return q;
        }
        q.deviation = hundredths(q.mean - *reference) / 100.0;
        q.verdict = std::abs(hundredths(q.deviation)) <= hundredths(tolerance) ? Verdict::Pass
                                                                               : Verdict::Fail;
        return q;
    }

} // namespace

QString verdictText(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass:
        return QStringLiteral("pass");
    case Verdict::Fail:
        return QStringLiteral("fail");
    case Verdict::NotSettled:
        return QStringLiteral("not settled");
    case Verdict::NotChecked:
        break;
    }
    return QStringLiteral("not checked");
}

PointResult judgePoint(const PointInput &input, const QVector<double> &temperatures,
                       const QVector<double> &humidities, bool settled)
{
    PointResult p;
    p.time = QDateTime::currentDateTime();
    p.reads = temperatures.size();
    p.settled = settled;
    p.temperature = judge(input.referenceTemperature, input.tolerance.temperature, temperatures);
    p.humidity = judge(input.referenceHumidity, input.tolerance.humidity, humidities);

    const Verdict quantities[] = { p.temperature.verdict, p.humidity.verdict };
    if (std::all_of(std::begin(quantities), std::end(quantities),
                    [](Verdict v) { return v == Verdict::NotChecked; }))
        p.verdict = Verdict::NotChecked;
    else if (std::find(std::begin(quantities), std::end(quantities), Verdict::Fail)
             != std::end(quantities))
        p.verdict = Verdict::Fail; // outside tolerance says more than "still moving"
    else
        p.verdict = settled ? Verdict::Pass : Verdict::NotSettled;
    return p;
}

Verdict overallVerdict(const QVector<PointResult> &points)
{
    if (points.isEmpty())
        return Verdict::NotChecked;
    for (const PointResult &p : points) {
        if (p.verdict != Verdict::Pass)
            return Verdict::Fail;
    }
    return Verdict::Pass;
}

PointTaker::PointTaker(const PointInput &input, const Settling &settling)
    : input(input), criteria(settling)
{
    criteria.reads = std::max(1, criteria.reads);
}

void PointTaker::add(double temperature, double humidity, qint64 elapsedMs)
{
    if (finished)
        return;
    temperatures.append(temperature);
    humidities.append(humidity);
    if (temperatures.size() > criteria.reads) {
        temperatures.removeFirst();
        humidities.removeFirst();
    }
    if (temperatures.size() == criteria.reads && spreadsWithin())
        finished = settled = true;
    else if (elapsedMs >= qint64(criteria.timeoutSeconds) * 1000)
        finished = true;
}

double PointTaker::temperatureSpread() const
{
    return spreadOf(temperatures);
}

double PointTaker::humiditySpread() const
{
    return spreadOf(humidities);
}

// Only a quantity with a reference value has to settle: a humidity nobody compares may wander.
bool PointTaker::spreadsWithin() const
{
    auto within = [](double spread, double limit) {
        return std::isfinite(spread) && hundredths(spread) <= hundredths(limit);
    };
    return (!input.referenceTemperature || within(temperatureSpread(), criteria.temperatureSpread))
        && (!input.referenceHumidity || within(humiditySpread(), criteria.humiditySpread));
}

PointResult PointTaker::result() const
{
    return judgePoint(input, temperatures, humidities, settled);
}

} // namespace Commissioning
