#ifndef SIM_LINESETTINGS_H
#define SIM_LINESETTINGS_H

#include <QString>

// The simulator's own copy of the line-settings text form until the shared one in modbus/ exists;
// same names and meaning, so that switching over is a change of include.
struct LineSettings
{
    enum class Parity { None, Even, Odd };

    int baudRate = 19200;
    Parity parity = Parity::None;
    int stopBits = 1; // 8 data bits always

    // "19200-8N1", "9600-8E1", "38400-8O2"; false with *error in words for anything else.
    static bool parse(const QString &text, LineSettings *line, QString *error = nullptr);
    QString toString() const;

    bool operator==(const LineSettings &o) const
    {
        return baudRate == o.baudRate && parity == o.parity && stopBits == o.stopBits;
    }
    bool operator!=(const LineSettings &o) const { return !(*this == o); }
};

#endif // SIM_LINESETTINGS_H
