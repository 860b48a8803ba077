#ifndef TRANSMITTERMODEL_H
#define TRANSMITTERMODEL_H

#include "connectionsettings.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// What the simulated transmitter is: its measuring, its firmware and its stored parameters.
struct TransmitterSettings
{
    struct Limits
    {
        double low = 0;
        double high = 0;
    };

    enum class Firmware { Current, Feb2014, Legacy };

    double temperature = 22.5;     // degC at start
    double humidity = 45.0;        // % r.H. at start
    double temperatureDrift = 0.5; // degC, amplitude of the slow drift; 0 holds the value still
    double humidityDrift = 2.0;    // % r.H.
    quint32 seed = 1;              // the drift's phases

    // Alarm state: 0 inside the limits, 1 below the low limit, 2 above the high limit.
    Limits temperatureLimits { -20, 60 };
    Limits humidityLimits { 10, 90 };
    Limits dewPointLimits { -10, 20 }; // the Hx alarm watches the dew point

    QByteArray firmwareId;    // four characters
    quint16 firmwareDate = 0; // packed as in register 211
    int housing = 1;
    qint32 probeSerial = 21034567;
    qint32 transmitterSerial = 21034568;

    // The stored line parameters, registers 200-202; they may differ from the line in force
    // until a restart, as after a write.
    int baudRateCode = 5; // 19200
    int parityCode = 0;   // None
    int stopBitsCode = 0; // 1
    int address = 1;      // stored and in force at start
    LineSettings line;    // in force at start: the transmitter hears only requests sent at these

    // When written line settings and address take effect: at the next restart, as the
    // transmitter's parameter memory is read only then, or at once after the write's echo.
    enum class Apply { AtRestart, Immediately };
    Apply applySettings = Apply::AtRestart;

    // Write behaviour for trying a master's failure paths: a non-zero refuseWrites is the
    // exception code answered to every write from the refuseWritesFrom-th on (counted from 1,
    // valid or not), and ignoreWrites echoes a valid write without storing it, as a transmitter
    // whose parameter memory has failed would.
    int refuseWrites = 0;
    int refuseWritesFrom = 1;
    bool ignoreWrites = false;

    // The line settings and the codes of registers 200-202 that hold them.
    void setLine(const LineSettings &settings);
    // The index-th transmitter on a line of transmitters like this one (0: this one) at the
    // address: its serial numbers 1000 x index higher, a drift of its own.
    TransmitterSettings another(int index, int atAddress) const;

    // Sets the identifier and date of one of the three firmware generations that the tool knows.
    void setFirmware(Firmware profile);

    TransmitterSettings() { setFirmware(Firmware::Current); }
};

// The register image of the transmitter: registers 0-20 (measured and calculated values) and
// 200-215 (parameters and identification). No I/O: the server feeds it elapsed time.
class TransmitterModel
{
public:
    enum class WriteResult { Written, IllegalAddress, IllegalValue, Refused };

    explicit TransmitterModel(const TransmitterSettings &settings = TransmitterSettings());

    // Moves the measured values to where the drift has taken them after this many seconds of
    // running, and recomputes the calculated values and alarms from them.
    void advanceTo(double seconds);

    // False when any register of the range lies outside both blocks.
    bool readRegisters(int first, int count, QVector<quint16> *values) const;
    WriteResult writeRegister(int number, quint16 value);

    // The address and line settings in force: the stored ones from the last restart on, or from
    // a write on when written settings apply immediately.
    int address() const { return addressInForce; }
    LineSettings line() const { return lineInForce; }
    // The stored line settings and address take effect, as when the transmitter is powered up.
    void restart();

    int refusedWriteCode() const { return settings.refuseWrites; }
    double temperature() const { return currentTemperature; }
    double humidity() const { return currentHumidity; }

private:
    static constexpr int persistentOffset = 21; // index of register 200 in the image
    static constexpr int addressIndex = persistentOffset + 5;
    static constexpr int registerCount = 21 + 16;

    static int indexOf(int number);
    void setFloat(int number, double value);
    void setLong(int number, quint32 value);
    static int alarmState(double value, TransmitterSettings::Limits limits);
    double drift(double seconds, double amplitude, int phaseIndex, double period1,
                 double period2) const;

    LineSettings storedLine() const;

    TransmitterSettings settings;
    LineSettings lineInForce;
    int addressInForce = 1;
    int writesReceived = 0;
    double phases[4] = {};
    double currentTemperature = 0;
    double currentHumidity = 0;
    quint16 registers[registerCount] = {};
};

#endif // TRANSMITTERMODEL_H
