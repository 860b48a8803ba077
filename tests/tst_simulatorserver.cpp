// The simulator served from its own thread on a real pseudo-terminal, talked to as a serial port:
// by a raw descriptor (the way every serial client does) and by the tool's own master thread.
#include "modbusmasterthread.h"
#include "modbusprotocol.h"
#include "simulatorserver.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace ModbusProtocol;

namespace {

TransmitterSettings steadySettings()
{
    TransmitterSettings settings;
    settings.temperature = 21.5;
    settings.temperatureDrift = 0;
    settings.humidityDrift = 0;
    return settings;
}

// A client end of the line, opened and closed per transaction like the tool does.
class Client
{
public:
    explicit Client(const QString &path)
    {
        fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios line;
        if (fd >= 0 && tcgetattr(fd, &line) == 0) {
            cfmakeraw(&line);
            cfsetspeed(&line, B19200);
            tcsetattr(fd, TCSANOW, &line);
        }
    }
    ~Client()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool isOpen() const { return fd >= 0; }
    bool readable(int timeoutMs) const
    {
        pollfd in { fd, POLLIN, 0 };
        return ::poll(&in, 1, timeoutMs) > 0;
    }
    bool send(const QByteArray &request) const
    {
        return ::write(fd, request.constData(), size_t(request.size())) == request.size();
    }
    // Everything that arrives until `length` bytes are in or the line stays quiet for 1 s.
    QByteArray receive(int length) const
    {
        QByteArray answer;
        char buffer[256];
        while (answer.size() < length && readable(1000)) {
            const ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count <= 0)
                break;
            answer.append(buffer, int(count));
        }
        return answer;
    }

private:
    int fd = -1;
};

} // namespace

class TestSimulatorServer : public QObject
{
    Q_OBJECT

private slots:
    void servesClientsThatComeAndGo();
    void uncollectedAnswerIsDropped();
    void stopEndsADelayedAnswer();
    void toolTransactionReadsAndWrites();

private:
    QTemporaryDir directory;
};

void TestSimulatorServer::servesClientsThatComeAndGo()
{
    std::mutex traceMutex;
    QStringList trace;
    ServerSettings serverSettings;
    serverSettings.linkPath = directory.filePath("port");
    serverSettings.trace = true;
    serverSettings.traceOutput = [&](const QString &line) {
        std::lock_guard<std::mutex> lock(traceMutex);
        trace << line;
    };
    TransmitterSettings settings = steadySettings();
    settings.address = 17;
    SimulatorServer server(settings, serverSettings);
    QString error;
    QVERIFY2(server.start(&error), qPrintable(error));
    QVERIFY(server.portPath().startsWith("/dev/pts/"));
    QCOMPARE(QFileInfo(serverSettings.linkPath).symLinkTarget(), server.portPath());

    // Every transaction on a fresh open, at 255 and at the own address, like the tool and peers.
    for (int round = 0; round < 3; ++round) {
        Client client(serverSettings.linkPath);
        QVERIFY(client.isOpen());
        QVERIFY(client.send(readHoldingRegistersFrame(0, 21)));
        const QByteArray answer = client.receive(volatileAnswerLength);
        QCOMPARE(judgeResponse(answer), ResponseKind::VolatileBlock);
        QCOMPARE(decodeVolatileValues(answer).temperature, 21.5f);
    }
    {
        Client client(serverSettings.linkPath);
        QVERIFY(client.send(writeSingleRegisterFrame(parityRegister, 1)));
        QCOMPARE(client.receive(writeEchoLength), writeSingleRegisterFrame(parityRegister, 1));
        QByteArray ownAddress = readHoldingRegistersFrame(200, 16);
        ownAddress[0] = char(17);
        const quint16 crc = modbusCrc16(ownAddress.left(6));
        ownAddress[6] = char(crc & 0xFF);
        ownAddress[7] = char(crc >> 8);
        QVERIFY(client.send(ownAddress));
        const QByteArray answer = client.receive(persistentAnswerLength);
        QCOMPARE(modbusCrc16(answer), quint16(0));
        QCOMPARE(answer.at(0), char(17));
        QCOMPARE(decodePersistentValues(answer).parity, QString("Even"));
    }
    QCOMPARE(server.transmitter().address(), 17);

    // Round-trip time seen by a client: request written to first answer byte readable. Reported,
    // not asserted: a loaded machine says nothing about the simulator.
    {
        Client client(serverSettings.linkPath);
        QVector<qint64> latencies;
        QElapsedTimer timer;
        for (int i = 0; i < 200; ++i) {
            timer.start();
            client.send(readHoldingRegistersFrame(200, 16));
            if (!client.readable(1000))
                break;
            latencies.append(timer.nsecsElapsed() / 1000);
            QCOMPARE(client.receive(persistentAnswerLength).size(), persistentAnswerLength);
        }
        QCOMPARE(latencies.size(), 200);
        std::sort(latencies.begin(), latencies.end());
        qInfo("answer latency over a pty: median %lld us, 99th percentile %lld us, max %lld us",
              latencies.at(100), latencies.at(197), latencies.last());
    }

    {
        std::lock_guard<std::mutex> lock(traceMutex);
        QVERIFY(trace.filter(QRegularExpression("^ +\\d+\\.\\d{6} rx FF 03 00 00 00 15 91 DB$")).size() == 3);
        QVERIFY(trace.filter("tx FF 06 00 C9 00 01 8D EA").size() == 1);
    }
    server.stop();
    QVERIFY(!server.isRunning());
    QVERIFY(!QFileInfo::exists(serverSettings.linkPath) && !QFileInfo(serverSettings.linkPath).isSymLink());
}

void TestSimulatorServer::uncollectedAnswerIsDropped()
{
    std::mutex traceMutex;
    QStringList trace;
    ServerSettings serverSettings;
    serverSettings.trace = true;
    serverSettings.traceOutput = [&](const QString &line) {
        std::lock_guard<std::mutex> lock(traceMutex);
        trace << line;
    };
    serverSettings.faults.delay = 1;
    serverSettings.faults.delayMs = 100;
    SimulatorServer server(steadySettings(), serverSettings);
    QVERIFY(server.start());
    auto traced = [&](const QString &text) {
        std::lock_guard<std::mutex> lock(traceMutex);
        return !trace.filter(text).isEmpty();
    };

    {
        // The client gives up before the late answer comes, as the tool does after 300 ms.
        Client client(server.portPath());
        QVERIFY(client.send(readHoldingRegistersFrame(0, 21)));
    }
    QTRY_VERIFY_WITH_TIMEOUT(traced("dropped 47 answer bytes that no client read"), 5000);
    Client client(server.portPath());
    QVERIFY(!client.readable(0));
    QVERIFY(client.send(readHoldingRegistersFrame(200, 16)));
    const QByteArray answer = client.receive(persistentAnswerLength);
    QCOMPARE(judgeResponse(answer), ResponseKind::PersistentBlock);
    QVERIFY(traced("[delay]"));
}

void TestSimulatorServer::stopEndsADelayedAnswer()
{
    ServerSettings serverSettings;
    serverSettings.faults.delay = 1;
    serverSettings.faults.delayMs = 600000;
    SimulatorServer server(steadySettings(), serverSettings);
    QVERIFY(server.start());
    Client client(server.portPath());
    QVERIFY(client.send(readHoldingRegistersFrame(0, 21)));
    // Once the server has taken the request it holds the answer back for ten minutes; stop()
    // must not wait for that (CTest's time-out would catch it).
    QTRY_COMPARE(server.framesReceived(), 1);
    server.stop();
    QVERIFY(client.receive(volatileAnswerLength).isEmpty()); // the line hangs up, nothing came
}

void TestSimulatorServer::toolTransactionReadsAndWrites()
{
    TransmitterSettings settings = steadySettings();
    settings.setFirmware(TransmitterSettings::Firmware::Feb2014);
    SimulatorServer server(settings);
    QVERIFY(server.start());

    ModbusMasterThread master;
    master.setPortName(server.portPath());
    // Collected through queued links into this thread, as the window receives them; a QSignalSpy
    // would be filled from the worker thread while the test reads it.
    QList<float> temperatures;
    QStringList infos, parities, firmwares;
    int finished = 0;
    connect(&master, &ModbusMasterThread::temperature, this, [&](float f) { temperatures << f; });
    connect(&master, &ModbusMasterThread::info, this, [&](const QString &s) { infos << s; });
    connect(&master, &ModbusMasterThread::parity, this, [&](const QString &s) { parities << s; });
    connect(&master, &ModbusMasterThread::firmware, this, [&](const QString &id, int y, int m, int d) {
        firmwares << QString("%1 %2-%3-%4").arg(id).arg(y).arg(m).arg(d);
    });
    connect(&master, &QThread::finished, this, [&] { ++finished; });

    master.readVolatileRegisters();
    QTRY_COMPARE_WITH_TIMEOUT(finished, 1, 10000);
    QCOMPARE(temperatures, QList<float> { 21.5f });

    master.writeParity("Odd");
    QTRY_COMPARE_WITH_TIMEOUT(finished, 2, 10000);
    QCOMPARE(infos.last(), QString("Response OK"));

    master.readPersistentRegisters();
    QTRY_COMPARE_WITH_TIMEOUT(finished, 3, 10000);
    QCOMPARE(firmwares, QStringList { "QV20 2014-2-18" });
    QCOMPARE(parities, QStringList { "Odd" });
    master.wait();
}

QTEST_GUILESS_MAIN(TestSimulatorServer)
#include "tst_simulatorserver.moc"
