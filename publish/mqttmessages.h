#ifndef MQTTMESSAGES_H
#define MQTTMESSAGES_H

#include "reading.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

// Every topic and payload the publisher sends, built here only. A unit is known by its probe's
// serial number, which stays with the readings when a transmitter moves to another address.
namespace MqttMessages {

struct Message
{
    QString topic;
    QByteArray payload;
    bool retain = false;
    int qos = 1;

    bool operator==(const Message &o) const
    {
        return topic == o.topic && payload == o.payload && retain == o.retain && qos == o.qos;
    }
};

QString unitTopic(const QString &prefix, int serial); // PREFIX/SERIAL
QString publisherAvailabilityTopic(const QString &prefix, const QString &clientId);

// One JSON object: time, address, firmware and every value the firmware provides under the
// recording's column names; not retained, so a dashboard never shows an old reading as new.
Message state(const QString &prefix, const Commissioning::Reading &reading, int address,
              const QDateTime &time);
// "online" or "offline", retained so that a dashboard started later knows at once.
Message unitAvailability(const QString &prefix, int serial, bool online);
Message publisherAvailability(const QString &prefix, const QString &clientId, bool online);

// One retained sensor config per value the unit provides, for dashboards that discover
// devices (Home Assistant's MQTT discovery).
QVector<Message> discovery(const QString &discoveryPrefix, const QString &prefix,
                           const QString &clientId, const Commissioning::Reading &reading,
                           int address);

} // namespace MqttMessages

#endif // MQTTMESSAGES_H
