#include "publisher.h"

#include "mqttclient.h"

namespace {

// Handed to libmosquitto at a time: enough for a line of 247 units; the rest waits here, where
// the bound and the count of dropped messages apply.
constexpr int maximumInFlight = 200;

} // namespace

Publisher::Publisher(MqttClient *client, const Settings &settings, QObject *parent)
    : QObject(parent), client(client), settings(settings)
{
    connect(client, &MqttClient::connected, this, &Publisher::connected);
    connect(client, &MqttClient::delivered, this, [this](int mid) {
        sent.remove(mid);
        flush();
    });
}

void Publisher::handleCycle(const Bus::CycleReport &cycle)
{
    using namespace MqttMessages;
    droppedThisCycle = 0;
    for (const Bus::UnitReport &report : cycle.units) {
        Unit &unit = units[report.address];
        if (report.answered) {
            const int serial = report.reading.values.serialNumber;
            const int address = report.reading.persistent.address;
            if (unit.serial != 0 && unit.serial != serial && unit.online)
                enqueue(unitAvailability(settings.prefix, unit.serial, false));
            if (unit.serial != serial)
                unit.online = false;
            unit.serial = serial;
            if (!settings.discoveryPrefix.isEmpty()) {
                // The configs follow from the serial number, the address and the firmware
                // alone: built again only when one of them changed, as building them costs more
                // than the rest of a cycle.
                const ModbusProtocol::PersistentValues &p = report.reading.persistent;
                const DiscoveryKey discoveryFor { serial, address, p.firmwareId,
                                                  p.year, p.month, p.day };
                if (discoveryFor != unit.discoveryFor) {
                    unit.discoveryFor = discoveryFor;
                    unit.discovery = discovery(settings.discoveryPrefix, settings.prefix,
                                               settings.clientId, report.reading, address);
                    for (const Message &m : qAsConst(unit.discovery))
                        enqueue(m);
                }
            }
            if (!unit.online) {
                unit.online = true;
                enqueue(unitAvailability(settings.prefix, serial, true));
            }
            enqueue(state(settings.prefix, report.reading, address, report.time));
        } else if (!report.online && unit.online) {
            unit.online = false;
            enqueue(unitAvailability(settings.prefix, unit.serial, false));
        }
    }
    if (cycle.portLost) {
        for (Unit &unit : units) {
            if (unit.online) {
                unit.online = false;
                enqueue(unitAvailability(settings.prefix, unit.serial, false));
            }
        }
    }
    if (droppedThisCycle > 0)
        emit droppedMessages(droppedThisCycle, dropped);
    flush();
}

void Publisher::goOffline()
{
    for (Unit &unit : units) {
        if (unit.serial != 0) {
            unit.online = false;
            enqueue(MqttMessages::unitAvailability(settings.prefix, unit.serial, false));
        }
    }
    enqueue(MqttMessages::publisherAvailability(settings.prefix, settings.clientId, false));
    flush();
}

void Publisher::enqueue(const MqttMessages::Message &message)
{
    queue.push_back(message);
    while (int(queue.size()) > settings.maximumQueued) {
        queue.pop_front();
        ++dropped;
        ++droppedThisCycle;
    }
}

void Publisher::flush()
{
    if (queue.empty() || !client->isConnected())
        return;
    const MqttClient::Batch batch(client);
    while (!queue.empty() && sent.size() < maximumInFlight) {
        const int mid = client->publish(queue.front());
        if (mid < 0)
            return; // the connection went in between; kept for the next one
        sent.insert(mid);
        queue.pop_front();
    }
}

void Publisher::connected()
{
    // A broker that lost its retained messages learns the present state before the backlog,
    // which ends in the same state.
    using namespace MqttMessages;
    QVector<Message> present { publisherAvailability(settings.prefix, settings.clientId, true) };
    for (const Unit &unit : qAsConst(units)) {
        if (unit.serial == 0)
            continue;
        present += unit.discovery;
        present.append(unitAvailability(settings.prefix, unit.serial, unit.online));
    }
    for (const Message &m : present) {
        const int mid = client->publish(m);
        if (mid >= 0)
            sent.insert(mid);
    }
    flush();
}
