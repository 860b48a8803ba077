#include "connectionsettings.h"
#include "firmware.h"
#include "modbusprotocol.h"

#include <QtTest>

using namespace ModbusProtocol;
using Firmware::FeatureSet;

static QByteArray withCrc(const QByteArray &hex)
{
    const QByteArray frame = QByteArray::fromHex(hex);
    return frame + char(modbusCrc16(frame) & 0xFF) + char(modbusCrc16(frame) >> 8);
}

class tst_Protocol : public QObject
{
    Q_OBJECT

private slots:
    // Every text a user or a script gives for a connection, and what it is taken as: a slip in
    // one parser would send requests at the wrong speed or to the wrong unit.
    void connectionTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("taken"); // printed back, or the error's start
        const auto row = [](const char *name, const char *text, const char *taken) {
            QTest::newRow(name) << text << taken; // the name starts with the kind of text
        };
        row("line: the bench", "19200-8N1", "19200-8N1 1824 us");
        row("line: even parity adds a bit", "9600-8e1", "9600-8E1 4011 us");
        row("line: two stop bits, fast: gap fixed", "38400-8O2", "38400-8O2 1750 us");
        row("line: slowest", "600-8N1", "600-8N1 58335 us");
        row("line: no such rate", "14400-8N1", "baud rate 14400 is not one");
        row("line: 7 data bits", "9600-7E1", "7 data bits");
        row("line: 3 stop bits", "9600-8N3", "3 stop bits");
        row("line: other form", "9600 8N1", "line settings \"9600 8N1\"");
        row("endpoint: device path", "/dev/ttyUSB0", "/dev/ttyUSB0 0");
        row("endpoint: Modbus TCP default port", "tcp://gw.local", "tcp://gw.local:502 1");
        row("endpoint: Modbus TCP own port", "tcp://10.0.0.5:1502", "tcp://10.0.0.5:1502 1");
        row("endpoint: IPv6", "tcp://[::1]:1502", "tcp://[::1]:1502 1");
        row("endpoint: RTU over TCP", "rtu+tcp://10.0.0.5:4001", "rtu+tcp://10.0.0.5:4001 2");
        row("endpoint: RTU over TCP needs a port", "rtu+tcp://10.0.0.5",
            "\"rtu+tcp://10.0.0.5\" needs");
        row("endpoint: unknown scheme", "udp://10.0.0.5:502", "\"udp://10.0.0.5:502\": a port is");
        row("endpoint: path after host", "tcp://10.0.0.5/x", "\"tcp://10.0.0.5/x\" is not");
        row("unit: any", "any", "255");
        row("unit: highest", "247", "247");
        row("unit: broadcast is no unit", "0", "unit address \"0\"");
        row("unit: 248 reserved", "248", "unit address \"248\"");
    }
    void connectionTexts()
    {
        const QString kind = QString(QTest::currentDataTag()).section(':', 0, 0);
        QFETCH(QString, text);
        QFETCH(QString, taken);
        QString error, got;
        if (kind == "line") {
            LineSettings line;
            if (LineSettings::parse(text, &line, &error))
                got = QString("%1 %2 us").arg(line.toString()).arg(line.frameGapMicroseconds());
        } else if (kind == "endpoint") {
            Endpoint endpoint;
            if (Endpoint::parse(text, &endpoint, &error))
                got = QString("%1 %2").arg(endpoint.toString()).arg(int(endpoint.kind));
        } else {
            int unit = 0;
            if (ConnectionSettings::parseUnit(text, &unit, &error))
                got = QString::number(unit);
        }
        QVERIFY2((got.isEmpty() ? error : got).startsWith(taken), qPrintable(got + error));
    }

    // The lone search tries every setting once, the common ones first, the rarest last.
    void searchOrder()
    {
        QStringList texts;
        for (const LineSettings &line : LineSettings::searchOrder())
            texts << line.toString();
        QCOMPARE(QSet<QString>(texts.begin(), texts.end()).size(), 42);
        QCOMPARE(texts.mid(0, 5) << texts.mid(41),
                 QStringList({ "19200-8N1", "9600-8N1", "9600-8E1", "19200-8E1", "38400-8N1",
                               "38400-8O2" }));
    }

    void firmware_data()
    {
        QTest::addColumn<QString>("firmware"); // identifier "__" yyyy-mm-dd, as the window shows it
        QTest::addColumn<int>("featureSet");

        const int legacy = int(FeatureSet::Legacy), upTo19200 = int(FeatureSet::UpTo19200);
        const int current = int(FeatureSet::Current);
        QTest::newRow("2014-02-18") << "ABCD__2014-02-18" << upTo19200;
        QTest::newRow("2014-02-19") << "ABCD__2014-02-19" << current;
        QTest::newRow("2014-01-18") << "ABCD__2014-01-18" << current;
        QTest::newRow("2015-02-18") << "ABCD__2015-02-18" << current;
        QTest::newRow("month 15: legacy") << "\xff\xff__2127-15-31" << legacy;
        QTest::newRow("month and day 0") << "QV30__2000-00-00" << current;
        QTest::newRow("percent signs stay") << "%1%2__2020-01-02" << current;
    }

    void firmware()
    {
        QFETCH(QString, firmware);
        QFETCH(int, featureSet);
        const QStringList ymd = firmware.section("__", 1).split('-');
        const int y = ymd[0].toInt(), m = ymd[1].toInt(), d = ymd[2].toInt();
        QCOMPARE(int(Firmware::featureSet(y, m, d)), featureSet);
        QCOMPARE(Firmware::text(firmware.section("__", 0, 0), y, m, d),
                 featureSet == int(FeatureSet::Legacy) ? "Legacy" : firmware);
    }

    // Answers judged, and the status text the window and the command line show for them; good
    // blocks, a broken block and exception 02 go through the thread's table on a pseudo-terminal.
    void statusTexts_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("described");
        QTest::addColumn<QString>("status");

        const QByteArray readVolatile = readHoldingRegistersFrame(0, 21);
        const QByteArray readPersistent = readHoldingRegistersFrame(200, 16);
        const QByteArray writeParity = writeSingleRegisterFrame(parityRegister, 2);
        const QByteArray writeBaud = writeSingleRegisterFrame(baudRateRegister, 6);
        const QByteArray writeAddress = writeSingleRegisterFrame(addressRegister, 25);
        auto row = [](const char *name, const QByteArray &request, const QByteArray &answer,
                      ResponseKind kind, const char *described, const char *status) {
            QTest::newRow(name) << request << answer << int(kind) << described << status;
        };
        row("nothing", readVolatile, {}, ResponseKind::NoAnswer, "read volatile block", "Timeout");
        row("write echo", writeAddress, writeAddress, ResponseKind::WriteEcho, "write address = 25",
            "Response OK");
        row("write echo with a broken byte: its CRC is checked too", writeAddress,
            QByteArray(writeAddress).replace(4, 1, "\x77"), ResponseKind::CrcError,
            "write address = 25", "Bad response, CRC error");
        row("ff 86 03: exception 03 to a write", writeBaud, withCrc("ff8603"),
            ResponseKind::Exception, "write baud rate = 38400",
            "Exception 03 from the transmitter: illegal data value; refused: write baud rate = "
            "38400");
        row("ff 86 01", writeParity, withCrc("ff8601"), ResponseKind::Exception,
            "write parity = Odd",
            "Exception 01 from the transmitter: illegal function; refused: write parity = Odd");
        row("ff 83 04", readPersistent, withCrc("ff8304"), ResponseKind::Exception,
            "read persistent block", "Exception 04 from the transmitter: server device failure");
        row("ff 83 0b: a code without a standard meaning", readPersistent, withCrc("ff830b"),
            ResponseKind::Exception, "read persistent block", "Exception 0B from the transmitter");
        row("5 bytes without the exception bit", readPersistent, withCrc("ff0302"),
            ResponseKind::UnexpectedLength, "read persistent block", "Unexpected answer: 5 bytes");
        row("exception with a bad CRC", readPersistent, QByteArray::fromHex("ff830200ff"),
            ResponseKind::UnexpectedLength, "read persistent block", "Unexpected answer: 5 bytes");
        row("a single byte", readVolatile, "\xff", ResponseKind::UnexpectedLength,
            "read volatile block", "Unexpected answer: 1 bytes");
        row("a stop-bits write of a code outside the table", writeSingleRegisterFrame(202, 9), {},
            ResponseKind::NoAnswer, "write stop bits = code 9", "Timeout");
        row("a request of another kind", withCrc("01100000"), {}, ResponseKind::NoAnswer,
            "request of 6 bytes", "Timeout");
    }

    void statusTexts()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        const Judgement judgement = judgeResponse(answer);
        QTEST(int(judgement.kind), "kind");
        QCOMPARE(judgement.length, answer.size());
        QTEST(describeRequest(request), "described");
        QTEST(statusText(judgement, request), "status");
    }
};

QTEST_GUILESS_MAIN(tst_Protocol)
#include "tst_protocol.moc"
