#ifndef SIGNALRECORDER_H
#define SIGNALRECORDER_H

#include "modbusmasterthread.h"

#include <QObject>
#include <QStringList>

// Logs every signal of a ModbusMasterThread as "name(arg, arg)" in the order of arrival, and
// "finished" when the thread ends. The receiving context lives in the creating thread, so signals
// emitted by run() arrive queued, in emission order, as they reach the window.
class SignalRecorder
{
public:
    explicit SignalRecorder(ModbusMasterThread *thread)
    {
        add(thread, &ModbusMasterThread::info, "info");
        add(thread, &ModbusMasterThread::error, "error");
        add(thread, &ModbusMasterThread::temperature, "temperature");
        add(thread, &ModbusMasterThread::temperatureAlarm, "temperatureAlarm");
        add(thread, &ModbusMasterThread::humidity, "humidity");
        add(thread, &ModbusMasterThread::humidityAlarm, "humidityAlarm");
        add(thread, &ModbusMasterThread::serialNumber, "serialNumber");
        add(thread, &ModbusMasterThread::serialNumberTr, "serialNumberTr");
        add(thread, &ModbusMasterThread::dewPointTemperature, "dewPointTemperature");
        add(thread, &ModbusMasterThread::enthalpy, "enthalpy");
        add(thread, &ModbusMasterThread::mixingRatio, "mixingRatio");
        add(thread, &ModbusMasterThread::absoluteHumidity, "absoluteHumidity");
        add(thread, &ModbusMasterThread::wetBulbTemperatur, "wetBulbTemperatur");
        add(thread, &ModbusMasterThread::hxAlarm, "hxAlarm");
        add(thread, &ModbusMasterThread::address, "address");
        add(thread, &ModbusMasterThread::parity, "parity");
        add(thread, &ModbusMasterThread::stopBits, "stopBits");
        add(thread, &ModbusMasterThread::baudRate, "baudRate");
        add(thread, &ModbusMasterThread::firmware, "firmware");
        add(thread, &ModbusMasterThread::housing, "housing");
        QObject::connect(thread, &QThread::finished, &context, [this] { log << "finished"; });
    }

    QStringList log;

private:
    template<typename... Args>
    void add(ModbusMasterThread *thread, void (ModbusMasterThread::*signal)(Args...),
             const char *name)
    {
        QObject::connect(thread, signal, &context, [this, name](Args... args) {
            log << QStringLiteral("%1(%2)").arg(QLatin1String(name),
                                                QStringList { text(args)... }.join(", "));
        });
    }
    // 9 significant digits show any float exactly.
    static QString text(float f) { return QString::number(double(f), 'g', 9); }
    static QString text(int i) { return QString::number(i); }
    static QString text(const QString &s) { return s; }

    QObject context;
};

#endif // SIGNALRECORDER_H
