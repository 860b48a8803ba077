#include "modbusmasterthread.h"
#include "ptypeer.h"
#include "sampleanswers.h"
#include "signalrecorder.h"

#include <QSerialPort>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(PtyPeer::Reply)

// The real thread and the real QSerialPort against a pseudo-terminal whose far end answers from a
// script. The trace lines are part of what is checked.
class tst_Transaction : public QObject
{
    Q_OBJECT

public:
    enum Operation { ReadVolatile, ReadPersistent, ReadVolatileNoPause, WriteAddress17 };
    Q_ENUM(Operation)

private slots:
    void initTestCase();
    void init();
    void answers_data();
    void answers();
    void lateBytesStayOutOfNextTransaction_data();
    void lateBytesStayOutOfNextTransaction();
    void portCannotBeOpened_data();
    void portCannotBeOpened();

private:
    void start(ModbusMasterThread &thread, Operation operation);
    void verifyPortFree();

    std::unique_ptr<PtyPeer> peer;
};

static QMutex traceMutex;
static QStringList traceLines;
static QtMessageHandler previousHandler = nullptr;

static QStringList takeTrace()
{
    QMutexLocker lock(&traceMutex);
    QStringList lines;
    lines.swap(traceLines);
    return lines;
}

static QStringList trace(int bytesRead, bool crcError = false)
{
    QStringList lines { "run(): start", "run(): sending request", "run(): reading response",
                        QStringLiteral("run():  %1  bytes read").arg(bytesRead) };
    if (crcError)
        lines << "run(): CRC error";
    return lines << "run(): end";
}

static const QByteArray volatileRequest = QByteArray::fromHex("ff030000001591db");
static const QByteArray persistentRequest = QByteArray::fromHex("ff0300c80010d026");
static const QByteArray address17Request = QByteArray::fromHex("ff0600cd0011cde7");

void tst_Transaction::initTestCase()
{
    previousHandler = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
                if (type == QtDebugMsg) {
                    QMutexLocker lock(&traceMutex);
                    traceLines << message;
                } else {
                    previousHandler(type, context, message);
                }
            });
    peer = std::make_unique<PtyPeer>();
    QVERIFY2(peer->isOpen(), qPrintable(peer->errorString()));
}

void tst_Transaction::init()
{
    peer->reset();
    takeTrace();
}

void tst_Transaction::start(ModbusMasterThread &thread, Operation operation)
{
    thread.setPortName(peer->slavePath());
    switch (operation) {
    case ReadVolatile:
        thread.readVolatileRegisters();
        break;
    case ReadPersistent:
        thread.readPersistentRegisters();
        break;
    case ReadVolatileNoPause:
        // The frame of readVolatileRegisters without its 1000 ms pause.
        thread.requestDelay = 0;
        thread.readHoldingRegisters(0, 21);
        break;
    case WriteAddress17:
        thread.writeAddress(17);
        break;
    }
}

// Every transaction closes the port: a fresh QSerialPort can take it.
void tst_Transaction::verifyPortFree()
{
    QSerialPort port(peer->slavePath());
    QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
}

void tst_Transaction::answers_data()
{
    using namespace SampleAnswers;
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<PtyPeer::Reply>("reply");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QStringList>("expectedTrace");

    QByteArray corrupted = volatileAnswer();
    corrupted[10] = char(corrupted[10] ^ 0x40);
    const QByteArray exception = withCrc(QByteArray::fromHex("ff8302"));
    const QByteArray otherEcho = withCrc(QByteArray::fromHex("ff0600cd0005"));

    QTest::newRow("volatile block, with the pause")
            << ReadVolatile << volatileRequest << PtyPeer::Reply { volatileAnswer() }
            << volatileSignals() << trace(47);
    QTest::newRow("persistent block, with the pause")
            << ReadPersistent << persistentRequest << PtyPeer::Reply { persistentAnswer() }
            << persistentSignals() << trace(37);
    // Each chunk ends a pass early, so this takes four passes and leaves two for slack.
    QTest::newRow("volatile block in 4 chunks 30 ms apart")
            << ReadVolatileNoPause << volatileRequest
            << PtyPeer::Reply { volatileAnswer(), 0, 12, 30 } << volatileSignals() << trace(47);
    QTest::newRow("volatile block 100 ms late")
            << ReadVolatileNoPause << volatileRequest << PtyPeer::Reply { volatileAnswer(), 100 }
            << volatileSignals() << trace(47);
    QTest::newRow("volatile block with a corrupted byte")
            << ReadVolatileNoPause << volatileRequest << PtyPeer::Reply { corrupted }
            << QStringList { "info(Bad response, CRC error)" } << trace(47, true);
    QTest::newRow("no answer") << ReadVolatileNoPause << volatileRequest << PtyPeer::Reply {}
                               << QStringList { "info(Timeout)" } << trace(0);
    QTest::newRow("5-byte exception answer")
            << ReadVolatileNoPause << volatileRequest << PtyPeer::Reply { exception }
            << QStringList() << trace(5);
    QTest::newRow("first 20 bytes of a volatile block")
            << ReadVolatileNoPause << volatileRequest
            << PtyPeer::Reply { volatileAnswer().left(20) } << QStringList() << trace(20);
    QTest::newRow("write echo with another value")
            << WriteAddress17 << address17Request << PtyPeer::Reply { otherEcho }
            << QStringList { "info(Write address: 17)", "info(Response OK)" } << trace(8);
}

void tst_Transaction::answers()
{
    QFETCH(Operation, operation);
    QFETCH(QByteArray, request);
    QFETCH(PtyPeer::Reply, reply);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, expectedTrace);

    ModbusMasterThread thread;
    SignalRecorder recorder(&thread);
    peer->enqueueReply(reply);
    start(thread, operation);
    QVERIFY(thread.wait(10000));
    QTRY_VERIFY(recorder.log.endsWith("finished")); // the queued signals have all arrived

    QCOMPARE(recorder.log, expected << "finished");
    QCOMPARE(takeTrace(), expectedTrace);
    QCOMPARE(peer->received().toHex(' '), request.toHex(' '));
    verifyPortFree();
}

void tst_Transaction::lateBytesStayOutOfNextTransaction_data()
{
    QTest::addColumn<PtyPeer::Reply>("lateReply");
    QTest::addColumn<QStringList>("firstOutcome");
    QTest::addColumn<int>("firstBytes");
    const QByteArray answer = SampleAnswers::volatileAnswer();
    QTest::newRow("whole answer after the passes")
            << PtyPeer::Reply { answer, 800 } << QStringList { "info(Timeout)" } << 0;
    QTest::newRow("second half after the passes")
            << PtyPeer::Reply { answer, 0, 24, 800 } << QStringList() << 24;
}

void tst_Transaction::lateBytesStayOutOfNextTransaction()
{
    QFETCH(PtyPeer::Reply, lateReply);
    QFETCH(QStringList, firstOutcome);
    QFETCH(int, firstBytes);

    ModbusMasterThread thread;
    SignalRecorder recorder(&thread);
    peer->enqueueReply(lateReply);
    peer->enqueueReply({ SampleAnswers::persistentAnswer() });
    start(thread, ReadVolatileNoPause);
    QVERIFY(thread.wait(10000));
    QTRY_VERIFY(recorder.log.endsWith("finished")); // the queued signals have all arrived
    QCOMPARE(recorder.log, firstOutcome << "finished");
    QCOMPARE(takeTrace(), trace(firstBytes));

    // The late bytes now wait in the closed port's input queue.
    QTRY_COMPARE(peer->unsentChunks(), 0);
    recorder.log.clear();
    thread.requestDelay = 0;
    thread.readHoldingRegisters(200, 16);
    QVERIFY(thread.wait(10000));
    QTRY_VERIFY(recorder.log.endsWith("finished")); // the queued signals have all arrived
    QCOMPARE(recorder.log, SampleAnswers::persistentSignals() << "finished");
    QCOMPARE(takeTrace(), trace(37));
    QCOMPARE(peer->requests(), (QList<QByteArray> { volatileRequest, persistentRequest }));
}

void tst_Transaction::portCannotBeOpened_data()
{
    QTest::addColumn<bool>("absent");
    QTest::addColumn<int>("code");
    QTest::newRow("absent path") << true << int(QSerialPort::DeviceNotFoundError);
    QTest::newRow("held by another QSerialPort") << false << int(QSerialPort::PermissionError);
}

void tst_Transaction::portCannotBeOpened()
{
    QFETCH(bool, absent);
    QFETCH(int, code);

    const QString name = absent ? QStringLiteral("/dev/quorvel-absent-port") : peer->slavePath();
    QSerialPort holder(peer->slavePath());
    if (!absent)
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));

    ModbusMasterThread thread;
    SignalRecorder recorder(&thread);
    thread.setPortName(name);
    thread.requestDelay = 0;
    thread.readHoldingRegisters(0, 21);
    QVERIFY(thread.wait(10000));
    QTRY_VERIFY(recorder.log.endsWith("finished")); // the queued signals have all arrived

    QCOMPARE(recorder.log,
             (QStringList { QStringLiteral("error(Can't open %1, error code %2)").arg(name).arg(code),
                            "finished" }));
    QCOMPARE(takeTrace(), (QStringList { "run(): start", "run(): open error, exit" }));
    QCOMPARE(peer->received(), QByteArray());
    holder.close();
    verifyPortFree();
}

QTEST_GUILESS_MAIN(tst_Transaction)
#include "tst_transaction.moc"
