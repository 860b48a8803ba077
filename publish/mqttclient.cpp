#include "mqttclient.h"

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

namespace {

// A broker that stops answering is noticed after one and a half keep-alive periods.
constexpr int keepAliveSeconds = 30;
// How often libmosquitto's timers (keep-alive ping, a broker gone quiet) are looked at.
constexpr int housekeepingMs = 5000;
// At stop, how long a reconnect still in flight is waited for before it is left to itself.
constexpr int reconnectGraceMs = 2000;

// Set when a reconnect thread is left running at the end: the library stays as it is for it.
bool libraryInUse = false;

struct Library
{
    Library() { mosquitto_lib_init(); }
    ~Library()
    {
        if (!libraryInUse)
            mosquitto_lib_cleanup();
    }
};

} // namespace

MqttClient::MqttClient(QObject *parent) : QObject(parent)
{
    static Library library;
    if (pipe2(reconnectPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        reconnectPipe[0] = reconnectPipe[1] = -1;
    clock.start();
}

MqttClient::~MqttClient()
{
    if (reconnector.joinable()) {
        // Abandoned by stop(): the thread still holds the handle and the pipe; the process is
        // ending, and freeing them under it would be worse than leaving them.
        reconnector.detach();
        libraryInUse = true;
        return;
    }
    if (handle)
        mosquitto_destroy(handle);
    for (int fd : reconnectPipe) {
        if (fd >= 0)
            ::close(fd);
    }
}

MqttClient::Start MqttClient::start(const Settings &s, QString *reason)
{
    if (reconnectPipe[0] < 0) {
        *reason = QStringLiteral("no pipe for the reconnect thread: %1")
                      .arg(QString::fromLocal8Bit(strerror(errno)));
        return Start::Failed;
    }
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
    tlsText = QStringLiteral("the TLS handshake with %1:%2 failed (%4): the broker's "
                             "certificate is not trusted by %3 or does not name %1")
                  .arg(s.host)
                  .arg(s.port)
                  .arg(s.caFile.isEmpty() ? QStringLiteral("the system") : s.caFile);

    const int rc = mosquitto_connect(handle, s.host.toUtf8().constData(), s.port, keepAliveSeconds);
    if (rc == MOSQ_ERR_TLS) {
        *reason = tlsText.arg(lastError.isEmpty() ? QStringLiteral("TLS error") : lastError);
        return Start::Refused;
    }
    running = true;
    nextHousekeepingAt = clock.elapsed() + housekeepingMs;
    tlsError.clear();
    if (rc != MOSQ_ERR_SUCCESS) {
        *reason = rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(strerror(errno))
                                       : QString::fromUtf8(mosquitto_strerror(rc));
        scheduleRetry();
        return Start::Unreachable;
    }
    afterNetworkStep(MOSQ_ERR_SUCCESS);
    return Start::Connecting;
}

void MqttClient::serviceFor(qint64 ms, int wakeDescriptor)
{
    const qint64 deadline = clock.elapsed() + ms;
    while (running) {
        const qint64 now = clock.elapsed();
        if (!reconnecting && nextAttemptAt >= 0 && now >= nextAttemptAt)
            startReconnect();
        const int socket = reconnecting ? -1 : mosquitto_socket(handle);
        if (socket >= 0 && now >= nextHousekeepingAt) {
            nextHousekeepingAt = now + housekeepingMs;
            afterNetworkStep(mosquitto_loop_misc(handle));
            continue;
        }
        if (now >= deadline)
            return;
        qint64 wait = deadline - now;
        pollfd fds[2];
        int count = 0;
        if (wakeDescriptor >= 0)
            fds[count++] = { wakeDescriptor, POLLIN, 0 };
        const int own = count;
        if (reconnecting) {
            fds[count++] = { reconnectPipe[0], POLLIN, 0 };
        } else if (socket >= 0) {
            fds[count++] = { socket, short(POLLIN | (mosquitto_want_write(handle) ? POLLOUT : 0)),
                             0 };
            wait = std::min(wait, nextHousekeepingAt - now);
        } else if (nextAttemptAt >= 0) {
            wait = std::min(wait, nextAttemptAt - now);
        }
        const int ready = ::poll(fds, nfds_t(count), int(std::max<qint64>(0, wait)));
        if (ready < 0 && errno != EINTR)
            return;
        if (ready <= 0)
            continue;
        if (count > own && fds[own].revents) {
            if (reconnecting) {
                finishReconnect();
            } else {
                if (fds[own].revents & (POLLIN | POLLHUP | POLLERR))
                    afterNetworkStep(mosquitto_loop_read(handle, 1));
                if ((fds[own].revents & POLLOUT) && mosquitto_socket(handle) >= 0)
                    afterNetworkStep(mosquitto_loop_write(handle, 1));
            }
        }
        if (own > 0 && fds[0].revents)
            return;
    }
}

int MqttClient::publish(const MqttMessages::Message &m)
{
    if (!running || reconnecting || !connectedNow)
        return -1;
    int mid = 0;
    const QByteArray topic = m.topic.toUtf8();
    const int rc = mosquitto_publish(handle, &mid, topic.constData(), m.payload.size(),
                                     m.payload.constData(), m.qos, m.retain);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

MqttClient::Batch::Batch(MqttClient *client)
{
    if (!client->isConnected())
        return;
    socket = mosquitto_socket(client->handle);
    const int on = 1;
    if (socket >= 0 && ::setsockopt(socket, IPPROTO_TCP, TCP_CORK, &on, sizeof on) != 0)
        socket = -1;
}

MqttClient::Batch::~Batch()
{
    // Uncorking sends what waits at once.
    const int off = 0;
    if (socket >= 0)
        ::setsockopt(socket, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
}

void MqttClient::stop()
{
    if (!running)
        return;
    running = false;
    connectedNow = false;
    if (reconnecting) {
        pollfd done { reconnectPipe[0], POLLIN, 0 };
        if (::poll(&done, 1, reconnectGraceMs) <= 0) {
            // A connect that hangs (a broker's host gone) cannot be interrupted; it ends alone.
            mosquitto_log_callback_set(handle, nullptr);
            mosquitto_connect_callback_set(handle, nullptr);
            mosquitto_disconnect_callback_set(handle, nullptr);
            mosquitto_publish_callback_set(handle, nullptr);
            return;
        }
        reconnector.join();
        reconnecting = false;
    }
    if (mosquitto_socket(handle) >= 0)
        mosquitto_disconnect(handle); // written at once: this thread runs the network
}

void MqttClient::afterNetworkStep(int rc)
{
    // What a callback queued (a reply to the broker, messages handed over in connected()) goes
    // out now rather than after another round through poll().
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(handle) >= 0 && mosquitto_want_write(handle))
        mosquitto_loop_write(handle, 1);
    reportTlsFailure();
    if (running && !reconnecting && nextAttemptAt < 0 && mosquitto_socket(handle) < 0) {
        connectedNow = false;
        scheduleRetry();
    }
}

void MqttClient::scheduleRetry()
{
    nextAttemptAt = clock.elapsed() + retryMs;
    retryMs = std::min(retryMs * 2, longestRetryMs);
}

void MqttClient::startReconnect()
{
    nextAttemptAt = -1;
    reconnecting = true;
    // The thread gets copies: it may outlive this object when abandoned at stop.
    reconnector = std::thread([h = handle, fd = reconnectPipe[1], result = reconnectResult] {
        const int rc = mosquitto_reconnect(h);
        *result = rc;
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    });
}

void MqttClient::finishReconnect()
{
    char bytes[8];
    while (::read(reconnectPipe[0], bytes, sizeof bytes) > 0) { }
    reconnector.join();
    reconnecting = false;
    nextHousekeepingAt = clock.elapsed() + housekeepingMs;
    if (*reconnectResult == MOSQ_ERR_TLS && tlsError.isEmpty())
        tlsError = lastError.isEmpty() ? QStringLiteral("TLS error") : lastError;
    afterNetworkStep(*reconnectResult);
}

void MqttClient::reportTlsFailure()
{
    if (tlsError.isEmpty())
        return;
    const QString line = tlsError;
    tlsError.clear();
    emit tlsFailed(tlsText.arg(line));
}

void MqttClient::onConnect(mosquitto *, void *self, int rc)
{
    auto *client = static_cast<MqttClient *>(self);
    if (rc == 0) {
        client->connectedNow = true;
        client->retryMs = firstRetryMs;
        emit client->connected();
    } else {
        emit client->refused(QString::fromUtf8(mosquitto_connack_string(rc)));
    }
}

void MqttClient::onDisconnect(mosquitto *, void *self, int rc)
{
    auto *client = static_cast<MqttClient *>(self);
    const bool was = client->connectedNow;
    client->connectedNow = false;
    if (was && client->running)
        emit client->connectionLost(QString::fromUtf8(mosquitto_strerror(rc)));
}

void MqttClient::onPublish(mosquitto *, void *self, int mid)
{
    emit static_cast<MqttClient *>(self)->delivered(mid);
}

void MqttClient::onLog(mosquitto *, void *self, int level, const char *text)
{
    // Runs on whichever thread holds the handle; read once it is back on the caller's.
    auto *client = static_cast<MqttClient *>(self);
    if (!(level & MOSQ_LOG_ERR))
        return;
    client->lastError = QString::fromUtf8(text);
    if (client->lastError.startsWith(QLatin1String("OpenSSL Error")))
        client->tlsError = client->lastError;
}
