#ifndef TRENDSTORE_H
#define TRENDSTORE_H

#include "modbusprotocol.h"
#include "trendseries.h"

struct ModbusTransaction;

#include <QObject>
#include <QString>

#include <array>

// The quantities the trend chart can draw, in the order of its legend.
enum class TrendQuantity {
    Temperature,
    RelativeHumidity,
    DewPoint,
    WetBulb,
    Enthalpy,
    MixingRatio,
    AbsoluteHumidity,
};
constexpr int trendQuantityCount = 7;

namespace Trend {
// Only the current firmware calculates these; they follow the feature set.
bool isCalculated(TrendQuantity quantity);
QString name(TrendQuantity quantity); // "Dew point"
QString unit(TrendQuantity quantity); // "°C"
} // namespace Trend

// Every reading since the program started, one TrendSeries per quantity, and the last reading
// of each for the chart's legend.
class TrendStore : public QObject
{
    Q_OBJECT

public:
    struct LastReading
    {
        bool valid = false; // false: nothing read yet, or the firmware does not provide it
        float value = 0;    // may be NaN or infinite: shown as it came
        qint64 time = 0;
    };

    explicit TrendStore(QObject *parent = nullptr);
    TrendStore(const TrendSeries::Limits &limits, QObject *parent = nullptr);

    // Takes the readings of a good volatile read, and from a persistent read whether the
    // firmware provides the calculated values.
    void transaction(const ModbusTransaction &t);

    // A good read of the volatile block; calculated says whether the firmware provides the
    // calculated values, which are otherwise not kept.
    void addReading(qint64 time, const ModbusProtocol::VolatileValues &values, bool calculated);

    // Polling starts on a connection: what the last firmware provided is no longer known, and
    // the next reading is not joined to the last one on the chart.
    void connected();

    const TrendSeries &series(TrendQuantity quantity) const;
    LastReading lastReading(TrendQuantity quantity) const;
    bool calculatedValues() const { return calculated; }
    bool isEmpty() const;
    qint64 firstTime() const; // of any series; 0 when empty
    qint64 lastTime() const;

signals:
    void readingAdded();
    void calculatedValuesChanged(bool provided);

private:
    std::array<TrendSeries, trendQuantityCount> all;
    std::array<LastReading, trendQuantityCount> last;
    bool calculated = false;
    bool providedByFirmware = false; // as the last persistent read said
    bool anyReading = false;
    int serialNumber = 0; // of the last reading's probe
};

#endif // TRENDSTORE_H
