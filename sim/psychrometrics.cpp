#include "psychrometrics.h"

#include <cmath>

namespace Psychrometrics {

namespace {

    constexpr double kelvinOffset = 273.15;
    constexpr double waterVapourGasConstant = 461.52; // J/(kg K)

    // Both searches run on monotonic functions over a bracket that always contains the root, so
    // plain bisection is safe and 60 halvings reach double precision.
    template<typename F>
    double bisect(F f, double low, double high)
    {
        for (int i = 0; i < 60; ++i) {
            const double middle = 0.5 * (low + high);
            if (f(middle) < 0)
                low = middle;
            else
                high = middle;
        }
        return 0.5 * (low + high);
    }

} // namespace

double saturationPressureOverWater(double celsius)
{
    const double t = celsius + kelvinOffset;
    return std::exp(-5.8002206e3 / t + 1.3914993 - 4.8640239e-2 * t + 4.1764768e-5 * t * t
                    - 1.4452093e-8 * t * t * t + 6.5459673 * std::log(t));
}

double saturationPressureOverIce(double celsius)
{
    const double t = celsius + kelvinOffset;
    return std::exp(-5.6745359e3 / t + 6.3925247 - 9.677843e-3 * t + 6.2215701e-7 * t * t
                    + 2.0747825e-9 * t * t * t - 9.484024e-13 * t * t * t * t
                    + 4.1635019 * std::log(t));
}

double humidityRatio(double vapourPressure, double pressure)
{
    return 0.621945 * vapourPressure / (pressure - vapourPressure);
}

double dewPoint(double vapourPressure)
{
    return bisect(
        [vapourPressure](double t) { return saturationPressureOverWater(t) - vapourPressure; },
        -100.0, 200.0);
}

double wetBulb(double celsius, double ratio, double pressure)
{
    const double t = celsius;
    auto ratioAtWetBulb = [t, pressure](double ts) {
        if (ts >= 0) {
            const double ws = humidityRatio(saturationPressureOverWater(ts), pressure);
            return ((2501 - 2.326 * ts) * ws - 1.006 * (t - ts)) / (2501 + 1.86 * t - 4.186 * ts);
        }
        const double ws = humidityRatio(saturationPressureOverIce(ts), pressure);
        return ((2830 - 0.24 * ts) * ws - 1.006 * (t - ts)) / (2830 + 1.86 * t - 2.1 * ts);
    };
    // The wet bulb lies above a point well below the dew point. It can lie above the dry bulb:
    // below 0 degC, air that is humid over water yet supersaturated over ice warms an ice bulb.
    return bisect([&](double ts) { return ratioAtWetBulb(ts) - ratio; }, -100.0, t + 10.0);
}

MoistAir moistAir(double celsius, double relativeHumidity, double pressure)
{
    const double vapourPressure = relativeHumidity / 100.0 * saturationPressureOverWater(celsius);
    const double ratio = humidityRatio(vapourPressure, pressure);
    MoistAir air;
    air.dewPoint = dewPoint(vapourPressure);
    air.enthalpy = 1.006 * celsius + ratio * (2501 + 1.86 * celsius);
    air.mixingRatio = 1000 * ratio;
    air.absoluteHumidity =
        1000 * vapourPressure / (waterVapourGasConstant * (celsius + kelvinOffset));
    air.wetBulb = wetBulb(celsius, ratio, pressure);
    return air;
}

} // namespace Psychrometrics
