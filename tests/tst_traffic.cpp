// The traffic list and the line statistics: rows as the window shows them, the bound of the
// list, and the statistics of a seeded fault run against the simulator's own count.
#include "modbusprotocol.h"
#include "modbustransaction.h"
#include "simulatorserver.h"
#include "trafficmodel.h"
#include "trafficstatistics.h"

#include <QAbstractItemModelTester>
#include <QSerialPort>
#include <QtTest>

#include <atomic>

using namespace ModbusProtocol;
using S = TrafficStatistics;

namespace {

QByteArray withCrc(const char *hex)
{
    const QByteArray frame = QByteArray::fromHex(hex);
    return frame + char(modbusCrc16(frame) & 0xFF) + char(modbusCrc16(frame) >> 8);
}

ModbusTransaction transaction(const QByteArray &request, const QByteArray &answer,
                              double roundTripMs = 1, const QString &portFailure = QString())
{
    ModbusTransaction t;
    t.request = request;
    t.answer = answer;
    t.sentAt = QDateTime(QDate(2026, 12, 6), QTime(23, 59, 58, 7));
    t.roundTripMs = answer.isEmpty() ? -1 : roundTripMs;
    t.judgement = judgeResponse(answer);
    if (!portFailure.isEmpty()) {
        t.judgement.kind = ResponseKind::PortFailure;
        t.judgement.portFailure = portFailure;
    }
    return t;
}

const QByteArray readPersistent = readHoldingRegistersFrame(200, 16);
const QByteArray readVolatile = readHoldingRegistersFrame(0, 21);
const QByteArray writeParityOdd = writeSingleRegisterFrame(parityRegister, 2);

} // namespace

Q_DECLARE_METATYPE(FaultSettings)

class tst_Traffic : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QLoggingCategory::setFilterRules("*.debug=false");
    } // the exchanges' trace

    // Each row as the window shows it, tab-separated as the clipboard gets it.
    void rows_data()
    {
        QTest::addColumn<ModbusTransaction>("t");
        QTest::addColumn<QString>("expected");
        const QString when = "23:59:58.007\t";
        QTest::newRow("persistent block, round trip 12.345 ms")
            << transaction(readPersistent,
                           withCrc("ff0320 0005 0002 0001 0000 0000 0011 0000 0000 0000 5831 "
                                   "2e37 1c71 0003 0000 0000 0000"),
                           12.345)
            << when
                + "read persistent block\tFF 03 00 C8 00 10 D0 26\tFF 03 20 00 05 00 02 00 01 00 "
                  "00 00 00 00 11 00 00 00 00 00 00 58 31 2E 37 1C 71 00 03 00 00 00 00 00 00 "
                  "04 6F\t37\t12.3\tpersistent block";
        QTest::newRow("write echo") << transaction(writeParityOdd, writeParityOdd, 0.06)
                                    << when
                + "write parity = Odd\tFF 06 00 C9 00 02 CD EB\tFF 06 00 C9 00 02 CD EB\t8\t0.1"
                  "\tResponse OK";
        QTest::newRow("refused write") << transaction(writeParityOdd, withCrc("ff8603"))
                                       << when
                + "write parity = Odd\tFF 06 00 C9 00 02 CD EB\tFF 86 03 63 91\t5\t1.0\t"
                  "Exception 03 from the transmitter: illegal data value; refused: write "
                  "parity = Odd";
        QTest::newRow("volatile read, no answer")
            << transaction(readVolatile, {})
            << when + "read volatile block\tFF 03 00 00 00 15 91 DB\t\t0\t\tTimeout";
        QTest::newRow("echo with a broken CRC")
            << transaction(writeParityOdd, QByteArray::fromHex("ff0600c90002cdec"))
            << when
                + "write parity = Odd\tFF 06 00 C9 00 02 CD EB\tFF 06 00 C9 00 02 CD EC\t8\t1.0"
                  "\tBad response, CRC error";
        QTest::newRow("echo and 2 trailing bytes")
            << transaction(writeParityOdd, writeParityOdd + QByteArray::fromHex("00ff"))
            << when
                + "write parity = Odd\tFF 06 00 C9 00 02 CD EB\tFF 06 00 C9 00 02 CD EB 00 FF\t10"
                  "\t1.0\tUnexpected answer: 10 bytes";
        QTest::newRow("port failure")
            << transaction(readVolatile, {}, -1, "Can't open /dev/x, error code 1: no such device")
            << when
                + "read volatile block\tFF 03 00 00 00 15 91 DB\t\t0\t\t"
                  "Can't open /dev/x, error code 1: no such device";
    }

    void rows()
    {
        QFETCH(ModbusTransaction, t);
        QFETCH(QString, expected);
        TrafficModel model;
        QAbstractItemModelTester tester(&model);
        model.append(transaction(readVolatile, {})); // a row before it, so that the index counts
        model.append(t);
        QCOMPARE(model.tabSeparated({ 1 }), expected + '\n');
        QStringList shown;
        for (int column = 0; column < model.columnCount(); ++column)
            shown << model.index(1, column).data().toString();
        QCOMPARE(shown.join('\t'), expected);
    }

    void csv()
    {
        const QVector<ModbusTransaction> list {
            transaction(readVolatile, {}),
            transaction(readVolatile, {}, -1,
                        "Can't open /dev/\"x\", error code 1: no such device"),
        };
        QCOMPARE(
            TrafficModel::csv(list),
            "Date,Time,Asked,Request,Answer,Length,Round trip (ms),Judgement\r\n"
            "2026-12-06,23:59:58.007,read volatile block,FF 03 00 00 00 15 91 DB,,0,,Timeout\r\n"
            "2026-12-06,23:59:58.007,read volatile block,FF 03 00 00 00 15 91 DB,,0,,"
            "\"Can't open /dev/\"\"x\"\", error code 1: no such device\"\r\n");
    }

    // The list keeps the newest 10,000: appending moves one row in and, once full, one out.
    void bound_data()
    {
        QTest::addColumn<int>("appended");
        QTest::newRow("9,999: below the bound") << 9999;
        QTest::newRow("10,000: at the bound") << 10000;
        QTest::newRow("10,005: the oldest five gone") << 10005;
        QTest::newRow("25,001: the ring wrapped twice") << 25001;
    }

    void bound()
    {
        QFETCH(int, appended);
        TrafficModel model;
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        for (int i = 0; i < appended; ++i) { // the round trip numbers the transactions
            ModbusTransaction t = transaction(readVolatile, withCrc("ff8302"), i);
            t.answer.reserve(16384); // as QIODevice::readAll() leaves it
            model.append(t);
        }
        const int kept = qMin(appended, 10000), gone = appended - kept;
        QCOMPARE(model.rowCount(), kept);
        QCOMPARE(inserted.count(), appended);
        QCOMPARE(removed.count(), gone);
        QCOMPARE(reset.count(), 0);
        // Each insertion announces the last row, each removal the first.
        QCOMPARE(inserted.last().mid(1), QVariantList({ kept - 1, kept - 1 }));
        QVERIFY(removed.isEmpty() || removed.last().mid(1) == QVariantList({ 0, 0 }));
        const QVector<ModbusTransaction> list = model.transactions();
        QCOMPARE(list.size(), kept);
        for (const int row : { 0, 1, kept / 2, kept - 1 }) {
            QVERIFY(model.at(row).answer.capacity() < 64); // its bytes, not the read buffer
            QCOMPARE(model.at(row).roundTripMs, double(gone + row));
            QCOMPARE(list.at(row).roundTripMs, double(gone + row));
        }
        model.clear();
        QCOMPARE(model.rowCount(), 0);
        model.append(transaction(readVolatile, {}));
        QCOMPARE(model.at(0).request, readVolatile);
    }

    // Round trips of good answers only; the median of an even count is the mean of the middle two,
    // of the times to 0.1 ms.
    void roundTrips_data()
    {
        QTest::addColumn<QVector<double>>("roundTrips"); // -1: a timeout
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("roundTrip");
        QTest::newRow("none") << QVector<double> { -1 } << "Tx 1 · good 0 · timeouts 1"
                              << "none yet";
        QTest::newRow("three, unordered, a timeout")
            << QVector<double> { 3, -1, 1.04, 2 } << "Tx 4 · good 3 · timeouts 1 · RT 2.0 ms"
            << "last 2.0 ms, median 2.0 ms, maximum 3.0 ms";
        QTest::newRow("four: the middle two")
            << QVector<double> { 10, 1, 2.96, 2 } << "Tx 4 · good 4 · RT 2.5 ms"
            << "last 2.0 ms, median 2.5 ms, maximum 10.0 ms";
    }

    void roundTrips()
    {
        QFETCH(QVector<double>, roundTrips);
        QFETCH(QString, summary);
        QFETCH(QString, roundTrip);
        S statistics;
        QSignalSpy changed(&statistics, &S::changed);
        for (const double ms : roundTrips)
            statistics.add(ms < 0 ? transaction(readVolatile, {})
                                  : transaction(writeParityOdd, writeParityOdd, ms));
        QCOMPARE(changed.count(), roundTrips.size());
        QCOMPARE(statistics.summary(), summary);
        QCOMPARE(statistics.roundTripText(), roundTrip);
        statistics.reset();
        QCOMPARE(statistics.details(),
                 "Transactions: 0, Good answers: 0, No answer: 0, CRC errors: 0, Exceptions: 0, "
                 "Other answers: 0, Port failures: 0; round trip of good answers: none yet");
    }

    // The tool's own exchange against the simulator under one fault at a time (each draw 1 in 2),
    // then all of them: every spoilt answer is counted once, under the kind that it comes out as.
    void faultRun_data()
    {
        QTest::addColumn<FaultSettings>("faults");
        QTest::addColumn<int>("count"); // where the spoilt answers go; -1: spread over several
        QTest::addColumn<int>("transactions");
        const auto only = [](double FaultSettings::*fault) {
            FaultSettings settings;
            settings.*fault = 0.5;
            return settings;
        };
        QTest::newRow("no answer") << only(&FaultSettings::noAnswer) << int(S::NoAnswer) << 9;
        QTest::newRow("late answer") << only(&FaultSettings::delay) << int(S::NoAnswer) << 9;
        QTest::newRow("bad CRC") << only(&FaultSettings::badCrc) << int(S::CrcErrors) << 9;
        QTest::newRow("exception") << only(&FaultSettings::exception) << int(S::Exceptions) << 9;
        QTest::newRow("garbage first")
            << only(&FaultSettings::garbage) << int(S::OtherAnswers) << 9;
        QTest::newRow("split: all arrive whole") << only(&FaultSettings::split) << -1 << 9;
        QTest::newRow("all six") << FaultSettings { 0.15, 0.15, 0.15, 0.15, 0.15, 0.15 } << -1
                                 << 30;
    }

    void faultRun()
    {
        QFETCH(FaultSettings, faults);
        QFETCH(int, count);
        QFETCH(int, transactions);
        static std::atomic<int> handled; // frames that the simulator has dealt with, answer sent
        handled = 0;
        ServerSettings settings;
        settings.faults = faults;
        settings.seed = 11;
        settings.trace = true;
        settings.traceOutput = [](const QString &line) { handled += line.contains(" rx "); };
        SimulatorServer server(TransmitterSettings(), settings);
        QVERIFY(server.start());

        S statistics;
        // The cycle of the window, with its writes: the echo of a write is a good answer too.
        const QByteArray requests[] = { readPersistent, readVolatile,
                                        writeSingleRegisterFrame(addressRegister, 1) };
        for (int i = 0; i < transactions; ++i) {
            QSerialPort port;
            QString failure;
            QVERIFY2(ModbusLine::open(port, server.portPath(), &failure), qPrintable(failure));
            statistics.add(ModbusLine::exchange(port, requests[i % 3]));
            port.close();
            // A late answer has left before the next request, which then drops it, as the
            // window's pause before every read makes sure.
            QTRY_COMPARE(handled.load(), i + 1);
        }
        const int spoilt = server.spoiltAnswers();
        QCOMPARE(server.framesReceived(), transactions);
        QCOMPARE(statistics.count(S::Transactions), transactions);
        QCOMPARE(statistics.count(S::Good), transactions - spoilt);
        qint64 failed = 0;
        for (const S::Count kind : { S::NoAnswer, S::CrcErrors, S::Exceptions, S::OtherAnswers })
            failed += statistics.count(kind);
        QCOMPARE(failed, spoilt);
        QCOMPARE(statistics.count(S::PortFailures), 0);
        if (count >= 0) {
            QVERIFY2(spoilt > 0, "the seed spoilt nothing");
            QCOMPARE(statistics.count(S::Count(count)), spoilt);
        }
        if (faults.split > 0) // a split answer ends a gap or more after its first byte
            QVERIFY(statistics.maxRoundTripMs() >= faults.splitGapMs);
    }
};

QTEST_GUILESS_MAIN(tst_Traffic)
#include "tst_traffic.moc"
