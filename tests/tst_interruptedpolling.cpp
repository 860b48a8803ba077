// The polling window closed at any moment, or its port vanishing or held by another program.
#include "mainwindow.h"
#include "simulatorserver.h"

#include <QtTest>
#include <QtWidgets>

#include <atomic>
#include <mutex>

namespace {

std::recursive_mutex mutex; // the trace comes from the worker and the GUI thread
std::pair<QString, std::function<void()>> trap; // at line .first, .second runs once, in its thread
std::atomic<int> warnings { 0 };
QtMessageHandler testLogHandler = nullptr;

void watchTrace(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    // The offscreen platform's remarks about window-manager features are not ours.
    warnings += type == QtWarningMsg && !message.startsWith("This plugin does not");
    if (type != QtDebugMsg)
        testLogHandler(type, context, message);
    else if (message == trap.first)
        std::exchange(trap.second, [] {})();
}

void aim(const QString &line, const std::function<void()> &action)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    trap = { line, action };
}

} // namespace

class tst_InterruptedPolling : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { testLogHandler = qInstallMessageHandler(watchTrace); }
    void cleanup() { QCOMPARE(warnings.load(), 0); }

    void closeAtAnyMoment_data()
    {
        QTest::addColumn<QString>("anchorLine"); // empty: the offset counts from Connect
        QTest::addColumn<int>("offsetMs");
        const auto row = [](const char *phase, const char *anchor, int latestMs) {
            const int offsetMs = QRandomGenerator::global()->bounded(latestMs + 1);
            QTest::addRow("%s, +%d ms", phase, offsetMs) << QString(anchor) << offsetMs;
        };
        const int rounds = qEnvironmentVariableIntValue("QUORVEL_CLOSE_ROUNDS"); // soak.sh: 100s
        for (int round = 0; round < (rounds > 0 ? rounds : 5); ++round) {
            row("in the pause before the first read", "", 950);
            row("while the port opens", "run(): start", 2);
            row("while the request goes out", "run(): sending request", 2);
            row("during the receive passes", "run(): reading response", 320);
            row("as the finished handler starts the next read", "mbThreadFinished(): start", 0);
            row("anywhere in the first 2.5 s", "", 2500);
        }
    }

    // As main() runs it: exec() returns 0 and cleanUp ends within 2.4 s (a transaction's pause,
    // write wait, six receive passes, 1 s of slack); deleting a running thread would abort.
    void closeAtAnyMoment()
    {
        QFETCH(QString, anchorLine);
        QFETCH(int, offsetMs);
        SimulatorServer server { TransmitterSettings() };
        QVERIFY(server.start());
        MainWindow window;
        QElapsedTimer closing;
        const auto close = [&] {
            QTimer::singleShot(offsetMs, &window, [&] { closing.start(), window.close(); });
        };
        aim(anchorLine, [&] { QMetaObject::invokeMethod(&window, close, Qt::QueuedConnection); });
        QTimer::singleShot(30000, &window, [] { QCoreApplication::exit(3); }); // should it hang
        window.show();
        window.findChild<QComboBox *>("comboBox_port")->setEditText(server.portPath());
        window.findChild<QPushButton *>("pushButton_startStop")->click();
        if (anchorLine.isEmpty())
            close();
        const int result = QApplication::exec();
        window.cleanUp();
        QCOMPARE(result, 0);
        QVERIFY2(closing.elapsed() <= 2400, qPrintable(QString::number(closing.elapsed())));
    }

    void portGoesAway_data()
    {
        QTest::addColumn<QString>("anchorLine"); // where the pty closes
        QTest::newRow("between transactions") << "mbThreadFinished(): read volatile register";
        QTest::newRow("as the request goes out") << "run(): sending request";
        QTest::newRow("under a waiting tool") << "run(): reading response";
    }

    // The window shows the failure, is Idle after that transaction, connects once the port is back
    // (a port held by another program is the thread test's).
    void portGoesAway()
    {
        QFETCH(QString, anchorLine);
        QTemporaryDir directory;
        ServerSettings settings;
        settings.linkPath = directory.filePath("transmitter");
        settings.faults.delay = anchorLine == "run(): reading response"; // a 250 ms wait for it
        settings.faults.delayMs = 250;
        SimulatorServer server(TransmitterSettings(), settings);
        QVERIFY(server.start());
        aim(anchorLine, [&] { server.stop(); });

        MainWindow window;
        QSignalSpy shown(window.statusBar(), &QStatusBar::messageChanged);
        auto *startStop = window.findChild<QPushButton *>("pushButton_startStop");
        window.findChild<QComboBox *>("comboBox_port")->setEditText(settings.linkPath);
        startStop->click();
        QTRY_COMPARE_WITH_TIMEOUT(startStop->text(), QString("&Connect"), 10000);
        // Lost under a transaction in flight: said at once, in the port's words, not as a
        // timeout; between transactions the next open fails.
        const bool inFlight = anchorLine.startsWith("run()");
        QCOMPARE(window.statusBar()->currentMessage(),
                 QString(inFlight ? "Lost %1: device removed or no longer available"
                                  : "Can't open %1, error code 1: no such device")
                     .arg(settings.linkPath));
        QCOMPARE(shown.count({ "Timeout" }), 0);

        QVERIFY(server.start()); // the port is back
        startStop->click();
        QTRY_VERIFY_WITH_TIMEOUT(window.findChild<QLabel *>("label_humidity")->text() != "---",
                                 8000);
        window.cleanUp();
    }
};

QTEST_MAIN(tst_InterruptedPolling)
#include "tst_interruptedpolling.moc"
