#include "mainwindow.h"
#include "modbusmasterthread.h"
#include "ui_mainwindow.h"

#include <QMutex>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

// Debug lines of both threads, collected for the whole run so that the sequencing can be read
// back; everything above debug level goes on to the test log.
QMutex traceMutex;
QStringList traceLines;
QtMessageHandler testLogHandler = nullptr;

void collectTrace(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg) {
        QMutexLocker lock(&traceMutex);
        traceLines.append(message);
        return;
    }
    testLogHandler(type, context, message);
}

QStringList takeTrace()
{
    QMutexLocker lock(&traceMutex);
    QStringList lines;
    lines.swap(traceLines);
    return lines;
}

// The cases that mbThreadFinished took since the last call, without the common prefix and
// without its "start" line.
QStringList takeCases()
{
    const QString prefix = QStringLiteral("mbThreadFinished(): ");
    QStringList cases;
    for (const QString &line : takeTrace()) {
        if (line.startsWith(prefix) && line != prefix + QLatin1String("start"))
            cases.append(line.mid(prefix.size()));
    }
    return cases;
}

QByteArray frame(const char *hex)
{
    return QByteArray::fromHex(hex);
}

const char *const readPersistent = "FF0300C80010D026";
const char *const readVolatile = "FF030000001591DB";

// A pseudo-terminal whose far end never answers: a port that opens but stays silent.
class SilentPort
{
public:
    SilentPort()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            path = QString::fromLocal8Bit(ptsname(master));
    }
    ~SilentPort()
    {
        if (master >= 0)
            ::close(master);
    }
    SilentPort(const SilentPort &) = delete;
    SilentPort &operator=(const SilentPort &) = delete;

    int master = -1;
    QString path;
};

const char *const valueLabels[] = {
    "label_temperature",         "label_temperatureAlarm",   "label_humidity",
    "label_humidityAlarm",       "label_serialNumber",       "label_serialNumberTr",
    "label_dewPointTemperature", "label_enthalpy",           "label_mixingRatio",
    "label_absoluteHumidity",    "label_wetBulbTemperature", "label_hxAlarm",
};

const char *const calculatedLabels[] = {
    "label_dewPointTemperature", "label_enthalpy",           "label_mixingRatio",
    "label_absoluteHumidity",    "label_wetBulbTemperature", "label_hxAlarm",
};

} // namespace

// The number of links that stand on a signal. QObject keeps the count protected; a pointer
// to the member formed through a subclass reaches it for any sender.
class LinkCount : public QObject
{
    Q_OBJECT

public:
    static int of(const QObject *sender, const char *signature)
    {
        const QByteArray signal = QByteArray::number(QSIGNAL_CODE) + signature;
        return (sender->*(&LinkCount::receivers))(signal.constData());
    }
};

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void displaySlots_data();
    void displaySlots();
    void connectReadsPersistentTwiceThenAlternates();
    void transactionOrder_data();
    void transactionOrder();
    void disconnectTwiceReturnsToIdleOnce();
    void connectWithEmptyPortKeepsError();
    void infoTimesOut();
    void cleanUpWaitsForTransactionInFlight();
    void stopStepRestoresConstructedState();
    void featureSets_data();
    void featureSets();
    void switchBetweenSets();
    void housingCodes_data();
    void housingCodes();
    void parameterReports_data();
    void parameterReports();
    void reportsKeepUserChoice();
    void userChangesMarkTheirFlag_data();
    void userChangesMarkTheirFlag();
    void linksHeldOnce_data();
    void linksHeldOnce();

private:
    struct Step
    {
        QStringList cases;
        bool started = false;
    };

    // One turn of the cycle without a live peer: the finished handler, then the transaction
    // it started runs out, and its queued signals are dropped so they do not come back in.
    Step finishTransaction();
    void applyFirmware(const QString &set);
    void fillSelectors();
    void enterPolling();
    QString pendingFlags() const;
    QLabel *label(const char *name) const;
    QComboBox *selector(const QString &parameter) const;
    bool statusTimerRunning(int interval) const;
    static QStringList snapshot(MainWindow *window);

    MainWindow *w = nullptr;
    QAtomicInt starts;
};

void tst_MainWindow::initTestCase()
{
    testLogHandler = qInstallMessageHandler(collectTrace);
}

void tst_MainWindow::cleanupTestCase()
{
    qInstallMessageHandler(testLogHandler);
}

void tst_MainWindow::init()
{
    // One for the program: each test starts from the phase a fresh program has.
    MainWindow::readPhase = 0;
    w = new MainWindow;
    starts = 0;
    // Counted in the worker thread as it starts, so a transaction that fails at once still counts.
    connect(
        w->mbThread, &QThread::started, w->mbThread, [this] { starts.ref(); },
        Qt::DirectConnection);
    takeCases();
}

void tst_MainWindow::cleanup()
{
    w->cleanUp();
    delete w;
    w = nullptr;
}

tst_MainWindow::Step tst_MainWindow::finishTransaction()
{
    takeCases();
    const int before = starts.loadAcquire();
    w->mbThreadFinished();
    w->mbThread->wait();
    QCoreApplication::removePostedEvents(w, QEvent::MetaCall);
    Step step;
    step.cases = takeCases();
    step.started = starts.loadAcquire() > before;
    return step;
}

void tst_MainWindow::applyFirmware(const QString &set)
{
    if (set == QLatin1String("current"))
        emit w->mbThread->firmware(QStringLiteral("QV20"), 2020, 5, 4);
    else if (set == QLatin1String("other current"))
        emit w->mbThread->firmware(QStringLiteral("QV21"), 2021, 6, 7);
    else if (set == QLatin1String("2014-02-18"))
        emit w->mbThread->firmware(QStringLiteral("QV14"), 2014, 2, 18);
    else if (set == QLatin1String("legacy"))
        emit w->mbThread->firmware(QStringLiteral("QV00"), 2001, 15, 1);
    else
        QFAIL(qPrintable(QStringLiteral("unknown firmware set ") + set));
}

void tst_MainWindow::fillSelectors()
{
    emit w->mbThread->baudRate(QStringLiteral("19200"));
    emit w->mbThread->parity(QStringLiteral("None"));
    emit w->mbThread->stopBits(QStringLiteral("1"));
    emit w->mbThread->address(5);
}

void tst_MainWindow::enterPolling()
{
    // The state that Connect leaves, without its first read.
    w->ui->comboBox_port->setEnabled(false);
    w->ui->pushButton_startStop->setText(QStringLiteral("&Disconnect"));
    w->polling = true;
}

// One letter per pending write, in the order address, parity, stop bits, baud rate.
QString tst_MainWindow::pendingFlags() const
{
    QString flags;
    flags += w->writeAddressPending ? QLatin1Char('A') : QLatin1Char('-');
    flags += w->writeParityPending ? QLatin1Char('P') : QLatin1Char('-');
    flags += w->writeStopBitsPending ? QLatin1Char('S') : QLatin1Char('-');
    flags += w->writeBaudRatePending ? QLatin1Char('B') : QLatin1Char('-');
    return flags;
}

QLabel *tst_MainWindow::label(const char *name) const
{
    auto *found = w->findChild<QLabel *>(QLatin1String(name));
    Q_ASSERT(found);
    return found;
}

QComboBox *tst_MainWindow::selector(const QString &parameter) const
{
    if (parameter == QLatin1String("parity"))
        return w->ui->comboBox_parity;
    if (parameter == QLatin1String("stopBits"))
        return w->ui->comboBox_stopBits;
    if (parameter == QLatin1String("baudRate"))
        return w->ui->comboBox_baudRate;
    return nullptr;
}

// The status bar runs a timer only for a message with a time-out; an error text has none.
bool tst_MainWindow::statusTimerRunning(int interval) const
{
    const auto timers = w->ui->statusBar->findChildren<QTimer *>();
    for (const QTimer *timer : timers) {
        if (timer->isActive() && (interval == 0 || timer->interval() == interval))
            return true;
    }
    return false;
}

QStringList tst_MainWindow::snapshot(MainWindow *window)
{
    const auto yesNo = [](bool on) {
        return on ? QStringLiteral("true") : QStringLiteral("false");
    };
    QStringList state;
    const char *const labels[] = {
        "label_temperature",
        "label_temperatureAlarm",
        "label_humidity",
        "label_humidityAlarm",
        "label_serialNumber",
        "label_serialNumberTr",
        "label_dewPointTemperature",
        "label_enthalpy",
        "label_mixingRatio",
        "label_absoluteHumidity",
        "label_wetBulbTemperature",
        "label_hxAlarm",
        "label_address",
        "label_parity",
        "label_stopBits",
        "label_baudRate",
        "label_firmware",
    };
    for (const char *name : labels)
        state << QLatin1String(name) + QLatin1Char('=')
                + window->findChild<QLabel *>(QLatin1String(name))->text();
    for (const char *name : { "comboBox_parity", "comboBox_stopBits", "comboBox_baudRate" }) {
        const auto *box = window->findChild<QComboBox *>(QLatin1String(name));
        state << QStringLiteral("%1 enabled=%2 index=%3")
                     .arg(QLatin1String(name))
                     .arg(yesNo(box->isEnabled()))
                     .arg(box->currentIndex());
    }
    state << QStringLiteral("spinBox_address enabled=%1")
                 .arg(yesNo(window->findChild<QSpinBox *>(QStringLiteral("spinBox_address"))
                                ->isEnabled()));
    state << QStringLiteral("comboBox_port enabled=%1")
                 .arg(yesNo(
                     window->findChild<QComboBox *>(QStringLiteral("comboBox_port"))->isEnabled()));
    state << QStringLiteral("button=")
            + window->findChild<QPushButton *>(QStringLiteral("pushButton_startStop"))->text();
    return state;
}

// --- Display --------------------------------------------------------------------------------

void tst_MainWindow::displaySlots_data()
{
    QTest::addColumn<QByteArray>("signal");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("labelName");
    QTest::addColumn<QString>("text");

    auto row = [](const char *name, const char *signal, const QVariant &value,
                  const char *labelName, const char *text) {
        QTest::newRow(name) << QByteArray(signal) << value << QString::fromLatin1(labelName)
                            << QString::fromLatin1(text);
    };
    row("temperature 23.456", "temperature", 23.456f, "label_temperature", "23.46");
    row("temperature alarm -1", "temperatureAlarm", -1, "label_temperatureAlarm", "-1");
    row("humidity 45.5", "humidity", 45.5f, "label_humidity", "45.5");
    row("humidity alarm 2", "humidityAlarm", 2, "label_humidityAlarm", "2");
    row("probe serial 123456789", "serialNumber", 123456789, "label_serialNumber", "123456789");
    row("transmitter serial 2000017", "serialNumberTr", 2000017, "label_serialNumberTr", "2000017");
    row("dew point -12.5", "dewPointTemperature", -12.5f, "label_dewPointTemperature", "-12.5");
    row("enthalpy 12345.67", "enthalpy", 12345.67f, "label_enthalpy", "12345.7");
    row("mixing ratio 8.004", "mixingRatio", 8.004f, "label_mixingRatio", "8");
    row("absolute humidity 0.5", "absoluteHumidity", 0.5f, "label_absoluteHumidity", "0.5");
    row("wet bulb -0.004", "wetBulbTemperatur", -0.004f, "label_wetBulbTemperature", "0");
    row("hx alarm 0", "hxAlarm", 0, "label_hxAlarm", "0");
}

void tst_MainWindow::displaySlots()
{
    QFETCH(QByteArray, signal);
    QFETCH(QVariant, value);
    QFETCH(QString, labelName);
    QFETCH(QString, text);

    // Current firmware and a housing with its own serial number: every value signal is linked.
    applyFirmware(QStringLiteral("current"));
    emit w->mbThread->housing(1);

    const bool emitted = value.userType() == QMetaType::Float
        ? QMetaObject::invokeMethod(w->mbThread, signal.constData(), Qt::DirectConnection,
                                    Q_ARG(float, value.toFloat()))
        : QMetaObject::invokeMethod(w->mbThread, signal.constData(), Qt::DirectConnection,
                                    Q_ARG(int, value.toInt()));
    QVERIFY(emitted);

    for (const char *name : valueLabels) {
        const QString expected = labelName == QLatin1String(name) ? text : QStringLiteral("---");
        QCOMPARE(label(name)->text(), expected);
    }
}

// --- Sequencing -----------------------------------------------------------------------------

void tst_MainWindow::connectReadsPersistentTwiceThenAlternates()
{
    const QString port = QStringLiteral("/nonexistent/quorvel-port");
    w->ui->comboBox_port->setEditText(port);
    w->ui->pushButton_startStop->click();

    QVERIFY(w->polling);
    QVERIFY(!w->ui->comboBox_port->isEnabled());
    QCOMPARE(w->ui->pushButton_startStop->text(), QStringLiteral("&Disconnect"));
    QCOMPARE(w->ui->statusBar->currentMessage(), QStringLiteral("Try to connect"));
    QVERIFY(statusTimerRunning(3000));
    QCOMPARE(w->mbThread->portName, port);
    QCOMPARE(w->mbThread->ModbusRequest, frame(readPersistent));
    w->mbThread->wait();
    QCoreApplication::removePostedEvents(w, QEvent::MetaCall);
    QCOMPARE(starts.loadAcquire(), 1);

    // A refresh while connected rebuilds the list only; the port in use stays.
    w->ui->pushButton_refresh->click();
    QVERIFY(!w->ui->comboBox_port->isEnabled());

    const struct
    {
        const char *trace;
        const char *frame;
    } expected[] = {
        { "read persistent register", readPersistent },
        { "read volatile register", readVolatile },
        { "read persistent register", readPersistent },
    };
    for (const auto &e : expected) {
        const Step step = finishTransaction();
        QCOMPARE(step.cases, QStringList { QLatin1String(e.trace) });
        QVERIFY(step.started);
        QCOMPARE(w->mbThread->ModbusRequest, frame(e.frame));
        QCOMPARE(w->mbThread->portName, port);
    }
}

void tst_MainWindow::transactionOrder_data()
{
    QTest::addColumn<QStringList>("changes");
    QTest::addColumn<QString>("firmwareChange");
    QTest::addColumn<QString>("stopBy");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("frames");

    const QString none;
    const QString address17 = QStringLiteral("FF0600CD0011CDE7");
    const QString parityEven = QStringLiteral("FF0600C900018DEA");
    const QString parityOdd = QStringLiteral("FF0600C90002CDEB");
    const QString stopBits2 = QStringLiteral("FF0600CA00017DEA");
    const QString baud9600 = QStringLiteral("FF0600C800041C29");
    const QString baud1200 = QStringLiteral("FF0600C80001DC2A");
    const QString persistent = QString::fromLatin1(readPersistent);

    // The phase stands at 1 before each row, so a persistent read after a write shows that
    // the write reset it. Rows with a blanked selector start at 0: a write that starts nothing
    // may leave the phase alone.
    QTest::newRow("parity twice then address: address, parity with the last choice, persistent")
        << QStringList { "parity=Odd", "address=17", "parity=Even" } << none << none
        << QStringList { "write address", "write parity", "read persistent register" }
        << QStringList { address17, parityEven, persistent };
    QTest::newRow("four changes in reverse order are written in the fixed order")
        << QStringList { "baudRate=9600", "stopBits=2", "parity=Odd", "address=17" } << none << none
        << QStringList { "write address", "write parity", "write stop bits", "write baudrate",
                         "read persistent register" }
        << QStringList { address17, parityOdd, stopBits2, baud9600, persistent };
    QTest::newRow("baud rate then Disconnect: written, then stop")
        << QStringList { "baudRate=1200" } << none << "disconnect"
        << QStringList { "write baudrate", "stop polling" } << QStringList { baud1200, none };
    QTest::newRow("address then an error: written, then stop")
        << QStringList { "address=17" } << none << "error"
        << QStringList { "write address", "stop polling" } << QStringList { address17, none };
    QTest::newRow("parity blanked by a firmware change: straight on to the read")
        << QStringList { "parity=Even" } << "2014-02-18" << none
        << QStringList { "write parity/read persistent register" } << QStringList { persistent };
    QTest::newRow("stop bits and baud rate blanked: both dropped, then the read")
        << QStringList { "stopBits=2", "baudRate=9600" } << "2014-02-18" << none
        << QStringList { "write stop bits/write baudrate/read persistent register" }
        << QStringList { persistent };
    QTest::newRow("baud rate blanked after Disconnect: stop at once")
        << QStringList { "baudRate=1200" } << "2014-02-18"
        << "disconnect" << QStringList { "write baudrate/stop polling" } << QStringList { none };
    QTest::newRow("legacy firmware keeps the address write and drops the parity write")
        << QStringList { "parity=Odd", "address=17" } << "legacy" << none
        << QStringList { "write address", "write parity/read persistent register" }
        << QStringList { address17, persistent };
}

void tst_MainWindow::transactionOrder()
{
    QFETCH(QStringList, changes);
    QFETCH(QString, firmwareChange);
    QFETCH(QString, stopBy);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, frames);

    w->ui->comboBox_port->setEditText(QStringLiteral("/nonexistent/quorvel-port"));
    w->mbThread->setPortName(QStringLiteral("/nonexistent/quorvel-port"));
    applyFirmware(QStringLiteral("current"));
    fillSelectors();
    enterPolling();
    QCOMPARE(pendingFlags(), QStringLiteral("----"));

    for (const QString &change : qAsConst(changes)) {
        const QString parameter = change.section(QLatin1Char('='), 0, 0);
        const QString value = change.section(QLatin1Char('='), 1);
        if (parameter == QLatin1String("address"))
            w->ui->spinBox_address->setValue(value.toInt());
        else
            selector(parameter)->setCurrentText(value);
    }
    if (!firmwareChange.isEmpty())
        applyFirmware(firmwareChange);

    if (stopBy == QLatin1String("disconnect")) {
        w->startStopPolling();
        QCOMPARE(w->ui->statusBar->currentMessage(), QStringLiteral("Disconnect"));
    } else if (stopBy == QLatin1String("error")) {
        const QString text = QStringLiteral("Can't open /nonexistent/quorvel-port, error code 1");
        emit w->mbThread->error(text);
        QCOMPARE(w->ui->statusBar->currentMessage(), text);
        QVERIFY(!statusTimerRunning(0));
    }
    QCOMPARE(w->polling, stopBy.isEmpty());

    MainWindow::readPhase = firmwareChange.isEmpty() ? 1 : 0;
    for (int i = 0; i < steps.size(); ++i) {
        const QByteArray before = w->mbThread->ModbusRequest;
        const Step step = finishTransaction();
        QCOMPARE(step.cases, steps.at(i).split(QLatin1Char('/')));
        const bool stops = step.cases.last() == QLatin1String("stop polling");
        // Only the stop step may leave the cycle at rest.
        QCOMPARE(step.started, !stops);
        if (stops)
            QCOMPARE(w->mbThread->ModbusRequest, before);
        else
            QCOMPARE(w->mbThread->ModbusRequest, QByteArray::fromHex(frames.at(i).toLatin1()));
        if (step.cases.last().startsWith(QLatin1String("write")))
            QCOMPARE(int(MainWindow::readPhase), 0);
    }

    QCOMPARE(pendingFlags(), QStringLiteral("----"));
    if (!stopBy.isEmpty()) {
        QVERIFY(w->ui->comboBox_port->isEnabled());
        QCOMPARE(w->ui->pushButton_startStop->text(), QStringLiteral("&Connect"));
        QCOMPARE(int(MainWindow::readPhase), 0);
    }
}

void tst_MainWindow::disconnectTwiceReturnsToIdleOnce()
{
    SilentPort port;
    if (port.path.isEmpty())
        QSKIP("no pseudo-terminal available");
    w->ui->comboBox_port->setEditText(port.path);
    w->ui->pushButton_startStop->click();
    QVERIFY(w->mbThread->isRunning()); // still in the pause before the read

    for (int press = 0; press < 2; ++press) {
        w->ui->pushButton_startStop->click();
        QVERIFY(!w->polling);
        QCOMPARE(w->ui->statusBar->currentMessage(), QStringLiteral("Disconnect"));
        QVERIFY(statusTimerRunning(3000));
        // Stopping: the transaction in flight is not cut short.
        QVERIFY(!w->ui->comboBox_port->isEnabled());
        QCOMPARE(w->ui->pushButton_startStop->text(), QStringLiteral("&Disconnect"));
    }

    QTRY_COMPARE(w->ui->pushButton_startStop->text(), QStringLiteral("&Connect"));
    QVERIFY(w->ui->comboBox_port->isEnabled());
    QCoreApplication::processEvents();
    QCOMPARE(takeCases(), QStringList { QStringLiteral("stop polling") });
    QCOMPARE(starts.loadAcquire(), 1);
    QVERIFY(!w->mbThread->isRunning());
}

void tst_MainWindow::connectWithEmptyPortKeepsError()
{
    QSignalSpy errors(w->mbThread, &ModbusMasterThread::error);
    w->ui->comboBox_port->clear();
    w->ui->comboBox_port->setEditText(QString());
    w->ui->pushButton_startStop->click();
    QCOMPARE(w->mbThread->portName, QString());

    QTRY_COMPARE(w->ui->pushButton_startStop->text(), QStringLiteral("&Connect"));
    QCOMPARE(errors.count(), 1);
    const QString text = errors.at(0).at(0).toString();
    QVERIFY2(text.startsWith(QLatin1String("Can't open , error code ")), qPrintable(text));
    QCOMPARE(w->ui->statusBar->currentMessage(), text);
    QVERIFY(!statusTimerRunning(0)); // the error stays until the next message
    QVERIFY(!w->polling);
    QVERIFY(w->ui->comboBox_port->isEnabled());
    QCoreApplication::processEvents();
    QCOMPARE(takeCases(), QStringList { QStringLiteral("stop polling") });
    QCOMPARE(starts.loadAcquire(), 1);
}

void tst_MainWindow::infoTimesOut()
{
    enterPolling();
    emit w->mbThread->error(QStringLiteral("earlier error"));
    w->polling = true;
    emit w->mbThread->info(QStringLiteral("Timeout"));
    QVERIFY(w->polling); // a time-out does not end polling
    QCOMPARE(w->ui->statusBar->currentMessage(), QStringLiteral("Timeout"));
    QVERIFY(statusTimerRunning(3000));
    QTRY_COMPARE_WITH_TIMEOUT(w->ui->statusBar->currentMessage(), QString(), 4000);
    QVERIFY(w->polling);
}

void tst_MainWindow::cleanUpWaitsForTransactionInFlight()
{
    w->ui->comboBox_port->setEditText(QStringLiteral("/nonexistent/quorvel-port"));
    w->ui->pushButton_startStop->click();
    QVERIFY(w->mbThread->isRunning()); // in the pause before the read
    takeTrace();

    // Deleting a running thread object would abort the program.
    w->cleanUp();
    const QStringList lines = takeTrace();
    QVERIFY(!lines.isEmpty());
    QCOMPARE(lines.first(), QStringLiteral("cleanUp(): start"));
    QVERIFY2(lines.contains(QStringLiteral("run(): open error, exit")),
             qPrintable(lines.join('|')));
    QCOMPARE(lines.last(), QStringLiteral("cleanUp(): end"));
}

void tst_MainWindow::stopStepRestoresConstructedState()
{
    MainWindow fresh;
    const QStringList constructed = snapshot(&fresh);
    fresh.cleanUp();
    // The constructed state itself: selectors hold their items but show none, all values "---".
    QVERIFY(constructed.contains(QStringLiteral("comboBox_parity enabled=false index=-1")));
    QVERIFY(constructed.contains(QStringLiteral("label_firmware=---")));
    QCOMPARE(w->ui->comboBox_parity->count(), 3);
    QCOMPARE(w->ui->comboBox_stopBits->count(), 2);
    QCOMPARE(w->ui->comboBox_baudRate->count(), 6);
    QCOMPARE(w->ui->statusBar->currentMessage(), QString());
    QCOMPARE(starts.loadAcquire(), 0);

    applyFirmware(QStringLiteral("current"));
    emit w->mbThread->housing(3);
    emit w->mbThread->baudRate(QStringLiteral("38400"));
    emit w->mbThread->parity(QStringLiteral("Even"));
    emit w->mbThread->stopBits(QStringLiteral("2"));
    emit w->mbThread->address(17);
    emit w->mbThread->temperature(21.5f);
    emit w->mbThread->temperatureAlarm(1);
    emit w->mbThread->humidity(40.0f);
    emit w->mbThread->humidityAlarm(1);
    emit w->mbThread->serialNumber(1234);
    emit w->mbThread->serialNumberTr(5678);
    emit w->mbThread->dewPointTemperature(7.5f);
    emit w->mbThread->enthalpy(41.0f);
    emit w->mbThread->mixingRatio(6.2f);
    emit w->mbThread->absoluteHumidity(7.4f);
    emit w->mbThread->wetBulbTemperatur(14.1f);
    emit w->mbThread->hxAlarm(1);
    QVERIFY(snapshot(w) != constructed);

    enterPolling();
    w->startStopPolling();
    const Step step = finishTransaction();
    QCOMPARE(step.cases, QStringList { QStringLiteral("stop polling") });
    QVERIFY(!step.started);

    QCOMPARE(snapshot(w), constructed);
    QCOMPARE(w->ui->spinBox_address->value(), 17); // the spin box keeps its last value

    // Parameter and calculated-value reports no longer reach the window, and the editors
    // mark nothing.
    emit w->mbThread->parity(QStringLiteral("Odd"));
    emit w->mbThread->baudRate(QStringLiteral("600"));
    emit w->mbThread->stopBits(QStringLiteral("1"));
    emit w->mbThread->address(9);
    emit w->mbThread->enthalpy(50.0f);
    emit w->mbThread->hxAlarm(2);
    w->ui->spinBox_address->setValue(30);
    w->ui->comboBox_parity->setCurrentIndex(1);
    w->ui->comboBox_parity->setCurrentIndex(-1);
    QCOMPARE(snapshot(w), constructed);
    QCOMPARE(pendingFlags(), QStringLiteral("----"));
}

// --- Feature sets ---------------------------------------------------------------------------

void tst_MainWindow::featureSets_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<int>("year");
    QTest::addColumn<int>("month");
    QTest::addColumn<int>("day");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("set");

    QTest::newRow("month 15 is legacy whatever the rest") << "ABCD" << 2014 << 15 << 18 << "Legacy"
                                                          << "legacy";
    QTest::newRow("month 15 with year 2127 day 31") << "WXYZ" << 2127 << 15 << 31 << "Legacy"
                                                    << "legacy";
    QTest::newRow("2014-02-18") << "ABCD" << 2014 << 2 << 18 << "ABCD__2014-02-18"
                                << "2014-02-18";
    QTest::newRow("2014-02-19 is current") << "ABCD" << 2014 << 2 << 19 << "ABCD__2014-02-19"
                                           << "current";
    QTest::newRow("2015-02-18 is current") << "ABCD" << 2015 << 2 << 18 << "ABCD__2015-02-18"
                                           << "current";
    QTest::newRow("2014-03-07 with padded month and day")
        << "ABCD" << 2014 << 3 << 7 << "ABCD__2014-03-07"
        << "current";
    QTest::newRow("month 0 and day 0 are shown as they come")
        << "ABCD" << 2014 << 0 << 0 << "ABCD__2014-00-00"
        << "current";
}

void tst_MainWindow::featureSets()
{
    QFETCH(QString, id);
    QFETCH(int, year);
    QFETCH(int, month);
    QFETCH(int, day);
    QFETCH(QString, text);
    QFETCH(QString, set);

    const bool legacy = set == QLatin1String("legacy");
    const bool current = set == QLatin1String("current");

    // Set before any change link stands, so the spin box marks nothing.
    w->ui->spinBox_address->setValue(5);
    emit w->mbThread->firmware(id, year, month, day);

    QCOMPARE(w->ui->label_firmware->text(), text);
    QCOMPARE(w->ui->comboBox_baudRate->count(), current ? 7 : 6);
    if (current)
        QCOMPARE(w->ui->comboBox_baudRate->itemText(6), QStringLiteral("38400"));
    QVERIFY(w->ui->spinBox_address->isEnabled());
    for (QComboBox *box :
         { w->ui->comboBox_baudRate, w->ui->comboBox_parity, w->ui->comboBox_stopBits }) {
        QCOMPARE(box->isEnabled(), !legacy);
        QCOMPARE(box->currentIndex(), -1);
    }
    if (legacy) {
        QCOMPARE(w->ui->label_baudRate->text(), QStringLiteral("19200"));
        QCOMPARE(w->ui->label_parity->text(), QStringLiteral("None"));
        QCOMPARE(w->ui->label_stopBits->text(), QStringLiteral("1"));
    }

    emit w->mbThread->baudRate(QStringLiteral("38400"));
    emit w->mbThread->parity(QStringLiteral("Even"));
    emit w->mbThread->stopBits(QStringLiteral("2"));
    emit w->mbThread->address(17);
    emit w->mbThread->dewPointTemperature(4.25f);
    emit w->mbThread->hxAlarm(3);
    emit w->mbThread->housing(1);
    emit w->mbThread->serialNumberTr(4711);

    // Legacy firmware: the three fixed parameters take no reports; the address still does.
    QCOMPARE(w->ui->label_baudRate->text(), legacy ? QStringLiteral("19200") : "38400");
    QCOMPARE(w->ui->label_parity->text(), legacy ? QStringLiteral("None") : "Even");
    QCOMPARE(w->ui->label_stopBits->text(), legacy ? QStringLiteral("1") : "2");
    QCOMPARE(w->ui->comboBox_baudRate->currentText(), current ? QStringLiteral("38400") : "");
    QCOMPARE(w->ui->comboBox_parity->currentText(), legacy ? QString() : "Even");
    QCOMPARE(w->ui->comboBox_stopBits->currentText(), legacy ? QString() : "2");
    QCOMPARE(w->ui->label_address->text(), QStringLiteral("17"));
    QCOMPARE(w->ui->spinBox_address->value(), 17);
    QCOMPARE(w->ui->label_dewPointTemperature->text(), current ? QStringLiteral("4.25") : "---");
    QCOMPARE(w->ui->label_hxAlarm->text(), current ? QStringLiteral("3") : "---");
    QCOMPARE(w->ui->label_serialNumberTr->text(), current ? QStringLiteral("4711") : "---");
    QCOMPARE(pendingFlags(), QStringLiteral("----"));

    // The user's choices, then the same report again: nothing is reset.
    w->ui->spinBox_address->setValue(30);
    if (!legacy)
        w->ui->comboBox_parity->setCurrentText(QStringLiteral("Odd"));
    const QString flags = pendingFlags();
    QCOMPARE(flags, legacy ? QStringLiteral("A---") : "AP--");
    emit w->mbThread->firmware(id, year, month, day);
    QCOMPARE(w->ui->label_firmware->text(), text);
    QCOMPARE(w->ui->spinBox_address->value(), 30);
    QCOMPARE(w->ui->comboBox_parity->currentText(), legacy ? QString() : "Odd");
    QCOMPARE(w->ui->comboBox_baudRate->count(), current ? 7 : 6);
    QCOMPARE(w->ui->label_dewPointTemperature->text(), current ? QStringLiteral("4.25") : "---");
    QCOMPARE(w->ui->label_serialNumberTr->text(), current ? QStringLiteral("4711") : "---");
    QCOMPARE(pendingFlags(), flags);
}

void tst_MainWindow::switchBetweenSets()
{
    applyFirmware(QStringLiteral("current"));
    emit w->mbThread->baudRate(QStringLiteral("38400"));
    emit w->mbThread->parity(QStringLiteral("Even"));
    emit w->mbThread->stopBits(QStringLiteral("2"));
    emit w->mbThread->address(17);
    emit w->mbThread->enthalpy(41.5f);
    QCOMPARE(w->ui->comboBox_baudRate->currentText(), QStringLiteral("38400"));

    // Another transmitter of the 2014-02-18 set on the bus.
    applyFirmware(QStringLiteral("2014-02-18"));
    QCOMPARE(w->ui->comboBox_baudRate->count(), 6);
    for (QComboBox *box :
         { w->ui->comboBox_baudRate, w->ui->comboBox_parity, w->ui->comboBox_stopBits }) {
        QCOMPARE(box->currentIndex(), -1);
        QVERIFY(box->isEnabled());
    }
    for (QLabel *l : { w->ui->label_baudRate, w->ui->label_parity, w->ui->label_stopBits })
        QCOMPARE(l->text(), QStringLiteral("---"));
    for (const char *name : calculatedLabels)
        QCOMPARE(label(name)->text(), QStringLiteral("---"));
    QCOMPARE(w->ui->spinBox_address->value(), 17);

    emit w->mbThread->baudRate(QStringLiteral("9600"));
    emit w->mbThread->parity(QStringLiteral("Odd"));
    emit w->mbThread->stopBits(QStringLiteral("1"));
    emit w->mbThread->enthalpy(41.5f);
    QCOMPARE(w->ui->comboBox_baudRate->currentText(), QStringLiteral("9600"));
    QCOMPARE(w->ui->comboBox_parity->currentText(), QStringLiteral("Odd"));
    QCOMPARE(w->ui->comboBox_stopBits->currentText(), QStringLiteral("1"));
    QCOMPARE(w->ui->label_enthalpy->text(), QStringLiteral("---"));

    // Two different current firmware texts in a row apply the set twice: one seventh rate.
    applyFirmware(QStringLiteral("current"));
    applyFirmware(QStringLiteral("other current"));
    QCOMPARE(w->ui->comboBox_baudRate->count(), 7);
    QCOMPARE(w->ui->comboBox_baudRate->currentIndex(), -1);
    emit w->mbThread->baudRate(QStringLiteral("38400"));
    QCOMPARE(w->ui->comboBox_baudRate->currentIndex(), 6);
    emit w->mbThread->enthalpy(41.5f);
    QCOMPARE(w->ui->label_enthalpy->text(), QStringLiteral("41.5"));

    // Legacy leaves the items alone; the current set afterwards still holds one "38400".
    applyFirmware(QStringLiteral("legacy"));
    QCOMPARE(w->ui->comboBox_baudRate->currentIndex(), -1);
    applyFirmware(QStringLiteral("current"));
    QCOMPARE(w->ui->comboBox_baudRate->count(), 7);
    w->disableParameters();
    w->setupParametersUpTo38400();
    w->setupParametersUpTo38400();
    QCOMPARE(w->ui->comboBox_baudRate->count(), 7);
    QCOMPARE(w->ui->comboBox_baudRate->findText(QStringLiteral("38400")), 6);
    w->setupParametersUpTo19200();
    QCOMPARE(w->ui->comboBox_baudRate->count(), 6);

    QCOMPARE(pendingFlags(), QStringLiteral("----"));
}

void tst_MainWindow::housingCodes_data()
{
    QTest::addColumn<QString>("set");
    QTest::addColumn<int>("earlierCode"); // -100: no earlier housing report
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("afterCode");
    QTest::addColumn<QString>("afterSerial");

    const int noEarlier = -100;
    QTest::newRow("1 shows the next number") << "current" << noEarlier << 1 << "---"
                                             << "4711";
    QTest::newRow("3 shows the next number") << "current" << noEarlier << 3 << "---"
                                             << "4711";
    QTest::newRow("0 alone links nothing") << "current" << noEarlier << 0 << "---"
                                           << "---";
    QTest::newRow("0 after 1 keeps number and link") << "current" << 1 << 0 << "1111"
                                                     << "4711";
    QTest::newRow("2 after 1 blanks and unlinks") << "current" << 1 << 2 << "---"
                                                  << "---";
    QTest::newRow("4 after 3 blanks and unlinks") << "current" << 3 << 4 << "---"
                                                  << "---";
    QTest::newRow("-1 after 1 blanks and unlinks") << "current" << 1 << -1 << "---"
                                                   << "---";
    QTest::newRow("2014-02-18 ignores 1") << "2014-02-18" << noEarlier << 1 << "---"
                                          << "---";
    QTest::newRow("legacy ignores 3") << "legacy" << noEarlier << 3 << "---"
                                      << "---";
}

void tst_MainWindow::housingCodes()
{
    QFETCH(QString, set);
    QFETCH(int, earlierCode);
    QFETCH(int, code);
    QFETCH(QString, afterCode);
    QFETCH(QString, afterSerial);

    applyFirmware(set);
    if (earlierCode != -100) {
        emit w->mbThread->housing(earlierCode);
        emit w->mbThread->serialNumberTr(1111);
        QCOMPARE(w->ui->label_serialNumberTr->text(), QStringLiteral("1111"));
    }
    emit w->mbThread->housing(code);
    QCOMPARE(w->ui->label_serialNumberTr->text(), afterCode);
    emit w->mbThread->serialNumberTr(4711);
    QCOMPARE(w->ui->label_serialNumberTr->text(), afterSerial);

    // Another firmware text undoes the transmitter-serial link in every set.
    applyFirmware(QStringLiteral("other current"));
    QCOMPARE(w->ui->label_serialNumberTr->text(), QStringLiteral("---"));
    emit w->mbThread->serialNumberTr(4712);
    QCOMPARE(w->ui->label_serialNumberTr->text(), QStringLiteral("---"));
}

// --- Parameter reports and changes ----------------------------------------------------------

void tst_MainWindow::parameterReports_data()
{
    QTest::addColumn<QString>("set");
    QTest::addColumn<QString>("parameter");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("labelText");
    QTest::addColumn<QString>("editor"); // selector text, or the spin box value

    QTest::newRow("parity Even fills a blank selector") << "current"
                                                        << "parity" << QVariant("Even") << "Even"
                                                        << "Even";
    QTest::newRow("stop bits 2 fill a blank selector") << "current"
                                                       << "stopBits" << QVariant("2") << "2"
                                                       << "2";
    QTest::newRow("baud rate 38400 fills the current set's selector")
        << "current"
        << "baudRate" << QVariant("38400") << "38400"
        << "38400";
    QTest::newRow("baud rate 38400 leaves six rates blank")
        << "2014-02-18"
        << "baudRate" << QVariant("38400") << "38400"
        << "";
    QTest::newRow("parity in lower case matches no item") << "current"
                                                          << "parity" << QVariant("even") << "even"
                                                          << "";
    QTest::newRow("address 17 while the spin box shows 5") << "current"
                                                           << "address" << QVariant(17) << "17"
                                                           << "17";
    QTest::newRow("address 0 holds the lower limit") << "current"
                                                     << "address" << QVariant(0) << "0"
                                                     << "1";
    QTest::newRow("address 255 holds the upper limit") << "current"
                                                       << "address" << QVariant(255) << "255"
                                                       << "247";
    QTest::newRow("address in the legacy set") << "legacy"
                                               << "address" << QVariant(200) << "200"
                                               << "200";
}

void tst_MainWindow::parameterReports()
{
    QFETCH(QString, set);
    QFETCH(QString, parameter);
    QFETCH(QVariant, value);
    QFETCH(QString, labelText);
    QFETCH(QString, editor);

    w->ui->spinBox_address->setValue(5);
    applyFirmware(set);
    const QByteArray signal = parameter.toLatin1();
    const bool emitted = parameter == QLatin1String("address")
        ? QMetaObject::invokeMethod(w->mbThread, signal.constData(), Qt::DirectConnection,
                                    Q_ARG(int, value.toInt()))
        : QMetaObject::invokeMethod(w->mbThread, signal.constData(), Qt::DirectConnection,
                                    Q_ARG(QString, value.toString()));
    QVERIFY(emitted);

    QCOMPARE(label(qPrintable(QStringLiteral("label_") + parameter))->text(), labelText);
    if (parameter == QLatin1String("address"))
        QCOMPARE(QString::number(w->ui->spinBox_address->value()), editor);
    else
        QCOMPARE(selector(parameter)->currentText(), editor);
    QCOMPARE(pendingFlags(), QStringLiteral("----"));
}

void tst_MainWindow::reportsKeepUserChoice()
{
    w->ui->spinBox_address->setValue(5);
    applyFirmware(QStringLiteral("current"));

    // Once filled, a selector follows the user; its label follows the transmitter.
    emit w->mbThread->parity(QStringLiteral("Even"));
    emit w->mbThread->parity(QStringLiteral("Odd"));
    QCOMPARE(w->ui->label_parity->text(), QStringLiteral("Odd"));
    QCOMPARE(w->ui->comboBox_parity->currentText(), QStringLiteral("Even"));
    QCOMPARE(pendingFlags(), QStringLiteral("----"));

    w->ui->comboBox_parity->setCurrentText(QStringLiteral("None"));
    emit w->mbThread->parity(QStringLiteral("Even"));
    QCOMPARE(w->ui->comboBox_parity->currentText(), QStringLiteral("None"));
    QCOMPARE(w->ui->label_parity->text(), QStringLiteral("Even"));

    // A report of the old address while the new one waits to be written.
    w->ui->spinBox_address->setValue(9);
    QCOMPARE(pendingFlags(), QStringLiteral("AP--"));
    emit w->mbThread->address(17);
    QCOMPARE(w->ui->label_address->text(), QStringLiteral("17"));
    QCOMPARE(w->ui->spinBox_address->value(), 9);
    QCOMPARE(pendingFlags(), QStringLiteral("AP--"));
}

void tst_MainWindow::userChangesMarkTheirFlag_data()
{
    QTest::addColumn<QString>("parameter");
    QTest::addColumn<bool>("filled");
    QTest::addColumn<QString>("flags");

    QTest::newRow("address arrow step") << "address" << true << "A---";
    QTest::newRow("address typed digits") << "typed address" << true << "A---";
    QTest::newRow("parity from a reported item") << "parity" << true << "-P--";
    QTest::newRow("parity from blank") << "parity" << false << "-P--";
    QTest::newRow("stop bits from a reported item") << "stopBits" << true << "--S-";
    QTest::newRow("baud rate from a reported item") << "baudRate" << true << "---B";
    QTest::newRow("baud rate 38400 from blank") << "baudRate" << false << "---B";
}

void tst_MainWindow::userChangesMarkTheirFlag()
{
    QFETCH(QString, parameter);
    QFETCH(bool, filled);
    QFETCH(QString, flags);

    applyFirmware(QStringLiteral("current"));
    if (filled)
        fillSelectors();
    enterPolling();
    QCOMPARE(pendingFlags(), QStringLiteral("----"));
    const QString message = w->ui->statusBar->currentMessage();

    if (parameter == QLatin1String("address")) {
        QTest::keyClick(w->ui->spinBox_address, Qt::Key_Up);
        QCOMPARE(w->ui->spinBox_address->value(), 6);
    } else if (parameter == QLatin1String("typed address")) {
        QTest::keyClick(w->ui->spinBox_address, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(w->ui->spinBox_address, QStringLiteral("42"));
        QCOMPARE(w->ui->spinBox_address->value(), 42);
    } else {
        QComboBox *box = selector(parameter);
        box->setCurrentIndex(box->count() - 1);
    }
    QCOMPARE(pendingFlags(), flags);
    // Marking is all: no write starts until the transaction in flight has finished.
    QCOMPARE(starts.loadAcquire(), 0);
    QCOMPARE(w->ui->statusBar->currentMessage(), message);

    // A second change of the same editor leaves one pending write.
    if (selector(parameter))
        selector(parameter)->setCurrentIndex(0);
    else
        QTest::keyClick(w->ui->spinBox_address, Qt::Key_Up);
    QCOMPARE(pendingFlags(), flags);
}

void tst_MainWindow::linksHeldOnce_data()
{
    QTest::addColumn<QString>("sender"); // "mbThread" or an editor's object name
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("legacy");
    QTest::addColumn<int>("stopped");

    const auto thread = QStringLiteral("mbThread");
    QTest::newRow("temperature") << thread << QByteArray("temperature(float)") << 1 << 1 << 1;
    QTest::newRow("serial number") << thread << QByteArray("serialNumber(int)") << 1 << 1 << 1;
    QTest::newRow("firmware") << thread << QByteArray("firmware(QString,int,int,int)") << 1 << 1
                              << 1;
    QTest::newRow("error") << thread << QByteArray("error(QString)") << 1 << 1 << 1;
    QTest::newRow("dew point") << thread << QByteArray("dewPointTemperature(float)") << 1 << 0 << 0;
    QTest::newRow("wet bulb") << thread << QByteArray("wetBulbTemperatur(float)") << 1 << 0 << 0;
    QTest::newRow("hx alarm") << thread << QByteArray("hxAlarm(int)") << 1 << 0 << 0;
    QTest::newRow("housing") << thread << QByteArray("housing(int)") << 1 << 0 << 1;
    QTest::newRow("transmitter serial")
        << thread << QByteArray("serialNumberTr(int)") << 1 << 0 << 1;
    QTest::newRow("address report") << thread << QByteArray("address(int)") << 1 << 1 << 0;
    QTest::newRow("parity report") << thread << QByteArray("parity(QString)") << 1 << 0 << 0;
    QTest::newRow("baud rate report") << thread << QByteArray("baudRate(QString)") << 1 << 0 << 0;
    QTest::newRow("address change")
        << "spinBox_address" << QByteArray("valueChanged(int)") << 1 << 1 << 0;
    QTest::newRow("stop bits change")
        << "comboBox_stopBits" << QByteArray("currentTextChanged(QString)") << 1 << 0 << 0;
    QTest::newRow("baud rate change")
        << "comboBox_baudRate" << QByteArray("currentTextChanged(QString)") << 1 << 0 << 0;
}

void tst_MainWindow::linksHeldOnce()
{
    QFETCH(QString, sender);
    QFETCH(QByteArray, signature);
    QFETCH(int, current);
    QFETCH(int, legacy);
    QFETCH(int, stopped);

    const QObject *source = sender == QLatin1String("mbThread")
        ? static_cast<QObject *>(w->mbThread)
        : w->findChild<QObject *>(sender);
    QVERIFY(source);
    // The editors carry links of their own inside Qt; count only the window's.
    const int own = sender == QLatin1String("mbThread") ? 0 : LinkCount::of(source, signature);
    const auto links = [&] { return LinkCount::of(source, signature) - own; };

    // Every way of making the links twice.
    applyFirmware(QStringLiteral("current"));
    applyFirmware(QStringLiteral("other current"));
    emit w->mbThread->housing(1);
    emit w->mbThread->housing(3);
    w->connectCalculatedValues();
    w->setupParametersUpTo38400();
    fillSelectors();
    QCOMPARE(links(), current);

    applyFirmware(QStringLiteral("legacy"));
    QCOMPARE(links(), legacy);

    applyFirmware(QStringLiteral("current"));
    emit w->mbThread->housing(1);
    enterPolling();
    w->startStopPolling();
    QVERIFY(finishTransaction().cases.contains(QStringLiteral("stop polling")));
    QCOMPARE(links(), stopped);
    // Undoing twice leaves nothing behind either.
    w->disableParameters();
    w->disconnectCalculatedValues();
    QCOMPARE(links(), stopped);
}

QTEST_MAIN(tst_MainWindow)

#include "tst_mainwindow.moc"
