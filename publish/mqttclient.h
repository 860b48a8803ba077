#ifndef MQTTCLIENT_H
#define MQTTCLIENT_H

#include "mqttmessages.h"

#include <QObject>
#include <QString>

#include <atomic>

struct mosquitto;

// One connection to an MQTT broker through libmosquitto's own network thread, which connects,
// keeps alive and reconnects (1 s, doubling to 30 s). Its callbacks hand over to this object's
// thread by queued calls, so everything signalled here runs on the Qt thread.
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
        Unreachable, // no broker at that address for now; the network thread keeps trying
        Refused,     // the TLS handshake failed (certificate or host name not trusted)
        Failed,      // set-up failed (an unreadable CA file); nothing runs
    };

    explicit MqttClient(QObject *parent = nullptr);
    ~MqttClient() override;

    // Makes the first attempt, which may block for as long as a TCP connect takes, then starts
    // the network thread. *reason says in words what went wrong.
    Start start(const Settings &settings, QString *reason);

    bool isConnected() const { return connectedNow; }
    // Hands a message to libmosquitto, which keeps it until the broker acknowledges it. Returns
    // its message id, or -1 when it was not taken.
    int publish(const MqttMessages::Message &message);
    // A clean DISCONNECT (no will), then the network thread ends.
    void stop();

signals:
    void connected();
    void refused(const QString &reason); // the broker answered the CONNECT with a refusal
    void connectionLost(const QString &reason);
    void delivered(int messageId); // acknowledged by the broker (QoS 1)
    // The TLS handshake failed in the network thread: a certificate or host name not trusted.
    void tlsFailed(const QString &reason);

private:
    // The network thread's news, run on the Qt thread: queued by name, so that Qt copies the
    // arguments across (a functor made there and run here is a race).
    Q_INVOKABLE void connectAnswered(int rc);
    Q_INVOKABLE void connectionEnded(const QString &reason);
    Q_INVOKABLE void handshakeFailed(const QString &line);

    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onLog(mosquitto *, void *self, int level, const char *text);

    mosquitto *handle = nullptr;
    bool connectedNow = false;
    bool looping = false;
    std::atomic<bool> stopping { false };
    QString lastError; // the first attempt's last error line, read by start() only
    QString tlsText;   // how start() words a failed handshake, for the network thread's too
};

#endif // MQTTCLIENT_H
