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
        // No reading for this long, and for four of the usual intervals, is an outage: the chart
        // leaves a gap there rather than a line across.
        qint64 gapMs = 15 * 1000;
        int breakCapacity = 4096;
    };

    explicit TrendSeries(const Limits &limits);
    TrendSeries();

    // Samples come in time order. A clock set back moves this and every later sample on by as
    // much, so that the series keeps going forward. NaN and infinities are not kept.
    void add(qint64 time, float value);
    // The next sample begins a new stretch (another connection, another transmitter): nothing
    // joins it to the samples before.
    void addBreak() { breakPending = true; }

    // The samples from..to (inclusive) in time order, at most maxPoints (at least 2) of them.
    // Beyond that the span is cut into maxPoints / 2 equal slots, each giving its lowest and
    // highest sample.
    QVector<TrendPoint> points(qint64 from, qint64 to, int maxPoints) const;
    // The same points, cut where readings are missing: each stretch to be drawn as one line.
    QVector<QVector<TrendPoint>> stretches(qint64 from, qint64 to, int maxPoints) const;

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
    std::deque<qint64> breaks; // times of the samples that begin a new stretch
    bool breakPending = false;
    qint64 clockShift = 0; // added to every time since the clock was set back
    qint64 lastInterval = 0;
};

#endif // TRENDSERIES_H
