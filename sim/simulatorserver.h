#ifndef SIMULATORSERVER_H
#define SIMULATORSERVER_H

#include "faultinjector.h"
#include "frameassembler.h"
#include "rtuslave.h"
#include "transmittermodel.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

struct ServerSettings
{
    // A TCP port served beside the pseudo-terminal, as a gateway to the same line would be.
    struct Listener
    {
        enum class Kind { ModbusTcp, RtuOverTcp }; // MBAP header, or RTU frames with their CRC
        Kind kind = Kind::ModbusTcp;
        quint16 port = 0; // 0: a free port, see SimulatorServer::listening()
    };

    QString linkPath; // a symbolic link to the port, made at start and removed at stop
    bool trace = false;
    // Where trace lines go; stdout when empty. Called from the server's thread.
    std::function<void(const QString &line)> traceOutput;
    FaultSettings faults;
    quint32 seed = 1;     // the faults' generator
    int turnaroundMs = 0; // from the end of a request to the start of its answer
    QVector<Listener> listeners;
    QString bindAddress = QStringLiteral("127.0.0.1");
};

// Simulated transmitters on one pseudo-terminal, served from a thread of their own: clients open
// portPath() (or the link) like a serial port, or connect to the TCP listeners. Used by the
// simulator program and embedded in tests.
class SimulatorServer
{
public:
    explicit SimulatorServer(const TransmitterSettings &transmitter,
                             const ServerSettings &server = ServerSettings());
    // Several transmitters on one line, each answering its own address; all answer 255 at once.
    SimulatorServer(const QVector<TransmitterSettings> &units, const ServerSettings &server);
    ~SimulatorServer();
    SimulatorServer(const SimulatorServer &) = delete;
    SimulatorServer &operator=(const SimulatorServer &) = delete;

    // Opens the pseudo-terminal and the listeners, makes the link and starts serving.
    bool start(QString *errorMessage = nullptr);
    // Stops serving, closes everything and removes the link; also done by the destructor.
    void stop();
    // Every transmitter takes its stored line settings and address, as when powered up again.
    void restart();

    bool isRunning() const { return thread.joinable(); }
    QString portPath() const { return ptyPath; }
    QString linkPath() const { return settings.linkPath; }
    // "tcp:127.0.0.1:40123", "rtu-tcp:127.0.0.1:40124": one for each listener, as bound.
    QStringList listening() const;
    // The port of the first listener of the kind, 0 when there is none.
    quint16 listenTcpPort() const;
    quint16 listenRtuTcpPort() const;

    int unitCount() const { return models.size(); }
    // A copy of a transmitter as it stands, for checks from another thread.
    TransmitterModel transmitter(int unit = 0) const;
    // Request frames taken off the line so far, answered or not.
    int framesReceived() const { return receivedFrames; }
    // Answers that the fault plan spoilt so far.
    int spoiltAnswers() const { return faults.spoilt(); }

private:
    enum class Channel { Pty, ModbusTcp, RtuOverTcp };
    struct Origin
    {
        Channel channel = Channel::Pty;
        int fd = -1;
        LineSettings senderLine;
        quint16 transactionId = 0;
    };
    struct Connection
    {
        int fd = -1;
        Channel channel = Channel::ModbusTcp;
        FrameAssembler assembler { 20000 }; // a stream carries no character timing
        QByteArray pending;                 // Modbus TCP: an incomplete MBAP frame
    };
    struct BoundListener
    {
        ServerSettings::Listener::Kind kind;
        int fd = -1;
        quint16 port = 0;
        QString address;
    };

    void serve();
    void readPty(qint64 received);
    bool readConnection(Connection &connection, qint64 received);
    void handleFrame(const QByteArray &frame, qint64 received, const Origin &origin);
    QVector<QByteArray> answersOf(const QByteArray &frame, qint64 received, const Origin &origin,
                                  QStringList *notes);
    bool send(const FaultInjector::Transmission &transmission, const Origin &origin,
              qint64 *firstByteSent);
    bool writeAll(int fd, const QByteArray &bytes);
    bool stopRequestedWithin(int milliseconds);
    void dropUncollectedAnswer(qint64 time);
    LineSettings senderLine();
    bool openListener(const ServerSettings::Listener &listener, QString *errorMessage);
    qint64 now() const;
    void trace(qint64 time, const QString &text) const;
    void closeAll();

    ServerSettings settings;
    LineSettings gatewayLine;      // where the TCP listeners put their requests on the line
    mutable std::mutex modelMutex; // the models are read by transmitter() from other threads
    QVector<TransmitterModel> models;
    FrameAssembler assembler;
    LineSettings frameLine; // the sender's line settings when the frame being received began
    FaultInjector faults;
    std::chrono::steady_clock::time_point startTime;
    QString ptyPath;
    static constexpr qint64 uncollectedAnswerLifetime = 1000000; // us
    qint64 uncollectedDeadline = -1; // when an unread answer counts as abandoned
    bool linkMade = false;
    int masterFd = -1;
    int slaveFd = -1; // held open so that the pty never hangs up between clients
    int wakeFds[2] = { -1, -1 };
    std::vector<BoundListener> listeners;
    std::vector<Connection> connections;
    std::atomic<int> receivedFrames { 0 };
    std::thread thread;
};

#endif // SIMULATORSERVER_H
