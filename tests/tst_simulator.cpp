// The simulator's answers, framing, psychrometrics and faults.
#include "modbusprotocol.h"
#include "psychrometrics.h"
#include "simulatorserver.h"

#include <QtTest>

namespace {

// Frames in hex without their CRC, separated by '|'; an empty one stands for silence and a
// trailing '!' spoils the CRC. Returned with the CRC as spaced hex, for readable comparisons.
QStringList frames(const QString &hexes)
{
    QStringList result;
    for (const QString &hex : hexes.split('|')) {
        QByteArray frame = QByteArray::fromHex(hex.toLatin1());
        const quint16 crc = modbusCrc16(frame) ^ hex.endsWith('!');
        result << (frame.isEmpty() ? frame : frame.append(char(crc)).append(char(crc >> 8)))
                      .toHex(' ');
    }
    return result;
}

const QByteArray answer = QByteArray::fromHex(frames("ff03040000 41ac")[0].toLatin1());

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void answers_data()
    {
        QTest::addColumn<QString>("exchanges"); // "<request>><answer>|...", to one slave at 1
        QTest::newRow("address at 255, at 1; silent at 2 and for a bad CRC")
            << "ff0300cd0001>ff03020001|010300cd0001>0103020001|020300cd0001>|ff0300cd0001!>";
        QTest::newRow("serial numbers low word first; QV30, 2024-05-14, housing 1")
            << "ff0300060004>ff0308 f647 0140 f648 0140|ff0300d10004>ff0308 5156 3330 30ae 0001";
        QTest::newRow("01 for functions 4, 16; 02 past 20, before 200, past 215, writing 203, 0")
            << "ff0400000001>ff8401|ff1000c80001020005>ff9001|ff0300140002>ff8302|ff0300c70002>"
               "ff8302|ff0300d70002>ff8302|ff0600cb0001>ff8602|ff0600000001>ff8602";
        QTest::newRow("38400 baud; 03 for baud-rate code 7, parity 3, stop bits 2, address 0, 248")
            << "ff0600c80006>ff0600c80006|ff0600c80007>ff8603|ff0600c90003>ff8603|ff0600ca0002>"
               "ff8603|ff0600cd0000>ff8603|ff0600cd00f8>ff8603";
        QTest::newRow("2400 baud, Odd, 2 stop bits, address 247 written, read there, not at 1")
            << "ff0600c80002>ff0600c80002|ff0600c90002>ff0600c90002|ff0600ca0001>ff0600ca0001|"
               "ff0600cd00f7>ff0600cd00f7|f70300c80006>f7030c 0002 0002 0001 0000 0000 00f7|"
               "010300c80006>";
        QTest::newRow("broadcast to 0: parity Even and address 9 carried out, never answered")
            << "000600c90001>|000600cd0009>|090300c90001>09030200 01";
    }

    void answers()
    {
        QFETCH(QString, exchanges);
        TransmitterModel model;
        RtuSlave slave(&model);
        QStringList answered, expected;
        for (QString exchange : exchanges.split('|')) {
            const QStringList pair = frames(exchange.replace('>', '|'));
            answered << slave.answer(QByteArray::fromHex(pair[0].toLatin1())).toHex(' ');
            expected << pair[1];
        }
        QCOMPARE(answered, expected);
    }

    void framing()
    {
        // Chunks "<microseconds>:<hex>": a read in pieces, a write at once, function 16 ended by
        // its byte count, function 65 by 1750 us of silence (19200 baud), then a broken request.
        const QString chunks =
            "0:ff0300 500:000015 1000:91dbff0600c900018deaff1000c80002 "
            "1100:0400050001 1200:0000ff410102 5000:ff03000000 9000:ff0600c900018dea";
        FrameAssembler assembler(FrameAssembler::silenceForBaudRate(19200));
        QByteArrayList got;
        int time = 0;
        for (const QString &chunk : chunks.split(' ')) {
            time = chunk.section(':', 0, 0).toInt();
            got += assembler.lineQuiet(time - 1); // polled between chunks, as served
            got += assembler.addBytes(QByteArray::fromHex(chunk.section(':', 1).toLatin1()), time);
        }
        got += assembler.lineQuiet(time + 10000);
        QStringList hexes;
        for (const QByteArray &frame : got)
            hexes << frame.toHex();
        QCOMPARE(hexes.join('|') + " dropped " + assembler.takeDropped().toHex(),
                 "ff030000001591db|ff0600c900018dea|ff1000c8000204000500010000|ff410102|"
                 "ff0600c900018dea dropped ff03000000");
    }

    void psychrometrics()
    {
        // Published at 1013.25 hPa (ASHRAE Handbook - Fundamentals), to their digits.
        using Air = Psychrometrics::MoistAir;
        const std::tuple<double, double, double Air::*, double, double> table[] = {
            { 20, 50, &Air::dewPoint, 9.3, 0.05 },
            { 20, 100, &Air::dewPoint, 20, 0.001 },
            { 25, 50, &Air::wetBulb, 17.9, 0.05 },
            { 30, 50, &Air::mixingRatio, 13.3, 0.05 },
            { 30, 50, &Air::enthalpy, 64.3, 0.1 },
            { 20, 100, &Air::absoluteHumidity, 17.3, 0.02 },
            // Below 0 degC, over ice. Air at -10 degC holding 259.90 Pa of vapour is saturated
            // over ice (ASHRAE Fundamentals, chapter 1, table 3), so an ice bulb in it neither
            // gains nor loses vapour and stays at -10; the calculation over water would give
            // -10.31. Its 0.002 K is 0.05 % r.H.; the table value is given to 0.004 %.
            { -10, 100 * 259.90 / Psychrometrics::saturationPressureOverWater(-10), &Air::wetBulb,
              -10, 0.002 },
            // -5 degC, 70 % over water: -6.1763 from PsychroLib 1.1.1 (Meyer and Thevenard 2019,
            // GetTWetBulbFromHumRatio at 101325 Pa), within its 0.001 K convergence; over water
            // the result would be -6.33.
            { -5, 70, &Air::wetBulb, -6.1763, 0.002 },
        };
        for (const auto &[celsius, humidity, quantity, published, within] : table) {
            const double computed = Psychrometrics::moistAir(celsius, humidity).*quantity;
            QVERIFY2(qAbs(computed - published) <= within, qPrintable(QString::number(computed)));
        }
    }

    void faults_data()
    {
        // What a transmission puts on the line: "<faults> <pause>:<hex> ...".
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("pattern");
        const QString a = answer.toHex(),
                      gaps = QString(a).replace(QRegularExpression("(..)(?!$)"), "\\1(?: 7:)?");
        QTest::newRow("no answer") << 0 << "^no answer$";
        QTest::newRow("bad CRC") << 1
                                 << "^bad CRC 0:" + a.chopped(4) + "(?!" + a.right(4) + ")....$";
        QTest::newRow("exception") << 2 << "^exception 0:" + frames("ff8304")[0].remove(' ') + '$';
        QTest::newRow("split in 2 to 4") << 3 << "^(?=.* 7:)(?!(.* 7:){4})split 0:" + gaps + '$';
        QTest::newRow("delay") << 4 << "^delay 333:" + a + '$';
        QTest::newRow("garbage, 1 to 8 bytes") << 5 << "^garbage 0:([0-9a-f]{2}){1,8}" + a + '$';
    }

    void faults()
    {
        QFETCH(int, kind);
        QFETCH(QString, pattern);
        const auto p = [&](int k) { return k == kind ? 1.0 : 0.0; };
        const FaultSettings settings { p(0), p(1), p(2), p(3), p(4), p(5), 333, 7 };
        const auto line = [](const FaultInjector::Transmission &out) {
            QString text = out.faults.join(',');
            for (const FaultInjector::Chunk &chunk : out.chunks)
                text += QString(" %1:%2").arg(chunk.delayMs).arg(QString(chunk.bytes.toHex()));
            return text;
        };
        FaultInjector injector(settings, 5), replay(settings, 5);
        for (int round = 0; round < 20; ++round) {
            const QString got = line(injector.apply(answer));
            QVERIFY2(QRegularExpression(pattern).match(got).hasMatch(), qPrintable(got));
            QCOMPARE(line(replay.apply(answer)), got); // the seed replays the faults
        }
        QCOMPARE(line(injector.apply({})), QString()); // faults only spoil answers
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
