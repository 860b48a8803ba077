// The simulator's answers, framing, psychrometrics and faults; its line, units, turnaround and
// TCP listeners as clients meet them.
#include "modbusendpoint.h"
#include "modbusprotocol.h"
#include "psychrometrics.h"
#include "simulatorserver.h"

#include <QtTest>

#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// Requests (hex without CRC) through the tool's own endpoint at `line`, opened once; each
// answer as spaced hex, "CRC error" for a garbled one. An empty request gives the peer 50 ms.
// A 300 ms time-out, or the bench's six 50 ms receive passes.
QStringList ask(const QString &where, const QString &line, const QString &requests,
                bool bench = false)
{
    Endpoint endpoint;
    LineSettings settings;
    QString failure;
    if (!Endpoint::parse(where, &endpoint, &failure) || !LineSettings::parse(line, &settings))
        return { "bad endpoint or line " + failure };
    const auto way = ModbusEndpoint::create(endpoint, settings);
    if (!way->open(&failure))
        return { failure };
    QStringList answers;
    for (const QString &request : frames(requests)) {
        if (request.isEmpty()) {
            QTest::qWait(50);
            continue;
        }
        const ModbusTransaction t =
            way->exchange(QByteArray::fromHex(request.toLatin1()),
                          bench ? ReceiveTiming::bench() : ReceiveTiming::quick(300, settings));
        answers << (t.judgement.kind == ModbusProtocol::ResponseKind::CrcError
                        ? QString("CRC error")
                        : QString(t.answer.toHex(' ')));
    }
    return answers;
}

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
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
            // Over ice below 0 degC: saturated over ice at -10 (259.90 Pa, ASHRAE table 3), an
            // ice bulb stays at -10 (over water it would give -10.31).
            { -10, 100 * 259.90 / Psychrometrics::saturationPressureOverWater(-10), &Air::wetBulb,
              -10, 0.002 },
            // PsychroLib 1.1.1's GetTWetBulbFromHumRatio (over water it would give -6.33).
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

    // A turnaround that the tool's six 50 ms receive passes still wait for.
    void turnaroundWithinTheReceivePasses()
    {
        ServerSettings settings;
        settings.turnaroundMs = 200;
        QStringList traced;
        settings.trace = true;
        settings.traceOutput = [&traced](const QString &line) { traced << line; };
        SimulatorServer server(TransmitterSettings(), settings);
        QVERIFY(server.start());
        QCOMPARE(ask(server.portPath(), "19200-8N1", "ff0300cd0001", true), frames("ff03020001"));
        server.stop();
        // The trace's times: the request taken off the line, the answer's first byte sent.
        QCOMPARE(traced.size(), 2);
        const double delay = traced[1].section(' ', 0, 0, QString::SectionSkipEmpty).toDouble()
            - traced[0].section(' ', 0, 0, QString::SectionSkipEmpty).toDouble();
        QVERIFY2(delay >= 0.2 && delay < 0.25, qPrintable(traced.join('\n')));
    }

    // Requests on the pseudo-terminal at the sender's line settings, as the tool opens its port.
    void onTheLine_data()
    {
        // The simulator's line (19200-8N1 unless given); "immediately": written line settings and
        // address apply at once; "refuse from N": exception 04 from the Nth write on; "three
        // units": QV30 at 1, a legacy QV10 at 2 and QV30 at 3. Otherwise one QV30 at 1.
        QTest::addColumn<QString>("setup");
        // "[sender's line ]request>answer|...", hex without CRC, the line 19200-8N1 unless given; a
        // trailing '!' spoils the request's CRC; the answer "" for silence, or what the trace says
        // of a request not heard; "restart".
        QTest::addColumn<QString>("script");
        const auto row = [](const char *name, const QString &setup, const QString &script) {
            QTest::newRow(name) << setup << script;
        };
        row("address at 255, at 1; silent at 2 and for a bad CRC", "",
            "ff0300cd0001>ff03020001|010300cd0001>0103020001|020300cd0001>|ff0300cd0001!>");
        row("serial numbers low word first; QV30, 2024-05-14, housing 1", "",
            "ff0300060004>ff0308 f647 0140 f648 0140|ff0300d10004>ff0308 5156 3330 30ae 0001");
        row("01 for functions 4, 16; 02 past 20, before 200, past 215, writing 203, 0", "",
            "ff0400000001>ff8401|ff1000c80001020005>ff9001|ff0300140002>ff8302|ff0300c70002>"
            "ff8302|ff0300d70002>ff8302|ff0600cb0001>ff8602|ff0600000001>ff8602");
        row("38400 baud; 03 for baud-rate code 7, parity 3, stop bits 2, address 0, 248", "",
            "ff0600c80006>ff0600c80006|ff0600c80007>ff8603|ff0600c90003>ff8603|ff0600ca0002>"
            "ff8603|ff0600cd0000>ff8603|ff0600cd00f8>ff8603");
        row("broadcast to 0: parity Even and address 9 stored, never answered", "",
            "000600c90001>|000600cd0009>|010300c90005>01030a 0001 0000 0000 0000 0009");
        row("refused from the 3rd write on, an invalid one counted; the 1st kept", "refuse from 3",
            "ff0600c90001>ff0600c90001|ff0600c90009>ff8603|ff0600c90002>ff8604|ff0600ca0001>"
            "ff8604|ff0300c90002>ff03040001 0000");
        row("19200-8N1 hears its own setting, not another speed or stop bits", "",
            "ff0300cd0001>ff03020001|9600-8N1 ff0300cd0001>sender at 9600-8N1, line at 19200-8N1|"
            "19200-8N2 ff0300cd0001>sender at 19200-8N2, line at 19200-8N1");
        row("an even line: none is one and the same on a pty, odd is not heard", "9600-8E1",
            "9600-8N1 ff0300cd0001>ff03020001|9600-8O1 ff0300cd0001>sender at 9600-8O1, line at "
            "9600-8E1");
        row("an odd line with two stop bits at 38400: none is not heard", "38400-8O2",
            "38400-8O2 ff0300cd0001>ff03020001|38400-8N2 ff0300cd0001>sender at 38400-8N2, line "
            "at 38400-8O2");
        row("2400 8O2 and address 247 written: still at 1 until a restart, then at 247", "",
            "ff0600c80002>ff0600c80002|ff0600c90002>ff0600c90002|ff0600ca0001>ff0600ca0001|"
            "ff0600cd00f7>ff0600cd00f7|010300c80006>01030c 0002 0002 0001 0000 0000 00f7|"
            "f70300cd0001>|restart|2400-8O2 f70300cd0001>f7030200f7|2400-8O2 010300cd0001>");
        row("address 247 at once: the echo from 1, then answered at 247 only", "immediately",
            "010600cd00f7>010600cd00f7|010300cd0001>|f70300cd0001>f7030200f7");
        row("9600 baud written: at a restart", "",
            "010600c80004>010600c80004|010300cd0001>0103020001|9600-8N1 010300cd0001>sender at "
            "9600-8N1, line at 19200-8N1|restart|010300cd0001>sender at 19200-8N1, line at "
            "9600-8N1|9600-8N1 010300cd0001>0103020001");
        row("9600 baud written: at once, the echo still at 19200", "immediately",
            "010600c80004>010600c80004|010300cd0001>sender at 19200-8N1, line at 9600-8N1|"
            "9600-8N1 010300cd0001>0103020001|restart|9600-8N1 010300cd0001>0103020001");
        row("three units: each its own address and serial numbers, none at 4", "three units",
            "020300d20001>0203023130|030300d20001>0303023330|010300060004>010308f6470140f648"
            "0140|030300060004>030308fe170140fe180140|040300d20001>");
        row("three units: 255 garbled; a broadcast carried out by all, answered by none",
            "three units",
            "ff0300c80010>CRC error|000600c90001>|010300c90001>0103020001|020300c90001>"
            "0203020001");
    }

    void onTheLine()
    {
        QFETCH(QString, setup);
        QFETCH(QString, script);
        TransmitterSettings first;
        LineSettings line;
        if (LineSettings::parse(setup, &line))
            first.setLine(line);
        if (setup == "immediately")
            first.applySettings = TransmitterSettings::Apply::Immediately;
        if (setup.startsWith("refuse from ")) {
            first.refuseWrites = 4;
            first.refuseWritesFrom = setup.section(' ', -1).toInt();
        }
        TransmitterSettings legacy = first.another(1, 2);
        legacy.setFirmware(TransmitterSettings::Firmware::Legacy);
        ServerSettings settings;
        std::mutex mutex; // the trace comes from the server's thread
        QStringList notHeard;
        settings.trace = true;
        settings.traceOutput = [&](const QString &text) {
            const std::lock_guard<std::mutex> lock(mutex);
            notHeard << text.section("not heard: ", 1);
        };
        const QVector<TransmitterSettings> three { first, legacy, first.another(2, 3) };
        SimulatorServer server(
            setup == "three units" ? three : QVector<TransmitterSettings> { first }, settings);
        QVERIFY(server.start());
        QStringList got, expected;
        for (const QString &step : script.split('|')) {
            if (step == "restart") {
                server.restart();
                continue;
            }
            const QString request = step.section('>', 0, 0);
            const QString sender = request.contains(' ') ? request.section(' ', 0, 0) : "19200-8N1";
            QString answer = ask(server.portPath(), sender, request.section(' ', -1))[0];
            const std::lock_guard<std::mutex> lock(mutex);
            notHeard.removeAll(QString());
            got << (answer.isEmpty() ? notHeard.join('\n') : answer);
            notHeard.clear();
            const QString want = step.section('>', 1);
            expected << (want.contains("line at") || want.contains("CRC") ? want : frames(want)[0]);
        }
        QCOMPARE(got, expected);
    }

    // The tool's own endpoints against two units, and the simulator's listeners as their
    // clients meet them: an answer kept as the RTU frame it stands for, whatever the transport.
    void toolEndpoints_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("request"); // without CRC
        QTest::addColumn<QString>("expected");
        for (const QString kind : { "serial", "tcp", "rtu+tcp" }) {
            const auto row = [&](const char *name, const char *request, const QString &answer) {
                QTest::addRow("%s: %s", qPrintable(kind), name) << kind << request << answer;
            };
            row("unit 1", "010300cd0001", frames("0103020001")[0]);
            row("unit 2", "020300cd0001", frames("0203020002")[0]);
            row("no unit 3: silence", "030300cd0001", "");
            row("an exception from unit 2", "020300140002", frames("028302")[0]);
            // A Modbus TCP gateway drops the garbled answer that the line carries.
            row("255 to both", "ff0300cd0001", kind == "tcp" ? "" : "ff 03 02 00 03 50 51");
        }
    }

    void toolEndpoints()
    {
        QFETCH(QString, kind);
        QFETCH(QString, request);
        QFETCH(QString, expected);
        ServerSettings settings;
        settings.listeners = { { ServerSettings::Listener::Kind::ModbusTcp, 0 },
                               { ServerSettings::Listener::Kind::RtuOverTcp, 0 } };
        TransmitterSettings first;
        SimulatorServer server({ first, first.another(1, 2) }, settings);
        QVERIFY(server.start());
        // Reached where the simulator says it listens, as its users read it.
        const QStringList listening = server.listening();
        QCOMPARE(listening.join(' ').remove(QRegularExpression(":\\d+(?= |$)")),
                 "tcp:127.0.0.1 rtu-tcp:127.0.0.1");
        const QString where = kind == "serial"
            ? server.portPath()
            : kind + "://" + listening[kind == "tcp" ? 0 : 1].section(':', 1);
        // Twice on one opening (a kept connection serves the next transaction too), then a
        // second client.
        const QStringList got =
            ask(where, "19200-8N1", request + '|' + request) + ask(where, "19200-8N1", request);
        QCOMPARE(got, QStringList({ expected, expected, expected }));
    }

    // A gateway that drops the connection between two requests: the next request connects
    // again and is answered, instead of failing the poll.
    void tcpConnectionMadeAgain()
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0
                && ::listen(listener, 2) == 0);
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        std::thread gateway([listener] { // per connection: one request echoed (a write's), closed
            for (int connection = 0; connection < 2; ++connection) {
                const int c = ::accept(listener, nullptr, nullptr);
                char request[260];
                const ssize_t n = ::recv(c, request, sizeof request, 0);
                if (n > 0)
                    (void)!::send(c, request, size_t(n), MSG_NOSIGNAL);
                ::close(c);
            }
        });
        // On one opening, the gateway given the time to close its end between the two.
        const QStringList got = ask(QString("tcp://127.0.0.1:%1").arg(ntohs(address.sin_port)),
                                    "19200-8N1", "ff0600cd0007||ff0600cd0007");
        gateway.join();
        ::close(listener);
        const QString write = frames("ff0600cd0007")[0];
        QCOMPARE(got, QStringList({ write, write }));
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
