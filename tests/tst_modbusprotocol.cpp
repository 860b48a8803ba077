#include "modbusprotocol.h"
#include "sampleanswers.h"

#include <QtTest>

using namespace ModbusProtocol;
using SampleAnswers::readAnswer;
using SampleAnswers::withCrc;

Q_DECLARE_METATYPE(ModbusProtocol::ResponseKind)

class tst_ModbusProtocol : public QObject
{
    Q_OBJECT

private slots:
    void crc_data();
    void crc();
    void volatileValues_data();
    void volatileValues();
    void persistentValues_data();
    void persistentValues();
    void judge_data();
    void judge();
};

void tst_ModbusProtocol::crc_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("crc");
    QTest::newRow("check value 123456789") << QByteArray("123456789") << 0x4B37;
    QTest::newRow("empty") << QByteArray() << 0xFFFF;
    QTest::newRow("whole frame FF 03 00 C8 00 10 D0 26")
            << QByteArray::fromHex("ff0300c80010d026") << 0;
}

void tst_ModbusProtocol::crc()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, crc);
    QCOMPARE(int(modbusCrc16(bytes)), crc);
}

// Every register but the one under test holds 0x5A5A, so reading a neighbour shows.
static QVector<quint16> filler(int count, int at, const QByteArray &bytes)
{
    QVector<quint16> registers(count, 0x5A5A);
    for (int i = 0; i + 1 < bytes.size(); i += 2)
        registers[at + i / 2] = quint16(quint8(bytes[i]) << 8 | quint8(bytes[i + 1]));
    return registers;
}

void tst_ModbusProtocol::volatileValues_data()
{
    QTest::addColumn<int>("reg");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("value");
    auto row = [](const char *name, int reg, const char *hex, const char *field, QVariant v) {
        QTest::newRow(name) << reg << QByteArray::fromHex(hex) << QString(field) << v;
    };
    row("temperature 21.5 from 00 00 41 AC", 0, "000041ac", "temperature", 21.5f);
    row("temperature alarm -1 from FF FF", 2, "ffff", "temperatureAlarm", -1);
    row("humidity 45.25", 3, "00004235", "humidity", 45.25f);
    row("humidity alarm 1", 5, "0001", "humidityAlarm", 1);
    row("serial number 123456 from E2 40 00 01", 6, "e2400001", "serialNumber", 123456);
    row("transmitter serial -2 from FF FE FF FF", 8, "fffeffff", "serialNumberTr", -2);
    row("dew point -12.5", 10, "0000c148", "dewPointTemperature", -12.5f);
    row("enthalpy 1", 12, "00003f80", "enthalpy", 1.0f);
    row("mixing ratio pi, low word not zero", 14, "0fdb4049", "mixingRatio", 3.14159274f);
    row("absolute humidity 100", 16, "000042c8", "absoluteHumidity", 100.0f);
    row("wet bulb -0.5", 18, "0000bf00", "wetBulbTemperature", -0.5f);
    row("Hx alarm -32768 from 80 00", 20, "8000", "hxAlarm", -32768);
}

void tst_ModbusProtocol::volatileValues()
{
    QFETCH(int, reg);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, field);
    QFETCH(QVariant, value);
    const VolatileValues v = decodeVolatileValues(readAnswer(filler(21, reg, bytes)));
    const QVariantMap fields {
        { "temperature", v.temperature },
        { "temperatureAlarm", v.temperatureAlarm },
        { "humidity", v.humidity },
        { "humidityAlarm", v.humidityAlarm },
        { "serialNumber", v.serialNumber },
        { "serialNumberTr", v.serialNumberTr },
        { "dewPointTemperature", v.dewPointTemperature },
        { "enthalpy", v.enthalpy },
        { "mixingRatio", v.mixingRatio },
        { "absoluteHumidity", v.absoluteHumidity },
        { "wetBulbTemperature", v.wetBulbTemperature },
        { "hxAlarm", v.hxAlarm },
    };
    QCOMPARE(fields.value(field), value);
}

void tst_ModbusProtocol::persistentValues_data()
{
    QTest::addColumn<int>("reg");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("value");
    auto row = [](const QByteArray &name, int reg, const QByteArray &hex, const char *field,
                  QVariant v) {
        QTest::newRow(name.constData()) << reg << QByteArray::fromHex(hex) << QString(field) << v;
    };
    row("identifier in frame order", 209, "58312e37", "firmwareId", QString("X1.7"));
    row("identifier with a zero byte", 209, "41004243", "firmwareId",
        QString::fromLatin1("A\0BC", 4));
    row("identifier Latin-1 byte", 209, "e9302e31", "firmwareId", QString::fromLatin1("\xe9" "0.1"));
    row("date 0x1C71 year", 211, "1c71", "year", 2014);
    row("date 0x1C71 month", 211, "1c71", "month", 3);
    row("date 0x1C71 day", 211, "1c71", "day", 17);
    row("date 0xFFFF year", 211, "ffff", "year", 2127);
    row("date 0xFFFF month", 211, "ffff", "month", 15);
    row("date 0xFFFF day", 211, "ffff", "day", 31);
    row("housing 3", 212, "0003", "housing", 3);
    row("housing -1", 212, "ffff", "housing", -1);
    row("address 247", 205, "00f7", "address", 247);
    const char *bauds[] = { "600", "1200", "2400", "4800", "9600", "19200", "38400", "" };
    for (int code = 0; code < 8; ++code)
        row("baud rate code " + QByteArray::number(code), 200,
            QByteArray::number(code, 16).rightJustified(4, '0'), "baudRate", QString(bauds[code]));
    const char *parities[] = { "None", "Even", "Odd", "" };
    for (int code = 0; code < 4; ++code)
        row("parity code " + QByteArray::number(code), 201,
            QByteArray::number(code, 16).rightJustified(4, '0'), "parity", QString(parities[code]));
    const char *stops[] = { "1", "2", "" };
    for (int code = 0; code < 3; ++code)
        row("stop bits code " + QByteArray::number(code), 202,
            QByteArray::number(code, 16).rightJustified(4, '0'), "stopBits", QString(stops[code]));
    row("baud rate code 0x0100 is outside", 200, "0100", "baudRate", QString());
}

void tst_ModbusProtocol::persistentValues()
{
    QFETCH(int, reg);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, field);
    QFETCH(QVariant, value);
    const PersistentValues p = decodePersistentValues(readAnswer(filler(16, reg - 200, bytes)));
    const QVariantMap fields {
        { "firmwareId", p.firmwareId }, { "year", p.year },         { "month", p.month },
        { "day", p.day },               { "housing", p.housing },   { "baudRate", p.baudRate },
        { "parity", p.parity },         { "stopBits", p.stopBits }, { "address", p.address },
    };
    QCOMPARE(fields.value(field), value);
}

void tst_ModbusProtocol::judge_data()
{
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<ResponseKind>("kind");
    auto good = [](int length) { return withCrc(QByteArray(length - 2, '\x11')); };
    auto bad = [&good](int length) {
        QByteArray frame = good(length);
        frame[length / 2] = char(frame[length / 2] ^ 0x01);
        return frame;
    };
    QTest::newRow("0 bytes") << QByteArray() << ResponseKind::NoAnswer;
    QTest::newRow("5-byte exception") << withCrc(QByteArray::fromHex("ff8302"))
                                      << ResponseKind::UnexpectedLength;
    QTest::newRow("8 good") << good(8) << ResponseKind::WriteEcho;
    QTest::newRow("8 bad") << bad(8) << ResponseKind::CrcError;
    QTest::newRow("37 good") << good(37) << ResponseKind::PersistentBlock;
    QTest::newRow("37 bad") << bad(37) << ResponseKind::CrcError;
    QTest::newRow("47 good") << good(47) << ResponseKind::VolatileBlock;
    QTest::newRow("47 bad") << bad(47) << ResponseKind::CrcError;
    QTest::newRow("46 with good CRC") << good(46) << ResponseKind::UnexpectedLength;
    QTest::newRow("48 with good CRC") << good(48) << ResponseKind::UnexpectedLength;
}

void tst_ModbusProtocol::judge()
{
    QFETCH(QByteArray, response);
    QFETCH(ResponseKind, kind);
    QCOMPARE(int(judgeResponse(response)), int(kind));
}

QTEST_GUILESS_MAIN(tst_ModbusProtocol)
#include "tst_modbusprotocol.moc"
