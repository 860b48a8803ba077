// A port that goes away under the polling window: the simulator's pseudo-terminal closed between
// transactions or in the middle of one, and a port that another program holds. The window must
// show the port's failure, go back to Idle after that transaction, and connect again once the
// port is back.
#include "mainwindow.h"
#include "simulatorserver.h"

#include <QComboBox>
#include <QLabel>
#include <QMutex>
#include <QPushButton>
#include <QSerialPort>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Debug lines of both threads; the first one equal to `anchor` runs `onAnchor`: at once in the
// worker thread (inside the transaction), queued in the GUI thread (after the handler that wrote
// it, that is in the pause of the transaction it started).
QMutex traceMutex;
QStringList traceLines;
QString anchor;
std::function<void()> onAnchor;
QtMessageHandler testLogHandler = nullptr;

void watchTrace(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg) {
        testLogHandler(type, context, message);
        return;
    }
    std::function<void()> action;
    {
        QMutexLocker lock(&traceMutex);
        traceLines.append(message);
        if (!anchor.isEmpty() && message == anchor) {
            anchor.clear();
            action = onAnchor;
        }
    }
    if (!action)
        return;
    if (QThread::currentThread() == qApp->thread())
        QMetaObject::invokeMethod(qApp, action, Qt::QueuedConnection);
    else
        action();
}

int traced(const QString &line)
{
    QMutexLocker lock(&traceMutex);
    return traceLines.count(line);
}

} // namespace

class tst_VanishingPort : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void portGoesAway_data();
    void portGoesAway();

private:
    void connectWindow();
    QString statusText() const { return window->statusBar()->currentMessage(); }
    QString buttonText() const { return startStop->text(); }
    QString labelText(const char *name) const
    {
        return window->findChild<QLabel *>(QLatin1String(name))->text();
    }

    QTemporaryDir directory;
    std::unique_ptr<SimulatorServer> server;
    std::unique_ptr<QSerialPort> holder;
    std::unique_ptr<MainWindow> window;
    QPushButton *startStop = nullptr;
    QStringList shown; // every status bar message, in order
};

void tst_VanishingPort::initTestCase()
{
    testLogHandler = qInstallMessageHandler(watchTrace);
}

void tst_VanishingPort::cleanupTestCase()
{
    qInstallMessageHandler(testLogHandler);
}

void tst_VanishingPort::init()
{
    window = std::make_unique<MainWindow>();
    startStop = window->findChild<QPushButton *>(QStringLiteral("pushButton_startStop"));
    shown.clear();
    connect(window->statusBar(), &QStatusBar::messageChanged, this, [this](const QString &text) {
        if (!text.isEmpty())
            shown << text;
    });
    window->show();
    QMutexLocker lock(&traceMutex);
    traceLines.clear();
    anchor.clear();
}

void tst_VanishingPort::cleanup()
{
    if (buttonText() == QLatin1String("&Disconnect")) {
        startStop->click();
        QTRY_COMPARE_WITH_TIMEOUT(buttonText(), QStringLiteral("&Connect"), 5000);
    }
    window->cleanUp();
    window.reset();
    holder.reset();
    server.reset();
}

void tst_VanishingPort::connectWindow()
{
    window->findChild<QComboBox *>(QStringLiteral("comboBox_port"))->setEditText(server->linkPath());
    startStop->click();
}

void tst_VanishingPort::portGoesAway_data()
{
    QTest::addColumn<QString>("anchorLine");
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("answersLate");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<bool>("timeoutFirst");

    // Error code 1: the link to the pseudo-terminal is gone; 2: Qt's lock file of another holder.
    QTest::newRow("pty closed between transactions")
        << "mbThreadFinished(): read volatile register" << "close" << false << 1 << false;
    QTest::newRow("pty closed as the request goes out")
        << "run(): sending request" << "close" << false << 1 << true;
    QTest::newRow("pty closed while the answer is held back")
        << "run(): reading response" << "close" << true << 1 << true;
    QTest::newRow("pty closed and back before the next transaction")
        << "run(): sending request" << "close and reopen" << false << 0 << true;
    QTest::newRow("port taken by another program between transactions")
        << "mbThreadFinished(): read volatile register" << "hold" << false << 2 << false;
    QTest::newRow("port held by another program at Connect") << QString() << "hold" << false << 2 << false;
}

void tst_VanishingPort::portGoesAway()
{
    QFETCH(QString, anchorLine);
    QFETCH(QString, how);
    QFETCH(bool, answersLate);
    QFETCH(int, errorCode);
    QFETCH(bool, timeoutFirst);

    ServerSettings settings;
    settings.linkPath = directory.filePath(QStringLiteral("transmitter"));
    if (answersLate) {
        // Every answer leaves after the six receive passes, so the pty closes under a waiting tool.
        settings.faults.delay = 1;
        settings.faults.delayMs = 250;
    }
    server = std::make_unique<SimulatorServer>(TransmitterSettings(), settings);
    QVERIFY(server->start());
    holder = std::make_unique<QSerialPort>(settings.linkPath);

    const auto goAway = [this, how] {
        if (how == QLatin1String("hold")) {
            holder->open(QIODevice::ReadWrite);
            return;
        }
        server->stop();
        if (how == QLatin1String("close and reopen"))
            server->start();
    };
    if (anchorLine.isEmpty()) {
        goAway();
        QVERIFY(holder->isOpen());
    } else {
        QMutexLocker lock(&traceMutex);
        anchor = anchorLine;
        onAnchor = goAway;
    }
    connectWindow();

    if (errorCode == 0) {
        // Back before the next open: polling goes on through the lost transaction.
        QTRY_COMPARE_WITH_TIMEOUT(traced(anchorLine) > 0, true, 8000);
        const int answersBefore = traced(QStringLiteral("run():  37  bytes read"))
            + traced(QStringLiteral("run():  47  bytes read"));
        QTRY_VERIFY_WITH_TIMEOUT(traced(QStringLiteral("run():  37  bytes read"))
                                         + traced(QStringLiteral("run():  47  bytes read"))
                                     > answersBefore,
                                 8000);
        QCOMPARE(buttonText(), QStringLiteral("&Disconnect"));
        QCOMPARE(traced(QStringLiteral("run(): open error, exit")), 0);
        QVERIFY(shown.contains(QStringLiteral("Timeout")));
        return;
    }

    QTRY_COMPARE_WITH_TIMEOUT(buttonText(), QStringLiteral("&Connect"), 10000);
    QVERIFY(window->findChild<QComboBox *>(QStringLiteral("comboBox_port"))->isEnabled());
    const QString expected =
        QStringLiteral("Can't open %1, error code %2").arg(settings.linkPath).arg(errorCode);
    QCOMPARE(statusText(), expected);
    QCOMPARE(shown.last(), expected);
    QCOMPARE(traced(QStringLiteral("run(): open error, exit")), 1);
    // The transaction under which the pty closed found no answer and said so.
    const int expectedTimeouts = timeoutFirst ? 1 : 0;
    QCOMPARE(shown.count(QStringLiteral("Timeout")), expectedTimeouts);
    QCOMPARE(labelText("label_temperature"), QStringLiteral("---"));
    QCOMPARE(labelText("label_firmware"), QStringLiteral("---"));

    // The port comes back: Connect works again and values arrive.
    if (how == QLatin1String("hold"))
        holder->close();
    else
        QVERIFY(server->start());
    connectWindow();
    QCOMPARE(buttonText(), QStringLiteral("&Disconnect"));
    QTRY_VERIFY_WITH_TIMEOUT(labelText("label_firmware") != QLatin1String("---"), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(labelText("label_temperature") != QLatin1String("---"), 8000);
    QCOMPARE(traced(QStringLiteral("run(): open error, exit")), 1);
}

QTEST_MAIN(tst_VanishingPort)
#include "tst_vanishingport.moc"
