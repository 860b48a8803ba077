#ifndef PSYCHROMETRICS_H
#define PSYCHROMETRICS_H

// Moist-air properties from temperature and relative humidity, as a transmitter computes them.
//
// Formulas (ASHRAE Handbook - Fundamentals, chapter 1 "Psychrometrics"):
// - saturation vapour pressure: Hyland and Wexler (1983), over liquid water and over ice;
// - relative humidity with respect to liquid water at every temperature (the WMO convention that
//   humidity sensors follow), so the dew point below 0 degC is the dew point over supercooled
//   water;
// - humidity (mixing) ratio W = 0.621945 pw / (p - pw);
// - enthalpy h = 1.006 t + W (2501 + 1.86 t) in kJ per kg of dry air;
// - absolute humidity from the ideal gas law, pw / (Rw T) with Rw = 461.52 J/(kg K);
// - thermodynamic wet-bulb temperature t* solving the ASHRAE wet-bulb equation
//   W = ((2501 - 2.326 t*) Ws* - 1.006 (t - t*)) / (2501 + 1.86 t - 4.186 t*) above freezing and
//   W = ((2830 - 0.24 t*) Ws* - 1.006 (t - t*)) / (2830 + 1.86 t - 2.1 t*) over ice below it.
namespace Psychrometrics {

constexpr double standardPressure = 101325.0; // Pa, 1013.25 hPa

double saturationPressureOverWater(double celsius);                              // Pa
double saturationPressureOverIce(double celsius);                                // Pa
double humidityRatio(double vapourPressure, double pressure = standardPressure); // kg/kg
double dewPoint(double vapourPressure); // degC, over liquid water
double wetBulb(double celsius, double humidityRatio, double pressure = standardPressure); // degC

struct MoistAir
{
    double dewPoint = 0;         // degC
    double enthalpy = 0;         // kJ/kg dry air
    double mixingRatio = 0;      // g/kg dry air
    double absoluteHumidity = 0; // g/m3
    double wetBulb = 0;          // degC
};

// relativeHumidity in percent, above 0.
MoistAir moistAir(double celsius, double relativeHumidity, double pressure = standardPressure);

} // namespace Psychrometrics

#endif // PSYCHROMETRICS_H
