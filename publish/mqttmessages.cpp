#include "mqttmessages.h"

#include "recordformat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <charconv>
#include <cmath>

namespace MqttMessages {

namespace {

    int serialOf(const Commissioning::Reading &reading)
    {
        return reading.values.serialNumber;
    }

    // A JSON number in the recording's form (the shortest text that reads back as the same
    // float); JSON has no NaN or infinity, so those are null.
    void appendNumber(QByteArray *json, const Commissioning::Measurement &m)
    {
        if (!*m.unit) {
            *json += QByteArray::number(int(m.value));
        } else if (!std::isfinite(m.value)) {
            *json += "null";
        } else {
            char text[32];
            const auto end = std::to_chars(text, text + sizeof text, float(m.value)).ptr;
            json->append(text, int(end - text));
        }
    }

    QByteArray string(const QString &text)
    {
        // The program's own texts (times, firmware names) are printable ASCII without quotes
        // or backslashes and go as they are; anything else through Qt's JSON writer.
        QByteArray quoted;
        quoted.reserve(text.size() + 2);
        quoted += '"';
        for (const QChar c : text) {
            const ushort u = c.unicode();
            if (u < 0x20 || u > 0x7e || u == '"' || u == '\\') {
                const QByteArray array =
                    QJsonDocument(QJsonArray { text }).toJson(QJsonDocument::Compact);
                return array.mid(1, array.size() - 2);
            }
            quoted += char(u);
        }
        quoted += '"';
        return quoted;
    }

    // Home Assistant knows a humidity only in %, and the device classes with a unit of their own.
    struct Kind
    {
        const char *deviceClass;
        const char *unit;
    };
    Kind kindOf(const Commissioning::Measurement &m)
    {
        const QByteArray key(m.key);
        if (key == "temperature" || key == "dew_point" || key == "wet_bulb")
            return { "temperature", "°C" };
        if (key == "relative_humidity")
            return { "humidity", "%" };
        return { nullptr, m.unit };
    }

} // namespace

QString unitTopic(const QString &prefix, int serial)
{
    return QStringLiteral("%1/%2").arg(prefix).arg(serial);
}

QString publisherAvailabilityTopic(const QString &prefix, const QString &clientId)
{
    return QStringLiteral("%1/publisher/%2/availability").arg(prefix, clientId);
}

Message state(const QString &prefix, const Commissioning::Reading &reading, int address,
              const QDateTime &time)
{
    // Written by hand rather than through QJsonObject, which would sort the keys and print
    // 21.1f as 21.100000381469727.
    // to_chars writes the recording's form of a float (the shortest text that reads back the same).
    QByteArray json;
    json.reserve(512);
    json += "{\"time\":";
    json += string(RecordFormat::timeText(time));
    json += ",\"address\":";
    json += QByteArray::number(address);
    json += ",\"firmware\":";
    json += string(Commissioning::firmwareText(reading.persistent));
    json += ",\"probe_serial\":";
    json += QByteArray::number(reading.values.serialNumber);
    if (Commissioning::hasTransmitterSerial(reading.persistent)) {
        json += ",\"transmitter_serial\":";
        json += QByteArray::number(reading.values.serialNumberTr);
    }
    for (const Commissioning::Measurement &m : Commissioning::measurements(reading)) {
        if (!m.present)
            continue;
        json += ",\"";
        json += m.column;
        json += "\":";
        appendNumber(&json, m);
    }
    json += '}';
    return { unitTopic(prefix, serialOf(reading)) + QStringLiteral("/state"), json, false, 1 };
}

Message unitAvailability(const QString &prefix, int serial, bool online)
{
    return { unitTopic(prefix, serial) + QStringLiteral("/availability"),
             online ? QByteArrayLiteral("online") : QByteArrayLiteral("offline"), true, 1 };
}

Message publisherAvailability(const QString &prefix, const QString &clientId, bool online)
{
    return { publisherAvailabilityTopic(prefix, clientId),
             online ? QByteArrayLiteral("online") : QByteArrayLiteral("offline"), true, 1 };
}

QVector<Message> discovery(const QString &discoveryPrefix, const QString &prefix,
                           const QString &clientId, const Commissioning::Reading &reading,
                           int address)
{
    const int serial = serialOf(reading);
    const QString base = unitTopic(prefix, serial);
    const QJsonObject device {
        { "identifiers", QJsonArray { QStringLiteral("quorvel_%1").arg(serial) } },
        { "name", QStringLiteral("Quorvel %1 (address %2)").arg(serial).arg(address) },
        { "manufacturer", "Quorvel Instruments" },
        { "model", "Temperature and humidity transmitter" },
        { "serial_number", QString::number(serial) },
        { "sw_version", Commissioning::firmwareText(reading.persistent) },
    };
    const QJsonArray availability {
        QJsonObject { { "topic", base + QStringLiteral("/availability") } },
        QJsonObject { { "topic", publisherAvailabilityTopic(prefix, clientId) } },
    };
    QVector<Message> messages;
    for (const Commissioning::Measurement &m : Commissioning::measurements(reading)) {
        if (!m.present)
            continue;
        const QString id = QStringLiteral("quorvel_%1_%2").arg(serial).arg(QLatin1String(m.key));
        const Kind kind = kindOf(m);
        QJsonObject config {
            { "name", QString::fromUtf8(m.caption) },
            { "unique_id", id },
            { "object_id", id },
            { "state_topic", base + QStringLiteral("/state") },
            { "value_template",
              QStringLiteral("{{ value_json.%1 }}").arg(QLatin1String(m.column)) },
            { "state_class", "measurement" },
            { "availability", availability },
            { "availability_mode", "all" },
            { "device", device },
        };
        if (*kind.unit)
            config.insert(QStringLiteral("unit_of_measurement"), QString::fromUtf8(kind.unit));
        if (kind.deviceClass)
            config.insert(QStringLiteral("device_class"), QLatin1String(kind.deviceClass));
        messages.append({ QStringLiteral("%1/sensor/%2/config").arg(discoveryPrefix, id),
                          QJsonDocument(config).toJson(QJsonDocument::Compact), true, 1 });
    }
    return messages;
}

} // namespace MqttMessages
