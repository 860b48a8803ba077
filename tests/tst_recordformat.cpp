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
    return { QString::fromLatin1(id, 4), year, month, day, housing, {}, {}, {}, address };
}

// In the order of the row's columns, as the registers hold them.
VolatileValues reading()
{
    return { 23.456f, 0, 45.5f, 1, 12345678, 87654321, 10.87f, 50.25f, 8.125f, 9.5f, 15.75f, 2 };
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
        QTest::addColumn<VolatileValues>("values"); // the reading, after the event if another
        QTest::addColumn<QString>("message");       // the other events only
        QTest::addColumn<QString>("row");

        const auto current = [](int housing) {
            return QVector<PersistentValues> { report("QV30", 2024, 5, 14, housing, 17) };
        };
        const QString t = "2026-12-07T05:12:03.123+00:00,";
        const float nan = std::numeric_limits<float>::quiet_NaN(),
                    inf = std::numeric_limits<float>::infinity();
        // Enthalpy: a NaN with its sign bit set, still "nan".
        const VolatileValues special { nan,  0,    inf,    1,    12345678, 87654321,
                                       -inf, -nan, 8.125f, 9.5f, 15.75f,   2 };
        // Enthalpy: the float nearest 0.1, written as it reads back.
        const VolatileValues extremes { 3.0e10f, 0,    1.0e-5f,     1,    -1,     87654321,
                                        -0.0f,   0.1f, 16777216.0f, 9.5f, 15.75f, -32768 };

        const QString measured = t + "reading,23.456,0,45.5,1,12345678,";
        const QString calculated = "10.87,50.25,8.125,9.5,15.75,2,";
        const QString measuredOnly = measured + ",,,,,,,,,\n";
        const auto read = [](const char *name, const QVector<PersistentValues> &reports,
                             const VolatileValues &values, const QString &row) {
            QTest::newRow(name) << reports << utcTime << int(Event::Reading) << values << QString()
                                << row;
        };
        read("reading, current firmware, housing 1: all twelve values", current(1), reading(),
             measured + "87654321," + calculated + "QV30__2024-05-14,17,\n");
        read("reading, housing 0 after 1 on the same transmitter keeps the serial",
             current(1) << report("QV30", 2024, 5, 14, 0, 17), reading(),
             measured + "87654321," + calculated + "QV30__2024-05-14,17,\n");
        read("reading, housing 0 on another transmitter: not the serial flag of the last",
             current(1) << report("QV31", 2024, 5, 14, 0, 17), reading(),
             measured + "," + calculated + "QV31__2024-05-14,17,\n");
        read("reading, 2014-02-18 firmware: no calculated values, no serial",
             { report("QV20", 2014, 2, 18, 1, 5) }, reading(),
             measured + ",,,,,,,QV20__2014-02-18,5,\n");
        read("reading, legacy firmware", { report("\xff\xff\xff\xff", 2127, 15, 31, 3, 247) },
             reading(), measured + ",,,,,,,Legacy,247,\n");
        read("reading before any report: the measured values only", {}, reading(), measuredOnly);
        read("reading of nan, inf, -inf", current(1), special,
             t
                 + "reading,nan,0,inf,1,12345678,87654321,-inf,nan,8.125,9.5,15.75,2,"
                   "QV30__2024-05-14,17,\n");
        read("reading, full float precision, exponents, negative numbers", current(1), extremes,
             t
                 + "reading,3e+10,0,1e-05,1,-1,87654321,-0,0.1,16777216,9.5,15.75,-32768,"
                   "QV30__2024-05-14,17,\n");
        // A comma alone: the CRC error row of transactions().
        read("firmware id in Latin-1 with a quote, no comma, a zero byte: UTF-8, quoted",
             { report("\xc4\"\0\xdf", 2024, 5, 14, 2, 1) }, reading(),
             measured + "," + calculated + "\"Ä\"\"\uFFFDß__2024-05-14\",1,\n");
        QTest::newRow("reading at a negative UTC offset with no milliseconds")
            << current(1)
            << QDateTime(QDate(2026, 1, 2), QTime(23, 4, 5), Qt::OffsetFromUTC, -(3 * 3600 + 1800))
            << int(Event::Reading) << reading() << QString()
            << "2026-01-02T23:04:05.000-03:30,reading,23.456,0,45.5,1,12345678,87654321,10.87,"
               "50.25,8.125,9.5,15.75,2,QV30__2024-05-14,17,\n";

        // An event row, then the reading after it: what the event left of the transmitter.
        const QString noValues = QString(",").repeated(12);
        QTest::newRow("recording started, nothing reported yet")
            << QVector<PersistentValues>() << utcTime << int(Event::Recording) << reading()
            << "started" << t + "recording" + noValues + ",,,started\n" + measuredOnly;
        QTest::newRow("connecting forgets the transmitter, in its own row and the next")
            << current(1) << utcTime << int(Event::Connect) << reading() << "/dev/pts/3"
            << t + "connect" + noValues + ",,,/dev/pts/3\n" + measuredOnly;
        QTest::newRow("disconnecting forgets the transmitter, in its own row and the next")
            << current(1) << utcTime << int(Event::Disconnect) << reading() << "/dev/pts/3"
            << t + "disconnect" + noValues + ",,,/dev/pts/3\n" + measuredOnly;
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
        const Event e = Event(event);
        const QByteArray first = e == Event::Connect ? session.connected(time, message)
            : e == Event::Disconnect                 ? session.disconnected(time, message)
            : e == Event::Reading                    ? QByteArray()
                                                     : session.event(time, e, message);
        QTEST(QString::fromUtf8(first + session.volatileRead(time, values)), "row");
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
};

QTEST_GUILESS_MAIN(tst_RecordFormat)
#include "tst_recordformat.moc"
