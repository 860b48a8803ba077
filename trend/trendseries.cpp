#include "trendseries.h"

#include <algorithm>
#include <cmath>

namespace {

qint64 floorTo(qint64 time, qint64 width)
{
    const qint64 q = time / width;
    return (q - (time % width < 0 ? 1 : 0)) * width;
}

// The lowest and the highest of a group in time order, once if they are one sample.
int extremes(const TrendPoint &low, const TrendPoint &high, TrendPoint out[2])
{
    const bool lowFirst = low.time <= high.time;
    out[0] = lowFirst ? low : high;
    out[1] = lowFirst ? high : low;
    return low == high ? 1 : 2;
}

void appendExtremes(QVector<TrendPoint> &out, const TrendPoint &low, const TrendPoint &high)
{
    TrendPoint pair[2];
    const int n = extremes(low, high, pair);
    for (int i = 0; i < n; ++i)
        out << pair[i];
}

} // namespace

TrendSeries::TrendSeries(const Limits &limits) : limits(limits), width(limits.bucketMs) { }

TrendSeries::TrendSeries() : TrendSeries(Limits()) { }

void TrendSeries::add(qint64 time, float value)
{
    if (!std::isfinite(value))
        return;
    time += clockShift;
    if (!isEmpty()) {
        const qint64 last = lastTime();
        if (time < last) {
            clockShift += last - time;
            time = last;
        }
        const qint64 interval = time - last;
        const bool outage =
            interval > limits.gapMs && lastInterval > 0 && interval > 4 * lastInterval;
        if (breakPending || outage)
            breaks.push_back(time);
        // The time across a break says nothing of the polling interval.
        lastInterval = breakPending ? 0 : interval;
    }
    breakPending = false;
    while (int(breaks.size()) > limits.breakCapacity)
        breaks.pop_front();
    recent.push_back({ time, value });
    while (int(recent.size()) > limits.recentCapacity
           || recent.front().time < time - limits.fullResolutionMs) {
        fold(recent.front());
        recent.pop_front();
    }
}

void TrendSeries::fold(const TrendPoint &point)
{
    const qint64 start = floorTo(point.time, width);
    if (!buckets.empty() && buckets.back().start == start) {
        Bucket &b = buckets.back();
        if (point.value < b.low.value)
            b.low = point;
        if (point.value > b.high.value)
            b.high = point;
        return;
    }
    buckets.push_back({ start, point, point });
    while (int(buckets.size()) > limits.bucketCapacity)
        mergeBuckets();
}

void TrendSeries::mergeBuckets()
{
    width *= 2;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < buckets.size(); ++i) {
        Bucket b = buckets[i];
        b.start = floorTo(b.start, width);
        if (kept > 0 && buckets[kept - 1].start == b.start) {
            Bucket &into = buckets[kept - 1];
            // Strict comparisons: of equal extremes the earlier one stays.
            if (b.low.value < into.low.value)
                into.low = b.low;
            if (b.high.value > into.high.value)
                into.high = b.high;
        } else {
            buckets[kept++] = b;
        }
    }
    buckets.resize(kept);
}

qint64 TrendSeries::firstTime() const
{
    if (!buckets.empty())
        return std::min(buckets.front().low.time, buckets.front().high.time);
    return recent.empty() ? 0 : recent.front().time;
}

qint64 TrendSeries::lastTime() const
{
    if (!recent.empty())
        return recent.back().time;
    return buckets.empty() ? 0 : std::max(buckets.back().low.time, buckets.back().high.time);
}

int TrendSeries::storedPoints() const
{
    int n = int(recent.size());
    for (const Bucket &b : buckets)
        n += b.low == b.high ? 1 : 2;
    return n;
}

QVector<TrendPoint> TrendSeries::points(qint64 from, qint64 to, int maxPoints) const
{
    QVector<TrendPoint> all;
    if (to < from)
        return all;
    const auto firstBucket =
        std::lower_bound(buckets.begin(), buckets.end(), floorTo(from, width),
                         [](const Bucket &b, qint64 start) { return b.start < start; });
    for (auto b = firstBucket; b != buckets.end() && b->start <= to; ++b) {
        TrendPoint pair[2];
        const int n = extremes(b->low, b->high, pair);
        for (int i = 0; i < n; ++i)
            if (pair[i].time >= from && pair[i].time <= to)
                all << pair[i];
    }
    const auto firstRecent =
        std::lower_bound(recent.begin(), recent.end(), from,
                         [](const TrendPoint &p, qint64 time) { return p.time < time; });
    for (auto p = firstRecent; p != recent.end() && p->time <= to; ++p)
        all << *p;

    maxPoints = std::max(maxPoints, 2);
    if (all.size() <= maxPoints)
        return all;

    // Thin to equal time slots, each keeping its lowest and highest sample.
    const int slots = maxPoints / 2;
    const double span = double(to - from) + 1;
    QVector<TrendPoint> thinned;
    thinned.reserve(maxPoints);
    int slot = -1;
    TrendPoint low, high;
    for (const TrendPoint &p : qAsConst(all)) {
        const int s = std::min(slots - 1, int(double(p.time - from) * slots / span));
        if (s != slot) {
            if (slot >= 0)
                appendExtremes(thinned, low, high);
            slot = s;
            low = high = p;
        } else {
            if (p.value < low.value)
                low = p;
            if (p.value > high.value)
                high = p;
        }
    }
    appendExtremes(thinned, low, high);
    return thinned;
}

QVector<QVector<TrendPoint>> TrendSeries::stretches(qint64 from, qint64 to, int maxPoints) const
{
    QVector<QVector<TrendPoint>> out;
    const QVector<TrendPoint> all = points(from, to, maxPoints);
    auto nextBreak = breaks.begin();
    for (const TrendPoint &p : all) {
        bool cut = out.isEmpty();
        // A break between the previous point and this one starts a new stretch.
        while (nextBreak != breaks.end() && *nextBreak <= p.time) {
            cut = cut || out.last().last().time < *nextBreak;
            ++nextBreak;
        }
        if (cut)
            out.append(QVector<TrendPoint>());
        out.last() << p;
    }
    return out;
}
