#ifndef MODBUSMASTERTHREAD_H
#define MODBUSMASTERTHREAD_H

#include "connectionsettings.h"
#include "modbusparameters.h"
#include "modbusprotocol.h"
#include "modbustransaction.h"

#include <QByteArray>
#include <QString>
#include <QThread>

#include <memory>

class ModbusEndpoint;

// The Modbus RTU master. Each start runs exactly one transaction in run(): pause, open the
// endpoint, send ModbusRequest, collect and judge the answer, emit what it holds, close a serial
// port (a TCP connection stays open for the next start). The members are written by the GUI
// thread only while the thread is not running.
class ModbusMasterThread : public QThread
{
    Q_OBJECT

public:
    explicit ModbusMasterThread(QObject *parent = nullptr);
    ~ModbusMasterThread() override;

    // The port box's text: a device path, tcp://HOST[:PORT] or rtu+tcp://HOST:PORT.
    void setPortName(const QString &name);
    // Everything at once: endpoint, line settings, unit address, time-out and pause.
    void setConnection(const ConnectionSettings &settings);
    const ConnectionSettings &connection() const { return settings; }

    void readPersistentRegisters();
    void readVolatileRegisters();
    void writeBaudRate(const QString &text);
    void writeParity(const QString &text);
    void writeStopBits(const QString &text);
    void writeAddress(int address);

    // Judges an answer to ModbusRequest and emits what it holds, as run() does with what
    // arrives; it holds no state of its own, so a fuzzer can feed it any bytes.
    ModbusProtocol::ResponseKind handleResponse(const QByteArray &response);

signals:
    void info(QString s);
    void error(QString s);
    void temperature(float f);
    void temperatureAlarm(int i);
    void humidity(float f);
    void humidityAlarm(int i);
    void serialNumber(int i);
    void serialNumberTr(int i);
    void dewPointTemperature(float f);
    void enthalpy(float f);
    void mixingRatio(float f);
    void absoluteHumidity(float f);
    void wetBulbTemperatur(float f);
    void hxAlarm(int i);
    void address(int i);
    void parity(QString s);
    void stopBits(QString s);
    void baudRate(QString s);
    void firmware(QString s, int y, int m, int d);
    void housing(int i);
    // Every transaction once, after its other signals: what went out, what came back and what
    // it was judged to be, port failures included.
    void transaction(const ModbusTransaction &t);

protected:
    void run() override;

private:
    void readHoldingRegisters(int startRegister, int registerCount);
    void writeSingleRegister(int registerNumber, int value);
    void writeCoded(const ModbusParameters::CodedParameter &parameter, const QString &text);
    void announce(const ModbusProtocol::Judgement &judgement);
    void decodeVolatileBlock(const ModbusProtocol::VolatileValues &v);
    void decodePersistentBlock(const ModbusProtocol::PersistentValues &p);

    ConnectionSettings settings;
    QString endpointError; // a port text that is no endpoint: reported as the open's failure
    std::unique_ptr<ModbusEndpoint> endpoint;
    int requestDelay = 1000; // every read sets it again before use
    QByteArray ModbusRequest;

    friend class tst_ModbusMasterThread;
    friend class tst_Transaction;
    friend class tst_MainWindow;
};

#endif // MODBUSMASTERTHREAD_H
