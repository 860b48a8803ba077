// The window's recording and trend against the in-process simulator: the menu actions, the
// status-bar item, the Trend window, and a failing file that leaves polling running.
#include "mainwindow.h"
#include "modbusmasterthread.h"
#include "simulatorserver.h"
#include "trendwindow.h"

#include <QtTest>
#include <QtWidgets>

class tst_RecordingWindow : public QObject
{
    Q_OBJECT

private slots:
    void recordAndTrend()
    {
        QTemporaryDir folder;
        ServerSettings serverSettings;
        serverSettings.linkPath = folder.filePath("port");
        TransmitterSettings transmitter;
        transmitter.temperature = 30;
        transmitter.temperatureDrift = 0;
        SimulatorServer server(transmitter, serverSettings);
        QVERIFY(server.start());

        MainWindow window;
        const auto cleanUp = qScopeGuard([&] { window.cleanUp(); });
        const auto action = [&](const char *name) { return window.findChild<QAction *>(name); };
        auto *status = window.findChild<QLabel *>("recordingStatus");
        auto *button = window.findChild<QPushButton *>("pushButton_startStop");
        window.show();
        window.choosePort(server.linkPath());

        const QString path = folder.filePath("record.csv");
        window.startRecording(path, RecordFile::Existing::Refuse);
        QVERIFY(status->isVisible() && !action("actionStartRecording")->isEnabled());
        window.connectPort();
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), "Recording record.csv: 4 rows", 15000);

        action("actionTrend")->trigger();
        auto *trend = window.findChild<TrendWindow *>();
        QVERIFY(trend && trend->isVisible());
        QCOMPARE(trend->windowTitle(), "Trend");
        QCOMPARE(trend->findChild<QLabel *>("label_temperature")->text(), "30");
        QCOMPARE(trend->drawnPoints(TrendQuantity::Temperature), 2); // the readings so far
        QCOMPARE(trend->drawnPoints(TrendQuantity::DewPoint), 2);

        action("actionStopRecording")->trigger();
        QVERIFY(!status->isVisible() && action("actionStartRecording")->isEnabled());
        QTRY_VERIFY(QFile(path).size() > 0 && [&] {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            const QList<QByteArray> rows = file.readAll().split('\n');
            return rows.size() == 7 && rows.at(5).contains(",recording,") // then the last "\n"
                && rows.at(5).endsWith(",stopped");
        }());

        // A record that fails says so in its item, and keeps saying it through the next
        // "Timeout" until the user clicks it; polling goes on.
        const QString full = "Recording stopped: can't write /dev/full: No space left on device";
        window.startRecording("/dev/full", RecordFile::Existing::Overwrite);
        QTRY_COMPARE(status->text(), full);
        QVERIFY(status->isVisible() && action("actionStartRecording")->isEnabled());
        QVERIFY(status->accessibleDescription().startsWith(full));
        emit window.findChild<ModbusMasterThread *>()->info("Timeout");
        QCOMPARE(window.statusBar()->currentMessage(), "Timeout");
        QVERIFY(status->isVisible());
        QCOMPARE(status->text(), full);
        QTest::mouseClick(status, Qt::LeftButton);
        QVERIFY(!status->isVisible());
        const int frames = server.framesReceived();
        QTRY_VERIFY_WITH_TIMEOUT(server.framesReceived() >= frames + 2, 5000);
        QCOMPARE(button->text(), "&Disconnect");
        QTRY_COMPARE_WITH_TIMEOUT(trend->drawnPoints(TrendQuantity::Temperature), 3, 5000);
        button->click();
        QTRY_COMPARE_WITH_TIMEOUT(button->text(), "&Connect", 5000);
    }
};

QTEST_MAIN(tst_RecordingWindow)
#include "tst_recordingwindow.moc"
