// The polling window interrupted: closed at any moment of a transaction, run as main() runs it,
// or its port going away between transactions, in the middle of one, or held by another program.
#include "mainwindow.h"
#include "simulatorserver.h"

#include <QSerialPort>
#include <QtTest>
#include <QtWidgets>

#include <atomic>
#include <mutex>

namespace {

// Pause, write wait, six receive passes, and slack for the port set-up and a loaded machine.
constexpr qint64 boundMs = 1000 + 100 + 6 * 50 + 1000;

std::mutex mutex; // the trace comes from the worker and the GUI thread
QString anchor;
std::function<void()> onAnchor;
std::atomic<int> warnings { 0 };
QtMessageHandler testLogHandler = nullptr;

// The first debug line equal to the anchor runs onAnchor in its thread, at the moment of the line.
void watchTrace(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    std::unique_lock<std::mutex> lock(mutex);
    // The offscreen platform's remarks about window-manager features are not ours.
    warnings += type == QtWarningMsg && !message.startsWith("This plugin does not");
    if (type != QtDebugMsg)
        return testLogHandler(type, context, message);
    if (message != anchor)
        return;
    anchor.clear();
    const std::function<void()> action = onAnchor;
    lock.unlock();
    action();
}

void aim(const QString &line, const std::function<void()> &action)
{
    std::lock_guard<std::mutex> lock(mutex);
    anchor = line;
    onAnchor = action;
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
        const int rounds =
            qEnvironmentVariableIntValue("QUORVEL_CLOSE_ROUNDS"); // soak.sh: hundreds
        for (int round = 0; round < (rounds > 0 ? rounds : 5); ++round) {
            row("in the pause before the first read", "", 950);
            row("while the port opens", "run(): start", 2);
            row("while the request goes out", "run(): sending request", 2);
            row("during the receive passes", "run(): reading response", 320);
            row("as the finished handler starts the next read", "mbThreadFinished(): start", 0);
            row("anywhere in the first 2.5 s", "", 2500);
        }
    }

    // exec() returns 0, cleanUp ends within the bound; deleting a running thread would abort.
    void closeAtAnyMoment()
    {
        QFETCH(QString, anchorLine);
        QFETCH(int, offsetMs);
        SimulatorServer server { TransmitterSettings() };
        QVERIFY(server.start());
        MainWindow window;
        QElapsedTimer sinceClose;
        connect(qApp, &QGuiApplication::lastWindowClosed, &window, [&] { sinceClose.start(); });
        const auto closeSoon = [&] { QTimer::singleShot(offsetMs, &window, &QWidget::close); };
        aim(anchorLine,
            [&] { QMetaObject::invokeMethod(&window, closeSoon, Qt::QueuedConnection); });
        QTimer::singleShot(30000, &window, [] { QCoreApplication::exit(3); }); // should it hang
        window.show();
        window.findChild<QComboBox *>("comboBox_port")->setEditText(server.portPath());
        window.findChild<QPushButton *>("pushButton_startStop")->click();
        if (anchorLine.isEmpty())
            closeSoon();
        const int result = QApplication::exec();
        window.cleanUp();
        QCOMPARE(result, 0);
        QVERIFY2(sinceClose.elapsed() <= boundMs,
                 qPrintable(QString::number(sinceClose.elapsed())));
    }

    void portGoesAway_data()
    {
        QTest::addColumn<QString>("anchorLine");
        QTest::addColumn<bool>("hold"); // another QSerialPort holds the port, else the pty closes
        QTest::addColumn<int>("timeouts");
        const QString between = "mbThreadFinished(): read volatile register";
        QTest::newRow("pty closed between transactions") << between << false << 0;
        QTest::newRow("pty closed as the request goes out")
            << "run(): sending request" << false << 1;
        QTest::newRow("pty closed while the answer is held back")
            << "run(): reading response" << false << 1;
        QTest::newRow("port taken by another program between transactions") << between << true << 0;
    }

    // The window shows the failure, is Idle after that transaction and connects once the port is
    // back.
    void portGoesAway()
    {
        QFETCH(QString, anchorLine);
        QFETCH(bool, hold);
        QFETCH(int, timeouts);
        QTemporaryDir directory;
        ServerSettings settings;
        settings.linkPath = directory.filePath("transmitter");
        // Answers wait 250 ms in the simulator, so that the pty closes under a waiting tool.
        settings.faults.delay = anchorLine == "run(): reading response";
        settings.faults.delayMs = 250;
        SimulatorServer server(TransmitterSettings(), settings);
        QVERIFY(server.start());
        QSerialPort holder(settings.linkPath);
        aim(anchorLine, [&] { hold ? void(holder.open(QIODevice::ReadWrite)) : server.stop(); });

        MainWindow window;
        QSignalSpy shown(window.statusBar(), &QStatusBar::messageChanged);
        window.show();
        auto *startStop = window.findChild<QPushButton *>("pushButton_startStop");
        window.findChild<QComboBox *>("comboBox_port")->setEditText(settings.linkPath);
        startStop->click();
        QTRY_COMPARE_WITH_TIMEOUT(startStop->text(), QString("&Connect"), 10000);
        QCOMPARE(window.statusBar()->currentMessage(),
                 QString("Can't open %1, error code %2").arg(settings.linkPath).arg(hold ? 2 : 1));
        QCOMPARE(int(shown.count({ "Timeout" })), timeouts);

        if (hold) // the port comes back: Connect works again and values arrive
            holder.close();
        else
            QVERIFY(server.start());
        startStop->click();
        auto *temperature = window.findChild<QLabel *>("label_temperature");
        QTRY_VERIFY_WITH_TIMEOUT(temperature->text() != "---", 8000);
        window.cleanUp();
    }
};

QTEST_MAIN(tst_InterruptedPolling)
#include "tst_interruptedpolling.moc"
