// The simulator's pure logic: framing, the slave's answers, the register encodings as the tool
// decodes them, the psychrometric values, the drift and the fault plans. No pseudo-terminal.
#include "faultinjector.h"
#include "frameassembler.h"
#include "modbusprotocol.h"
#include "psychrometrics.h"
#include "rtuslave.h"
#include "transmittermodel.h"

#include <QtTest>

using namespace ModbusProtocol;

namespace {

QByteArray withCrc(const char *hexWithoutCrc)
{
    QByteArray frame = QByteArray::fromHex(hexWithoutCrc);
    const quint16 crc = modbusCrc16(frame);
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

TransmitterSettings steadySettings()
{
    TransmitterSettings settings;
    settings.temperature = 21.5;
    settings.humidity = 50;
    settings.temperatureDrift = 0;
    settings.humidityDrift = 0;
    return settings;
}

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void writtenParameterIsReadBack();
    void framing_data();
    void framing();
    void encodingsRoundTrip_data();
    void encodingsRoundTrip();
    void saturationPressure_data();
    void saturationPressure();
    void psychrometrics_data();
    void psychrometrics();
    void driftAndAlarms();
    void faults_data();
    void faults();
    void faultsReplayWithSeed();
};

void TestSimulator::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");

    const QByteArray silent;
    QTest::newRow("FF 03 00 CD 00 01: address at 255") << withCrc("ff0300cd0001") << withCrc("ff03020001");
    QTest::newRow("01 03 00 CD 00 01: own address") << withCrc("010300cd0001") << withCrc("0103020001");
    QTest::newRow("02 03 00 CD 00 01: another slave") << withCrc("020300cd0001") << silent;
    QTest::newRow("00 03 00 CD 00 01: broadcast read") << withCrc("000300cd0001") << silent;
    QTest::newRow("FF 03 00 CD 00 01 with a bad CRC") << QByteArray::fromHex("ff0300cd00010000") << silent;
    QTest::newRow("FF 03 00 C8 00 10: persistent block")
        << withCrc("ff0300c80010") << withCrc("ff0320" "0005000000000000000000010000000000005156"
                                              "333030ae0001000000000000");
    QTest::newRow("FF 03 00 02 00 01: alarm register") << withCrc("ff0300020001") << withCrc("ff03020000");
    QTest::newRow("FF 03 00 14 00 02: past register 20") << withCrc("ff0300140002") << withCrc("ff8302");
    QTest::newRow("FF 03 00 C7 00 02: before register 200") << withCrc("ff0300c70002") << withCrc("ff8302");
    QTest::newRow("FF 03 00 D7 00 02: past register 215") << withCrc("ff0300d70002") << withCrc("ff8302");
    QTest::newRow("FF 03 00 00 00 D8: across both blocks") << withCrc("ff03000000d8") << withCrc("ff8303");
    QTest::newRow("FF 03 00 00 00 00: no register") << withCrc("ff0300000000") << withCrc("ff8303");
    QTest::newRow("FF 03 00 10 00 70: from 16 to 127") << withCrc("ff0300100070") << withCrc("ff8302");
    QTest::newRow("FF 06 00 C8 00 06: baud rate 38400") << withCrc("ff0600c80006") << withCrc("ff0600c80006");
    QTest::newRow("FF 06 00 C8 00 07: baud-rate code 7") << withCrc("ff0600c80007") << withCrc("ff8603");
    QTest::newRow("FF 06 00 C9 00 03: parity code 3") << withCrc("ff0600c90003") << withCrc("ff8603");
    QTest::newRow("FF 06 00 CA 00 02: stop-bits code 2") << withCrc("ff0600ca0002") << withCrc("ff8603");
    QTest::newRow("FF 06 00 CD 00 00: address 0") << withCrc("ff0600cd0000") << withCrc("ff8603");
    QTest::newRow("FF 06 00 CD 00 F8: address 248") << withCrc("ff0600cd00f8") << withCrc("ff8603");
    QTest::newRow("01 06 00 CD 00 F7: address 247") << withCrc("010600cd00f7") << withCrc("010600cd00f7");
    QTest::newRow("FF 06 00 CB 00 01: register 203") << withCrc("ff0600cb0001") << withCrc("ff8602");
    QTest::newRow("FF 06 00 00 00 01: temperature") << withCrc("ff0600000001") << withCrc("ff8602");
    QTest::newRow("FF 04 00 00 00 01: input registers") << withCrc("ff0400000001") << withCrc("ff8401");
    QTest::newRow("FF 10 00 C8 00 01 02 00 05: write multiple") << withCrc("ff1000c800010200 05")
                                                               << withCrc("ff9001");
}

void TestSimulator::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    TransmitterModel model(steadySettings());
    RtuSlave slave(&model);
    QCOMPARE(slave.answer(request).toHex(' '), answer.toHex(' '));
}

void TestSimulator::writtenParameterIsReadBack()
{
    TransmitterModel model(steadySettings());
    RtuSlave slave(&model);
    QCOMPARE(slave.answer(writeSingleRegisterFrame(baudRateRegister, 2)), writeSingleRegisterFrame(baudRateRegister, 2));
    QVERIFY(!slave.answer(writeSingleRegisterFrame(parityRegister, 1)).isEmpty());
    // A broadcast write is carried out without an answer.
    QByteArray broadcastWrite = withCrc("000600ca0001");
    QVERIFY(slave.answer(broadcastWrite).isEmpty());
    QCOMPARE(slave.answer(writeSingleRegisterFrame(addressRegister, 42)), writeSingleRegisterFrame(addressRegister, 42));

    const PersistentValues p = decodePersistentValues(slave.answer(readHoldingRegistersFrame(200, 16)));
    QCOMPARE(p.baudRate, QString("2400"));
    QCOMPARE(p.parity, QString("Even"));
    QCOMPARE(p.stopBits, QString("2"));
    QCOMPARE(p.address, 42);
    // The new address is the slave's own from now on, the old one no longer is.
    QCOMPARE(slave.answer(withCrc("2a0300cd0001")), withCrc("2a030200 2a"));
    QVERIFY(slave.answer(withCrc("010300cd0001")).isEmpty());
}

void TestSimulator::framing_data()
{
    // Chunks arrive at the given microseconds; the line is then quiet until `quietAt`.
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QList<int>>("times");
    QTest::addColumn<int>("quietAt");
    QTest::addColumn<QByteArrayList>("frames");
    QTest::addColumn<QByteArray>("dropped");

    const QByteArray read = readHoldingRegistersFrame(0, 21);
    const QByteArray write = writeSingleRegisterFrame(201, 1);
    const QByteArray multiple = withCrc("ff1000c8000204 00050001");
    const QByteArray custom = withCrc("ff41 0102030405");
    QTest::newRow("whole request") << QByteArrayList { read } << QList<int> { 0 } << 10000
                                   << QByteArrayList { read } << QByteArray();
    QTest::newRow("request in three pieces within 1 ms")
        << QByteArrayList { read.left(3), read.mid(3, 3), read.mid(6) } << QList<int> { 0, 500, 1000 }
        << 10000 << QByteArrayList { read } << QByteArray();
    QTest::newRow("two requests back to back") << QByteArrayList { read + write } << QList<int> { 0 }
                                               << 10000 << QByteArrayList { read, write } << QByteArray();
    QTest::newRow("broken request, silence, request")
        << QByteArrayList { read.left(5), write } << QList<int> { 0, 3000 } << 10000
        << QByteArrayList { write } << read.left(5);
    QTest::newRow("gap of 2 ms inside a request resynchronises")
        << QByteArrayList { write.left(4), write.mid(4), write } << QList<int> { 0, 2500, 9000 } << 20000
        << QByteArrayList { write } << write;
    QTest::newRow("write multiple, length from its byte count")
        << QByteArrayList { multiple.left(7), multiple.mid(7) } << QList<int> { 0, 100 } << 10000
        << QByteArrayList { multiple } << QByteArray();
    QTest::newRow("unknown function ends at the silence")
        << QByteArrayList { custom } << QList<int> { 0 } << 10000 << QByteArrayList { custom } << QByteArray();
    QTest::newRow("300 bytes of noise, then a request")
        << QByteArrayList { QByteArray(300, char(0x41)), read } << QList<int> { 0, 5000 } << 20000
        << QByteArrayList { read } << QByteArray(300, char(0x41));
}

void TestSimulator::framing()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(QList<int>, times);
    QFETCH(int, quietAt);
    QFETCH(QByteArrayList, frames);
    QFETCH(QByteArray, dropped);

    FrameAssembler assembler(FrameAssembler::silenceForBaudRate(19200));
    QByteArrayList received;
    for (int i = 0; i < chunks.size(); ++i) {
        // The slave polls for the silence between chunks, as the server does.
        received += assembler.lineQuiet(times.at(i) - 1);
        received += assembler.addBytes(chunks.at(i), times.at(i));
    }
    received += assembler.lineQuiet(quietAt);
    QCOMPARE(received, frames);
    QCOMPARE(assembler.takeDropped().toHex(' '), dropped.toHex(' '));
    QVERIFY(!assembler.hasPartialFrame());
}

void TestSimulator::encodingsRoundTrip_data()
{
    QTest::addColumn<int>("profile");
    QTest::addColumn<QByteArray>("explicitId");
    QTest::addColumn<QString>("explicitDate");
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("year");
    QTest::addColumn<int>("month");
    QTest::addColumn<int>("day");

    QTest::newRow("current") << int(TransmitterSettings::Firmware::Current) << QByteArray() << QString()
                             << "QV30" << 2024 << 5 << 14;
    QTest::newRow("2014-02-18") << int(TransmitterSettings::Firmware::Feb2014) << QByteArray() << QString()
                                << "QV20" << 2014 << 2 << 18;
    QTest::newRow("legacy") << int(TransmitterSettings::Firmware::Legacy) << QByteArray() << QString()
                            << "QV10" << 2127 << 15 << 31;
    QTest::newRow("explicit ABCD 2014-03-17") << int(TransmitterSettings::Firmware::Current)
                                              << QByteArray("ABCD") << "2014-03-17" << "ABCD" << 2014 << 3 << 17;
}

void TestSimulator::encodingsRoundTrip()
{
    QFETCH(int, profile);
    QFETCH(QByteArray, explicitId);
    QFETCH(QString, explicitDate);

    TransmitterSettings settings = steadySettings();
    settings.setFirmware(TransmitterSettings::Firmware(profile));
    if (!explicitId.isEmpty()) {
        settings.firmwareId = explicitId;
        const QDate date = QDate::fromString(explicitDate, Qt::ISODate);
        settings.firmwareDate = packFirmwareDate(date.year(), date.month(), date.day());
    }
    settings.housing = 3;
    settings.probeSerial = 123456;
    settings.transmitterSerial = 2000000001;
    settings.parityCode = 2;
    settings.address = 247;
    TransmitterModel model(settings);
    RtuSlave slave(&model);

    const QByteArray persistent = slave.answer(readHoldingRegistersFrame(200, 16));
    QCOMPARE(judgeResponse(persistent), ResponseKind::PersistentBlock);
    const PersistentValues p = decodePersistentValues(persistent);
    QTEST(p.firmwareId, "id");
    QTEST(p.year, "year");
    QTEST(p.month, "month");
    QTEST(p.day, "day");
    QCOMPARE(p.housing, 3);
    QCOMPARE(p.baudRate, QString("19200"));
    QCOMPARE(p.parity, QString("Odd"));
    QCOMPARE(p.stopBits, QString("1"));
    QCOMPARE(p.address, 247);

    const QByteArray volatileAnswer = slave.answer(readHoldingRegistersFrame(0, 21));
    QCOMPARE(judgeResponse(volatileAnswer), ResponseKind::VolatileBlock);
    // 21.5 is 0x41AC0000: low word first on the wire.
    QCOMPARE(volatileAnswer.mid(3, 4).toHex(' '), QByteArray("00 00 41 ac"));
    const VolatileValues v = decodeVolatileValues(volatileAnswer);
    const Psychrometrics::MoistAir air = Psychrometrics::moistAir(21.5, 50);
    QCOMPARE(v.temperature, 21.5f);
    QCOMPARE(v.humidity, 50.0f);
    QCOMPARE(v.serialNumber, 123456);
    QCOMPARE(v.serialNumberTr, 2000000001);
    QCOMPARE(v.dewPointTemperature, float(air.dewPoint));
    QCOMPARE(v.enthalpy, float(air.enthalpy));
    QCOMPARE(v.mixingRatio, float(air.mixingRatio));
    QCOMPARE(v.absoluteHumidity, float(air.absoluteHumidity));
    QCOMPARE(v.wetBulbTemperature, float(air.wetBulb));
}

void TestSimulator::saturationPressure_data()
{
    // Published saturation pressures (IAPWS-based, as tabulated in the ASHRAE Handbook); the
    // Hyland-Wexler formulas agree within 0.03 %.
    QTest::addColumn<double>("celsius");
    QTest::addColumn<bool>("overIce");
    QTest::addColumn<double>("pascal");
    QTest::newRow("water at 0 degC") << 0.0 << false << 611.2;
    QTest::newRow("water at 20 degC") << 20.0 << false << 2339.3;
    QTest::newRow("water at 50 degC") << 50.0 << false << 12351.3;
    QTest::newRow("water at 100 degC") << 100.0 << false << 101418.0;
    QTest::newRow("ice at -20 degC") << -20.0 << true << 103.26;
}

void TestSimulator::saturationPressure()
{
    QFETCH(double, celsius);
    QFETCH(bool, overIce);
    QFETCH(double, pascal);
    const double computed = overIce ? Psychrometrics::saturationPressureOverIce(celsius)
                                    : Psychrometrics::saturationPressureOverWater(celsius);
    QVERIFY2(qAbs(computed - pascal) <= 3e-4 * pascal, qPrintable(QString::number(computed)));
}

void TestSimulator::psychrometrics_data()
{
    // Published table and chart values at 1013.25 hPa, with their printed precision as tolerance.
    // The saturated mixing ratio and enthalpy of the ASHRAE table include the enhancement factor
    // (0.4 % more vapour) that the simple formulas leave out, hence their wider tolerance.
    QTest::addColumn<double>("celsius");
    QTest::addColumn<double>("humidity");
    QTest::addColumn<QString>("quantity");
    QTest::addColumn<double>("published");
    QTest::addColumn<double>("tolerance");
    QTest::newRow("dew point, 20 degC 50 %") << 20.0 << 50.0 << "dewPoint" << 9.3 << 0.05;
    QTest::newRow("dew point, 30 degC 50 %") << 30.0 << 50.0 << "dewPoint" << 18.4 << 0.06;
    QTest::newRow("dew point, 20 degC 100 %") << 20.0 << 100.0 << "dewPoint" << 20.0 << 0.001;
    QTest::newRow("wet bulb, 25 degC 50 %") << 25.0 << 50.0 << "wetBulb" << 17.9 << 0.05;
    QTest::newRow("wet bulb, 30 degC 50 %") << 30.0 << 50.0 << "wetBulb" << 22.0 << 0.05;
    QTest::newRow("wet bulb, 20 degC 100 %") << 20.0 << 100.0 << "wetBulb" << 20.0 << 0.001;
    QTest::newRow("mixing ratio, 30 degC 50 %") << 30.0 << 50.0 << "mixingRatio" << 13.3 << 0.05;
    QTest::newRow("mixing ratio, 20 degC saturated") << 20.0 << 100.0 << "mixingRatio" << 14.758 << 0.1;
    QTest::newRow("enthalpy, 20 degC saturated") << 20.0 << 100.0 << "enthalpy" << 57.555 << 0.2;
    QTest::newRow("enthalpy, 30 degC 50 %") << 30.0 << 50.0 << "enthalpy" << 64.3 << 0.1;
    QTest::newRow("absolute humidity, 20 degC saturated") << 20.0 << 100.0 << "absoluteHumidity" << 17.30 << 0.02;
    QTest::newRow("absolute humidity, 30 degC saturated") << 30.0 << 100.0 << "absoluteHumidity" << 30.38 << 0.04;
}

void TestSimulator::psychrometrics()
{
    QFETCH(double, celsius);
    QFETCH(double, humidity);
    QFETCH(QString, quantity);
    QFETCH(double, published);
    QFETCH(double, tolerance);
    const Psychrometrics::MoistAir air = Psychrometrics::moistAir(celsius, humidity);
    const QHash<QString, double> values {
        { "dewPoint", air.dewPoint },       { "wetBulb", air.wetBulb },
        { "mixingRatio", air.mixingRatio }, { "enthalpy", air.enthalpy },
        { "absoluteHumidity", air.absoluteHumidity },
    };
    QVERIFY(values.contains(quantity));
    QVERIFY2(qAbs(values.value(quantity) - published) <= tolerance,
             qPrintable(QString::number(values.value(quantity), 'f', 4)));
}

void TestSimulator::driftAndAlarms()
{
    TransmitterSettings settings;
    settings.seed = 42;
    settings.temperatureLimits = { 0, 22 };
    TransmitterModel first(settings), second(settings);

    QSet<double> temperatures;
    for (int seconds = 0; seconds <= 3600; seconds += 60) {
        first.advanceTo(seconds);
        second.advanceTo(seconds);
        temperatures.insert(first.temperature());
        QCOMPARE(first.temperature(), second.temperature()); // same seed, same drift
        QVERIFY(qAbs(first.temperature() - settings.temperature) <= settings.temperatureDrift);
        QVERIFY(qAbs(first.humidity() - settings.humidity) <= settings.humidityDrift);

        QVector<quint16> alarm;
        QVERIFY(first.readRegisters(2, 1, &alarm));
        QCOMPARE(int(alarm.at(0)), first.temperature() > 22 ? 2 : 0);
    }
    QVERIFY(temperatures.size() > 50); // alive: it moves
    // Slowly: one second changes the temperature by hundredths at most.
    first.advanceTo(1000);
    const double before = first.temperature();
    first.advanceTo(1001);
    QVERIFY(qAbs(first.temperature() - before) < 0.05);

    settings.humidity = 95;
    settings.humidityDrift = 0;
    settings.dewPointLimits = { -10, 20 };
    TransmitterModel humid(settings); // 22.5 degC at 95 % has its dew point at 21.6 degC
    QVector<quint16> alarms;
    QVERIFY(humid.readRegisters(5, 1, &alarms));
    QCOMPARE(alarms.at(0), quint16(2));
    QVERIFY(humid.readRegisters(20, 1, &alarms));
    QCOMPARE(alarms.at(0), quint16(2));
}

void TestSimulator::faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("no answer") << "no answer";
    QTest::newRow("bad CRC") << "bad CRC";
    QTest::newRow("exception") << "exception";
    QTest::newRow("split") << "split";
    QTest::newRow("delay") << "delay";
    QTest::newRow("garbage") << "garbage";
}

void TestSimulator::faults()
{
    QFETCH(QString, fault);
    FaultSettings settings;
    settings.delayMs = 333;
    settings.splitGapMs = 7;
    double *probability = fault == "no answer" ? &settings.noAnswer
        : fault == "bad CRC"                   ? &settings.badCrc
        : fault == "exception"                 ? &settings.exception
        : fault == "split"                     ? &settings.split
        : fault == "delay"                     ? &settings.delay
                                               : &settings.garbage;
    *probability = 1;
    FaultInjector injector(settings, 5);
    const QByteArray answer = withCrc("ff03040000 41ac");

    for (int round = 0; round < 20; ++round) {
        const FaultInjector::Transmission out = injector.apply(answer);
        QCOMPARE(out.faults, QStringList { fault });
        QByteArray sent;
        for (const FaultInjector::Chunk &chunk : out.chunks)
            sent += chunk.bytes;
        if (fault == "no answer") {
            QVERIFY(out.chunks.isEmpty());
        } else if (fault == "bad CRC") {
            QCOMPARE(sent.size(), answer.size());
            QCOMPARE(sent.left(answer.size() - 2), answer.left(answer.size() - 2));
            QVERIFY(modbusCrc16(sent) != 0);
        } else if (fault == "exception") {
            QCOMPARE(sent, withCrc("ff8304"));
        } else if (fault == "split") {
            QVERIFY(out.chunks.size() >= 2 && out.chunks.size() <= 4);
            QCOMPARE(sent, answer);
            QCOMPARE(out.chunks.first().delayMs, 0);
            for (int i = 1; i < out.chunks.size(); ++i)
                QCOMPARE(out.chunks.at(i).delayMs, 7);
        } else if (fault == "delay") {
            QCOMPARE(out.chunks.size(), 1);
            QCOMPARE(out.chunks.first().delayMs, 333);
            QCOMPARE(sent, answer);
        } else {
            QVERIFY(sent.size() > answer.size() && sent.size() <= answer.size() + 8);
            QVERIFY(sent.endsWith(answer));
        }
    }
    // A silent slave stays silent: faults only spoil answers.
    QVERIFY(injector.apply(QByteArray()).chunks.isEmpty());
}

void TestSimulator::faultsReplayWithSeed()
{
    FaultSettings settings;
    settings.noAnswer = settings.badCrc = settings.exception = 0.2;
    settings.split = settings.delay = settings.garbage = 0.2;
    FaultInjector first(settings, 99), second(settings, 99), other(settings, 100);
    const QByteArray answer = readHoldingRegistersFrame(0, 21);
    QStringList firstRun, secondRun, otherRun;
    for (int i = 0; i < 50; ++i) {
        auto describe = [&answer](FaultInjector &injector) {
            const FaultInjector::Transmission out = injector.apply(answer);
            QStringList parts = out.faults;
            for (const FaultInjector::Chunk &chunk : out.chunks)
                parts << QString::number(chunk.delayMs) + ':' + chunk.bytes.toHex();
            return parts.join(' ');
        };
        firstRun << describe(first);
        secondRun << describe(second);
        otherRun << describe(other);
    }
    QCOMPARE(firstRun, secondRun);
    QVERIFY(firstRun != otherRun);
    // Roughly a fifth of the answers is lost at p = 0.2.
    QVERIFY(firstRun.count("no answer") > 2 && firstRun.count("no answer") < 25);
}

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
