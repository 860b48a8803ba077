#include "mainwindow.h"
#include "modbusmasterthread.h"
#include "modbusprotocol.h"
#include "simulatorserver.h"
#include "valueformat.h"

#include <QComboBox>
#include <QLabel>
#include <QMutex>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

using namespace ModbusProtocol;

namespace {

// Three transactions of about 1.3 s each before every value has arrived.
constexpr int cycleTimeout = 10000;

const char *const persistentRead = "FF0300C80010D026";

TransmitterSettings steadyTransmitter(TransmitterSettings::Firmware firmware, int housing)
{
    TransmitterSettings settings;
    settings.setFirmware(firmware);
    settings.housing = housing;
    settings.temperature = 23.456;
    settings.humidity = 51.234;
    settings.temperatureDrift = 0; // what was served can be read back afterwards
    settings.humidityDrift = 0;
    // Three different alarm states, so that no two alarm labels can stand in for each other.
    settings.temperatureLimits = { -20, 20 }; // above: 2
    settings.humidityLimits = { 60, 90 };     // below: 1
    settings.dewPointLimits = { -10, 20 };    // inside: 0
    settings.baudRateCode = 4;                // 9600
    settings.parityCode = 1;                  // Even
    settings.stopBitsCode = 1;                // 2
    settings.address = 17;
    return settings;
}

// The simulator on a pseudo-terminal behind a link, with the request frames it took off the line.
class Transmitter
{
public:
    explicit Transmitter(const TransmitterSettings &settings)
        : server(settings, serverSettings(link.filePath(QStringLiteral("port"))))
    { }

    bool start() { return server.start(&startError); }

    // Hex of every request frame received so far, in order.
    QStringList requests() const
    {
        QMutexLocker lock(&mutex);
        return requestFrames;
    }

    // The volatile block as the simulator holds it now, decoded as the tool decodes an answer.
    VolatileValues volatileValues() const
    {
        QVector<quint16> registers;
        server.transmitter().readRegisters(volatileFirstRegister, volatileRegisterCount,
                                           &registers);
        QByteArray frame = QByteArray::fromHex("FF032A");
        for (quint16 value : qAsConst(registers)) {
            frame.append(char(value >> 8));
            frame.append(char(value & 0xFF));
        }
        const quint16 crc = modbusCrc16(frame);
        frame.append(char(crc & 0xFF));
        frame.append(char(crc >> 8));
        return decodeVolatileValues(frame);
    }

    QVector<quint16> parameterRegisters() const
    {
        QVector<quint16> registers;
        server.transmitter().readRegisters(baudRateRegister, 6, &registers);
        return registers;
    }

private:
    ServerSettings serverSettings(const QString &linkPath)
    {
        ServerSettings settings;
        settings.linkPath = linkPath;
        settings.trace = true;
        settings.traceOutput = [this](const QString &line) {
            // "<seconds> rx FF 03 ..." with an optional note in parentheses.
            const int at = line.indexOf(QLatin1String(" rx "));
            if (at < 0)
                return;
            QString bytes = line.mid(at + 4).section(QLatin1String(" ("), 0, 0);
            bytes.remove(QLatin1Char(' '));
            QMutexLocker lock(&mutex);
            requestFrames.append(bytes);
        };
        return settings;
    }

    // Made before the server, which takes the link's path and the trace collector.
    QTemporaryDir link;
    mutable QMutex mutex;
    QStringList requestFrames;

public:
    SimulatorServer server;
    QString startError;
};

// The window as main() runs it: clean-up before destruction, whatever the test's outcome.
class Window
{
public:
    Window() = default;
    ~Window()
    {
        // The read phase belongs to the program, and only the stop step puts it back to the
        // persistent block; leave the next test's window a program that has disconnected.
        if (child<QPushButton>("pushButton_startStop")->text() != QLatin1String("&Connect")) {
            button()->click();
            if (!QTest::qWaitFor([this] { return button()->text() == QLatin1String("&Connect"); },
                                 cycleTimeout))
                qWarning("the window did not return to Idle after Disconnect");
        }
        window.cleanUp();
    }
    Window(const Window &) = delete;
    Window &operator=(const Window &) = delete;

    template<typename T>
    T *child(const char *name) const
    {
        return window.findChild<T *>(QLatin1String(name));
    }
    QString text(const char *labelName) const { return child<QLabel>(labelName)->text(); }
    QPushButton *button() const { return child<QPushButton>("pushButton_startStop"); }
    ModbusMasterThread *thread() const { return window.findChild<ModbusMasterThread *>(); }

    void connectTo(const QString &port)
    {
        child<QComboBox>("comboBox_port")->setEditText(port);
        button()->click();
    }

    MainWindow window;
};

} // namespace

class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void firmwareProfiles_data();
    void firmwareProfiles();
    void parameterWritesAreReadBack();
    void vanishingTransmitterEndsPolling();
};

void tst_EndToEnd::firmwareProfiles_data()
{
    QTest::addColumn<int>("firmware");
    QTest::addColumn<int>("housing");
    QTest::addColumn<QString>("firmwareText");
    QTest::addColumn<QString>("set");

    using F = TransmitterSettings::Firmware;
    QTest::newRow("current, housing 1") << int(F::Current) << 1 << "QV30__2024-05-14"
                                        << "current";
    QTest::newRow("current, housing 3") << int(F::Current) << 3 << "QV30__2024-05-14"
                                        << "current";
    QTest::newRow("2014-02-18, housing 1") << int(F::Feb2014) << 1 << "QV20__2014-02-18"
                                           << "2014-02-18";
    QTest::newRow("legacy, housing 3") << int(F::Legacy) << 3 << "Legacy"
                                       << "legacy";
}

void tst_EndToEnd::firmwareProfiles()
{
    QFETCH(int, firmware);
    QFETCH(int, housing);
    QFETCH(QString, firmwareText);
    QFETCH(QString, set);
    const bool current = set == QLatin1String("current");
    const bool legacy = set == QLatin1String("legacy");

    Transmitter transmitter(steadyTransmitter(TransmitterSettings::Firmware(firmware), housing));
    QVERIFY2(transmitter.start(), qPrintable(transmitter.startError));
    Window w;
    w.connectTo(transmitter.server.linkPath());

    // Persistent, persistent, volatile: the transmitter serial link stands from the second.
    QTRY_VERIFY_WITH_TIMEOUT(w.text("label_temperature") != QLatin1String("---"), cycleTimeout);
    const QStringList requests = transmitter.requests();
    QVERIFY(requests.size() >= 3);
    QCOMPARE(requests.mid(0, 3),
             (QStringList { persistentRead, persistentRead, "FF030000001591DB" }));

    const VolatileValues served = transmitter.volatileValues();
    const QString none = QStringLiteral("---");
    const auto calculated = [&](const QString &text) { return current ? text : none; };
    using ValueFormat::decimal;
    using ValueFormat::integer;
    const struct
    {
        const char *label;
        QString text;
    } values[] = {
        { "label_temperature", decimal(served.temperature) },
        { "label_temperatureAlarm", integer(served.temperatureAlarm) },
        { "label_humidity", decimal(served.humidity) },
        { "label_humidityAlarm", integer(served.humidityAlarm) },
        { "label_serialNumber", integer(served.serialNumber) },
        { "label_serialNumberTr", calculated(integer(served.serialNumberTr)) },
        { "label_dewPointTemperature", calculated(decimal(served.dewPointTemperature)) },
        { "label_enthalpy", calculated(decimal(served.enthalpy)) },
        { "label_mixingRatio", calculated(decimal(served.mixingRatio)) },
        { "label_absoluteHumidity", calculated(decimal(served.absoluteHumidity)) },
        { "label_wetBulbTemperature", calculated(decimal(served.wetBulbTemperature)) },
        { "label_hxAlarm", calculated(integer(served.hxAlarm)) },
    };
    for (const auto &value : values)
        QCOMPARE(w.text(value.label), value.text);
    QCOMPARE(w.text("label_temperature"), QStringLiteral("23.46"));
    QCOMPARE(w.text("label_serialNumber"), QStringLiteral("21034567"));
    QCOMPARE(w.text("label_temperatureAlarm"), QStringLiteral("2"));
    QCOMPARE(w.text("label_humidityAlarm"), QStringLiteral("1"));

    QCOMPARE(w.text("label_firmware"), firmwareText);
    QCOMPARE(w.child<QComboBox>("comboBox_baudRate")->count(), current ? 7 : 6);
    // Legacy firmware shows its fixed line, whatever the registers hold.
    QCOMPARE(w.text("label_baudRate"), legacy ? QStringLiteral("19200") : "9600");
    QCOMPARE(w.text("label_parity"), legacy ? QStringLiteral("None") : "Even");
    QCOMPARE(w.text("label_stopBits"), legacy ? QStringLiteral("1") : "2");
    QCOMPARE(w.text("label_address"), QStringLiteral("17"));
    QCOMPARE(w.child<QComboBox>("comboBox_baudRate")->currentText(), legacy ? QString() : "9600");
    QCOMPARE(w.child<QComboBox>("comboBox_parity")->currentText(), legacy ? QString() : "Even");
    QCOMPARE(w.child<QComboBox>("comboBox_stopBits")->currentText(), legacy ? QString() : "2");
    QCOMPARE(w.child<QComboBox>("comboBox_parity")->isEnabled(), !legacy);
    QCOMPARE(w.child<QSpinBox>("spinBox_address")->value(), 17);
    QVERIFY(w.child<QSpinBox>("spinBox_address")->isEnabled());
}

void tst_EndToEnd::parameterWritesAreReadBack()
{
    TransmitterSettings settings;
    settings.temperatureDrift = 0;
    settings.humidityDrift = 0;
    Transmitter transmitter(settings);
    QVERIFY2(transmitter.start(), qPrintable(transmitter.startError));
    Window w;
    w.connectTo(transmitter.server.linkPath());
    QTRY_COMPARE_WITH_TIMEOUT(w.text("label_firmware"), QStringLiteral("QV30__2024-05-14"),
                              cycleTimeout);

    // All four during the second read, in the reverse of the order they go out in.
    w.child<QComboBox>("comboBox_baudRate")->setCurrentText(QStringLiteral("38400"));
    w.child<QComboBox>("comboBox_stopBits")->setCurrentText(QStringLiteral("2"));
    w.child<QComboBox>("comboBox_parity")->setCurrentText(QStringLiteral("Odd"));
    w.child<QSpinBox>("spinBox_address")->setValue(42);

    QTRY_COMPARE_WITH_TIMEOUT(w.text("label_address"), QStringLiteral("42"), 2 * cycleTimeout);
    QCOMPARE(w.text("label_baudRate"), QStringLiteral("38400"));
    QCOMPARE(w.text("label_parity"), QStringLiteral("Odd"));
    QCOMPARE(w.text("label_stopBits"), QStringLiteral("2"));
    QCOMPARE(w.child<QComboBox>("comboBox_parity")->currentText(), QStringLiteral("Odd"));
    QCOMPARE(w.child<QSpinBox>("spinBox_address")->value(), 42);
    QCOMPARE(transmitter.parameterRegisters(), (QVector<quint16> { 6, 2, 1, 0, 0, 42 }));

    const QStringList written = {
        "FF0600CD002A8C34", // address 42
        "FF0600C90002CDEB", // parity Odd
        "FF0600CA00017DEA", // stop bits 2
        "FF0600C800069DE8", // baud rate 38400
    };
    const QStringList requests = transmitter.requests();
    QVERIFY(requests.size() >= 7);
    QCOMPARE(requests.mid(0, 7),
             QStringList { persistentRead } << persistentRead << written << persistentRead);
    for (const QString &frame : written)
        QCOMPARE(requests.count(frame), 1);

    w.button()->click();
    QCOMPARE(w.button()->text(), QStringLiteral("&Disconnect"));
    QTRY_COMPARE_WITH_TIMEOUT(w.button()->text(), QStringLiteral("&Connect"), cycleTimeout);
    QVERIFY(w.child<QComboBox>("comboBox_port")->isEnabled());
    QVERIFY(!w.thread()->isRunning());
    QCOMPARE(w.text("label_address"), QStringLiteral("---"));
    QCOMPARE(w.text("label_firmware"), QStringLiteral("---"));
}

void tst_EndToEnd::vanishingTransmitterEndsPolling()
{
    TransmitterSettings settings;
    Transmitter transmitter(settings);
    QVERIFY2(transmitter.start(), qPrintable(transmitter.startError));
    Window w;
    const QString port = transmitter.server.linkPath();
    w.connectTo(port);
    QTRY_VERIFY_WITH_TIMEOUT(w.text("label_firmware") != QLatin1String("---"), cycleTimeout);

    transmitter.server.stop(); // the pty closes and its link goes

    QTRY_COMPARE_WITH_TIMEOUT(w.button()->text(), QStringLiteral("&Connect"), cycleTimeout);
    const QString message = w.child<QStatusBar>("statusBar")->currentMessage();
    QVERIFY2(message.startsWith(QStringLiteral("Can't open %1, error code ").arg(port)),
             qPrintable(message));
    QVERIFY(w.child<QComboBox>("comboBox_port")->isEnabled());
    QCOMPARE(w.text("label_firmware"), QStringLiteral("---"));
}

QTEST_MAIN(tst_EndToEnd)

#include "tst_endtoend.moc"
