// Closing the main window at any moment of a transaction, as main() runs it: window, show, event
// loop, cleanUp, destroy. Each row aims the close at one phase of the cycle (the pause, the open,
// the send, the receive passes, the finished handler, a write, stopping, idle) with a random
// offset; the process must not crash, the loop must return 0, and cleanUp must end within the
// bound of the transaction in flight.
//
// QUORVEL_CLOSE_ROUNDS sets the rounds per row (default 4); scripts/soak.sh close runs hundreds.
#include "mainwindow.h"
#include "simulatorserver.h"

#include <QComboBox>
#include <QMutex>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

namespace {

// The close aims at the first trace line equal to `anchor` after connecting; handled in whichever
// thread writes the line, and passed to the GUI thread as a queued call.
QMutex anchorMutex;
QString anchor;
bool anchorSeen = false;
std::function<void()> onAnchor;
QtMsgType worstMessage = QtDebugMsg;
QtMessageHandler testLogHandler = nullptr;

void watchTrace(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg) {
        if (type != QtInfoMsg) {
            QMutexLocker lock(&anchorMutex);
            // The offscreen platform's remarks about window-manager features are not ours.
            if (!message.startsWith(QLatin1String("This plugin does not support")))
                worstMessage = type;
        }
        testLogHandler(type, context, message);
        return;
    }
    QMutexLocker lock(&anchorMutex);
    if (!anchorSeen && message == anchor) {
        anchorSeen = true;
        QMetaObject::invokeMethod(qApp, onAnchor, Qt::QueuedConnection);
    }
}

// A transaction ends by itself within its pause (at most 1000 ms), 100 ms of write wait and six
// 50 ms receive passes; the port set-up, thread start-up and a loaded machine get the slack.
constexpr qint64 transactionBoundMs = 1000 + 100 + 6 * 50;
constexpr qint64 slackMs = 1000;

} // namespace

class tst_CloseAnyTime : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void closeAtAnyMoment_data();
    void closeAtAnyMoment();

private:
    QTemporaryDir directory;
    std::unique_ptr<SimulatorServer> server;
    QRandomGenerator random;
    QVector<qint64> closeToExit;
};

void tst_CloseAnyTime::initTestCase()
{
    testLogHandler = qInstallMessageHandler(watchTrace);
    const quint32 seed = qEnvironmentVariableIsSet("QUORVEL_CLOSE_SEED")
        ? quint32(qEnvironmentVariableIntValue("QUORVEL_CLOSE_SEED"))
        : QRandomGenerator::global()->generate();
    random.seed(seed);
    qInfo("seed %u (QUORVEL_CLOSE_SEED replays it)", seed);
    ServerSettings settings;
    settings.linkPath = directory.filePath(QStringLiteral("transmitter"));
    server = std::make_unique<SimulatorServer>(TransmitterSettings(), settings);
    QString error;
    QVERIFY2(server->start(&error), qPrintable(error));
}

void tst_CloseAnyTime::cleanupTestCase()
{
    server.reset();
    qInstallMessageHandler(testLogHandler);
    if (!closeToExit.isEmpty()) {
        std::sort(closeToExit.begin(), closeToExit.end());
        qint64 sum = 0;
        for (qint64 t : qAsConst(closeToExit))
            sum += t;
        qInfo("close-figures: closes=%d close-to-exit-ms median=%lld mean=%lld max=%lld bound=%lld",
              closeToExit.size(), closeToExit.at(closeToExit.size() / 2), sum / closeToExit.size(),
              closeToExit.last(), transactionBoundMs + slackMs);
    }
}

void tst_CloseAnyTime::closeAtAnyMoment_data()
{
    QTest::addColumn<QString>("anchorLine");
    QTest::addColumn<int>("latestMs");
    QTest::addColumn<bool>("changeParity");
    QTest::addColumn<bool>("disconnectFirst");

    // An empty anchor counts from the click on Connect.
    QTest::newRow("in the pause before the first read") << QString() << 950 << false << false;
    QTest::newRow("while the port opens") << "run(): start" << 2 << false << false;
    QTest::newRow("while the request goes out") << "run(): sending request" << 2 << false << false;
    QTest::newRow("during the receive passes") << "run(): reading response" << 320 << false << false;
    QTest::newRow("right after the finished handler started the next read")
        << "mbThreadFinished(): start" << 0 << false << false;
    QTest::newRow("during a parity write") << "mbThreadFinished(): write parity" << 350 << true << false;
    QTest::newRow("stopping after Disconnect") << "run(): reading response" << 320 << false << true;
    QTest::newRow("idle after the stop step") << "mbThreadFinished(): stop polling" << 500 << false << true;
    QTest::newRow("anywhere in the first 1.5 s") << QString() << 1500 << false << false;
}

void tst_CloseAnyTime::closeAtAnyMoment()
{
    QFETCH(QString, anchorLine);
    QFETCH(int, latestMs);
    QFETCH(bool, changeParity);
    QFETCH(bool, disconnectFirst);
    const int rounds = qEnvironmentVariableIsSet("QUORVEL_CLOSE_ROUNDS")
        ? qMax(1, qEnvironmentVariableIntValue("QUORVEL_CLOSE_ROUNDS"))
        : 4;

    for (int round = 0; round < rounds; ++round) {
        const int offsetMs = int(random.bounded(latestMs + 1));
        QElapsedTimer sinceClose;
        int result = -1;
        {
            MainWindow window;
            auto *port = window.findChild<QComboBox *>(QStringLiteral("comboBox_port"));
            auto *startStop = window.findChild<QPushButton *>(QStringLiteral("pushButton_startStop"));
            auto *parity = window.findChild<QComboBox *>(QStringLiteral("comboBox_parity"));
            QVERIFY(port && startStop && parity);

            const auto closeSoon = [&] {
                QTimer::singleShot(offsetMs, &window, [&] {
                    sinceClose.start();
                    window.close();
                });
            };
            {
                QMutexLocker lock(&anchorMutex);
                anchor = anchorLine;
                anchorSeen = anchorLine.isEmpty();
                onAnchor = closeSoon;
            }
            // The user picks another parity as soon as the firmware report enables the selector.
            QTimer user;
            connect(&user, &QTimer::timeout, &window, [&] {
                if (changeParity && parity->isEnabled()) {
                    parity->setCurrentIndex((parity->currentIndex() + 1) % parity->count());
                    user.stop();
                }
            });
            user.start(20);
            // Should the loop not end, it is ended with a code that fails the check below.
            QTimer::singleShot(30000, &window, [] { QCoreApplication::exit(3); });

            window.show();
            port->setEditText(server->linkPath());
            startStop->click();
            if (disconnectFirst)
                startStop->click();
            if (anchorLine.isEmpty())
                closeSoon();
            result = QApplication::exec();
            window.cleanUp();
        }
        const qint64 elapsed = sinceClose.isValid() ? sinceClose.elapsed() : -1;
        QCOMPARE(result, 0);
        QVERIFY2(elapsed >= 0, "the window was never closed");
        closeToExit.append(elapsed);
        QVERIFY2(elapsed <= transactionBoundMs + slackMs,
                 qPrintable(QStringLiteral("cleanUp ended %1 ms after the close").arg(elapsed)));
    }
    QMutexLocker lock(&anchorMutex);
    QCOMPARE(worstMessage, QtDebugMsg);
}

QTEST_MAIN(tst_CloseAnyTime)
#include "tst_closeanytime.moc"
