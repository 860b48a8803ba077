#ifndef ACCEPTANCECHECK_H
#define ACCEPTANCECHECK_H

#include <QDateTime>
#include <QString>
#include <QVector>

#include <optional>

// The acceptance check: the transmitter's readings at the place of installation against a
// calibrated reference, point by point. No port and no window: both front ends feed it reads.
namespace Commissioning {

enum class Verdict {
    Pass,
    Fail,
    NotSettled, // a point whose readings kept moving: its figures stand, it is not accepted
    NotChecked, // a quantity without a reference value, or a check without a point
};

// "pass", "fail", "not settled", "not checked": the record's words and the windows'.
QString verdictText(Verdict verdict);

struct Settling
{
    int reads = 5;                  // the window over which mean and spread are taken
    double temperatureSpread = 0.1; // °C, largest minus smallest read in the window
    double humiditySpread = 0.5;    // % r.H.
    int timeoutSeconds = 120; // then the last reads are taken as they are, flagged not settled
};

struct Tolerance
{
    double temperature = 0.5; // ± °C
    double humidity = 3.0;    // ± % r.H.
};

// What the technician enters for one point; a quantity without a reference value is not judged.
struct PointInput
{
    std::optional<double> referenceTemperature;
    std::optional<double> referenceHumidity;
    Tolerance tolerance;
};

struct QuantityResult
{
    std::optional<double> reference;
    double mean = 0;      // of the transmitter's reads in the window
    double spread = 0;    // largest minus smallest
    double deviation = 0; // mean minus reference, to the hundredth; 0 without a reference
    double tolerance = 0;
    Verdict verdict = Verdict::NotChecked;
};

struct PointResult
{
    QDateTime time; // when the point was taken
    int reads = 0;
    bool settled = false;
    QuantityResult temperature;
    QuantityResult humidity;
    Verdict verdict = Verdict::NotChecked;
};

// Judges one point from the reads in its window. The deviation is judged as shown, to the
// hundredth: a report saying +0.50 against ±0.50 must not say "fail" over a float's last bit.
PointResult judgePoint(const PointInput &input, const QVector<double> &temperatures,
                       const QVector<double> &humidities, bool settled);

// Pass only when every point passes; no point is not checked.
Verdict overallVerdict(const QVector<PointResult> &points);

// Taking one point: feed it each volatile read as it comes, until done().
class PointTaker
{
public:
    PointTaker(const PointInput &input, const Settling &settling = Settling());

    // elapsedMs: since the point was started. Reads after done() are ignored.
    void add(double temperature, double humidity, qint64 elapsedMs);
    bool done() const { return finished; }

    int readsInWindow() const { return temperatures.size(); }
    const Settling &settling() const { return criteria; }
    // The spreads so far over the window, for "waiting for 0.1 °C" while it settles.
    double temperatureSpread() const;
    double humiditySpread() const;

    // The figures so far; final once done().
    PointResult result() const;

private:
    bool spreadsWithin() const;

    PointInput input;
    Settling criteria;
    QVector<double> temperatures;
    QVector<double> humidities;
    bool finished = false;
    bool settled = false;
};

constexpr int maximumPoints = 5;

} // namespace Commissioning

#endif // ACCEPTANCECHECK_H
