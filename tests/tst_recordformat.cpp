// The record's rows: every kind of value and event, as the file holds them.
#include "recordformat.h"
#include "sessionrecord.h"

#include <QtTest>

#include <limits>

using ModbusProtocol::PersistentValues;
using ModbusProtocol::VolatileValues;
using RecordFormat::Event;
Q_DECLARE_METATYPE(VolatileValues)
Q_DECLARE_METATYPE(QVector<PersistentValues>)

namespace {

PersistentValues report(const char *id, int year, int month, int day, int housing, int address)
{
    PersistentValues p;
    p.firmwareId = QString::fromLatin1(id, 4);
    p.year = year;
    p.month = month;
    p.day = day;
    p.housing = housing;
    p.address = address;
    return p;
}

VolatileValues reading()
{
    VolatileValues v;
    v.temperature = 23.456f;
    v.temperatureAlarm = 0;
    v.humidity = 45.5f;
    v.humidityAlarm = 1;
    v.serialNumber = 12345678;
    v.serialNumberTr = 87654321;
    v.dewPointTemperature = 10.87f;
    v.enthalpy = 50.25f;
    v.mixingRatio = 8.125f;
    v.absoluteHumidity = 9.5f;
    v.wetBulbTemperature = 15.75f;
    v.hxAlarm = 2;
    return v;
}

const QDateTime utcTime(QDate(2026, 12, 7), QTime(5, 12, 3, 123), Qt::OffsetFromUTC, 0);

} // namespace

class tst_RecordFormat : public QObject
{
    Q_OBJECT

private slots:
    void rows_data()
    {
        QTest::addColumn<QVector<PersistentValues>>("reports"); // before the row, in order
        QTest::addColumn<QDateTime>("time");
        QTest::addColumn<int>("event");
        QTest::addColumn<VolatileValues>("values"); // Reading only
        QTest::addColumn<QString>("message");       // the other events only
        QTest::addColumn<QString>("row");

        const auto current = [](int housing) {
            return QVector<PersistentValues> { report("QV30", 2024, 5, 14, housing, 17) };
        };
        const int readingEvent = int(Event::Reading);
        const QString t = "2026-12-07T05:12:03.123+00:00,";
        VolatileValues special = reading();
        special.temperature = std::numeric_limits<float>::quiet_NaN();
        special.humidity = std::numeric_limits<float>::infinity();
        special.dewPointTemperature = -std::numeric_limits<float>::infinity();
        special.enthalpy = -std::numeric_limits<float>::quiet_NaN(); // sign bit set: still "nan"
        VolatileValues extremes = reading();
        extremes.temperature = 3.0e10f;
        extremes.humidity = 1.0e-5f;
        extremes.dewPointTemperature = -0.0f;
        extremes.enthalpy = 0.1f; // the float nearest 0.1, written as it reads back
        extremes.mixingRatio = 16777216.0f;
        extremes.serialNumber = -1;
        extremes.hxAlarm = -32768;

        const QString measured = t + "reading,23.456,0,45.5,1,12345678,";
        const QString calculated = "10.87,50.25,8.125,9.5,15.75,2,";
        QTest::newRow("reading, current firmware, housing 1: all twelve values")
            << current(1) << utcTime << readingEvent << reading() << QString()
            << measured + "87654321," + calculated + "QV30__2024-05-14,17,\n";
        QTest::newRow("reading, housing 0 after 1 on the same transmitter keeps the serial")
            << (current(1) << report("QV30", 2024, 5, 14, 0, 17)) << utcTime << readingEvent
            << reading() << QString()
            << measured + "87654321," + calculated + "QV30__2024-05-14,17,\n";
        QTest::newRow("reading, housing 0 on another transmitter: not the serial flag of the last")
            << (current(1) << report("QV31", 2024, 5, 14, 0, 17)) << utcTime << readingEvent
            << reading() << QString() << measured + "," + calculated + "QV31__2024-05-14,17,\n";
        QTest::newRow("reading, 2014-02-18 firmware: no calculated values, no serial")
            << QVector<PersistentValues> { report("QV20", 2014, 2, 18, 1, 5) } << utcTime
            << readingEvent << reading() << QString() << measured + ",,,,,,,QV20__2014-02-18,5,\n";
        QTest::newRow("reading, legacy firmware")
            << QVector<PersistentValues> { report("\xff\xff\xff\xff", 2127, 15, 31, 3, 247) }
            << utcTime << readingEvent << reading() << QString()
            << measured + ",,,,,,,Legacy,247,\n";
        QTest::newRow("reading before any report: the measured values only")
            << QVector<PersistentValues>() << utcTime << readingEvent << reading() << QString()
            << measured + ",,,,,,,,,\n";
        QTest::newRow("reading of nan, inf, -inf")
            << current(1) << utcTime << readingEvent << special << QString()
            << t
                + "reading,nan,0,inf,1,12345678,87654321,-inf,nan,8.125,9.5,15.75,2,"
                  "QV30__2024-05-14,17,\n";
        QTest::newRow("reading, full float precision, exponents, negative numbers")
            << current(1) << utcTime << readingEvent << extremes << QString()
            << t
                + "reading,3e+10,0,1e-05,1,-1,87654321,-0,0.1,16777216,9.5,15.75,-32768,"
                  "QV30__2024-05-14,17,\n";
        QTest::newRow("reading at a negative UTC offset with no milliseconds")
            << current(1)
            << QDateTime(QDate(2026, 1, 2), QTime(23, 4, 5), Qt::OffsetFromUTC, -(3 * 3600 + 1800))
            << readingEvent << reading() << QString()
            << "2026-01-02T23:04:05.000-03:30,reading,23.456,0,45.5,1,12345678,87654321,10.87,"
               "50.25,8.125,9.5,15.75,2,QV30__2024-05-14,17,\n";
        // A comma alone: the CRC error row of transactions().
        QTest::newRow("firmware id in Latin-1 with a quote, no comma, a zero byte: UTF-8, quoted")
            << QVector<PersistentValues> { report("\xc4\"\0\xdf", 2024, 5, 14, 2, 1) } << utcTime
            << readingEvent << reading() << QString()
            << measured + "," + calculated + "\"Ä\"\"\uFFFDß__2024-05-14\",1,\n";

        const QString noValues = QString(",").repeated(12);
        QTest::newRow("recording started, nothing reported yet")
            << QVector<PersistentValues>() << utcTime << int(Event::Recording) << reading()
            << "started" << t + "recording" + noValues + ",,,started\n";
    }

    void rows()
    {
        QFETCH(QVector<PersistentValues>, reports);
        QFETCH(QDateTime, time);
        QFETCH(int, event);
        QFETCH(VolatileValues, values);
        QFETCH(QString, message);

        SessionRecord session;
        for (const PersistentValues &p : qAsConst(reports))
            session.persistentRead(p);
        const QByteArray written = Event(event) == Event::Reading
            ? session.volatileRead(time, values)
            : session.event(time, Event(event), message);
        QTEST(QString::fromUtf8(written), "row");
    }

    void transactions_data()
    {
        using ModbusProtocol::ResponseKind;
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("row"); // after the time; empty: no row

        const QByteArray volatileRead = ModbusProtocol::readHoldingRegistersFrame(0, 21);
        const QByteArray persistentRead = ModbusProtocol::readHoldingRegistersFrame(200, 16);
        const QByteArray writeParityOdd = ModbusProtocol::writeSingleRegisterFrame(201, 2);
        const QString context = ",QV30__2024-05-14,17,";
        const QString error = "error" + QString(",").repeated(12) + context;
        QTest::newRow("persistent block: no row")
            << persistentRead << int(ResponseKind::PersistentBlock) << "";
        QTest::newRow("write echo")
            << writeParityOdd << int(ResponseKind::WriteEcho)
            << "write" + QString(",").repeated(12) + context + "write parity = Odd";
        QTest::newRow("no answer to a read: the read named")
            << volatileRead << int(ResponseKind::NoAnswer)
            << error + "Timeout (read volatile block)";
        QTest::newRow("CRC error, quoted for its comma")
            << persistentRead << int(ResponseKind::CrcError)
            << error + "\"Bad response, CRC error (read persistent block)\"";
        QTest::newRow("exception refusing a write: named once")
            << writeParityOdd << int(ResponseKind::Exception)
            << error
                + "Exception 02 from the transmitter: illegal data address; refused: write "
                  "parity = Odd";
        QTest::newRow("unexpected length")
            << volatileRead << int(ResponseKind::UnexpectedLength)
            << error + "Unexpected answer: 12 bytes (read volatile block)";
        QTest::newRow("port failure") << volatileRead << int(ResponseKind::PortFailure)
                                      << error
                + "\"Can't open /dev/pts/9, error code 1: no such device (read volatile block)\"";
    }

    void transactions()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, kind);
        SessionRecord session;
        session.persistentRead(report("QV30", 2024, 5, 14, 1, 17));
        ModbusTransaction t;
        t.request = request;
        t.sentAt = utcTime;
        t.judgement.kind = ModbusProtocol::ResponseKind(kind);
        t.judgement.length = 12;
        t.judgement.exceptionCode = 2;
        t.judgement.volatileValues = reading();
        t.judgement.persistentValues = report("QV31", 2024, 5, 14, 2, 18);
        t.judgement.portFailure = "Can't open /dev/pts/9, error code 1: no such device";
        const QByteArray row = session.transaction(t);
        QTEST(QString::fromUtf8(row.isEmpty() ? row : row.mid(30).chopped(1)), "row");
        // A persistent read is taken in: the next reading names the new transmitter.
        const bool persistent = t.judgement.kind == ModbusProtocol::ResponseKind::PersistentBlock;
        QCOMPARE(session.context().firmware, persistent ? "QV31__2024-05-14" : "QV30__2024-05-14");
    }

    void connectingForgetsTheTransmitter()
    {
        SessionRecord session;
        for (const bool connect : { true, false }) {
            session.persistentRead(report("QV30", 2024, 5, 14, 1, 17));
            const QByteArray row = connect ? session.connected(utcTime, "/dev/pts/3")
                                           : session.disconnected(utcTime, "/dev/pts/3");
            // The event row itself no longer names the transmitter it leaves or has not met.
            QCOMPARE(row.mid(30),
                     QByteArray(connect ? "connect" : "disconnect") + QByteArray(12, ',')
                         + ",,,/dev/pts/3\n");
            QCOMPARE(session.volatileRead(utcTime, reading()).mid(30),
                     "reading,23.456,0,45.5,1,12345678,,,,,,,,,,\n");
        }
    }
};

QTEST_GUILESS_MAIN(tst_RecordFormat)
#include "tst_recordformat.moc"
