#include "modbustransaction.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QSerialPort>

#include <ctime>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ModbusMasterThread", text);
}

// Each line-setting step has its own failure text and trace line.
struct LineStep
{
    bool (*apply)(QSerialPort &, const LineSettings &);
    bool (*holds)(const QSerialPort &, const LineSettings &);
    QString (*describe)(const LineSettings &);
    const char *trace;
};

QSerialPort::Parity serialParity(LineSettings::Parity parity)
{
    switch (parity) {
    case LineSettings::Parity::Even:
        return QSerialPort::EvenParity;
    case LineSettings::Parity::Odd:
        return QSerialPort::OddParity;
    case LineSettings::Parity::None:
        break;
    }
    return QSerialPort::NoParity;
}

const LineStep lineSteps[] = {
    { [](QSerialPort &p, const LineSettings &l) {
         return p.setBaudRate(l.baudRate, QSerialPort::AllDirections);
     },
      [](const QSerialPort &p, const LineSettings &l) {
          return p.baudRate(QSerialPort::Input) == l.baudRate
              && p.baudRate(QSerialPort::Output) == l.baudRate;
      },
      [](const LineSettings &l) { return tr("baud rate %1 baud").arg(l.baudRate); },
      "run(): baud rate error, exit" },
    { [](QSerialPort &p, const LineSettings &) { return p.setDataBits(QSerialPort::Data8); },
      [](const QSerialPort &p, const LineSettings &) { return p.dataBits() == QSerialPort::Data8; },
      [](const LineSettings &) { return tr("8 data bits"); }, "run(): data bits error, exit" },
    { [](QSerialPort &p, const LineSettings &l) { return p.setParity(serialParity(l.parity)); },
      [](const QSerialPort &p, const LineSettings &l) {
          return p.parity() == serialParity(l.parity);
      },
      [](const LineSettings &l) {
          return l.parity == LineSettings::Parity::None ? tr("no parity")
              : l.parity == LineSettings::Parity::Even  ? tr("even parity")
                                                        : tr("odd parity");
      },
      "run(): parity error, exit" },
    { [](QSerialPort &p, const LineSettings &l) {
         return p.setStopBits(l.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
     },
      [](const QSerialPort &p, const LineSettings &l) {
          return p.stopBits() == (l.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
      },
      [](const LineSettings &l) { return l.stopBits == 2 ? tr("2 stop bits") : tr("1 stop bit"); },
      "run(): stop bits error, exit" },
    { [](QSerialPort &p, const LineSettings &) {
         return p.setFlowControl(QSerialPort::NoFlowControl);
     },
      [](const QSerialPort &p, const LineSettings &) {
          return p.flowControl() == QSerialPort::NoFlowControl;
      },
      [](const LineSettings &) { return tr("no flow control"); },
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

} // namespace

namespace ModbusLine {

QDateTime now()
{
    // Offsets change on whole minutes (daylight saving, a new zone rule): asked once a minute.
    thread_local qint64 offsetMinute = -1;
    thread_local int offsetSeconds = 0;
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    const time_t seconds = time_t(ms / 1000);
    if (seconds / 60 != offsetMinute) {
        tm local {};
        if (!localtime_r(&seconds, &local))
            return QDateTime::currentDateTime();
        offsetMinute = seconds / 60;
        offsetSeconds = int(local.tm_gmtoff);
    }
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, offsetSeconds);
}

bool open(QSerialPort &port, const QString &name, QString *failureText, const char **trace,
          const LineSettings &line)
{
    auto fail = [&](const QString &text, const char *step) {
        const int code = port.error();
        // One-pass arg(): a port name that itself contains "%2" stays as it is.
        *failureText = text.arg(name, QString::number(code)) + QLatin1String(": ")
            + portErrorMeaning(code, name);
        if (trace)
            *trace = step;
        port.close();
        return false;
    };
    port.setPortName(name);
    // Settings made before open() go to the device in one call. Set again one by one on the open
    // port, a pseudo-terminal refuses even parity (its stored flags never hold it), so each is
    // only checked afterwards and set again where the driver did not take it.
    for (const LineStep &step : lineSteps)
        step.apply(port, line);
    if (!port.open(QIODevice::ReadWrite))
        return fail(tr("Can't open %1, error code %2"), "run(): open error, exit");
    for (const LineStep &step : lineSteps) {
        if (!step.holds(port, line) && !step.apply(port, line))
            return fail(tr("Can't set %1 to port %3, error code %4")
                            .arg(step.describe(line), QStringLiteral("%1"), QStringLiteral("%2")),
                        step.trace);
    }
    return true;
}

ModbusTransaction exchange(QSerialPort &port, const QByteArray &request,
                           const ReceiveTiming &timing)
{
    ModbusTransaction t;
    t.request = request;
    // Bytes that arrived while the port was closed (a late answer to the previous request) are
    // kept by the driver and would be taken for this transaction's answer.
    port.clear(QSerialPort::Input);

    qCDebug(ModbusLine::trace) << "run(): sending request";
    t.sentAt = now();
    port.write(request);
    port.flush();
    // flush() has normally written everything; waiting regardless would only poll for the full
    // 100 ms and pull the answer into Qt's buffer behind waitForReadyRead's back.
    QElapsedTimer timer;
    timer.start();
    while (port.bytesToWrite() > 0 && timer.elapsed() < writeWaitMs)
        port.waitForBytesWritten(int(writeWaitMs - timer.elapsed()));

    qCDebug(ModbusLine::trace) << "run(): reading response";
    timer.start(); // the round trip counts from the end of sending
    collectAnswer(
        &t, timing, timer,
        [&port](int ms) {
            // Data already in Qt's buffer is readable now; waitForReadyRead would only watch the
            // descriptor and sit out its whole time-out.
            if (port.bytesAvailable() == 0)
                port.waitForReadyRead(ms);
        },
        [&port] { return port.readAll(); });
    return t;
}

void collectAnswer(ModbusTransaction *t, const ReceiveTiming &timing, const QElapsedTimer &timer,
                   const std::function<void(int)> &wait, const std::function<QByteArray()> &read)
{
    auto take = [&] {
        const QByteArray piece = read();
        if (piece.isEmpty())
            return false;
        t->answer.append(piece);
        t->roundTripMs = timer.nsecsElapsed() / 1e6;
        return true;
    };
    if (!timing.endWhenComplete) {
        for (int pass = 0; pass < timing.passes; ++pass) {
            wait(timing.passMs);
            take();
        }
    } else {
        const int expected = ModbusProtocol::expectedAnswerLength(t->request);
        const int silenceMs = int(qMax<qint64>(20, (timing.silenceUs + 999) / 1000));
        auto whole = [&] {
            const QByteArray &a = t->answer;
            const bool exception =
                a.size() == ModbusProtocol::exceptionAnswerLength && (quint8(a.at(1)) & 0x80);
            return (exception || (expected > 0 && a.size() == expected)) && modbusCrc16(a) == 0;
        };
        // A whole answer ends the wait at once; anything else (nothing yet, a piece, a garbled
        // frame) is listened to until the time-out or until the line falls silent after it, so
        // that its tail cannot reach the next request.
        // The driver takes the request at once; the line needs its time to send it.
        const qint64 timeoutMs =
            timing.timeoutMs + (t->request.size() * timing.characterUs + 999) / 1000;
        while (!whole()) {
            const qint64 elapsed = timer.elapsed();
            const int budget = t->answer.isEmpty() ? int(timeoutMs - elapsed) : silenceMs;
            if (budget <= 0)
                break;
            wait(budget);
            if (!take() && (!t->answer.isEmpty() || timer.elapsed() >= timeoutMs))
                break;
        }
    }
    // The first piece shares the port's read buffer of several kB; keep only the answer's bytes.
    t->answer.squeeze();
    qCDebug(ModbusLine::trace) << "run(): " << t->answer.size() << " bytes read";
    t->judgement = ModbusProtocol::judgeResponse(t->answer);
}

const QLoggingCategory &trace()
{
    return *QLoggingCategory::defaultCategory();
}

} // namespace ModbusLine

ReceiveTiming ReceiveTiming::quick(int timeoutMs, const LineSettings &line)
{
    ReceiveTiming timing;
    timing.endWhenComplete = true;
    timing.timeoutMs = timeoutMs;
    timing.silenceUs = line.frameGapMicroseconds();
    timing.characterUs = line.characterMicroseconds();
    return timing;
}

ReceiveTiming ReceiveTiming::forSettings(const ConnectionSettings &settings)
{
    if (settings.responseTimeoutMs == ConnectionSettings::benchTimeoutMs)
        return bench();
    return quick(settings.responseTimeoutMs, settings.line);
}
