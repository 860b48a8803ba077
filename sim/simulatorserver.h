#ifndef SIMULATORSERVER_H
#define SIMULATORSERVER_H

#include "faultinjector.h"
#include "frameassembler.h"
#include "rtuslave.h"
#include "transmittermodel.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

struct ServerSettings
{
    QString linkPath; // a symbolic link to the port, made at start and removed at stop
    bool trace = false;
    // Where trace lines go; stdout when empty. Called from the server's thread.
    std::function<void(const QString &line)> traceOutput;
    FaultSettings faults;
    quint32 seed = 1; // the faults' generator
};

// A simulated transmitter on a pseudo-terminal, served from a thread of its own: clients open
// portPath() (or the link) like a serial port. Used by the simulator program and embedded in tests.
class SimulatorServer
{
public:
    explicit SimulatorServer(const TransmitterSettings &transmitter,
                             const ServerSettings &server = ServerSettings());
    ~SimulatorServer();
    SimulatorServer(const SimulatorServer &) = delete;
    SimulatorServer &operator=(const SimulatorServer &) = delete;

    // Opens the pseudo-terminal, makes the link and starts serving.
    bool start(QString *errorMessage = nullptr);
    // Stops serving, closes the pseudo-terminal and removes the link; also done by the destructor.
    void stop();

    bool isRunning() const { return thread.joinable(); }
    QString portPath() const { return ptyPath; }
    QString linkPath() const { return settings.linkPath; }
    // A copy of the transmitter as it stands, for checks from another thread.
    TransmitterModel transmitter() const;
    // Request frames taken off the line so far, answered or not.
    int framesReceived() const { return receivedFrames; }
    // Answers that the fault plan spoilt so far.
    int spoiltAnswers() const { return faults.spoilt(); }

private:
    void serve();
    void handleFrame(const QByteArray &frame, qint64 received);
    bool send(const FaultInjector::Transmission &transmission, qint64 *firstByteSent);
    bool writeAll(const QByteArray &bytes);
    bool stopRequestedWithin(int milliseconds);
    void dropUncollectedAnswer(qint64 time);
    void adaptSilenceToLine();
    qint64 now() const;
    void trace(qint64 time, const QString &text) const;
    void closeAll();

    ServerSettings settings;
    mutable std::mutex modelMutex; // the model is read by transmitter() from other threads
    TransmitterModel model;
    RtuSlave slave { &model };
    FrameAssembler assembler;
    FaultInjector faults;
    std::chrono::steady_clock::time_point startTime;
    QString ptyPath;
    static constexpr qint64 uncollectedAnswerLifetime = 1000000; // us
    qint64 uncollectedDeadline = -1; // when an unread answer counts as abandoned
    bool linkMade = false;
    int masterFd = -1;
    int slaveFd = -1; // held open so that the pty never hangs up between clients
    int wakeFds[2] = { -1, -1 };
    std::atomic<int> receivedFrames { 0 };
    std::thread thread;
};

#endif // SIMULATORSERVER_H
