#ifndef PUBLISHER_H
#define PUBLISHER_H

#include "mqttmessages.h"
#include "unitpoller.h"

#include <QHash>
#include <QObject>
#include <QSet>

#include <deque>
#include <tuple>

class MqttClient;

// Turns the poller's cycles into messages and hands them to the broker in order. While the
// broker is away the messages wait here, the oldest dropped beyond the bound; on every
// connection the retained state (availability, discovery) is sent again first, since a broker
// restarted without persistence has forgotten it.
class Publisher : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString prefix = QStringLiteral("quorvel");
        QString discoveryPrefix; // empty: no discovery configs
        QString clientId;
        int maximumQueued = 10000;
    };

    Publisher(MqttClient *client, const Settings &settings, QObject *parent = nullptr);

    void handleCycle(const Bus::CycleReport &cycle);
    // Every unit and the publisher offline, queued after everything else.
    void goOffline();

    int queued() const { return int(queue.size()); }
    const std::deque<MqttMessages::Message> &waiting() const { return queue; }
    int inFlight() const { return sent.size(); }
    qint64 droppedTotal() const { return dropped; }

signals:
    // Messages dropped because the queue was full: so many now, so many since the start.
    void droppedMessages(int now, qint64 total);

private:
    // Serial number, address, firmware id and date.
    using DiscoveryKey = std::tuple<int, int, QString, int, int, int>;

    struct Unit
    {
        int serial = 0;
        bool online = false;
        QVector<MqttMessages::Message> discovery;
        DiscoveryKey discoveryFor; // what the configs were built from
    };

    void enqueue(const MqttMessages::Message &message);
    void flush();
    void connected();

    MqttClient *client;
    Settings settings;
    QHash<int, Unit> units; // by the address asked
    std::deque<MqttMessages::Message> queue;
    QSet<int> sent; // message ids handed over and not yet acknowledged
    qint64 dropped = 0;
    int droppedThisCycle = 0;
};

#endif // PUBLISHER_H
