// The traffic list and the line statistics: rows as shown, the list's bound, and the statistics
// of seeded fault runs against the simulator's own count of spoilt answers.
#include "simulatorserver.h"
#include "trafficmodel.h"
#include "trafficstatistics.h"

#include <QAbstractItemModelTester>
#include <QSerialPort>
#include <QtTest>

#include <atomic>

using namespace ModbusProtocol;
using S = TrafficStatistics;
Q_DECLARE_METATYPE(FaultSettings)

namespace {

const QByteArray readVolatile = readHoldingRegistersFrame(0, 21);
const QByteArray writeParityOdd = writeSingleRegisterFrame(parityRegister, 2);

// An answer given in hex without its CRC; "port" stands for a port that failed to open.
ModbusTransaction transaction(const QByteArray &request, const QString &answer, double ms = 1)
{
    ModbusTransaction t;
    t.request = request;
    t.answer = QByteArray::fromHex(answer.toLatin1());
    const quint16 crc = modbusCrc16(t.answer);
    if (!t.answer.isEmpty())
        t.answer.append(char(crc & 0xFF)).append(char(crc >> 8));
    t.sentAt = QDateTime(QDate(2026, 12, 6), QTime(23, 59, 58, 7));
    t.roundTripMs = t.answer.isEmpty() ? -1 : ms;
    t.judgement = judgeResponse(t.answer);
    if (answer == "port") {
        t.judgement.kind = ResponseKind::PortFailure;
        t.judgement.portFailure = "Can't open /dev/\"x\", error code 1: no such device";
    }
    return t;
}

} // namespace

class tst_Traffic : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules("*.debug=false"); } // exchange traces

    // Each row as the table shows it and the clipboard gets it: tab-separated (a row without an
    // answer is the CSV test's).
    void rows_data()
    {
        QTest::addColumn<ModbusTransaction>("t");
        QTest::addColumn<QString>("expected");
        const QString parity = "23:59:58.007\twrite parity = Odd\tFF 06 00 C9 00 02 CD EB\t";
        QTest::newRow("persistent block, 12.345 ms")
            << transaction(readHoldingRegistersFrame(200, 16), "ff0320" + QString(64, '0'), 12.345)
            << "23:59:58.007\tread persistent block\tFF 03 00 C8 00 10 D0 26\tFF 03 20"
                + QString(" 00").repeated(32) + " A5 A1\t37\t12.3\tpersistent block";
        QTest::newRow("refused write") << transaction(writeParityOdd, "ff8603")
                                       << parity
                + "FF 86 03 63 91\t5\t1.0\tException 03 from the transmitter: illegal "
                  "data value; refused: write parity = Odd";
        QTest::newRow("10 bytes with a good CRC")
            << transaction(writeParityOdd, "ff0600c9000200ff", 0.06)
            << parity + "FF 06 00 C9 00 02 00 FF 54 9F\t10\t0.1\tUnexpected answer: 10 bytes";
    }

    void rows()
    {
        QFETCH(ModbusTransaction, t);
        QFETCH(QString, expected);
        TrafficModel model;
        QAbstractItemModelTester tester(&model);
        model.append(transaction(readVolatile, "")); // a row before it, so that the index counts
        model.append(t);
        QStringList shown;
        for (int column = 0; column < model.columnCount(); ++column)
            shown << model.index(1, column).data().toString();
        QCOMPARE(shown.join('\t'), expected);
        QCOMPARE(model.tabSeparated({ 1 }), expected + '\n');
    }

    // RFC 4180: CRLF line ends, the date first, a field with a comma or a quote quoted; the
    // digits ASCII under ar_EG, which this test runs in.
    void csv()
    {
        QVERIFY(QLocale::system().toString(5) != "5"); // the locale's own digits are in force
        QCOMPARE(TrafficModel::csv({ transaction(writeParityOdd, "port") }),
                 "Date,Time,Asked,Request,Answer,Length,Round trip (ms),Judgement\r\n"
                 "2026-12-06,23:59:58.007,write parity = Odd,FF 06 00 C9 00 02 CD EB,,0,,"
                 "\"Can't open /dev/\"\"x\"\", error code 1: no such device\"\r\n");
    }

    // The list keeps the newest 10,000: once full, an append moves one row in and one out (a list
    // below the bound is the rows test's).
    void bound_data()
    {
        QTest::addColumn<int>("appended");
        QTest::newRow("10,005: the oldest five gone") << 10005;
        QTest::newRow("25,001: the ring wrapped twice") << 25001;
    }

    void bound()
    {
        QFETCH(int, appended);
        TrafficModel model;
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        for (int i = 0; i < appended; ++i) { // the round trip numbers the transactions
            ModbusTransaction t = transaction(readVolatile, "ff8302", i);
            t.answer.reserve(16384); // as QIODevice::readAll() leaves it
            model.append(t);
        }
        const int gone = appended - 10000;
        QCOMPARE(model.rowCount(), 10000);
        QCOMPARE(inserted.count(), appended);
        QCOMPARE(removed.count(), gone);
        QCOMPARE(inserted.last().mid(1), QVariantList({ 9999, 9999 })); // the last row
        QCOMPARE(removed.last().mid(1), QVariantList({ 0, 0 }));
        const QVector<ModbusTransaction> list = model.transactions();
        for (const int row : { 0, 5000, 9999 }) {
            QCOMPARE(list.at(row).roundTripMs, double(gone + row));
            QCOMPARE(model.index(row, TrafficModel::RoundTrip).data().toDouble(), gone + row);
            QVERIFY(model.at(row).answer.capacity() < 64); // its bytes, not the read buffer
        }
    }

    // Good answers only; the median of an even count is the mean of the middle two, to 0.1 ms.
    // No good answer yet ("none yet") is the traffic window's test.
    void roundTrips_data()
    {
        QTest::addColumn<QVector<double>>("roundTrips"); // -1: a timeout, -2: a port failure
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("roundTrip");
        QTest::newRow("three, unordered, a timeout and a port failure")
            << QVector<double> { 3, -1, 1.04, -2, 2 }
            << "Tx 5 · good 3 · timeouts 1 · port failures 1 · RT 2.0 ms"
            << "last 2.0 ms, median 2.0 ms, maximum 3.0 ms";
        QTest::newRow("four: the middle two")
            << QVector<double> { 10, 1, 2.96, 2 } << "Tx 4 · good 4 · RT 2.5 ms"
            << "last 2.0 ms, median 2.5 ms, maximum 10.0 ms";
    }

    void roundTrips()
    {
        QFETCH(QVector<double>, roundTrips);
        S statistics;
        for (const double ms : roundTrips) { // a write echo is a good answer
            const char *answer = ms == -2 ? "port" : ms < 0 ? "" : "ff0600c90002";
            statistics.add(transaction(writeParityOdd, answer, ms));
        }
        QTEST(statistics.summary(), "summary");
        QTEST(statistics.roundTripText(), "roundTrip");
        QSignalSpy changed(&statistics, &S::changed);
        statistics.reset();
        QCOMPARE(changed.count(), 1);
        statistics.add(transaction(writeParityOdd, "ff0600c90002", 7)); // nothing before counts
        QCOMPARE(statistics.details(),
                 "Transactions: 1, Good answers: 1, No answer: 0, CRC errors: 0, Exceptions: 0, "
                 "Other answers: 0, Port failures: 0; round trip of good answers: last 7.0 ms, "
                 "median 7.0 ms, maximum 7.0 ms");
    }

    // The tool's exchange against the simulator under one fault (1 in 2 answers), then under all
    // six: each spoilt answer counts once, under the kind it comes out as. Timeouts, exceptions,
    // late and split answers alone are the round-trip, traffic-window and thread tests'.
    void faultRun_data()
    {
        QTest::addColumn<FaultSettings>("faults");
        QTest::addColumn<int>("count"); // where the spoilt answers go; -1: several kinds
        FaultSettings badCrc, garbage;
        badCrc.badCrc = garbage.garbage = 0.5;
        QTest::newRow("bad CRC") << badCrc << int(S::CrcErrors);
        QTest::newRow("garbage first") << garbage << int(S::OtherAnswers);
        QTest::newRow("all six") << FaultSettings { 0.15, 0.15, 0.15, 0.15, 0.15, 0.15 } << -1;
    }

    void faultRun()
    {
        QFETCH(FaultSettings, faults);
        QFETCH(int, count);
        const int transactions = count < 0 ? 30 : 9; // enough for each of six faults to show
        static std::atomic<int> handled; // frames the simulator has done with, answer sent
        handled = 0;
        ServerSettings settings;
        settings.faults = faults;
        settings.seed = 11;
        settings.trace = true;
        settings.traceOutput = [](const QString &line) { handled += line.contains(" rx "); };
        SimulatorServer server(TransmitterSettings(), settings);
        QVERIFY(server.start());

        S statistics;
        const QByteArray requests[] = { readHoldingRegistersFrame(200, 16), readVolatile,
                                        writeSingleRegisterFrame(addressRegister, 1) };
        for (int i = 0; i < transactions; ++i) {
            QSerialPort port;
            QString failure;
            QVERIFY2(ModbusLine::open(port, server.portPath(), &failure), qPrintable(failure));
            statistics.add(ModbusLine::exchange(port, requests[i % 3]));
            port.close();
            // A late answer lands before the next request, which drops it, as the window's
            // pause before every read makes sure.
            QTRY_COMPARE(handled.load(), i + 1);
        }
        const int spoilt = server.spoiltAnswers();
        QCOMPARE(statistics.count(S::Transactions), transactions);
        QCOMPARE(statistics.count(S::Good), transactions - spoilt);
        QCOMPARE(statistics.count(S::NoAnswer) + statistics.count(S::CrcErrors)
                     + statistics.count(S::Exceptions) + statistics.count(S::OtherAnswers),
                 spoilt);
        if (count >= 0) {
            QVERIFY2(spoilt > 0, "the seed spoilt nothing");
            QCOMPARE(statistics.count(S::Count(count)), spoilt);
        }
    }
};

// Under a locale with digits of its own: the times and dates of the list and its CSV stay ASCII.
int main(int argc, char *argv[])
{
    qputenv("LC_ALL", "ar_EG.UTF-8");
    QCoreApplication application(argc, argv);
    tst_Traffic test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_traffic.moc"
