// The "Acceptance check" window: fed transactions directly, and opened from the main window
// against the simulator.
#include "acceptancewindow.h"
#include "commissioningrecord.h"
#include "mainwindow.h"
#include "modbustransaction.h"
#include "simulatorserver.h"

#include <QtTest>
#include <QtWidgets>

namespace {

ModbusTransaction persistentRead()
{
    ModbusTransaction t;
    t.judgement.kind = ModbusProtocol::ResponseKind::PersistentBlock;
    t.judgement.persistentValues = { "QV30", 2024, 5, 14, 1, "19200", "None", "1", 1 };
    return t;
}

ModbusTransaction volatileRead(float temperature, float humidity)
{
    ModbusTransaction t;
    t.judgement.kind = ModbusProtocol::ResponseKind::VolatileBlock;
    t.judgement.volatileValues.temperature = temperature;
    t.judgement.volatileValues.humidity = humidity;
    t.judgement.volatileValues.serialNumber = 21034567;
    return t;
}

QString cell(const AcceptanceWindow &w, int row, int column)
{
    const QTableWidgetItem *item = w.findChild<QTableWidget *>("points")->item(row, column);
    return item ? item->text() : QString();
}

} // namespace

class TestAcceptanceWindow : public QObject
{
    Q_OBJECT

private slots:
    void point_data()
    {
        QTest::addColumn<double>("referenceHumidity");     // the spin box's minimum: not entered
        QTest::addColumn<QVector<double>>("temperatures"); // the transmitter's reads; 0: Disconnect
        // The verdict and the deviations of temperature and humidity in the table; none: no row.
        QTest::addColumn<QString>("expected");
        QTest::newRow("five steady reads within tolerance")
            << 46.0 << QVector<double>(5, 22.3) << "PASS +0.30 -1.00";
        QTest::newRow("outside: +0.60 against ±0.50")
            << 46.0 << QVector<double>(5, 22.6) << "FAIL +0.60 -1.00";
        QTest::newRow("humidity not entered: shown as a dash, not judged")
            << -1.0 << QVector<double>(5, 22.3) << "PASS +0.30 –";
        // A read queued before the disconnect still arrives: it must not complete the point.
        QTest::newRow("disconnected during the point: dropped")
            << 46.0 << QVector<double> { 22.0, 0, 22.0 } << "";
    }

    void point()
    {
        QFETCH(double, referenceHumidity);
        QFETCH(QVector<double>, temperatures);
        QFETCH(QString, expected);

        AcceptanceWindow w;
        auto *take = w.findChild<QPushButton *>("takePoint");
        QVERIFY(!take->isEnabled()); // not connected
        w.setConnected(true, "/dev/ttyUSB0");
        QVERIFY(!take->isEnabled()); // no identity read yet
        w.transaction(persistentRead());
        QVERIFY(take->isEnabled());

        w.findChild<QDoubleSpinBox *>("referenceTemperature")->setValue(22.0);
        w.findChild<QDoubleSpinBox *>("referenceHumidity")->setValue(referenceHumidity);
        take->click();
        QVERIFY(!take->isEnabled());
        QVERIFY(!w.findChild<QPushButton *>("saveReport")->isEnabled());
        for (double t : temperatures) {
            if (t == 0)
                w.setConnected(false, QString());
            else
                w.transaction(volatileRead(float(t), 45.0f));
        }
        if (expected.isEmpty()) {
            QCOMPARE(w.findChild<QTableWidget *>("points")->rowCount(), 0);
            QVERIFY(!take->isEnabled());
            QVERIFY(!w.record().acceptance);
            return;
        }
        const QString verdict = expected.section(' ', 0, 0);
        QCOMPARE(cell(w, 0, 9) + ' ' + cell(w, 0, 4) + ' ' + cell(w, 0, 8), expected);
        QVERIFY(w.findChild<QLabel *>("overall")->text().contains(verdict));
        QVERIFY(w.findChild<QPushButton *>("saveReport")->isEnabled());
        const QJsonObject record = Commissioning::toJson(w.record());
        QCOMPARE(record["acceptance"]["verdict"].toString(), verdict.toLower());
        QCOMPARE(record["transmitter"]["probe_serial"].toInt(), 21034567);
    }

    void everyFieldHasAName()
    {
        AcceptanceWindow w;
        w.show();
        for (QWidget *field : w.findChildren<QWidget *>()) {
            if (!qobject_cast<QLineEdit *>(field) && !qobject_cast<QAbstractSpinBox *>(field)
                && !qobject_cast<QAbstractButton *>(field) && !qobject_cast<QLabel *>(field))
                continue;
            if (qobject_cast<QAbstractSpinBox *>(field->parent())
                || w.findChild<QTableWidget *>()->isAncestorOf(field))
                continue; // parts of a spin box or of the table, named by their owner
            const QAccessibleInterface *a = QAccessible::queryAccessibleInterface(field);
            QVERIFY2(!a->text(QAccessible::Name).isEmpty() || qobject_cast<QLabel *>(field),
                     qPrintable(field->metaObject()->className() + (' ' + field->objectName())));
        }
    }

    // The whole way: Tools > Acceptance check enabled while connected, a point taken from the
    // main window's polling of the simulator.
    void fromTheMainWindow()
    {
        TransmitterSettings settings;
        settings.temperatureDrift = settings.humidityDrift = 0;
        SimulatorServer server(settings);
        QVERIFY(server.start());
        MainWindow window;
        auto *action = window.findChild<QAction *>("actionAcceptanceCheck");
        auto *button = window.findChild<QPushButton *>("pushButton_startStop");
        const auto idle = qScopeGuard([&] {
            if (button->text() != "&Connect")
                button->click();
            (void)QTest::qWaitFor([&] { return button->text() == "&Connect"; }, 10000);
            window.cleanUp();
        });
        QVERIFY(!action->isEnabled());
        window.choosePort(server.portPath());
        window.connectPort();
        QVERIFY(action->isEnabled());
        action->trigger();
        auto *check = window.findChild<AcceptanceWindow *>();
        QVERIFY(check && check->isVisible());
        auto *take = check->findChild<QPushButton *>("takePoint");
        QTRY_VERIFY_WITH_TIMEOUT(take->isEnabled(), 10000);
        check->findChild<QDoubleSpinBox *>("referenceTemperature")->setValue(22.4);
        check->findChild<QDoubleSpinBox *>("referenceHumidity")->setValue(45.0);
        take->click();
        // Five volatile reads, one every other transaction of about 1.3 s.
        QTRY_COMPARE_WITH_TIMEOUT(cell(*check, 0, 9), QString("PASS"), 30000);
        QCOMPARE(cell(*check, 0, 2) + ' ' + cell(*check, 0, 4), "22.50 +0.10");

        button->click();
        QTRY_VERIFY_WITH_TIMEOUT(!action->isEnabled(), 10000);
        QVERIFY(!take->isEnabled());
        QVERIFY(check->findChild<QPushButton *>("saveReport")->isEnabled()); // still to be saved
    }
};

QTEST_MAIN(TestAcceptanceWindow)
#include "tst_acceptancewindow.moc"
