#include "modbusmasterthread.h"

#include "modbusprotocol.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSerialPort>

using namespace ModbusProtocol;

namespace {

struct WriteCode
{
    const char *text;
    int value;
    const char *info; // translated in the context ModbusMasterThread when emitted
};

const WriteCode baudRateCodes[] = {
    { "600", 0, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 600") },
    { "1200", 1, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 1200") },
    { "2400", 2, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 2400") },
    { "4800", 3, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 4800") },
    { "9600", 4, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 9600") },
    { "19200", 5, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 19200") },
    { "38400", 6, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write baud rate: 38400") },
};

const WriteCode parityCodes[] = {
    { "None", 0, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write parity: None") },
    { "Even", 1, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write parity: Even") },
    { "Odd", 2, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write parity: Odd") },
};

const WriteCode stopBitsCodes[] = {
    { "1", 0, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write stop bits: 1") },
    { "2", 1, QT_TRANSLATE_NOOP("ModbusMasterThread", "Write stop bits: 2") },
};

template<size_t N>
const WriteCode *findCode(const WriteCode (&table)[N], const QString &text)
{
    for (const WriteCode &code : table) {
        if (text == QLatin1String(code.text))
            return &code;
    }
    return nullptr;
}

// The line is fixed whatever the transmitter has been configured to: the tool always talks
// 19200 8N1. Each step has its own failure text and trace line.
struct LineSetting
{
    bool (*apply)(QSerialPort &);
    const char *errorText;
    const char *trace;
};

const LineSetting lineSettings[] = {
    { [](QSerialPort &p) {
         return p.setBaudRate(QSerialPort::Baud19200, QSerialPort::AllDirections);
     },
      QT_TRANSLATE_NOOP("ModbusMasterThread",
                        "Can't set baud rate 19200 baud to port %1, error code %2"),
      "run(): baud rate error, exit" },
    { [](QSerialPort &p) { return p.setDataBits(QSerialPort::Data8); },
      QT_TRANSLATE_NOOP("ModbusMasterThread", "Can't set 8 data bits to port %1, error code %2"),
      "run(): data bits error, exit" },
    { [](QSerialPort &p) { return p.setParity(QSerialPort::NoParity); },
      QT_TRANSLATE_NOOP("ModbusMasterThread", "Can't set no parity to port %1, error code %2"),
      "run(): parity error, exit" },
    { [](QSerialPort &p) { return p.setStopBits(QSerialPort::OneStop); },
      QT_TRANSLATE_NOOP("ModbusMasterThread", "Can't set 1 stop bit to port %1, error code %2"),
      "run(): stop bits error, exit" },
    { [](QSerialPort &p) { return p.setFlowControl(QSerialPort::NoFlowControl); },
      QT_TRANSLATE_NOOP("ModbusMasterThread",
                        "Can't set no flow control to port %1, error code %2"),
      "run(): flow control error, exit" },
};

constexpr int writeWaitMs = 100;
constexpr int receivePasses = 6;
constexpr int receivePassMs = 50;

} // namespace

ModbusMasterThread::ModbusMasterThread(QObject *parent) : QThread(parent) { }

ModbusMasterThread::~ModbusMasterThread()
{
    // Destroying a QThread whose run() is in progress aborts the process; a transaction always
    // ends by itself within its bound, so waiting is safe.
    wait();
}

void ModbusMasterThread::setPortName(const QString &name)
{
    portName = name;
}

void ModbusMasterThread::readPersistentRegisters()
{
    requestDelay = 1000;
    readHoldingRegisters(persistentFirstRegister, persistentRegisterCount);
}

void ModbusMasterThread::readVolatileRegisters()
{
    requestDelay = 1000;
    readHoldingRegisters(volatileFirstRegister, volatileRegisterCount);
}

void ModbusMasterThread::writeBaudRate(const QString &text)
{
    // Leaves requestDelay as the previous operation set it.
    const WriteCode *code = findCode(baudRateCodes, text);
    if (!code)
        return;
    emit info(tr(code->info));
    writeSingleRegister(baudRateRegister, code->value);
}

void ModbusMasterThread::writeParity(const QString &text)
{
    requestDelay = 0;
    const WriteCode *code = findCode(parityCodes, text);
    if (!code)
        return;
    emit info(tr(code->info));
    writeSingleRegister(parityRegister, code->value);
}

void ModbusMasterThread::writeStopBits(const QString &text)
{
    requestDelay = 0;
    const WriteCode *code = findCode(stopBitsCodes, text);
    if (!code)
        return;
    emit info(tr(code->info));
    writeSingleRegister(stopBitsRegister, code->value);
}

void ModbusMasterThread::writeAddress(int address)
{
    requestDelay = 0;
    emit info(QStringLiteral("Write address: %1").arg(address));
    writeSingleRegister(addressRegister, address);
}

void ModbusMasterThread::readHoldingRegisters(int startRegister, int registerCount)
{
    ModbusRequest.clear();
    ModbusRequest.append(readHoldingRegistersFrame(startRegister, registerCount));
    start(QThread::InheritPriority);
}

void ModbusMasterThread::writeSingleRegister(int registerNumber, int value)
{
    ModbusRequest.clear();
    ModbusRequest.append(writeSingleRegisterFrame(registerNumber, value));
    start(QThread::InheritPriority);
}

void ModbusMasterThread::run()
{
    msleep(static_cast<unsigned long>(qMax(0, requestDelay)));
    qDebug() << "run(): start";

    QSerialPort port;
    port.setPortName(portName);
    auto fail = [&](const char *text, const char *trace) {
        // One-pass arg(): a port name that itself contains "%2" stays as it is.
        emit error(tr(text).arg(portName, QString::number(port.error())));
        qDebug() << trace;
    };
    if (!port.open(QIODevice::ReadWrite)) {
        fail(QT_TR_NOOP("Can't open %1, error code %2"), "run(): open error, exit");
        return;
    }
    for (const LineSetting &setting : lineSettings) {
        if (!setting.apply(port)) {
            fail(setting.errorText, setting.trace);
            return;
        }
    }
    // Bytes that arrived while the port was closed (a late answer to the previous request) are
    // kept by the driver and would be taken for this transaction's answer.
    port.clear(QSerialPort::Input);

    qDebug() << "run(): sending request";
    port.write(ModbusRequest);
    port.flush();
    // flush() has normally written everything; waiting regardless would only poll for the full
    // 100 ms and pull the answer into Qt's buffer behind waitForReadyRead's back.
    QElapsedTimer writeTimer;
    writeTimer.start();
    while (port.bytesToWrite() > 0 && writeTimer.elapsed() < writeWaitMs)
        port.waitForBytesWritten(int(writeWaitMs - writeTimer.elapsed()));

    qDebug() << "run(): reading response";
    QByteArray response;
    for (int pass = 0; pass < receivePasses; ++pass) {
        // Data already in Qt's buffer is readable now; waitForReadyRead would only watch the
        // descriptor and sit out its whole time-out.
        if (port.bytesAvailable() == 0)
            port.waitForReadyRead(receivePassMs);
        response.append(port.readAll());
    }
    qDebug() << "run(): " << response.size() << " bytes read";

    if (handleResponse(response) == ResponseKind::UnexpectedLength)
        port.readAll(); // the rest of a garbled answer must not reach the next transaction

    qDebug() << "run(): end";
    port.clear(QSerialPort::AllDirections);
    port.close();
}

ResponseKind ModbusMasterThread::handleResponse(const QByteArray &response)
{
    const ResponseKind kind = judgeResponse(response);
    switch (kind) {
    case ResponseKind::VolatileBlock:
        decodeVolatileBlock(response);
        break;
    case ResponseKind::PersistentBlock:
        decodePersistentBlock(response);
        break;
    case ResponseKind::WriteEcho:
        emit info(tr("Response OK"));
        break;
    case ResponseKind::NoAnswer:
        emit info(tr("Timeout"));
        break;
    case ResponseKind::CrcError:
        emit info(tr("Bad response, CRC error"));
        qDebug() << "run(): CRC error";
        break;
    case ResponseKind::UnexpectedLength:
        break;
    }
    return kind;
}

void ModbusMasterThread::decodeVolatileBlock(const QByteArray &frame)
{
    const VolatileValues v = decodeVolatileValues(frame);
    emit temperature(v.temperature);
    emit temperatureAlarm(v.temperatureAlarm);
    emit humidity(v.humidity);
    emit humidityAlarm(v.humidityAlarm);
    emit serialNumber(v.serialNumber);
    emit serialNumberTr(v.serialNumberTr);
    emit dewPointTemperature(v.dewPointTemperature);
    emit enthalpy(v.enthalpy);
    emit mixingRatio(v.mixingRatio);
    emit absoluteHumidity(v.absoluteHumidity);
    emit wetBulbTemperatur(v.wetBulbTemperature);
    emit hxAlarm(v.hxAlarm);
}

void ModbusMasterThread::decodePersistentBlock(const QByteArray &frame)
{
    const PersistentValues p = decodePersistentValues(frame);
    emit firmware(p.firmwareId, p.year, p.month, p.day);
    emit housing(p.housing);
    // A code outside its table emits nothing, so the window keeps what it showed.
    if (!p.baudRate.isEmpty())
        emit baudRate(p.baudRate);
    if (!p.parity.isEmpty())
        emit parity(p.parity);
    if (!p.stopBits.isEmpty())
        emit stopBits(p.stopBits);
    emit address(p.address);
}
