// The window, its thread and a real port against the in-process simulator on a pseudo-terminal.
#include "mainwindow.h"
#include "psychrometrics.h"
#include "simulatorserver.h"
#include "valueformat.h"

#include <QtTest>
#include <QtWidgets>

namespace {

constexpr int cycleTimeout = 10000; // three transactions of about 1.3 s each
const QString persistentRead = "FF0300C80010D026";
QStringList requestLog; // the hex of every request frame that the simulator took off the line

ServerSettings logging(const QString &linkPath)
{
    requestLog.clear();
    ServerSettings settings;
    settings.linkPath = linkPath;
    settings.trace = true;
    settings.traceOutput = [](const QString &line) { // "<seconds> rx FF 03 ... (note)"
        const QString frame = line.section(" rx ", 1).section(" (", 0, 0).remove(' ');
        if (!frame.isEmpty()) // kept in the GUI thread, which reads it
            QMetaObject::invokeMethod(qApp, [frame] { requestLog << frame; });
    };
    return settings;
}

// The simulator behind a link and the window connected to it, as main() runs it. It leaves the
// program disconnected, which alone resets the read phase that the next test's window shares.
struct Rig
{
    explicit Rig(const TransmitterSettings &settings)
        : server(settings, logging(directory.filePath("port")))
    {
        server.start(); // or the window reports that it can't open the port
        box("port")->setEditText(server.linkPath());
        button()->click();
    }
    ~Rig()
    {
        if (button()->text() != "&Connect")
            button()->click(); // Disconnect; the transaction in flight ends first
        (void)QTest::qWaitFor([this] { return button()->text() == "&Connect"; }, cycleTimeout);
        window.cleanUp();
    }
    QComboBox *box(QString n) const { return window.findChild<QComboBox *>("comboBox_" + n); }
    QPushButton *button() const { return window.findChild<QPushButton *>("pushButton_startStop"); }
    QString texts(const QString &labels) const
    {
        QStringList shown;
        for (const QString &label : labels.split(' '))
            shown << window.findChild<QLabel *>("label_" + label)->text();
        return shown.join(' ');
    }

    QTemporaryDir directory;
    SimulatorServer server;
    MainWindow window;
};

} // namespace

class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void firmwareProfilesAndVanishing_data()
    {
        QTest::addColumn<int>("firmware");
        QTest::addColumn<QString>("firmwareText");
        using F = TransmitterSettings::Firmware;
        QTest::newRow("current") << int(F::Current) << "QV30__2024-05-14";
        QTest::newRow("2014-02-18") << int(F::Feb2014) << "QV20__2014-02-18";
        QTest::newRow("legacy") << int(F::Legacy) << "Legacy";
    }

    void firmwareProfilesAndVanishing()
    {
        QFETCH(int, firmware);
        QFETCH(QString, firmwareText);
        const bool current = firmware == int(TransmitterSettings::Firmware::Current);
        const bool legacy = firmware == int(TransmitterSettings::Firmware::Legacy);
        TransmitterSettings settings;
        settings.setFirmware(TransmitterSettings::Firmware(firmware));
        settings.housing = 3;
        settings.temperature = 61.234; // alarm states 2, 1 and 0 (dew point)
        settings.humidity = 5.678;
        settings.temperatureDrift = settings.humidityDrift = 0;
        settings.baudRateCode = 4; // 9600, Even, 2 stop bits
        settings.parityCode = settings.stopBitsCode = 1;
        settings.address = 17;
        Rig rig(settings);

        const Psychrometrics::MoistAir air = Psychrometrics::moistAir(61.234, 5.678);
        const auto calculated = [&](float value) {
            return current ? ValueFormat::decimal(value) : "---";
        };
        // Persistent, persistent (its housing code reaches the link the first one made), volatile.
        QTRY_COMPARE_WITH_TIMEOUT(
            rig.texts("temperature temperatureAlarm humidity humidityAlarm serialNumber "
                      "serialNumberTr dewPointTemperature enthalpy mixingRatio absoluteHumidity "
                      "wetBulbTemperature hxAlarm"),
            (QStringList { "61.23 2 5.68 1 21034567", current ? "21034568" : "---",
                           calculated(air.dewPoint), calculated(air.enthalpy),
                           calculated(air.mixingRatio), calculated(air.absoluteHumidity),
                           calculated(air.wetBulb), current ? "0" : "---" })
                .join(' '),
            cycleTimeout);
        QCOMPARE(rig.texts("firmware"), firmwareText);
        QCOMPARE(rig.box("baudRate")->count(), current ? 7 : 6);
        // Legacy firmware shows its fixed line whatever the registers hold, and offers no choice.
        QCOMPARE(rig.texts("baudRate parity stopBits address"),
                 QString(legacy ? "19200 None 1 17" : "9600 Even 2 17"));
        QCOMPARE(rig.box("parity")->isEnabled(), !legacy);

        rig.server.stop(); // mid-poll: the pty closes and its link goes
        QTRY_COMPARE_WITH_TIMEOUT(rig.button()->text(), QString("&Connect"), cycleTimeout);
        QVERIFY(rig.window.statusBar()->currentMessage().startsWith(
            "Can't open " + rig.server.linkPath() + ", error code "));
        QCOMPARE(rig.texts("firmware"), QString("---"));
    }

    void parameterWritesAndDisconnect()
    {
        Rig rig { TransmitterSettings() }; // current firmware, housing 1
        QTRY_COMPARE_WITH_TIMEOUT(rig.texts("firmware"), QString("QV30__2024-05-14"), cycleTimeout);

        // All four during the second read, in the reverse of the order they go out in.
        rig.box("baudRate")->setCurrentText("38400");
        rig.box("stopBits")->setCurrentText("2");
        rig.box("parity")->setCurrentText("Odd");
        rig.window.findChild<QSpinBox *>("spinBox_address")->setValue(42);
        QTRY_COMPARE_WITH_TIMEOUT(rig.texts("address"), QString("42"), 2 * cycleTimeout);
        QCOMPARE(rig.texts("baudRate parity stopBits"), QString("38400 Odd 2"));
        const QStringList written = { "FF0600CD002A8C34", "FF0600C90002CDEB", "FF0600CA00017DEA",
                                      "FF0600C800069DE8" }; // address 42, Odd, 2 stop bits, 38400
        QTRY_COMPARE(requestLog.mid(0, 7),
                     QStringList { persistentRead } << persistentRead << written << persistentRead);
        for (const QString &frame : written)
            QCOMPARE(requestLog.count(frame), 1);
        QTRY_COMPARE_WITH_TIMEOUT(rig.texts("serialNumberTr"), QString("21034568"), cycleTimeout);

        rig.button()->click(); // the transaction in flight ends, then polling stops
        QTRY_COMPARE_WITH_TIMEOUT(rig.button()->text(), QString("&Connect"), cycleTimeout);
        QCOMPARE(rig.texts("firmware serialNumberTr"), QString("--- ---"));
    }
};

QTEST_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
