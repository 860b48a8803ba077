// The simulator's answers, framing, psychrometrics and faults; its line, units, turnaround and
// TCP listeners as clients meet them.
#include "modbusendpoint.h"
#include "modbusmasterthread.h"
#include "modbusprotocol.h"
#include "psychrometrics.h"
#include "simulatorserver.h"

#include <QSerialPort>
#include <QtTest>

#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
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

QByteArray bytes(const QString &spacedHex)
{
    return QByteArray::fromHex(spacedHex.toLatin1());
}

// What came back within `waitMs`: an answer ends when its CRC checks (RTU) or its MBAP length is
// complete (Modbus TCP), so only silence waits the whole time.
template<typename Read>
QByteArray collect(Read read, bool mbap, int waitMs)
{
    QByteArray got;
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const auto complete = [&] {
            return mbap
                ? got.size() >= 7 && got.size() >= 6 + (quint8(got[4]) << 8 | quint8(got[5]))
                : got.size() >= 4 && modbusCrc16(got) == 0;
        };
        if (complete() || timer.elapsed() >= waitMs || !read(&got, waitMs - int(timer.elapsed())))
            return got;
    }
}

// One request on a port opened at `line` ("9600-8E1"), as the tool opens one per transaction.
QByteArray exchange(const QString &port, const QString &line, const QByteArray &request,
                    int waitMs = 300)
{
    LineSettings settings;
    if (!LineSettings::parse(line, &settings))
        return "bad line";
    QSerialPort serial(port);
    serial.setBaudRate(settings.baudRate);
    serial.setParity(settings.parity == LineSettings::Parity::Odd        ? QSerialPort::OddParity
                         : settings.parity == LineSettings::Parity::Even ? QSerialPort::EvenParity
                                                                         : QSerialPort::NoParity);
    serial.setStopBits(settings.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    if (!serial.open(QIODevice::ReadWrite))
        return "not opened";
    serial.write(request);
    serial.flush();
    return collect(
        [&](QByteArray *got, int ms) {
            if (serial.bytesAvailable() == 0 && !serial.waitForReadyRead(ms))
                return false;
            *got += serial.readAll();
            return true;
        },
        false, waitMs);
}

// One request over a fresh TCP connection to the loopback address.
QByteArray exchangeTcp(quint16 port, const QByteArray &request, bool mbap)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray got = "not connected";
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::send(fd, request.constData(), size_t(request.size()), 0) == request.size()) {
        got = collect(
            [fd](QByteArray *got, int ms) {
                pollfd in { fd, POLLIN, 0 };
                char buffer[300];
                const ssize_t count =
                    ::poll(&in, 1, ms) > 0 ? ::read(fd, buffer, sizeof buffer) : 0;
                got->append(buffer, int(qMax<ssize_t>(count, 0)));
                return count > 0;
            },
            mbap, 1000);
    }
    ::close(fd);
    return got;
}

} // namespace

class TestSimulator : public QObject
{
    Q_OBJECT

private slots:
    void answers_data()
    {
        // "<request>><answer>|...", to one slave at 1; "restart" restarts it.
        QTest::addColumn<QString>("exchanges");
        QTest::addColumn<bool>("immediately"); // written line settings and address apply at once
        QTest::addColumn<int>("refuseFrom");   // the first write refused with exception 04; 0: none
        QTest::newRow("address at 255, at 1; silent at 2 and for a bad CRC")
            << "ff0300cd0001>ff03020001|010300cd0001>0103020001|020300cd0001>|ff0300cd0001!>"
            << false << 0;
        QTest::newRow("serial numbers low word first; QV30, 2024-05-14, housing 1")
            << "ff0300060004>ff0308 f647 0140 f648 0140|ff0300d10004>ff0308 5156 3330 30ae 0001"
            << false << 0;
        QTest::newRow("01 for functions 4, 16; 02 past 20, before 200, past 215, writing 203, 0")
            << "ff0400000001>ff8401|ff1000c80001020005>ff9001|ff0300140002>ff8302|ff0300c70002>"
               "ff8302|ff0300d70002>ff8302|ff0600cb0001>ff8602|ff0600000001>ff8602"
            << false << 0;
        QTest::newRow("38400 baud; 03 for baud-rate code 7, parity 3, stop bits 2, address 0, 248")
            << "ff0600c80006>ff0600c80006|ff0600c80007>ff8603|ff0600c90003>ff8603|ff0600ca0002>"
               "ff8603|ff0600cd0000>ff8603|ff0600cd00f8>ff8603"
            << false << 0;
        QTest::newRow("2400 8O2 and address 247 stored: still at 1 until a restart, then at 247")
            << "ff0600c80002>ff0600c80002|ff0600c90002>ff0600c90002|ff0600ca0001>ff0600ca0001|"
               "ff0600cd00f7>ff0600cd00f7|010300c80006>01030c 0002 0002 0001 0000 0000 00f7|"
               "f70300cd0001>|restart|f70300cd0001>f7030200f7|010300cd0001>"
            << false << 0;
        QTest::newRow("address 247 at once: the echo from 1, then answered at 247 only")
            << "010600cd00f7>010600cd00f7|010300cd0001>|f70300cd0001>f7030200f7" << true << 0;
        QTest::newRow("broadcast to 0: parity Even and address 9 stored, never answered")
            << "000600c90001>|000600cd0009>|010300c90005>01030a 0001 0000 0000 0000 0009" << false
            << 0;
        QTest::newRow("refused from the 3rd write on, an invalid one counted; the 1st kept")
            << "ff0600c90001>ff0600c90001|ff0600c90009>ff8603|ff0600c90002>ff8604|ff0600ca0001>"
               "ff8604|ff0300c90002>ff03040001 0000"
            << false << 3;
    }

    void answers()
    {
        QFETCH(QString, exchanges);
        QFETCH(bool, immediately);
        QFETCH(int, refuseFrom);
        TransmitterSettings settings;
        if (immediately)
            settings.applySettings = TransmitterSettings::Apply::Immediately;
        settings.refuseWrites = refuseFrom ? 4 : 0;
        settings.refuseWritesFrom = refuseFrom;
        TransmitterModel model(settings);
        RtuSlave slave(&model);
        QStringList answered, expected;
        for (QString exchange : exchanges.split('|')) {
            if (exchange == "restart") {
                model.restart();
                continue;
            }
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

    // A turnaround that the tool's six 50 ms receive passes still wait for.
    void turnaroundWithinTheReceivePasses()
    {
        const int turnaroundMs = 200;
        ServerSettings settings;
        settings.turnaroundMs = turnaroundMs;
        QStringList traced;
        settings.trace = true;
        settings.traceOutput = [&traced](const QString &line) { traced << line; };
        SimulatorServer server(TransmitterSettings(), settings);
        QVERIFY(server.start());
        ModbusMasterThread master;
        master.setPortName(server.portPath());
        QStringList got; // filled through queued links into this thread, as the window is
        connect(&master, &ModbusMasterThread::housing, this,
                [&](int i) { got << QString::number(i); });
        connect(&master, &QThread::finished, this, [&] { got << "end"; });
        master.readPersistentRegisters();
        QTRY_COMPARE_WITH_TIMEOUT(got, (QStringList { "1", "end" }), 10000);
        server.stop();
        // The trace's times: the request taken off the line, the answer's first byte sent.
        QCOMPARE(traced.size(), 2);
        const double delay = traced[1].section(' ', 0, 0, QString::SectionSkipEmpty).toDouble()
            - traced[0].section(' ', 0, 0, QString::SectionSkipEmpty).toDouble();
        QVERIFY2(delay >= turnaroundMs / 1000.0 && delay < turnaroundMs / 1000.0 + 0.05,
                 qPrintable(traced.join('\n')));
    }

    void lineEnforcement_data()
    {
        QTest::addColumn<QString>("line");   // the simulator's
        QTest::addColumn<QString>("sender"); // the port's, as the client opens it
        QTest::addColumn<QString>("trace");  // what the trace says of it; empty when heard
        QTest::newRow("bench default") << "19200-8N1"
                                       << "19200-8N1"
                                       << "";
        QTest::newRow("none sent to an even line: one and the same on a pty") << "9600-8E1"
                                                                              << "9600-8N1"
                                                                              << "";
        QTest::newRow("odd with two stop bits at 38400") << "38400-8O2"
                                                         << "38400-8O2"
                                                         << "";
        QTest::newRow("speed") << "19200-8N1"
                               << "9600-8N1"
                               << "not heard: sender at 9600-8N1, line at 19200-8N1";
        QTest::newRow("stop bits") << "19200-8N1"
                                   << "19200-8N2"
                                   << "not heard: sender at 19200-8N2, line at 19200-8N1";
        QTest::newRow("odd sent to an even line")
            << "19200-8E1"
            << "19200-8O1"
            << "not heard: sender at 19200-8O1, line at 19200-8E1";
        QTest::newRow("none sent to an odd line")
            << "19200-8O1"
            << "19200-8N1"
            << "not heard: sender at 19200-8N1, line at 19200-8O1";
    }

    void lineEnforcement()
    {
        QFETCH(QString, line);
        QFETCH(QString, sender);
        QFETCH(QString, trace);
        TransmitterSettings transmitter;
        LineSettings settings;
        QVERIFY(LineSettings::parse(line, &settings));
        transmitter.setLine(settings);
        ServerSettings server;
        QStringList traced;
        server.trace = true;
        server.traceOutput = [&traced](const QString &text) { traced << text.mid(13); };
        SimulatorServer simulator(transmitter, server);
        QVERIFY(simulator.start());
        const QByteArray request = bytes(frames("ff0300cd0001")[0]);
        const QString answer = exchange(simulator.portPath(), sender, request).toHex(' ');
        simulator.stop();
        QCOMPARE(answer, trace.isEmpty() ? frames("ff03020001")[0] : QString());
        QCOMPARE(traced.filter("not heard").join('\n'), trace);
    }

    void applyLineSettings_data()
    {
        QTest::addColumn<bool>("immediately");
        QTest::addColumn<QString>("write"); // without its CRC, sent at 19200-8N1
        QTest::addColumn<QString>(
            "after"); // "<line> <address>" at which the write means it to answer
        // Which of "before" (19200-8N1 at 1) and "after" answer: after the write, after a restart.
        QTest::addColumn<QString>("heard");
        QTest::newRow("9600 baud at a restart") << false << "010600c80004"
                                                << "9600-8N1 1"
                                                << "before | after";
        QTest::newRow("9600 baud at once, the echo still at 19200") << true << "010600c80004"
                                                                    << "9600-8N1 1"
                                                                    << "after | after";
        QTest::newRow("address 17 at a restart") << false << "010600cd0011"
                                                 << "19200-8N1 17"
                                                 << "before | after";
        QTest::newRow("address 17 at once, the echo still from 1") << true << "010600cd0011"
                                                                   << "19200-8N1 17"
                                                                   << "after | after";
    }

    void applyLineSettings()
    {
        QFETCH(bool, immediately);
        QFETCH(QString, write);
        QFETCH(QString, after);
        QFETCH(QString, heard);
        TransmitterSettings transmitter;
        if (immediately)
            transmitter.applySettings = TransmitterSettings::Apply::Immediately;
        SimulatorServer server { transmitter };
        QVERIFY(server.start());
        const QByteArray request = bytes(frames(write)[0]);
        QCOMPARE(exchange(server.portPath(), "19200-8N1", request), request);
        const auto answering = [&] {
            QStringList which;
            for (const QString &at : { QStringLiteral("19200-8N1 1"), after }) {
                const int address = at.section(' ', 1).toInt();
                const QByteArray read =
                    bytes(frames(QString("%1 0300cd0001").arg(address, 2, 16, QChar('0')))[0]);
                if (!exchange(server.portPath(), at.section(' ', 0, 0), read).isEmpty())
                    which << (at == after ? "after" : "before");
            }
            return which.join(' ');
        };
        const QString written = answering();
        server.restart();
        QCOMPARE(written + " | " + answering(), heard);
    }

    void severalUnits_data()
    {
        QTest::addColumn<QString>("requests"); // without CRC, separated by '|'
        QTest::addColumn<QString>("answers");  // the same; a garbled 37-byte block as "CRC error"
        QTest::newRow("each its own address: unit 2 is QV10, unit 3 QV30")
            << "020300d20001|030300d20001"
            << "020302 3130|030302 3330";
        QTest::newRow("serial numbers a thousand apart")
            << "010300060004|030300060004"
            << "010308 f647 0140 f648 0140|030308 fe17 0140 fe18 0140";
        QTest::newRow("no unit at 4: silence") << "040300d20001"
                                               << "";
        QTest::newRow("255 to three units: their blocks at once, a CRC error") << "ff0300c80010"
                                                                               << "CRC error";
        QTest::newRow("broadcast parity Even: carried out by all, answered by none")
            << "000600c90001|010300c90001|020300c90001"
            << "|0103020001|0203020001";
    }

    void severalUnits()
    {
        QFETCH(QString, requests);
        QFETCH(QString, answers);
        TransmitterSettings first;
        TransmitterSettings legacy = first.another(1, 2);
        legacy.setFirmware(TransmitterSettings::Firmware::Legacy);
        SimulatorServer server({ first, legacy, first.another(2, 3) }, ServerSettings());
        QVERIFY(server.start());
        QStringList got;
        for (const QString &request : frames(requests)) {
            const QByteArray answer = exchange(server.portPath(), "19200-8N1", bytes(request));
            got << (ModbusProtocol::judgeResponse(answer).kind
                            == ModbusProtocol::ResponseKind::CrcError
                        ? QString("CRC error")
                        : QString(answer.toHex(' ')));
        }
        QCOMPARE(got, answers == "CRC error" ? QStringList { answers } : frames(answers));
    }

    void tcpListeners_data()
    {
        QTest::addColumn<bool>("mbap");        // Modbus TCP; otherwise RTU frames over TCP
        QTest::addColumn<QString>("requests"); // each on a connection of its own, '|' between
        QTest::addColumn<QString>("expected"); // RTU frames here without their CRC
        QTest::newRow("Modbus TCP: two clients one after another, transaction ids echoed")
            << true << "1234 0000 0006 01 0300cd0001|abcd 0000 0006 02 0300cd0001"
            << "1234 0000 0005 01 03020001|abcd 0000 0005 02 03020002";
        QTest::newRow("Modbus TCP: an exception, unit 2") << true << "0007 0000 0006 02 0300140002"
                                                          << "0007 0000 0003 02 8302";
        QTest::newRow("Modbus TCP: 255 to both, the gateway drops the garbled answer")
            << true << "0001 0000 0006 ff 0300cd0001"
            << "";
        QTest::newRow("RTU over TCP: units 1 and 2") << false << "010300cd0001|020300cd0001"
                                                     << "0103020001 7984|0203020002 7d85";
        // ff03020001 5050 and ff03020002 1051 OR-ed: the CRC no longer checks.
        QTest::newRow("RTU over TCP: 255 to both arrives garbled") << false << "ff0300cd0001"
                                                                   << "ff03020003 5051";
    }

    void tcpListeners()
    {
        QFETCH(bool, mbap);
        QFETCH(QString, requests);
        QFETCH(QString, expected);
        ServerSettings settings;
        settings.listeners = { { ServerSettings::Listener::Kind::ModbusTcp, 0 },
                               { ServerSettings::Listener::Kind::RtuOverTcp, 0 } };
        TransmitterSettings first;
        SimulatorServer server({ first, first.another(1, 2) }, settings);
        QVERIFY(server.start());
        QVERIFY(server.listenTcpPort() != 0 && server.listenRtuTcpPort() != 0);
        QCOMPARE(server.listening(),
                 QStringList({ QString("tcp:127.0.0.1:%1").arg(server.listenTcpPort()),
                               QString("rtu-tcp:127.0.0.1:%1").arg(server.listenRtuTcpPort()) }));
        const QStringList sent = mbap ? requests.split('|') : frames(requests);
        QStringList got;
        for (const QString &request : sent)
            got << exchangeTcp(mbap ? server.listenTcpPort() : server.listenRtuTcpPort(),
                               bytes(request), mbap)
                       .toHex(' ');
        QStringList want = expected.split('|');
        for (QString &frame : want)
            frame = bytes(frame).toHex(' ');
        QCOMPARE(got, want);
    }

    // The tool's own endpoints against two units: each unit answers its own address through
    // every transport, an absent one is silence, and the answers judge and decode alike.
    void toolEndpoints_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("unit");
        QTest::addColumn<QString>("expected"); // judgement kind, length, decoded address
        for (const char *kind : { "serial", "tcp", "rtu+tcp" }) {
            QTest::newRow(qPrintable(QString(kind) + ": unit 2"))
                << kind << 2 << "PersistentBlock 37 2";
            QTest::newRow(qPrintable(QString(kind) + ": unit 1"))
                << kind << 1 << "PersistentBlock 37 1";
            QTest::newRow(qPrintable(QString(kind) + ": no unit 3")) << kind << 3 << "NoAnswer 0 0";
        }
    }
    void toolEndpoints()
    {
        using namespace ModbusProtocol;
        QFETCH(QString, kind);
        QFETCH(int, unit);
        ServerSettings settings;
        settings.listeners = { { ServerSettings::Listener::Kind::ModbusTcp, 0 },
                               { ServerSettings::Listener::Kind::RtuOverTcp, 0 } };
        TransmitterSettings first;
        SimulatorServer server({ first, first.another(1, 2) }, settings);
        QVERIFY(server.start());
        const QString text = kind == "serial" ? server.portPath()
            : kind == "tcp" ? QString("tcp://127.0.0.1:%1").arg(server.listenTcpPort())
                            : QString("rtu+tcp://127.0.0.1:%1").arg(server.listenRtuTcpPort());
        Endpoint endpoint;
        QVERIFY(Endpoint::parse(text, &endpoint));
        const auto way = ModbusEndpoint::create(endpoint, LineSettings());
        QString failure;
        QVERIFY2(way->open(&failure), qPrintable(failure));
        // Twice on one opening: a kept connection serves the next transaction too.
        for (int i = 0; i < 2; ++i) {
            const ModbusTransaction t =
                way->exchange(readHoldingRegistersFrame(persistentFirstRegister,
                                                        persistentRegisterCount, quint8(unit)),
                              ReceiveTiming::quick(200, LineSettings()));
            const char *kinds[] = {
                "NoAnswer", "VolatileBlock", "PersistentBlock",  "WriteEcho",
                "CrcError", "Exception",     "UnexpectedLength", "PortFailure"
            };
            QTEST(QString("%1 %2 %3")
                      .arg(kinds[int(t.judgement.kind)])
                      .arg(t.judgement.length)
                      .arg(t.judgement.persistentValues.address),
                  "expected");
        }
    }

    // A gateway that drops the connection between two requests: the next request connects
    // again and is answered, instead of failing the poll.
    void tcpConnectionMadeAgain()
    {
        using namespace ModbusProtocol;
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0);
        QVERIFY(::listen(listener, 2) == 0);
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        // Each connection: one request, the echo of a write as its answer, then closed.
        std::thread gateway([listener] {
            for (int connection = 0; connection < 2; ++connection) {
                const int c = ::accept(listener, nullptr, nullptr);
                char request[260];
                const ssize_t n = ::recv(c, request, sizeof request, 0);
                if (n > 0)
                    (void)!::send(c, request, size_t(n), MSG_NOSIGNAL);
                ::close(c);
            }
        });
        Endpoint endpoint;
        QVERIFY(
            Endpoint::parse(QString("tcp://127.0.0.1:%1").arg(ntohs(address.sin_port)), &endpoint));
        const auto way = ModbusEndpoint::create(endpoint, LineSettings());
        QString failure;
        QVERIFY(way->open(&failure));
        QStringList kinds;
        for (int i = 0; i < 2; ++i) {
            const ModbusTransaction t =
                way->exchange(writeSingleRegisterFrame(addressRegister, 7, 1),
                              ReceiveTiming::quick(500, LineSettings()));
            kinds << QString::number(int(t.judgement.kind));
            QTest::qWait(50); // the gateway closes its end
        }
        gateway.join();
        ::close(listener);
        const QString echo = QString::number(int(ResponseKind::WriteEcho));
        QCOMPARE(kinds, QStringList({ echo, echo }));
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
