#include "modbusmasterthread.h"
#include "ptypeer.h"

#include <QSerialPort>
#include <QtTest>

#include <functional>
#include <mutex>

using namespace ModbusProtocol;
using M = ModbusMasterThread;
Q_DECLARE_METATYPE(PtyPeer::Reply)

// Without a port name run() ends after its pause. The sentinels: a pause or frame nothing set.
constexpr int untouched = 7;

class tst_ModbusMasterThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void crc();
    void prepare_data();
    void prepare();
    // The real thread and the real QSerialPort against a pseudo-terminal whose far end answers
    // from a script. Signal logs and trace lines are compared joined with '|'.
    void transaction_data();
    void transaction();
};

static std::mutex traceMutex; // run() traces from the worker thread
static QStringList traceLines;

void tst_ModbusMasterThread::initTestCase()
{
    // Every message is a trace line of run(); a stray warning also fails a trace comparison.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
        std::lock_guard<std::mutex> lock(traceMutex);
        traceLines << message;
    });
}

void tst_ModbusMasterThread::crc()
{
    QCOMPARE(modbusCrc16("123456789"), quint16(0x4B37));
    QCOMPARE(modbusCrc16(QByteArray()), quint16(0xFFFF));
}

void tst_ModbusMasterThread::prepare_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("arg");
    QTest::addColumn<QString>("frame");
    QTest::addColumn<QString>("info");
    QTest::addColumn<int>("delay");
    auto row = [](const char *op, const char *arg, const char *frame, const char *info, int delay,
                  const char *name = nullptr) {
        QTest::newRow(name ? name : frame) << op << arg << frame << info << delay;
    };
    row("readPersistentRegisters", "", "FF 03 00 C8 00 10 D0 26", "", 1000);
    row("readVolatileRegisters", "", "FF 03 00 00 00 15 91 DB", "", 1000);
    row("writeBaudRate", "600", "FF 06 00 C8 00 00 1D EA", "Write baud rate: 600", untouched);
    row("writeBaudRate", "1200", "FF 06 00 C8 00 01 DC 2A", "Write baud rate: 1200", untouched);
    row("writeBaudRate", "2400", "FF 06 00 C8 00 02 9C 2B", "Write baud rate: 2400", untouched);
    row("writeBaudRate", "4800", "FF 06 00 C8 00 03 5D EB", "Write baud rate: 4800", untouched);
    row("writeBaudRate", "9600", "FF 06 00 C8 00 04 1C 29", "Write baud rate: 9600", untouched);
    row("writeBaudRate", "19200", "FF 06 00 C8 00 05 DD E9", "Write baud rate: 19200", untouched);
    row("writeBaudRate", "38400", "FF 06 00 C8 00 06 9D E8", "Write baud rate: 38400", untouched);
    row("writeParity", "None", "FF 06 00 C9 00 00 4C 2A", "Write parity: None", 0);
    row("writeParity", "Even", "FF 06 00 C9 00 01 8D EA", "Write parity: Even", 0);
    row("writeParity", "Odd", "FF 06 00 C9 00 02 CD EB", "Write parity: Odd", 0);
    row("writeStopBits", "1", "FF 06 00 CA 00 00 BC 2A", "Write stop bits: 1", 0);
    row("writeStopBits", "2", "FF 06 00 CA 00 01 7D EA", "Write stop bits: 2", 0);
    row("writeAddress", "1", "FF 06 00 CD 00 01 CC 2B", "Write address: 1", 0);
    row("writeAddress", "17", "FF 06 00 CD 00 11 CD E7", "Write address: 17", 0);
    row("writeAddress", "247", "FF 06 00 CD 00 F7 4C 6D", "Write address: 247", 0);
    // A text outside its table: no info, no frame, no start; parity and stop bits still set 0.
    row("writeParity", "none", "AB CD", "", 0, "parity none in lower case");
    row("writeStopBits", "", "AB CD", "", 0, "empty stop bits");
    row("writeBaudRate", "57600", "AB CD", "", untouched, "baud rate 57600");
}

void tst_ModbusMasterThread::prepare()
{
    QFETCH(QString, operation);
    QFETCH(QString, arg);
    QFETCH(QString, frame);
    QFETCH(QString, info);
    QFETCH(int, delay);
    const QMap<QString, std::function<void(M &, const QString &)>> operations {
        { "readPersistentRegisters", [](M &t, const QString &) { t.readPersistentRegisters(); } },
        { "readVolatileRegisters", [](M &t, const QString &) { t.readVolatileRegisters(); } },
        { "writeBaudRate", &M::writeBaudRate },
        { "writeParity", &M::writeParity },
        { "writeStopBits", &M::writeStopBits },
        { "writeAddress", [](M &t, const QString &a) { t.writeAddress(a.toInt()); } }
    };

    ModbusMasterThread thread;
    thread.requestDelay = untouched;
    thread.ModbusRequest = QByteArray::fromHex("AB CD");
    QSignalSpy infos(&thread, &M::info);
    operations[operation](thread, arg);
    QVERIFY(thread.wait(10000));
    QCOMPARE(thread.ModbusRequest.toHex(' ').toUpper(), frame.toLatin1());
    QCOMPARE(thread.requestDelay, delay);
    // isFinished() stays false for a thread that never started.
    QCOMPARE(thread.isFinished(), frame != "AB CD");
    QCOMPARE(infos.isEmpty() ? QString() : infos.takeFirst()[0].toString(), info);
    QCOMPARE(infos.count(), 0);
}

static QString takeTrace()
{
    std::lock_guard<std::mutex> lock(traceMutex);
    return std::exchange(traceLines, {}).join('|');
}

static QString trace(int bytesRead, bool crcError)
{
    if (bytesRead < 0) // the port did not open
        return "run(): start|run(): open error, exit";
    return QStringLiteral("run(): start|run(): sending request|run(): reading response|"
                          "run():  %1  bytes read|%2run(): end")
        .arg(bytesRead)
        .arg(crcError ? "run(): CRC error|" : "");
}

static QByteArray withCrc(const QByteArray &hex)
{
    QByteArray frame = QByteArray::fromHex(hex);
    const quint16 crc = modbusCrc16(frame);
    return frame.append(char(crc & 0xFF)).append(char(crc >> 8));
}

// Registers 200-215 with firmware "X1.7", address 17 and housing 3; the registers the tool does
// not use hold 5A5A, so that decoding the wrong register shows.
static QByteArray persistentAnswer(const QByteArray &codes, const QByteArray &date)
{
    return withCrc("ff0320" + codes + "5a5a 5a5a 0011 5a5a 5a5a 5a5a 5831 2e37" + date
                   + "0003 5a5a 5a5a 5a5a");
}

static const QByteArray volatileRequest = QByteArray::fromHex("ff030000001591db");
static const QByteArray persistentRequest = QByteArray::fromHex("ff0300c80010d026");
static const QString persistentSignals = "firmware(X1.7, 2014, 3, 17)|housing(3)|baudRate(19200)|"
                                         "parity(Odd)|stopBits(2)|address(17)|";

void tst_ModbusMasterThread::transaction_data()
{
    QTest::addColumn<PtyPeer::Reply>("reply");
    QTest::addColumn<int>("bytesRead"); // -1: the port does not open
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("port"); // empty: the peer's; "held": the peer's, taken by another
    auto row = [](const char *name, const PtyPeer::Reply &reply, int bytesRead,
                  const QString &expected, const char *port = "") {
        QTest::newRow(name) << reply << bytesRead << expected + "finished" << QString(port);
    };
    // Floats and 32-bit integers come low word first.
    const QByteArray volatileAnswer =
        withCrc("ff032a 0000 41ac ffff 0000 4235 0001 e240 0001 fffe ffff 0000 c148 0000 3f80 0fdb "
                "4049 0000 42c8 0000 bf00 8000");
    const char *volatileSignals =
        "temperature(21.5)|temperatureAlarm(-1)|humidity(45.25)|humidityAlarm(1)|"
        "serialNumber(123456)|serialNumberTr(-2)|dewPointTemperature(-12.5)|enthalpy(1)|"
        "mixingRatio(3.1415927410125732)|absoluteHumidity(100)|wetBulbTemperatur(-0.5)|"
        "hxAlarm(-32768)|";
    auto broken = [](QByteArray frame) { return frame.replace(4, 1, "\x77"); };
    const char *crcError = "info(Bad response, CRC error)|";

    row("volatile block", { volatileAnswer }, 47, volatileSignals);
    row("persistent block", { persistentAnswer("0005 0002 0001", "1c71") }, 37, persistentSignals);
    row("persistent block, codes outside their tables, date FFFF",
        { persistentAnswer("0007 0003 0002", "ffff") }, 37,
        "firmware(X1.7, 2127, 15, 31)|housing(3)|address(17)|");
    // Each chunk ends a receive pass early: four of the six passes.
    row("volatile block in 4 chunks 30 ms apart", { volatileAnswer, 0, 12, 30 }, 47,
        volatileSignals);
    row("volatile block, a byte broken", { broken(volatileAnswer) }, 47, crcError);
    row("persistent block, a byte broken", { broken(persistentAnswer("0005 0002 0001", "1c71")) },
        37, crcError);
    row("write echo, a byte broken", { broken(withCrc("ff0600cd0011")) }, 8, crcError);
    row("48 bytes with a good CRC", { withCrc(volatileAnswer.left(46).toHex()) }, 48, "");
    row("the block 800 ms late, after the passes", { volatileAnswer, 800 }, 0, "info(Timeout)|");
    row("half the block, the rest 800 ms late", { volatileAnswer, 0, 24, 800 }, 24, "");
    row("5-byte exception answer", { withCrc("ff8302") }, 5, "");
    row("echo of another write", { withCrc("ff0600cd0005") }, 8, "info(Response OK)|");
    row("absent port", {}, -1, "error(Can't open %1, error code 1)|", "/dev/quorvel-absent-port");
    row("port held by another QSerialPort", {}, -1, "error(Can't open %1, error code 2)|", "held");
}

void tst_ModbusMasterThread::transaction()
{
    QFETCH(PtyPeer::Reply, reply);
    QFETCH(int, bytesRead);
    QFETCH(QString, expected);
    QFETCH(QString, port);
    PtyPeer peer;
    QSerialPort holder(peer.slavePath());
    QVERIFY(port != "held" || holder.open(QIODevice::ReadWrite));
    if (!reply.bytes.isEmpty())
        peer.enqueueReply(reply);

    // Logged as "name(args)" in this thread, queued in emission order as the window gets them.
    ModbusMasterThread thread;
    QStringList log;
    auto record = [&](auto... signal) {
        (connect(&thread, signal, this,
                 [&log, signal](auto... args) {
                     log << QMetaMethod::fromSignal(signal).name() + '('
                             + QStringList { QVariant(args).toString()... }.join(", ") + ')';
                 }),
         ...);
    };
    record(&M::info, &M::error, &M::temperature, &M::temperatureAlarm, &M::humidity,
           &M::humidityAlarm, &M::serialNumber, &M::serialNumberTr, &M::dewPointTemperature,
           &M::enthalpy, &M::mixingRatio, &M::absoluteHumidity, &M::wetBulbTemperatur, &M::hxAlarm,
           &M::address, &M::parity, &M::stopBits, &M::baudRate, &M::firmware, &M::housing);
    connect(&thread, &QThread::finished, this, [&log] { log << "finished"; });
    // Without the pause; wait() also orders run()'s work before the checks for ThreadSanitizer.
    auto transact = [&](const QByteArray &request) {
        log.clear();
        takeTrace();
        thread.requestDelay = 0;
        thread.ModbusRequest = request;
        thread.start();
        return thread.wait(10000) && QTest::qWaitFor([&] { return log.endsWith("finished"); });
    };

    const QString name = port.startsWith('/') ? port : peer.slavePath();
    thread.setPortName(name);
    QVERIFY(transact(volatileRequest));
    QCOMPARE(log.join('|'), expected.replace("%1", name));
    QCOMPARE(takeTrace(), trace(bytesRead, expected.contains("CRC")));
    // The transaction tells answers apart by their length alone, whatever was asked.
    const QByteArray sent = bytesRead < 0 ? QByteArray() : volatileRequest;
    QCOMPARE(peer.received().toHex(' '), sent.toHex(' '));
    holder.close();
    QVERIFY2(QSerialPort(peer.slavePath()).open(QIODevice::ReadWrite), "the port is not free");

    // Whatever of the first answer comes late must not reach the next transaction.
    QTRY_VERIFY(!peer.answering());
    peer.enqueueReply({ persistentAnswer("0005 0002 0001", "1c71") });
    thread.setPortName(peer.slavePath());
    QVERIFY(transact(persistentRequest));
    QCOMPARE(log.join('|'), persistentSignals + "finished");
    QCOMPARE(takeTrace(), trace(37, false));
    QCOMPARE(peer.received().toHex(' '), (sent + persistentRequest).toHex(' '));
}

QTEST_GUILESS_MAIN(tst_ModbusMasterThread)
#include "tst_modbusmasterthread.moc"
