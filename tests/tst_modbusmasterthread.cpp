#include "modbusmasterthread.h"
#include "sampleanswers.h"
#include "signalrecorder.h"

#include <QtTest>

// The prepare operations start the thread; pointed at a path that does not exist, run() ends
// right after its pause.
static const QString absentPort = QStringLiteral("/nonexistent/quorvel-test-port");

class tst_ModbusMasterThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void prepare_data();
    void prepare();
    void baudRateKeepsDelay_data();
    void baudRateKeepsDelay();
    void textOutsideTable_data();
    void textOutsideTable();
    void decode_data();
    void decode();

private:
    static void call(ModbusMasterThread &thread, const QString &operation, const QString &arg);
};

static QtMessageHandler previousHandler = nullptr;

void tst_ModbusMasterThread::initTestCase()
{
    // run()'s trace of its failed open is no news here.
    previousHandler = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
                if (type != QtDebugMsg || !message.startsWith("run():"))
                    previousHandler(type, context, message);
            });
}

void tst_ModbusMasterThread::call(ModbusMasterThread &thread, const QString &operation,
                                  const QString &arg)
{
    if (operation == "readPersistentRegisters")
        thread.readPersistentRegisters();
    else if (operation == "readVolatileRegisters")
        thread.readVolatileRegisters();
    else if (operation == "writeBaudRate")
        thread.writeBaudRate(arg);
    else if (operation == "writeParity")
        thread.writeParity(arg);
    else if (operation == "writeStopBits")
        thread.writeStopBits(arg);
    else if (operation == "writeAddress")
        thread.writeAddress(arg.toInt());
    else
        QFAIL(qPrintable("unknown operation " + operation));
}

// A delay that no operation sets: the baud-rate write must leave it alone.
constexpr int untouchedDelay = 7;

void tst_ModbusMasterThread::prepare_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("arg");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("infoText");
    QTest::addColumn<int>("delay");
    auto row = [](const char *operation, const char *arg, const char *hex, const char *info,
                  int delay) {
        QTest::newRow(hex) << QString(operation) << QString(arg) << QByteArray::fromHex(hex)
                           << QString(info) << delay;
    };
    row("readPersistentRegisters", "", "FF 03 00 C8 00 10 D0 26", "", 1000);
    row("readVolatileRegisters", "", "FF 03 00 00 00 15 91 DB", "", 1000);
    row("writeBaudRate", "600", "FF 06 00 C8 00 00 1D EA", "Write baud rate: 600", untouchedDelay);
    row("writeBaudRate", "1200", "FF 06 00 C8 00 01 DC 2A", "Write baud rate: 1200", untouchedDelay);
    row("writeBaudRate", "2400", "FF 06 00 C8 00 02 9C 2B", "Write baud rate: 2400", untouchedDelay);
    row("writeBaudRate", "4800", "FF 06 00 C8 00 03 5D EB", "Write baud rate: 4800", untouchedDelay);
    row("writeBaudRate", "9600", "FF 06 00 C8 00 04 1C 29", "Write baud rate: 9600", untouchedDelay);
    row("writeBaudRate", "19200", "FF 06 00 C8 00 05 DD E9", "Write baud rate: 19200",
        untouchedDelay);
    row("writeBaudRate", "38400", "FF 06 00 C8 00 06 9D E8", "Write baud rate: 38400",
        untouchedDelay);
    row("writeParity", "None", "FF 06 00 C9 00 00 4C 2A", "Write parity: None", 0);
    row("writeParity", "Even", "FF 06 00 C9 00 01 8D EA", "Write parity: Even", 0);
    row("writeParity", "Odd", "FF 06 00 C9 00 02 CD EB", "Write parity: Odd", 0);
    row("writeStopBits", "1", "FF 06 00 CA 00 00 BC 2A", "Write stop bits: 1", 0);
    row("writeStopBits", "2", "FF 06 00 CA 00 01 7D EA", "Write stop bits: 2", 0);
    row("writeAddress", "1", "FF 06 00 CD 00 01 CC 2B", "Write address: 1", 0);
    row("writeAddress", "17", "FF 06 00 CD 00 11 CD E7", "Write address: 17", 0);
    row("writeAddress", "247", "FF 06 00 CD 00 F7 4C 6D", "Write address: 247", 0);
}

void tst_ModbusMasterThread::prepare()
{
    QFETCH(QString, operation);
    QFETCH(QString, arg);
    QFETCH(QByteArray, frame);
    QFETCH(QString, infoText);
    QFETCH(int, delay);

    ModbusMasterThread thread;
    thread.setPortName(absentPort);
    thread.requestDelay = untouchedDelay;
    thread.ModbusRequest = "previous";
    SignalRecorder recorder(&thread);
    QSignalSpy finished(&thread, &QThread::finished);

    call(thread, operation, arg);
    // run() only reads the members, so they can be checked while it runs.
    QCOMPARE(thread.ModbusRequest.toHex(' ').toUpper(), frame.toHex(' ').toUpper());
    QCOMPARE(thread.requestDelay, delay);
    QVERIFY(thread.wait(10000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(thread.portName, absentPort);
    QTRY_VERIFY(recorder.log.endsWith("finished"));
    const QStringList infos = recorder.log.filter(QRegularExpression("^info\\("));
    QCOMPARE(infos, infoText.isEmpty() ? QStringList() : QStringList { "info(" + infoText + ")" });
}

void tst_ModbusMasterThread::baudRateKeepsDelay_data()
{
    QTest::addColumn<QString>("previous");
    QTest::addColumn<QString>("previousArg");
    QTest::addColumn<int>("delay");
    QTest::newRow("after readPersistentRegisters") << "readPersistentRegisters" << "" << 1000;
    QTest::newRow("after writeParity") << "writeParity" << "Even" << 0;
    QTest::newRow("after writeAddress") << "writeAddress" << "5" << 0;
}

void tst_ModbusMasterThread::baudRateKeepsDelay()
{
    QFETCH(QString, previous);
    QFETCH(QString, previousArg);
    QFETCH(int, delay);

    ModbusMasterThread thread;
    thread.setPortName(absentPort);
    call(thread, previous, previousArg);
    QVERIFY(thread.wait(10000));
    thread.writeBaudRate("19200");
    QCOMPARE(thread.requestDelay, delay);
    QVERIFY(thread.wait(10000));
}

void tst_ModbusMasterThread::textOutsideTable_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("delay");
    QTest::newRow("writeParity none in lower case") << "writeParity" << "none" << 0;
    QTest::newRow("writeParity Even with a blank") << "writeParity" << "Even " << 0;
    QTest::newRow("writeStopBits empty") << "writeStopBits" << "" << 0;
    QTest::newRow("writeStopBits 3") << "writeStopBits" << "3" << 0;
    QTest::newRow("writeBaudRate 57600") << "writeBaudRate" << "57600" << untouchedDelay;
    QTest::newRow("writeBaudRate 600.0") << "writeBaudRate" << "600.0" << untouchedDelay;
}

void tst_ModbusMasterThread::textOutsideTable()
{
    QFETCH(QString, operation);
    QFETCH(QString, text);
    QFETCH(int, delay);

    ModbusMasterThread thread;
    thread.setPortName(absentPort);
    thread.requestDelay = untouchedDelay;
    thread.ModbusRequest = "previous";
    SignalRecorder recorder(&thread);
    QSignalSpy finished(&thread, &QThread::finished);

    call(thread, operation, text);
    // start() marks the thread running before it returns, so false here means never started.
    QVERIFY(!thread.isRunning());
    QCoreApplication::processEvents();
    QCOMPARE(finished.count(), 0);
    QCOMPARE(recorder.log, QStringList());
    QCOMPARE(thread.ModbusRequest, QByteArray("previous"));
    QCOMPARE(thread.requestDelay, delay);
}

void tst_ModbusMasterThread::decode_data()
{
    using namespace SampleAnswers;
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QStringList>("expected");
    auto without = [](QStringList list, const QString &prefix) {
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const QString &s) { return s.startsWith(prefix); }),
                   list.end());
        return list;
    };
    QTest::newRow("volatile block") << volatileAnswer() << volatileSignals();
    QTest::newRow("persistent block") << persistentAnswer() << persistentSignals();
    QTest::newRow("persistent, baud rate code 7")
            << persistentAnswer(7, 2, 1) << without(persistentSignals(), "baudRate(");
    QTest::newRow("persistent, parity code 3")
            << persistentAnswer(5, 3, 1) << without(persistentSignals(), "parity(");
    QTest::newRow("persistent, stop bits code 2")
            << persistentAnswer(5, 2, 2) << without(persistentSignals(), "stopBits(");
    QTest::newRow("persistent, codes 0")
            << persistentAnswer(0, 0, 0)
            << QStringList { "firmware(X1.7, 2014, 3, 17)", "housing(3)", "baudRate(600)",
                             "parity(None)", "stopBits(1)", "address(17)" };
}

void tst_ModbusMasterThread::decode()
{
    QFETCH(QByteArray, response);
    QFETCH(QStringList, expected);
    ModbusMasterThread thread;
    SignalRecorder recorder(&thread);
    thread.handleResponse(response);
    QCOMPARE(recorder.log, expected);
}

QTEST_GUILESS_MAIN(tst_ModbusMasterThread)
#include "tst_modbusmasterthread.moc"
