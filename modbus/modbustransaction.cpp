#include "modbustransaction.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QSerialPort>

#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ModbusMasterThread", text);
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

// The meaning of a QSerialPort error code, for a port at the given path.
QString portErrorMeaning(int code, const QString &path)
{
    switch (code) {
    case QSerialPort::DeviceNotFoundError:
        return tr("no such device");
    case QSerialPort::PermissionError:
        // Qt reports both a refused open and another program's lock as a permission error; the
        // file's own access rights tell the two apart.
        if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) != 0)
            return tr("permission denied (is your user in the dialout group?)");
        return tr("in use by another program");
    case QSerialPort::OpenError:
        return tr("already open");
    case QSerialPort::WriteError:
        return tr("write failed");
    case QSerialPort::ReadError:
        return tr("read failed");
    case QSerialPort::ResourceError:
        return tr("device removed or no longer available");
    case QSerialPort::UnsupportedOperationError:
        return tr("setting not supported by the device");
    case QSerialPort::TimeoutError:
        return tr("timed out");
    case QSerialPort::NotOpenError:
        return tr("port not open");
    default:
        return tr("unknown error");
    }
}

// A port that went away (an adapter pulled out, a pseudo-terminal whose other end closed) fails
// every read and write at once: that is the port's failure, not a silent transmitter.
void judgeLostPort(const QSerialPort &port, ModbusTransaction *t)
{
    const QSerialPort::SerialPortError code = port.error();
    if (code != QSerialPort::ResourceError && code != QSerialPort::ReadError
        && code != QSerialPort::WriteError)
        return;
    // The read or write that failed is the symptom; a path that is gone is the cause.
    const QString path = port.portName(); // "ttyUSB0" for a port under /dev
    const bool gone =
        !QFile::exists(path.startsWith(QLatin1Char('/')) ? path : QLatin1String("/dev/") + path);
    t->judgement = ModbusProtocol::Judgement();
    t->judgement.kind = ModbusProtocol::ResponseKind::PortFailure;
    t->judgement.portFailure =
        tr("Lost port %1, error code %2: %3")
            .arg(path, QString::number(code),
                 portErrorMeaning(gone ? QSerialPort::ResourceError : code, path));
}

} // namespace

namespace ModbusLine {

bool open(QSerialPort &port, const QString &name, QString *failureText, const char **trace)
{
    auto fail = [&](const char *text, const char *step) {
        const int code = port.error();
        // One-pass arg(): a port name that itself contains "%2" stays as it is.
        *failureText = tr(text).arg(name, QString::number(code)) + QLatin1String(": ")
            + portErrorMeaning(code, name);
        if (trace)
            *trace = step;
        port.close();
        return false;
    };
    port.setPortName(name);
    if (!port.open(QIODevice::ReadWrite))
        return fail(QT_TRANSLATE_NOOP("ModbusMasterThread", "Can't open %1, error code %2"),
                    "run(): open error, exit");
    for (const LineSetting &setting : lineSettings) {
        if (!setting.apply(port))
            return fail(setting.errorText, setting.trace);
    }
    return true;
}

ModbusTransaction exchange(QSerialPort &port, const QByteArray &request)
{
    ModbusTransaction t;
    t.request = request;
    // Bytes that arrived while the port was closed (a late answer to the previous request) are
    // kept by the driver and would be taken for this transaction's answer.
    port.clear(QSerialPort::Input);

    qDebug() << "run(): sending request";
    t.sentAt = QDateTime::currentDateTime();
    port.write(request);
    port.flush();
    // flush() has normally written everything; waiting regardless would only poll for the full
    // 100 ms and pull the answer into Qt's buffer behind waitForReadyRead's back.
    QElapsedTimer timer;
    timer.start();
    while (port.bytesToWrite() > 0 && timer.elapsed() < writeWaitMs)
        port.waitForBytesWritten(int(writeWaitMs - timer.elapsed()));

    qDebug() << "run(): reading response";
    timer.start(); // the round trip counts from the end of sending
    for (int pass = 0; pass < receivePasses; ++pass) {
        // Data already in Qt's buffer is readable now; waitForReadyRead would only watch the
        // descriptor and sit out its whole time-out.
        if (port.bytesAvailable() == 0)
            port.waitForReadyRead(receivePassMs);
        const QByteArray piece = port.readAll();
        if (!piece.isEmpty()) {
            t.answer.append(piece);
            t.roundTripMs = timer.nsecsElapsed() / 1e6;
        }
    }
    // The first piece shares the port's read buffer of several kB; keep only the answer's bytes.
    t.answer.squeeze();
    qDebug() << "run(): " << t.answer.size() << " bytes read";
    t.judgement = ModbusProtocol::judgeResponse(t.answer);
    judgeLostPort(port, &t);
    return t;
}

} // namespace ModbusLine
