#ifndef MQTTCLIENT_H
#define MQTTCLIENT_H

#include "mqttmessages.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <memory>
#include <thread>

struct mosquitto;

// One connection to an MQTT broker through libmosquitto, worked from the caller's own thread in
// serviceFor(): sends, takes acknowledgements, keeps alive, and reconnects (1 s, doubling to
// 30 s). A thread of libmosquitto's own woke at every message and every acknowledgement and cost
// more than the polling; only a reconnect, which may block on a name lookup or a TCP connect,
// runs on a short-lived thread, and the handle is left alone meanwhile. Signals are emitted
// from within serviceFor() and start() on the caller's thread.
class MqttClient : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString host;
        int port = 1883;
        bool tls = false;
        QString caFile; // empty with tls: the system's authorities
        QString clientId;
        QString user; // empty: no user name or password
        QString password;
        MqttMessages::Message will;
    };

    enum class Start {
        Connecting,  // connected or trying; connected() or refused() follows
        Unreachable, // no broker at that address for now; serviceFor() keeps trying
        Refused,     // the TLS handshake failed (certificate or host name not trusted)
        Failed,      // set-up failed (an unreadable CA file); nothing runs
    };

    static constexpr int firstRetryMs = 1000;
    static constexpr int longestRetryMs = 30000;

    explicit MqttClient(QObject *parent = nullptr);
    ~MqttClient() override;

    // Makes the first attempt, which may block for as long as a TCP connect takes. *reason says
    // in words what went wrong.
    Start start(const Settings &settings, QString *reason);

    // Does the connection's work for ms milliseconds, or less when wakeDescriptor (if not -1)
    // becomes readable.
    void serviceFor(qint64 ms, int wakeDescriptor = -1);

    bool isConnected() const { return connectedNow; }
    // Hands a message to libmosquitto, which sends what it can at once and keeps it until the
    // broker acknowledges it. Returns its message id, or -1 when it was not taken.
    int publish(const MqttMessages::Message &message);
    // While one exists, the messages handed over leave in as few TCP segments as fit: one
    // segment each cost the loopback or the network a send, and the broker a wake-up, apiece.
    class Batch
    {
    public:
        explicit Batch(MqttClient *client);
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        int socket = -1;
    };

    // A clean DISCONNECT (no will) when connected; nothing is sent or received afterwards.
    void stop();

signals:
    void connected();
    void refused(const QString &reason); // the broker answered the CONNECT with a refusal
    void connectionLost(const QString &reason);
    void delivered(int messageId); // acknowledged by the broker (QoS 1)
    // The TLS handshake failed: a certificate or host name not trusted.
    void tlsFailed(const QString &reason);

private:
    void afterNetworkStep(int rc);
    void scheduleRetry();
    void startReconnect();
    void finishReconnect();
    void reportTlsFailure();

    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onLog(mosquitto *, void *self, int level, const char *text);

    mosquitto *handle = nullptr;
    bool running = false; // between start() and stop()
    bool connectedNow = false;
    QElapsedTimer clock;
    qint64 nextAttemptAt = -1; // no socket: when to try again; -1 while one is open or trying
    int retryMs = firstRetryMs;
    qint64 nextHousekeepingAt = 0;

    // The reconnect in flight: the thread, its result, and a pipe it writes when done.
    std::thread reconnector;
    bool reconnecting = false;
    std::shared_ptr<int> reconnectResult = std::make_shared<int>(0);
    int reconnectPipe[2] = { -1, -1 };

    // Written by the log callback on whichever thread holds the handle, read after it is back.
    QString lastError;
    QString tlsError;
    QString tlsText; // how a failed handshake is worded
};

#endif // MQTTCLIENT_H
