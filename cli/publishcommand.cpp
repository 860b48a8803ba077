#include "fieldcommands.h"

#include "modbusendpoint.h"
#include "mqttclient.h"
#include "publisher.h"
#include "unitpoller.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace CommandLine;

namespace FieldCommands {

namespace {

    int failure(int code, const QString &text)
    {
        std::fprintf(stderr, "quorvel-setup-cli: %s\n", text.toUtf8().constData());
        return code;
    }

    void note(const QString &text)
    {
        std::fprintf(stderr, "quorvel-setup-cli: %s\n", text.toUtf8().constData());
    }

    // The user name on the first line, the password on the second. A file that anyone but its
    // owner may read has given its password away already.
    bool readCredentials(const QString &fileName, QString *user, QString *password, QString *error)
    {
        struct stat info;
        if (::stat(QFile::encodeName(fileName).constData(), &info) != 0) {
            *error = QStringLiteral("the credentials file %1 cannot be read: %2")
                         .arg(fileName, QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
        if (info.st_mode & (S_IRWXG | S_IRWXO)) {
            *error = QStringLiteral("the credentials file %1 may be read or written by others "
                                    "(mode %2); make it readable by its owner only (chmod 600)")
                         .arg(fileName)
                         .arg(info.st_mode & 0777, 3, 8, QLatin1Char('0'));
            return false;
        }
        QFile file(fileName);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("the credentials file %1 cannot be read: %2")
                         .arg(fileName, file.errorString());
            return false;
        }
        const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        if (lines.size() < 2 || lines[0].trimmed().isEmpty()) {
            *error = QStringLiteral("the credentials file %1 needs the user name on its first "
                                    "line and the password on its second")
                         .arg(fileName);
            return false;
        }
        *user = lines[0].trimmed();
        *password = lines[1];
        if (password->endsWith(QLatin1Char('\r')))
            password->chop(1);
        return true;
    }

    // Host name and port name: one publisher per line and machine, the same after a restart.
    QString defaultClientId(const Endpoint &endpoint)
    {
        QString where = endpoint.kind == Endpoint::Kind::Serial
            ? QFileInfo(endpoint.path).fileName()
            : QStringLiteral("%1-%2").arg(endpoint.host).arg(endpoint.port);
        where.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_.-]")), QStringLiteral("_"));
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        return QStringLiteral("%1-%2").arg(QString::fromLocal8Bit(host), where);
    }

} // namespace

int publish(const Request &request)
{
    MqttClient::Settings mqtt;
    const QRegularExpressionMatch url =
        QRegularExpression(QStringLiteral("^(mqtts?)://\\[?([^\\]]+?)\\]?(?::([0-9]+))?$"))
            .match(request.broker);
    mqtt.tls = url.captured(1) == QLatin1String("mqtts");
    mqtt.host = url.captured(2);
    mqtt.port = url.captured(3).isEmpty() ? (mqtt.tls ? 8883 : 1883) : url.captured(3).toInt();
    mqtt.caFile = request.caFile;
    mqtt.clientId = request.clientId.isEmpty() ? defaultClientId(request.connection.endpoint)
                                               : request.clientId;
    QString error;
    if (!request.credentials.isEmpty()
        && !readCredentials(request.credentials, &mqtt.user, &mqtt.password, &error))
        return failure(BadUsage, error);

    Publisher::Settings settings;
    settings.prefix = request.topicPrefix;
    settings.discoveryPrefix = request.discoveryPrefix;
    settings.clientId = mqtt.clientId;
    mqtt.will = MqttMessages::publisherAvailability(settings.prefix, settings.clientId, false);

    MqttClient client;
    Publisher publisher(&client, settings);
    QObject::connect(&publisher, &Publisher::droppedMessages, [](int now, qint64 total) {
        note(QStringLiteral("the broker is away and 10000 messages wait: dropped the %1 oldest "
                            "(%2 since the start)")
                 .arg(now)
                 .arg(total));
    });

    const QString where = QStringLiteral("%1:%2").arg(mqtt.host).arg(mqtt.port);
    bool everConnected = false;
    int exitCode = Success;
    QObject::connect(&client, &MqttClient::connected, [&] {
        if (everConnected)
            note(QStringLiteral("connected to %1 again").arg(where));
        everConnected = true;
    });
    QObject::connect(&client, &MqttClient::connectionLost, [&](const QString &reason) {
        note(QStringLiteral("lost the broker at %1 (%2); readings are kept until it is back")
                 .arg(where, reason));
    });
    QObject::connect(&client, &MqttClient::refused, [&](const QString &reason) {
        if (everConnected) {
            note(QStringLiteral("the broker at %1 refused the connection: %2; trying again")
                     .arg(where, reason));
            return;
        }
        failure(BrokerRefused,
                QStringLiteral("the broker at %1 refused the connection: %2; check the "
                               "credentials file and the broker's access list")
                    .arg(where, reason));
        exitCode = BrokerRefused;
        stop.request();
    });

    QObject::connect(&client, &MqttClient::tlsFailed, [&](const QString &reason) {
        if (everConnected || exitCode != Success)
            return; // a broker that was trusted once gets its reconnects
        failure(BrokerRefused, reason);
        exitCode = BrokerRefused;
        stop.request();
    });

    switch (client.start(mqtt, &error)) {
    case MqttClient::Start::Refused:
        return failure(BrokerRefused, error);
    case MqttClient::Start::Failed:
        return failure(BadUsage, error);
    case MqttClient::Start::Unreachable:
        note(QStringLiteral("no broker at %1 for now (%2); polling, and trying again")
                 .arg(where, error));
        break;
    case MqttClient::Start::Connecting:
        break;
    }

    // One thread does it all: the transactions, and between them the broker's side, so that
    // nothing wakes but for a request or a message.
    {
        const std::unique_ptr<ModbusEndpoint> endpoint =
            ModbusEndpoint::create(request.connection.endpoint, request.connection.line);
        Bus::UnitPoller poller(endpoint.get(), request.connection, request.units);
        QString lastLoss;
        poller.run(
            request.intervalSeconds * 1000, stop,
            [&](const Bus::CycleReport &cycle) {
                if (cycle.portLost && cycle.portFailure != lastLoss)
                    note(cycle.portFailure + QStringLiteral("; trying again every 5 s"));
                lastLoss = cycle.portLost ? cycle.portFailure : QString();
                publisher.handleCycle(cycle);
                return true;
            },
            [&](qint64 ms) {
                client.serviceFor(ms, stop.descriptor());
                return !stop.requested();
            });
        endpoint->close();
    }
    if (exitCode != Success) {
        client.stop();
        return exitCode;
    }

    // Offline for every unit and for this program, then a clean disconnect. A broker that is
    // away gets a few seconds to come back for it.
    publisher.goOffline();
    QElapsedTimer waited;
    waited.start();
    while ((publisher.queued() > 0 || publisher.inFlight() > 0) && waited.elapsed() < 5000)
        client.serviceFor(50);
    client.stop();
    return Success;
}

} // namespace FieldCommands
