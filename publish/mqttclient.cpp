#include "mqttclient.h"

#include <mosquitto.h>

#include <QMetaObject>

namespace {

// A broker that stops answering is noticed after one and a half keep-alive periods.
constexpr int keepAliveSeconds = 30;

struct Library
{
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

} // namespace

MqttClient::MqttClient(QObject *parent) : QObject(parent)
{
    static Library library;
}

MqttClient::~MqttClient()
{
    if (handle) {
        if (looping)
            mosquitto_loop_stop(handle, true);
        mosquitto_destroy(handle);
    }
}

MqttClient::Start MqttClient::start(const Settings &s, QString *reason)
{
    handle = mosquitto_new(s.clientId.toUtf8().constData(), true, this);
    if (!handle) {
        *reason = QStringLiteral("libmosquitto could not be set up");
        return Start::Failed;
    }
    mosquitto_int_option(handle, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(handle, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(handle, &MqttClient::onDisconnect);
    mosquitto_publish_callback_set(handle, &MqttClient::onPublish);
    mosquitto_log_callback_set(handle, &MqttClient::onLog);
    mosquitto_reconnect_delay_set(handle, 1, 30, true);
    if (!s.user.isEmpty())
        mosquitto_username_pw_set(handle, s.user.toUtf8().constData(),
                                  s.password.toUtf8().constData());
    const QByteArray willTopic = s.will.topic.toUtf8();
    mosquitto_will_set(handle, willTopic.constData(), s.will.payload.size(),
                       s.will.payload.constData(), s.will.qos, s.will.retain);
    if (s.tls) {
        int rc = MOSQ_ERR_SUCCESS;
        if (s.caFile.isEmpty())
            rc = mosquitto_int_option(handle, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        else
            rc = mosquitto_tls_set(handle, s.caFile.toUtf8().constData(), nullptr, nullptr, nullptr,
                                   nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *reason = QStringLiteral("the CA file %1 cannot be used: %2")
                          .arg(s.caFile, QString::fromUtf8(mosquitto_strerror(rc)));
            return Start::Failed;
        }
        // The broker's certificate must name the host the connection was made to.
        mosquitto_tls_insecure_set(handle, false);
    }

    const int rc = mosquitto_connect(handle, s.host.toUtf8().constData(), s.port, keepAliveSeconds);
    Start result = Start::Connecting;
    tlsText = QStringLiteral("the TLS handshake with %1:%2 failed (%4): the broker's "
                             "certificate is not trusted by %3 or does not name %1")
                  .arg(s.host)
                  .arg(s.port)
                  .arg(s.caFile.isEmpty() ? QStringLiteral("the system") : s.caFile);
    if (rc == MOSQ_ERR_TLS) {
        *reason = tlsText.arg(lastError.isEmpty() ? QStringLiteral("TLS error") : lastError);
        return Start::Refused;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *reason = rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(strerror(errno))
                                       : QString::fromUtf8(mosquitto_strerror(rc));
        result = Start::Unreachable;
    }
    // The network thread reconnects on its own after any failure, the first included.
    looping = true; // before the thread exists, which reads it
    if (mosquitto_loop_start(handle) != MOSQ_ERR_SUCCESS) {
        looping = false;
        *reason = QStringLiteral("libmosquitto has no thread support");
        return Start::Failed;
    }
    return result;
}

int MqttClient::publish(const MqttMessages::Message &m)
{
    int mid = 0;
    const QByteArray topic = m.topic.toUtf8();
    const int rc = mosquitto_publish(handle, &mid, topic.constData(), m.payload.size(),
                                     m.payload.constData(), m.qos, m.retain);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

void MqttClient::stop()
{
    if (!handle || !looping)
        return;
    stopping = true;
    mosquitto_disconnect(handle);
    mosquitto_loop_stop(handle, false);
    looping = false;
    connectedNow = false;
}

void MqttClient::connectAnswered(int rc)
{
    if (rc == 0) {
        connectedNow = true;
        emit connected();
    } else {
        emit refused(QString::fromUtf8(mosquitto_connack_string(rc)));
    }
}

void MqttClient::connectionEnded(const QString &reason)
{
    const bool was = connectedNow;
    connectedNow = false;
    if (was)
        emit connectionLost(reason);
}

void MqttClient::handshakeFailed(const QString &line)
{
    emit tlsFailed(tlsText.arg(line));
}

void MqttClient::onConnect(mosquitto *, void *self, int rc)
{
    QMetaObject::invokeMethod(static_cast<MqttClient *>(self), "connectAnswered",
                              Qt::QueuedConnection, Q_ARG(int, rc));
}

void MqttClient::onDisconnect(mosquitto *, void *self, int rc)
{
    auto *client = static_cast<MqttClient *>(self);
    if (client->stopping)
        return;
    QMetaObject::invokeMethod(client, "connectionEnded", Qt::QueuedConnection,
                              Q_ARG(QString, QString::fromUtf8(mosquitto_strerror(rc))));
}

void MqttClient::onPublish(mosquitto *, void *self, int mid)
{
    QMetaObject::invokeMethod(static_cast<MqttClient *>(self), "delivered", Qt::QueuedConnection,
                              Q_ARG(int, mid));
}

void MqttClient::onLog(mosquitto *, void *self, int level, const char *text)
{
    auto *client = static_cast<MqttClient *>(self);
    if (!(level & MOSQ_LOG_ERR))
        return;
    const QString line = QString::fromUtf8(text);
    if (!client->looping) {
        client->lastError = line; // the first attempt, made in start()'s own thread
        return;
    }
    // A handshake that did not finish within the first attempt fails here.
    if (line.startsWith(QLatin1String("OpenSSL Error")))
        QMetaObject::invokeMethod(client, "handshakeFailed", Qt::QueuedConnection,
                                  Q_ARG(QString, line));
}
