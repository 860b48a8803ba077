#ifndef TRENDSERIES_H
#define TRENDSERIES_H

#include <QVector>
#include <QtGlobal>

#include <deque>
#include <vector>

struct TrendPoint
{
    qint64 time = 0; // milliseconds since the epoch, UTC
    float value = 0;
};

inline bool operator==(const TrendPoint &a, const TrendPoint &b)
{
    return a.time == b.time && a.value == b.value;
}

// The samples of one quantity, in bounded memory however long the program runs. The recent
// hours are kept as they came; older samples are thinned into time buckets that keep only their
// lowest and their highest sample, each with its own time, so that no spike is ever lost.
// When the buckets fill up, neighbours merge and the bucket width doubles.
class TrendSeries
{
public:
    struct Limits
    {
        qint64 fullResolutionMs = 8 * 3600 * 1000; // the 8-hour view needs every sample
        int recentCapacity = 16384;                // 8 h at 2.5 s is 11 520 samples
        qint64 bucketMs = 60 * 1000;               // 24 samples at the normal rate
        int bucketCapacity = 12288;                // 8.5 days of minutes
    };

    explicit TrendSeries(const Limits &limits);
    TrendSeries();

    // Samples come in time order; an earlier time (the clock was set back) is taken as the
    // latest time so far. NaN and infinities have no place on a chart and are not kept.
    void add(qint64 time, float value);

    // The samples from..to (inclusive) in time order, at most maxPoints (at least 2) of them.
    // Beyond that the span is cut into maxPoints / 2 equal slots, each giving its lowest and
    // highest sample.
    QVector<TrendPoint> points(qint64 from, qint64 to, int maxPoints) const;

    bool isEmpty() const { return recent.empty() && buckets.empty(); }
    qint64 firstTime() const;
    qint64 lastTime() const;
    int storedPoints() const; // samples kept, both tiers
    qint64 bucketWidth() const { return width; }

private:
    struct Bucket
    {
        qint64 start;
        TrendPoint low, high;
    };

    void fold(const TrendPoint &point);
    void mergeBuckets();

    Limits limits;
    qint64 width;
    std::deque<TrendPoint> recent;
    std::vector<Bucket> buckets;
};

#endif // TRENDSERIES_H
