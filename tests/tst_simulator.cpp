// The simulator: its slave's whole answers, framing, psychrometric values and fault plans; then
// the server on a real pseudo-terminal, read by the tool's master.
#include "modbusmasterthread.h"
#include "psychrometrics.h"
#include "simulatorserver.h"

#include <QtTest>

using namespace ModbusProtocol;

namespace {

// Frames in hex without their CRC, separated by '|'; an empty one stands for silence and a
// trailing '!' spoils the CRC. Returned with the CRC as spaced hex, for readable comparisons.
QStringList frames(const QString &hexes)
{
    QStringList result;
    for (const QString &hex : hexes.split('|')) {
        QByteArray frame = QByteArray::fromHex(hex.toLatin1());
        const quint16 crc = modbusCrc16(frame) ^ (hex.endsWith('!') ? 1 : 0);
        result << (frame.isEmpty() ? frame : frame.append(char(crc)).append(char(crc >> 8)))
                      .toHex(' ');
    }
    return result;
}

template<typename... Columns>
void addRow(const char *name, Columns... columns)
{
    (QTest::newRow(name) << ... << QString(columns));
}

// What a transmission puts on the line: its faults, then each chunk after its pause.
QString describe(const FaultInjector::Transmission &out)
{
    QString text = out.faults.join(',');
    for (const FaultInjector::Chunk &chunk : out.chunks)
        text += QString(" %1:%2").arg(chunk.delayMs).arg(QString(chunk.bytes.toHex()));
    return text;
}

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void answers_data()
    {
        // Requests to one slave at address 1 in turn, and its answers.
        QTest::addColumn<QString>("requests");
        QTest::addColumn<QString>("answers");
        addRow("FF 03 00 CD 00 01: at 255", "ff0300cd0001", "ff03020001");
        addRow("FF 03 00 00 00 02: 21.5 degC, low word first", "ff0300000002", "ff0304 0000 41ac");
        addRow("01 03 00 CD 00 01: at its own address", "010300cd0001", "0103020001");
        addRow("02 03 00 CD 00 01: at another slave", "020300cd0001", "");
        addRow("FF 03 00 CD 00 01 with a bad CRC", "ff0300cd0001!", "");
        addRow("FF 03 00 C8 00 0D: parameters, QV30, 2024-05-14, housing 1", "ff0300c8000d",
               "ff031a 0005 0000 0000 0000 0000 0001 0000 0000 0000 5156 3330 30ae 0001");
        addRow("function 3 past register 20, before 200, past 215",
               "ff0300140002|ff0300c70002|ff0300d70002", "ff8302|ff8302|ff8302");
        addRow("function 6: 38400 baud; baud-rate code 7, parity 3, stop bits 2, address 0, 248",
               "ff0600c80006|ff0600c80007|ff0600c90003|ff0600ca0002|ff0600cd0000|ff0600cd00f8",
               "ff0600c80006|ff8603|ff8603|ff8603|ff8603|ff8603");
        addRow("function 6 to register 203 and to the temperature", "ff0600cb0001|ff0600000001",
               "ff8602|ff8602");
        addRow("functions 4 and 16", "ff0400000001|ff1000c80001020005", "ff8401|ff9001");
        addRow("2400 baud, Odd, 2 stop bits, address 247 written, read there, no longer at 1",
               "ff0600c80002|ff0600c90002|ff0600ca0001|ff0600cd00f7|f70300c80006|010300c80006",
               "ff0600c80002|ff0600c90002|ff0600ca0001|ff0600cd00f7|f7030c 0002 0002 0001 0000 "
               "0000 00f7|");
    }

    void answers()
    {
        QFETCH(QString, requests);
        QFETCH(QString, answers);
        TransmitterSettings settings;
        settings.temperature = 21.5;
        settings.temperatureDrift = 0;
        TransmitterModel model(settings);
        RtuSlave slave(&model);
        QStringList answered;
        for (const QString &request : frames(requests))
            answered << slave.answer(QByteArray::fromHex(request.toLatin1())).toHex(' ');
        QCOMPARE(answered, frames(answers));
    }

    void framing_data()
    {
        // Chunks as "<microseconds>:<hex>", the line quiet after the last; at 19200 baud a frame
        // ends after 1750 us of silence, or as soon as it has the length its function implies.
        QTest::addColumn<QString>("chunks");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("dropped");
        addRow("read in three pieces", "0:ff0300 500:000015 1000:91db", "ff030000001591db", "");
        addRow("read and write back to back", "0:ff030000001591dbff0600c900018dea",
               "ff030000001591db|ff0600c900018dea", "");
        addRow("write multiple, its length from its byte count",
               "0:ff1000c80002 100:04000500010000ff030000001591db",
               "ff1000c8000204000500010000|ff030000001591db", "");
        addRow("unknown function, ended by the silence", "0:ff410102", "ff410102", "");
        addRow("broken request, silence, request", "0:ff03000000 3000:ff0600c900018dea",
               "ff0600c900018dea", "ff03000000");
    }

    void framing()
    {
        QFETCH(QString, chunks);
        FrameAssembler assembler(FrameAssembler::silenceForBaudRate(19200));
        QByteArrayList received;
        int time = 0;
        for (const QString &chunk : chunks.split(' ')) {
            time = chunk.section(':', 0, 0).toInt();
            received += assembler.lineQuiet(time - 1); // polled between chunks, as served
            received +=
                assembler.addBytes(QByteArray::fromHex(chunk.section(':', 1).toLatin1()), time);
        }
        received += assembler.lineQuiet(time + 10000);
        QStringList hexes;
        for (const QByteArray &frame : received)
            hexes << frame.toHex();
        QTEST(hexes.join('|'), "expected");
        QTEST(QString(assembler.takeDropped().toHex()), "dropped");
    }

    void psychrometrics()
    {
        // Published at 1013.25 hPa (ASHRAE Handbook - Fundamentals, table and chart), to their
        // digits.
        using Air = Psychrometrics::MoistAir;
        const struct
        {
            double celsius, humidity, Air::*quantity, published, tolerance;
        } table[] = {
            { 20, 50, &Air::dewPoint, 9.3, 0.05 }, { 20, 100, &Air::dewPoint, 20, 0.001 },
            { 25, 50, &Air::wetBulb, 17.9, 0.05 }, { 30, 50, &Air::mixingRatio, 13.3, 0.05 },
            { 30, 50, &Air::enthalpy, 64.3, 0.1 }, { 20, 100, &Air::absoluteHumidity, 17.3, 0.02 },
        };
        for (const auto &row : table) {
            const double computed =
                Psychrometrics::moistAir(row.celsius, row.humidity).*row.quantity;
            QVERIFY2(qAbs(computed - row.published) <= row.tolerance,
                     qPrintable(QString("%1 instead of %2").arg(computed).arg(row.published)));
        }
    }

    void faults_data()
    {
        // The line as "<faults> <pause>:<hex> ...": %1 the answer, %2 it without its CRC, %3 its
        // CRC, %4 it with a 7 ms gap allowed between any two bytes, %5 the exception answer.
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("pattern");
        QTest::newRow("no answer") << 0 << "^no answer$";
        QTest::newRow("bad CRC") << 1 << "^bad CRC 0:%2(?!%3)[0-9a-f]{4}$";
        QTest::newRow("exception") << 2 << "^exception 0:%5$";
        QTest::newRow("split in 2 to 4 chunks") << 3 << "^(?=.* 7:)(?!(.* 7:){4})split 0:%4$";
        QTest::newRow("delay") << 4 << "^delay 333:%1$";
        QTest::newRow("garbage, 1 to 8 bytes") << 5 << "^garbage 0:([0-9a-f]{2}){1,8}%1$";
    }

    void faults()
    {
        QFETCH(int, kind);
        QFETCH(QString, pattern);
        FaultSettings settings;
        settings.delayMs = 333;
        settings.splitGapMs = 7;
        double *const probability[] = { &settings.noAnswer, &settings.badCrc, &settings.exception,
                                        &settings.split,    &settings.delay,  &settings.garbage };
        *probability[kind] = 1;
        const QString hex = frames("ff03040000 41ac").first().remove(' ');
        const QString gaps = QString(hex).replace(QRegularExpression("(..)(?!$)"), "\\1(?: 7:)?");
        const QStringList parts = { hex, hex.chopped(4), hex.right(4), gaps,
                                    frames("ff8304").first().remove(' ') };
        for (int i = 0; i < parts.size(); ++i)
            pattern.replace(QString("%%1").arg(i + 1), parts.at(i));
        const QRegularExpression shape(pattern);
        const QByteArray answer = QByteArray::fromHex(hex.toLatin1());
        FaultInjector injector(settings, 5), replay(settings, 5);
        for (int round = 0; round < 20; ++round) {
            const QString line = describe(injector.apply(answer));
            QVERIFY2(shape.match(line).hasMatch(), qPrintable(line));
            QCOMPARE(describe(replay.apply(answer)), line); // the seed replays the faults
        }
        QCOMPARE(describe(injector.apply({})), QString()); // faults only spoil answers
    }

    void toolTransactionOnAPseudoTerminal()
    {
        SimulatorServer server { TransmitterSettings() };
        QVERIFY(server.start());
        ModbusMasterThread master;
        master.setPortName(server.portPath());
        QStringList got; // filled through queued links into this thread, as the window is
        connect(&master, &ModbusMasterThread::firmware, this, [&](QString id, int y, int m, int d) {
            got << QString("%1 %2-%3-%4").arg(id).arg(y).arg(m).arg(d);
        });
        connect(&master, &ModbusMasterThread::housing, this,
                [&](int i) { got << QString::number(i); });
        connect(&master, &QThread::finished, this, [&] { got << "end"; });
        master.readPersistentRegisters();
        QTRY_COMPARE_WITH_TIMEOUT(got, (QStringList { "QV30 2024-5-14", "1", "end" }), 10000);
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
