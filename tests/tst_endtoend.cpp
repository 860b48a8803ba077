// The window, its thread and a real port against the in-process simulator on a pseudo-terminal.
#include "mainwindow.h"
#include "modbusprotocol.h"
#include "psychrometrics.h"
#include "recordschema.h"
#include "simulatorserver.h"
#include "valueformat.h"

#include <QtTest>
#include <QtWidgets>

namespace {
using F = TransmitterSettings::Firmware;
constexpr int cycleTimeout = 10000; // three transactions of about 1.3 s each

// A main window; disconnected at the end, even after a failure: the next row's window shares the
// read phase.
struct Window
{
    MainWindow window;
    QPushButton *button = window.findChild<QPushButton *>("pushButton_startStop");

    ~Window()
    {
        if (button->text() != "&Connect")
            button->click(); // the transaction in flight ends first
        (void)QTest::qWaitFor([&] { return button->text() == "&Connect"; }, cycleTimeout);
        window.cleanUp();
    }
    QComboBox *box(const char *name) const { return window.findChild<QComboBox *>(name); }
    void connectTo(const QString &port)
    {
        box("comboBox_port")->setEditText(port);
        button->click();
    }
    void disconnect()
    {
        button->click(); // the transaction in flight ends, then polling stops
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), QString("&Connect"), cycleTimeout);
    }
    QString texts(const QString &labels) const
    {
        QStringList shown;
        for (const QString &label : labels.split(' '))
            shown << window.findChild<QLabel *>("label_" + label)->text();
        return shown.join(' ');
    }
};
} // namespace

class tst_EndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void polling_data()
    {
        QTest::addColumn<int>("firmware");
        QTest::addColumn<int>("housing");
        QTest::addColumn<bool>("writes"); // four parameter writes, then Disconnect; else vanishing
        QTest::addColumn<QString>("firmwareText");
        QTest::newRow("current, writes") << int(F::Current) << 1 << true << "QV30__2024-05-14";
        QTest::newRow("current, housing 3") << int(F::Current) << 3 << false << "QV30__2024-05-14";
        QTest::newRow("2014-02-18") << int(F::Feb2014) << 3 << false << "QV20__2014-02-18";
        QTest::newRow("legacy") << int(F::Legacy) << 3 << false << "Legacy";
    }

    void polling()
    {
        QFETCH(int, firmware);
        QFETCH(bool, writes);
        const bool current = F(firmware) == F::Current, legacy = F(firmware) == F::Legacy;
        TransmitterSettings settings;
        settings.setFirmware(F(firmware));
        QFETCH(int, housing);
        settings.housing = housing;
        settings.temperature = 61.234; // alarm states 2, 1 and 0 (dew point)
        settings.humidity = 5.678;
        settings.temperatureDrift = settings.humidityDrift = 0;
        settings.baudRateCode = 4; // 9600, Even, 2 stop bits
        settings.parityCode = settings.stopBitsCode = 1;
        settings.address = 17;
        QTemporaryDir directory;
        ServerSettings serverSettings;
        serverSettings.linkPath = directory.filePath("port");
        SimulatorServer server(settings, serverSettings);
        QVERIFY(server.start());
        Window w;
        w.connectTo(server.linkPath());

        // Persistent, persistent (its housing code reaches the link the first one made), volatile.
        const Psychrometrics::MoistAir air = Psychrometrics::moistAir(61.234, 5.678);
        QString more = "21034568 0"; // the current set's serial, Hx alarm and calculated values
        for (const double value :
             { air.dewPoint, air.enthalpy, air.mixingRatio, air.absoluteHumidity, air.wetBulb })
            more += ' ' + ValueFormat::decimal(float(value));
        QTRY_COMPARE_WITH_TIMEOUT(
            w.texts("temperature temperatureAlarm humidity humidityAlarm serialNumber "
                    "serialNumberTr hxAlarm dewPointTemperature enthalpy mixingRatio "
                    "absoluteHumidity wetBulbTemperature"),
            "61.23 2 5.68 1 21034567 " + (current ? more : QString("--- ").repeated(7).trimmed()),
            cycleTimeout);
        QTEST(w.texts("firmware"), "firmwareText");
        QCOMPARE(w.box("comboBox_baudRate")->count(), current ? 7 : 6);
        // Legacy firmware shows its fixed line whatever the registers hold, and offers no choice.
        QCOMPARE(w.texts("baudRate parity stopBits address"),
                 QString(legacy ? "19200 None 1 17" : "9600 Even 2 17"));
        QCOMPARE(w.box("comboBox_parity")->isEnabled(), !legacy);

        if (writes) { // all four in one pause, each then read back
            w.box("comboBox_baudRate")->setCurrentText("38400");
            w.box("comboBox_stopBits")->setCurrentText("1");
            w.box("comboBox_parity")->setCurrentText("Odd");
            w.window.findChild<QSpinBox *>("spinBox_address")->setValue(42);
            QTRY_COMPARE_WITH_TIMEOUT(w.texts("baudRate parity stopBits address"),
                                      QString("38400 Odd 1 42"), 2 * cycleTimeout);
            w.button->click(); // the transaction in flight ends first
        } else {
            server.stop(); // mid-poll: the pty closes and its link goes
        }
        QTRY_COMPARE_WITH_TIMEOUT(w.button->text(), QString("&Connect"), cycleTimeout);
        QCOMPARE(w.window.statusBar()->currentMessage().startsWith("Can't open " + server.linkPath()
                                                                   + ", error code "),
                 !writes);
        QCOMPARE(w.texts("firmware serialNumberTr"), QString("--- ---"));
    }

    // A transmitter that takes written settings at once is followed there: the line first, then
    // a new address while a unit address is in force.
    void followsTheTransmitter()
    {
        TransmitterSettings settings;
        settings.applySettings = TransmitterSettings::Apply::Immediately;
        SimulatorServer server(settings);
        QVERIFY(server.start());
        QStringList messages; // outlives the window, whose last messages come as it closes
        Window w;
        ConnectionSettings connection;
        connection.unit = 1;
        connection.pauseMs = 100;
        w.window.setConnectionSettings(connection);
        connect(w.window.statusBar(), &QStatusBar::messageChanged, this,
                [&](const QString &m) { messages << m; });
        auto *shown = w.window.findChild<QPushButton *>("pushButton_connection");
        QCOMPARE(shown->text(), QString("19200 8N1 \u00b7 1"));
        w.connectTo(server.portPath());
        QComboBox *parity = w.box("comboBox_parity");
        QTRY_COMPARE_WITH_TIMEOUT(parity->currentText(), QString("None"), cycleTimeout);
        // Not on the bench: each line or address write is asked first, Cancel by default.
        QString asked;
        const auto answer = [&](const QString &button) {
            QTimer::singleShot(0, this, [&asked, button] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                QVERIFY(box);
                asked = box->text() + ' ' + box->informativeText();
                QCOMPARE(box->defaultButton(), box->button(QMessageBox::Cancel));
                for (QAbstractButton *b : box->buttons())
                    if (b->text() == button)
                        b->click();
            });
        };
        answer("Cancel");
        parity->setCurrentText("Even");
        QCOMPARE(asked,
                 QString("Write parity Even (the transmitter reports None)? Unit 1 may "
                         "answer only at 19200 8E1 afterwards; the other units on this "
                         "line stay at 19200 8N1."));
        QCOMPARE(parity->currentText(), QString("None")); // back on the reported value
        QTest::qWait(1500);                               // a whole cycle: nothing written
        QVector<quint16> stored;
        QVERIFY(server.transmitter().readRegisters(ModbusProtocol::parityRegister, 1, &stored));
        QCOMPARE(stored, QVector<quint16>({ 0 }));
        answer("&Write");
        parity->setCurrentText("Odd");
        QTRY_COMPARE_WITH_TIMEOUT(shown->text(), QString("19200 8O1 \u00b7 1"), cycleTimeout);
        QVERIFY2(messages.contains("The transmitter now answers at 19200 8O1, address 1; the tool "
                                   "follows"),
                 qPrintable(messages.join('\n')));
        answer("&Write");
        w.window.findChild<QSpinBox *>("spinBox_address")->setValue(9);
        QTRY_COMPARE_WITH_TIMEOUT(shown->text(), QString("19200 8O1 \u00b7 9"), cycleTimeout);
        QTRY_COMPARE_WITH_TIMEOUT(w.texts("address"), QString("9"), cycleTimeout);
        QCOMPARE(w.button->text(), QString("&Disconnect")); // polling never stopped
    }

    void transmitterChanged_data()
    {
        QTest::addColumn<int>("housing"); // of the current transmitter that is connected first
        QTest::addColumn<int>("next");    // the firmware of the one that takes its place
        QTest::addColumn<bool>("whilePolling");
        QTest::addColumn<QString>("expected"); // shown() once three transactions are over
        QTest::newRow("housing 1, Disconnect, Connect to 2014-02-18")
            << 1 << int(F::Feb2014) << false << "QV20__2014-02-18 --- 9600 Even 2 9600 Even 2";
        QTest::newRow("housing 3, Disconnect, Connect to legacy")
            << 3 << int(F::Legacy) << false << "Legacy --- 19200 None 1 _ _ _";
        QTest::newRow("housing 3, swapped for legacy while polling")
            << 3 << int(F::Legacy) << true << "Legacy --- 19200 None 1 _ _ _";
    }

    // Reports queued from one answer are still delivered after the firmware report among them has
    // undone their links; none may show what the feature set now in force does not offer.
    void transmitterChanged()
    {
        QFETCH(int, housing);
        QFETCH(int, next);
        QFETCH(bool, whilePolling);
        TransmitterSettings settings; // current firmware; 9600, Even, 2 stop bits
        settings.housing = housing;
        settings.baudRateCode = 4;
        settings.parityCode = settings.stopBitsCode = 1;
        QTemporaryDir directory;
        ServerSettings serverSettings;
        serverSettings.linkPath = directory.filePath("port");
        auto server = std::make_unique<SimulatorServer>(settings, serverSettings);
        QVERIFY(server->start());
        Window w;
        const auto shown = [&] { // line parameters as reported, then as in the selectors
            QString texts = w.texts("firmware serialNumberTr baudRate parity stopBits");
            for (const char *name : { "comboBox_baudRate", "comboBox_parity", "comboBox_stopBits" })
                texts += ' ' + w.box(name)->currentText().leftJustified(1, '_');
            return texts;
        };
        bool swapped = false;
        const auto swap = [&] { // the next transmitter, on the same link path
            server.reset();
            settings.setFirmware(F(next));
            server = std::make_unique<SimulatorServer>(settings, serverSettings);
            swapped = server->start();
        };
        w.connectTo(serverSettings.linkPath);
        QTRY_VERIFY_WITH_TIMEOUT(shown().contains(" 21034568 "), cycleTimeout);

        if (whilePolling) { // once a transaction is over, in the pause before the next one
            QMetaObject::Connection once;
            once = connect(w.window.findChild<QThread *>(), &QThread::finished, this, [&] {
                disconnect(once);
                swap();
            });
            QTRY_VERIFY_WITH_TIMEOUT(swapped, cycleTimeout);
        } else {
            w.disconnect();
            swap();
            QVERIFY(swapped);
            w.button->click();
        }
        // The fourth request: three transactions are over, a persistent and a volatile read among
        // them.
        QTRY_VERIFY_WITH_TIMEOUT(server->framesReceived() >= 4, 2 * cycleTimeout);
        QCOMPARE(w.button->text(), QString("&Disconnect"));
        QTEST(shown(), "expected");
    }

    // A write the transmitter did not carry out leaves a lasting note beside its selector, which
    // goes back to what the transmitter reports.
    void writeOutcome_data()
    {
        QTest::addColumn<int>("refuseWrites"); // the exception code; 0: echoed, not carried out
        QTest::addColumn<QString>("note");
        QTest::newRow("ignored: echoed, read back as before")
            << 0 << "Written Even, transmitter reports None";
        QTest::newRow("refused with exception 02")
            << 2 << "Refused: exception 02 from the transmitter: illegal data address";
    }

    void writeOutcome()
    {
        QFETCH(int, refuseWrites);
        QFETCH(QString, note);
        TransmitterSettings settings;
        settings.refuseWrites = refuseWrites;
        settings.ignoreWrites = refuseWrites == 0;
        SimulatorServer server(settings);
        QVERIFY(server.start());
        Window w;
        QComboBox *parity = w.box("comboBox_parity");
        QLabel *mark = w.window.findChild<QLabel *>("note_parity");
        w.connectTo(server.portPath());
        QTRY_COMPARE_WITH_TIMEOUT(parity->currentText(), QString("None"), cycleTimeout);
        parity->setCurrentText("Even");
        QTRY_COMPARE_WITH_TIMEOUT(mark->text(), note, 2 * cycleTimeout);
        QVERIFY(mark->isVisibleTo(&w.window));
        QCOMPARE(QAccessible::queryAccessibleInterface(mark)->text(QAccessible::Description), note);
        QCOMPARE(mark->palette().color(QPalette::WindowText), QColor(Qt::red));
        QTRY_COMPARE_WITH_TIMEOUT(parity->currentText(), QString("None"), cycleTimeout);
        // Still there after the next persistent read; gone once the user chooses again.
        const int frames = server.framesReceived();
        QTRY_VERIFY_WITH_TIMEOUT(server.framesReceived() >= frames + 2, 2 * cycleTimeout);
        QCOMPARE(mark->text(), note);
        parity->setCurrentText("Odd");
        QVERIFY(!mark->isVisibleTo(&w.window));
    }

    void commissioningRecord_data()
    {
        QTest::addColumn<double>("exceptions"); // the share of answers replaced by an exception
        QTest::newRow("every read answered") << 0.0;
        QTest::newRow("saved while a failed read greys a block") << 0.4;
    }

    // The record holds what the window shows, and says which of it a failed read left stale.
    void commissioningRecord()
    {
        QFETCH(double, exceptions);
        ServerSettings serverSettings;
        serverSettings.faults.exception = exceptions;
        SimulatorServer server { TransmitterSettings(), serverSettings };
        QVERIFY(server.start());
        Window w;
        QAction *save = w.window.findChild<QAction *>("actionSaveCommissioningRecord");
        QVERIFY(!save->isEnabled());
        w.connectTo(server.portPath());
        QVERIFY(save->isEnabled()); // while connected, a reading or not
        const auto greyed = [&] {
            QStringList blocks;
            if (!w.window.findChild<QLabel *>("label_temperature")->isEnabled())
                blocks << "measurement";
            if (!w.window.findChild<QLabel *>("label_firmware")->isEnabled())
                blocks << "configuration";
            return blocks;
        };
        QTRY_VERIFY_WITH_TIMEOUT(w.window.persistentRead && w.window.volatileRead
                                     && (exceptions == 0 || !greyed().isEmpty()),
                                 4 * cycleTimeout);
        const QStringList stale = greyed(); // saved at once: no read comes in between

        QTemporaryDir directory;
        const QString file = directory.filePath("unit.json");
        w.window.writeCommissioningRecord(file);
        const QString saved = "Commissioning record saved to " + file;
        const auto message = [&] { return w.window.statusBar()->currentMessage(); };
        QTRY_VERIFY(message().startsWith(saved));
        QCOMPARE(message().section(", marked stale: ", 0, 0), saved);
        QCOMPARE(message().contains("earlier read"), !stale.isEmpty());
        const QString problem = schemaProblem(file);
        if (problem == "skip")
            QSKIP("python3-jsonschema is not installed (scripts/install-deps.sh)");
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QFile record(file);
        QVERIFY(record.open(QIODevice::ReadOnly));
        const QJsonObject json = QJsonDocument::fromJson(record.readAll()).object();
        QCOMPARE(json["tool"]["name"].toString() + ' ' + json["port"].toString() + ' '
                     + QString::number(json["transmitter"]["transmitter_serial"].toInt()),
                 "quorvel-setup " + server.portPath() + " 21034568");
        QCOMPARE(json["stale"].toVariant().toStringList(), stale);
        QCOMPARE(json["schema_version"].toInt(), stale.isEmpty() ? 1 : 2);

        w.disconnect();
        QVERIFY(!save->isEnabled());
    }
};

QTEST_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
