#include "modbusmasterthread.h"

#include "modbusendpoint.h"
#include "modbusparameters.h"
#include "modbusprotocol.h"
#include "modbustransaction.h"

#include <QDebug>

using namespace ModbusProtocol;

ModbusMasterThread::ModbusMasterThread(QObject *parent) : QThread(parent)
{
    qRegisterMetaType<ModbusTransaction>();
    setConnection(settings);
}

ModbusMasterThread::~ModbusMasterThread()
{
    // Destroying a QThread whose run() is in progress aborts the process; a transaction always
    // ends by itself within its bound, so waiting is safe.
    wait();
}

void ModbusMasterThread::setPortName(const QString &name)
{
    ConnectionSettings next = settings;
    QString error;
    if (Endpoint::parse(name, &next.endpoint, &error)) {
        setConnection(next);
        return;
    }
    // Reported when the thread would open it, in the words of a failed open.
    next.endpoint = Endpoint();
    next.endpoint.path = name;
    setConnection(next);
    endpointError = QStringLiteral("Can't open %1: %2").arg(name, error);
}

void ModbusMasterThread::setConnection(const ConnectionSettings &connection)
{
    const bool sameWay = endpoint && connection.endpoint.toString() == settings.endpoint.toString()
        && connection.endpoint.kind == settings.endpoint.kind;
    settings = connection;
    endpointError.clear();
    if (sameWay) {
        endpoint->setLine(settings.line);
        return;
    }
    endpoint = ModbusEndpoint::create(settings.endpoint, settings.line);
}

void ModbusMasterThread::readPersistentRegisters()
{
    requestDelay = settings.pauseMs;
    readHoldingRegisters(persistentFirstRegister, persistentRegisterCount);
}

void ModbusMasterThread::readVolatileRegisters()
{
    requestDelay = settings.pauseMs;
    readHoldingRegisters(volatileFirstRegister, volatileRegisterCount);
}

void ModbusMasterThread::writeBaudRate(const QString &text)
{
    // Leaves requestDelay as the previous operation set it.
    writeCoded(ModbusParameters::baudRate(), text);
}

void ModbusMasterThread::writeParity(const QString &text)
{
    requestDelay = 0;
    writeCoded(ModbusParameters::parity(), text);
}

void ModbusMasterThread::writeStopBits(const QString &text)
{
    requestDelay = 0;
    writeCoded(ModbusParameters::stopBits(), text);
}

void ModbusMasterThread::writeCoded(const ModbusParameters::CodedParameter &parameter,
                                    const QString &text)
{
    const ModbusParameters::Code *code = ModbusParameters::findText(parameter, text);
    if (!code)
        return;
    emit info(tr(code->announcement));
    writeSingleRegister(parameter.registerNumber, code->value);
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
    ModbusRequest.append(
        readHoldingRegistersFrame(startRegister, registerCount, quint8(settings.unit)));
    start(QThread::InheritPriority);
}

void ModbusMasterThread::writeSingleRegister(int registerNumber, int value)
{
    ModbusRequest.clear();
    ModbusRequest.append(writeSingleRegisterFrame(registerNumber, value, quint8(settings.unit)));
    start(QThread::InheritPriority);
}

void ModbusMasterThread::run()
{
    msleep(static_cast<unsigned long>(qMax(0, requestDelay)));
    qCDebug(ModbusLine::trace) << "run(): start";

    QString failure = endpointError;
    const char *trace = "run(): open error, exit";
    if (!failure.isEmpty() || !endpoint->open(&failure, &trace)) {
        emit error(failure);
        qCDebug(ModbusLine::trace) << trace;
        ModbusTransaction t;
        t.request = ModbusRequest;
        t.sentAt = ModbusLine::now();
        t.judgement.kind = ResponseKind::PortFailure;
        t.judgement.portFailure = failure;
        emit transaction(t);
        return;
    }

    const ModbusTransaction t =
        endpoint->exchange(ModbusRequest, ReceiveTiming::forSettings(settings));
    if (t.judgement.kind == ResponseKind::PortFailure) {
        emit error(t.judgement.portFailure);
        endpoint->close();
    } else {
        announce(t.judgement);
    }

    qCDebug(ModbusLine::trace) << "run(): end";
    if (!endpoint->staysOpen())
        endpoint->close();
    emit transaction(t);
}

ResponseKind ModbusMasterThread::handleResponse(const QByteArray &response)
{
    const Judgement judgement = judgeResponse(response);
    announce(judgement);
    return judgement.kind;
}

void ModbusMasterThread::announce(const Judgement &judgement)
{
    switch (judgement.kind) {
    case ResponseKind::VolatileBlock:
        decodeVolatileBlock(judgement.volatileValues);
        return;
    case ResponseKind::PersistentBlock:
        decodePersistentBlock(judgement.persistentValues);
        return;
    case ResponseKind::PortFailure: // reported through error() where it happens
        return;
    case ResponseKind::CrcError:
        emit info(statusText(judgement, ModbusRequest));
        qCDebug(ModbusLine::trace) << "run(): CRC error";
        return;
    case ResponseKind::WriteEcho:
    case ResponseKind::NoAnswer:
    case ResponseKind::Exception:
    case ResponseKind::UnexpectedLength:
        emit info(statusText(judgement, ModbusRequest));
        return;
    }
}

void ModbusMasterThread::decodeVolatileBlock(const VolatileValues &v)
{
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

void ModbusMasterThread::decodePersistentBlock(const PersistentValues &p)
{
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
