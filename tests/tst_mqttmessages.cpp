// The publisher's topics and payloads as data, and its queue while no broker is there.
#include "mqttclient.h"
#include "publisher.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <limits>

namespace {

Commissioning::Reading reading(int year, int month, int day, float temperature = 21.1f)
{
    Commissioning::Reading r;
    r.persistent.firmwareId = QStringLiteral("QV30");
    r.persistent.year = year;
    r.persistent.month = month;
    r.persistent.day = day;
    r.persistent.housing = 1;
    r.persistent.address = 4;
    r.values.temperature = temperature;
    r.values.humidity = 45.5f;
    r.values.serialNumber = 21034567;
    r.values.serialNumberTr = 21034568;
    r.values.dewPointTemperature = 8.75f;
    r.values.enthalpy = 40.5f;
    r.values.mixingRatio = 7.25f;
    r.values.absoluteHumidity = 8.5f;
    r.values.wetBulbTemperature = 14.25f;
    r.values.hxAlarm = 2;
    return r;
}

const QDateTime time0(QDate(2026, 12, 7), QTime(5, 12, 3, 123), Qt::OffsetFromUTC, 3600);

Bus::UnitReport answered(const Commissioning::Reading &r, bool cameOnline)
{
    Bus::UnitReport u;
    u.address = 4;
    u.answered = u.identified = u.online = true;
    u.cameOnline = cameOnline;
    u.reading = r;
    u.time = time0;
    return u;
}

} // namespace

Q_DECLARE_METATYPE(Commissioning::Reading)

class tst_MqttMessages : public QObject
{
    Q_OBJECT

private slots:
    void state_data()
    {
        QTest::addColumn<Commissioning::Reading>("reading");
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("current firmware: every value, numbers as sent, the recording's names")
            << reading(2024, 5, 14)
            << QByteArray("{\"time\":\"2026-12-07T05:12:03.123+01:00\",\"address\":4,"
                          "\"firmware\":\"QV30__2024-05-14\",\"probe_serial\":21034567,"
                          "\"transmitter_serial\":21034568,\"temperature_degC\":21.1,"
                          "\"temperature_alarm\":0,\"relative_humidity_pct\":45.5,"
                          "\"humidity_alarm\":0,\"dew_point_degC\":8.75,"
                          "\"enthalpy_kJ_per_kg\":40.5,\"mixing_ratio_g_per_kg\":7.25,"
                          "\"absolute_humidity_g_per_m3\":8.5,\"wet_bulb_degC\":14.25,"
                          "\"hx_alarm\":2}");
        QTest::newRow("2014-02-18: no calculated values, no transmitter serial")
            << reading(2014, 2, 18)
            << QByteArray("{\"time\":\"2026-12-07T05:12:03.123+01:00\",\"address\":4,"
                          "\"firmware\":\"QV30__2014-02-18\",\"probe_serial\":21034567,"
                          "\"temperature_degC\":21.1,\"temperature_alarm\":0,"
                          "\"relative_humidity_pct\":45.5,\"humidity_alarm\":0}");
        // JSON has no NaN: a probe that reports one must not make the whole object unreadable.
        QTest::newRow("not a number: null")
            << reading(2014, 2, 18, std::numeric_limits<float>::quiet_NaN())
            << QByteArray("{\"time\":\"2026-12-07T05:12:03.123+01:00\",\"address\":4,"
                          "\"firmware\":\"QV30__2014-02-18\",\"probe_serial\":21034567,"
                          "\"temperature_degC\":null,\"temperature_alarm\":0,"
                          "\"relative_humidity_pct\":45.5,\"humidity_alarm\":0}");
        // A firmware id is whatever the transmitter holds: quoted and escaped as JSON wants.
        Commissioning::Reading odd = reading(2014, 2, 18);
        odd.persistent.firmwareId = QStringLiteral("Q\"\\");
        QTest::newRow("firmware id with a quote and a backslash")
            << odd
            << QByteArray("{\"time\":\"2026-12-07T05:12:03.123+01:00\",\"address\":4,"
                          "\"firmware\":\"Q\\\"\\\\__2014-02-18\",\"probe_serial\":21034567,"
                          "\"temperature_degC\":21.1,\"temperature_alarm\":0,"
                          "\"relative_humidity_pct\":45.5,\"humidity_alarm\":0}");
    }
    void state()
    {
        QFETCH(Commissioning::Reading, reading);
        const MqttMessages::Message m = MqttMessages::state("plant/hall", reading, 4, time0);
        QCOMPARE(m.topic, QStringLiteral("plant/hall/21034567/state"));
        QTEST(m.payload, "payload");
        QVERIFY(!m.retain);
        QCOMPARE(m.qos, 1);
        QVERIFY(!QJsonDocument::fromJson(m.payload).isNull());
    }

    void discovery_data()
    {
        QTest::addColumn<Commissioning::Reading>("reading");
        QTest::addColumn<int>("configs");
        QTest::newRow("current: ten values") << reading(2024, 5, 14) << 10;
        QTest::newRow("2014-02-18: four values") << reading(2014, 2, 18) << 4;
    }
    void discovery()
    {
        QFETCH(Commissioning::Reading, reading);
        QFETCH(int, configs);
        const QVector<MqttMessages::Message> messages =
            MqttMessages::discovery("homeassistant", "quorvel", "host-ttyUSB0", reading, 4);
        QCOMPARE(messages.size(), configs);
        const MqttMessages::Message &humidity = messages[2];
        QCOMPARE(humidity.topic,
                 QStringLiteral("homeassistant/sensor/quorvel_21034567_relative_humidity/config"));
        QVERIFY(humidity.retain);
        const QJsonObject c = QJsonDocument::fromJson(humidity.payload).object();
        QCOMPARE(c["unit_of_measurement"].toString(), QStringLiteral("%"));
        QCOMPARE(c["device_class"].toString(), QStringLiteral("humidity"));
        QCOMPARE(c["value_template"].toString(),
                 QStringLiteral("{{ value_json.relative_humidity_pct }}"));
        QCOMPARE(c["state_topic"].toString(), QStringLiteral("quorvel/21034567/state"));
        QCOMPARE(c["device"].toObject()["name"].toString(),
                 QStringLiteral("Quorvel 21034567 (address 4)"));
    }

    // No broker: everything waits, in order, up to the bound; beyond it the oldest go.
    void queueWhileNoBroker()
    {
        MqttClient client; // never started: not connected
        Publisher::Settings settings;
        settings.clientId = "test";
        settings.maximumQueued = 5;
        Publisher publisher(&client, settings);
        QSignalSpy dropped(&publisher, &Publisher::droppedMessages);

        Bus::CycleReport cycle;
        cycle.units = { answered(reading(2024, 5, 14), true) };
        publisher.handleCycle(cycle); // availability online, state
        QCOMPARE(publisher.queued(), 2);
        cycle.units = { answered(reading(2024, 5, 14), false) };
        for (int i = 0; i < 4; ++i)
            publisher.handleCycle(cycle);
        QCOMPARE(publisher.queued(), 5);
        QCOMPARE(publisher.droppedTotal(), 1);
        QCOMPARE(dropped.size(), 1);
        QCOMPARE(publisher.waiting().front().topic, QStringLiteral("quorvel/21034567/state"));

        // The port lost: the unit goes offline, once.
        Bus::CycleReport lost;
        lost.portLost = true;
        publisher.handleCycle(lost);
        publisher.handleCycle(lost);
        QCOMPARE(publisher.waiting().back(),
                 MqttMessages::unitAvailability("quorvel", 21034567, false));
        QCOMPARE(publisher.waiting()[3].topic, QStringLiteral("quorvel/21034567/state"));
    }
};

QTEST_GUILESS_MAIN(tst_MqttMessages)
#include "tst_mqttmessages.moc"
