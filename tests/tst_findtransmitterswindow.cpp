// "Find transmitters" offscreen against the in-process simulator: opened from the main window's
// Tools menu (its place in the menu bar is the form test's), a scan that fills the table,
// Connect to this one, and the line kept for the poller.
#include "findtransmitterswindow.h"
#include "mainwindow.h"
#include "modbusmasterthread.h"
#include "simulatorserver.h"

#include <QtTest>
#include <QtWidgets>

class tst_FindTransmittersWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;
    std::unique_ptr<SimulatorServer> server;

    // One transmitter at this address, behind a link as a user names a port.
    bool start(int address)
    {
        ServerSettings serverSettings;
        serverSettings.linkPath = folder.filePath("port");
        TransmitterSettings transmitter;
        transmitter.address = address;
        server = std::make_unique<SimulatorServer>(transmitter, serverSettings);
        return server->start();
    }

private slots:
    void cleanup() { server.reset(); }
    void scanThenConnect();
    void cancel();
};

void tst_FindTransmittersWindow::scanThenConnect()
{
    QVERIFY(start(17));
    MainWindow window;
    const auto cleanUp = qScopeGuard([&] { window.cleanUp(); });
    window.show();
    window.choosePort(server->linkPath());
    window.findChild<QAction *>("actionFindTransmitters")->trigger();
    auto *find = window.findChild<FindTransmittersWindow *>();
    QVERIFY(find && find->isVisible());
    QCOMPARE(find->port->text(), server->linkPath()); // taken from the Port box

    find->firstUnit->setValue(10);
    find->lastUnit->setValue(20);
    QTest::mouseClick(find->startButton, Qt::LeftButton);
    // The line is the scan's until it ends: Connect waits.
    auto *port = window.findChild<QComboBox *>("comboBox_port");
    window.connectPort();
    QVERIFY(port->isEnabled());
    QTRY_VERIFY(!find->isScanning());
    QCOMPARE(find->table->rowCount(), 1);
    QCOMPARE(find->table->item(0, 0)->text() + ' ' + find->table->item(0, 1)->text(),
             QStringLiteral("17 19200-8N1"));
    QCOMPARE(find->progress->value(), find->progress->maximum());

    // Connect to this one: the main window polls unit 17, and a scan must then wait.
    QTest::mouseClick(find->connectButton, Qt::LeftButton);
    QVERIFY(!port->isEnabled());
    QCOMPARE(window.mbThread->connection().unit, 17);
    QCOMPARE(window.mbThread->connection().endpoint.toString(), server->linkPath());
    QVERIFY(!find->startButton->isEnabled());
    QVERIFY(!find->startReason->text().isEmpty());
    QCOMPARE(find->startButton->accessibleDescription(), find->startReason->text());
    QTRY_VERIFY(window.findChild<QLabel *>("label_serialNumber")->text().contains("21034567"));
}

// Cancel ends the scan after the request in flight and keeps what was found so far.
void tst_FindTransmittersWindow::cancel()
{
    QVERIFY(start(2));
    FindTransmittersWindow find;
    find.show();
    find.setPort(server->linkPath());
    find.timeout->setValue(200); // a whole pass would take 50 s
    find.startButton->click();
    QTRY_COMPARE(find.table->rowCount(), 1);
    QElapsedTimer clock;
    clock.start();
    find.cancelButton->click();
    QTRY_VERIFY(!find.isScanning());
    QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(find.status->text().startsWith(QLatin1String("Cancelled")));
    QCOMPARE(find.table->rowCount(), 1);
    QVERIFY(find.startButton->isEnabled());
}

QTEST_MAIN(tst_FindTransmittersWindow)
#include "tst_findtransmitterswindow.moc"
