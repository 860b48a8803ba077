#include "transmittermodel.h"

#include "modbusparameters.h"
#include "modbusprotocol.h"
#include "psychrometrics.h"

#include <cmath>
#include <random>

using namespace ModbusProtocol;

namespace {
constexpr double pi = 3.14159265358979323846;
}

void TransmitterSettings::setFirmware(Firmware profile)
{
    switch (profile) {
    case Firmware::Current:
        firmwareId = "QV30";
        firmwareDate = packFirmwareDate(2024, 5, 14);
        break;
    case Firmware::Feb2014:
        firmwareId = "QV20";
        firmwareDate = packFirmwareDate(2014, 2, 18);
        break;
    case Firmware::Legacy:
        // Firmware older than the date field leaves the word erased: all ones, month 15.
        firmwareId = "QV10";
        firmwareDate = 0xFFFF;
        break;
    }
}

void TransmitterSettings::setLine(const LineSettings &settings)
{
    line = settings;
    const auto &rates = ModbusParameters::baudRate();
    const auto rate = ModbusParameters::findText(rates, QString::number(settings.baudRate));
    baudRateCode = rate ? rate->value : baudRateCode;
    parityCode = int(settings.parity); // None, Even, Odd as the register codes them
    stopBitsCode = settings.stopBits - 1;
}

TransmitterSettings TransmitterSettings::another(int index, int atAddress) const
{
    TransmitterSettings unit = *this;
    unit.address = atAddress;
    unit.probeSerial += 1000 * index;
    unit.transmitterSerial += 1000 * index;
    unit.seed += quint32(index);
    return unit;
}

TransmitterModel::TransmitterModel(const TransmitterSettings &settings)
    : settings(settings), lineInForce(settings.line), addressInForce(settings.address)
{
    std::mt19937 random(settings.seed);
    for (double &phase : phases)
        phase = 2 * pi * (random() / 4294967296.0);

    auto set = [this](int number, int value) { registers[indexOf(number)] = quint16(value); };
    set(baudRateRegister, settings.baudRateCode);
    set(parityRegister, settings.parityCode);
    set(stopBitsRegister, settings.stopBitsCode);
    set(addressRegister, settings.address);
    const QByteArray id = settings.firmwareId.leftJustified(4, '\0', true);
    set(firmwareIdRegister, quint8(id.at(0)) << 8 | quint8(id.at(1)));
    set(firmwareIdRegister + 1, quint8(id.at(2)) << 8 | quint8(id.at(3)));
    set(firmwareDateRegister, settings.firmwareDate);
    set(housingRegister, settings.housing);
    setLong(6, quint32(settings.probeSerial));
    setLong(8, quint32(settings.transmitterSerial));
    advanceTo(0);
}

// Two slow sines of unrelated periods around the start value: smooth, bounded by the amplitude,
// never periodic within a session, and the same for the same seed.
double TransmitterModel::drift(double seconds, double amplitude, int phaseIndex, double period1,
                               double period2) const
{
    return amplitude
        * (0.7 * std::sin(2 * pi * seconds / period1 + phases[phaseIndex])
           + 0.3 * std::sin(2 * pi * seconds / period2 + phases[phaseIndex + 1]));
}

void TransmitterModel::advanceTo(double seconds)
{
    currentTemperature =
        settings.temperature + drift(seconds, settings.temperatureDrift, 0, 900, 173);
    currentHumidity =
        qBound(1.0, settings.humidity + drift(seconds, settings.humidityDrift, 2, 600, 127), 100.0);
    const Psychrometrics::MoistAir air =
        Psychrometrics::moistAir(currentTemperature, currentHumidity);

    setFloat(0, currentTemperature);
    registers[2] = quint16(alarmState(currentTemperature, settings.temperatureLimits));
    setFloat(3, currentHumidity);
    registers[5] = quint16(alarmState(currentHumidity, settings.humidityLimits));
    setFloat(10, air.dewPoint);
    setFloat(12, air.enthalpy);
    setFloat(14, air.mixingRatio);
    setFloat(16, air.absoluteHumidity);
    setFloat(18, air.wetBulb);
    registers[20] = quint16(alarmState(air.dewPoint, settings.dewPointLimits));
}

bool TransmitterModel::readRegisters(int first, int count, QVector<quint16> *values) const
{
    if (count < 1 || indexOf(first) < 0 || indexOf(first + count - 1) < 0
        || (first < persistentFirstRegister) != (first + count - 1 < persistentFirstRegister))
        return false;
    values->clear();
    for (int number = first; number < first + count; ++number)
        values->append(registers[indexOf(number)]);
    return true;
}

LineSettings TransmitterModel::storedLine() const
{
    LineSettings stored = lineInForce;
    const auto rate = ModbusParameters::findValue(ModbusParameters::baudRate(),
                                                  registers[indexOf(baudRateRegister)]);
    if (rate)
        stored.baudRate = QByteArray(rate->text).toInt();
    stored.parity = LineSettings::Parity(qMin<int>(registers[indexOf(parityRegister)], 2));
    stored.stopBits = registers[indexOf(stopBitsRegister)] == 1 ? 2 : 1;
    return stored;
}

void TransmitterModel::restart()
{
    lineInForce = storedLine();
    addressInForce = registers[addressIndex];
}

TransmitterModel::WriteResult TransmitterModel::writeRegister(int number, quint16 value)
{
    ++writesReceived;
    if (settings.refuseWrites != 0 && writesReceived >= settings.refuseWritesFrom)
        return WriteResult::Refused;
    int highest;
    switch (number) {
    case baudRateRegister:
        highest = ModbusParameters::baudRate().codes.size() - 1;
        break;
    case parityRegister:
        highest = ModbusParameters::parity().codes.size() - 1;
        break;
    case stopBitsRegister:
        highest = ModbusParameters::stopBits().codes.size() - 1;
        break;
    case addressRegister:
        if (value < 1)
            return WriteResult::IllegalValue;
        highest = 247; // the highest unicast address of Modbus
        break;
    default:
        return WriteResult::IllegalAddress;
    }
    if (value > highest)
        return WriteResult::IllegalValue;
    if (settings.ignoreWrites)
        return WriteResult::Written;
    registers[indexOf(number)] = value;
    // The echo is the request itself: it still goes out from the old address, at the old line.
    if (settings.applySettings == TransmitterSettings::Apply::Immediately)
        restart();
    return WriteResult::Written;
}

int TransmitterModel::indexOf(int number)
{
    if (number >= volatileFirstRegister && number < volatileFirstRegister + volatileRegisterCount)
        return number - volatileFirstRegister;
    if (number >= persistentFirstRegister
        && number < persistentFirstRegister + persistentRegisterCount)
        return persistentOffset + number - persistentFirstRegister;
    return -1;
}

// Floats and 32-bit numbers go low word first: the first register of the pair holds bits 0-15.
void TransmitterModel::setLong(int number, quint32 value)
{
    registers[indexOf(number)] = quint16(value & 0xFFFF);
    registers[indexOf(number + 1)] = quint16(value >> 16);
}

void TransmitterModel::setFloat(int number, double value)
{
    setLong(number, wordsFromFloat(float(value)));
}

int TransmitterModel::alarmState(double value, TransmitterSettings::Limits limits)
{
    if (value < limits.low)
        return 1;
    if (value > limits.high)
        return 2;
    return 0;
}
