#include "mainwindow.h"
#include "modbusmasterthread.h"
#include "ui_mainwindow.h"

#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {
const QString noPort = "/nonexistent/quorvel-port";
const QString persistent = "FF0300C80010D026", volatileRead = "FF030000001591DB";
} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

    MainWindow *w = nullptr;
    Ui::MainWindow *ui = nullptr;
    ModbusMasterThread *t = nullptr;
    QAtomicInt starts;

    // One turn of the cycle without a peer: the frame it started, or "" for none.
    QString finishTransaction()
    {
        const int before = starts.loadAcquire();
        w->mbThreadFinished();
        t->wait();
        QCoreApplication::removePostedEvents(w, QEvent::MetaCall);
        return starts.loadAcquire() > before ? t->ModbusRequest.toHex().toUpper() : "";
    }

    void applyFirmware(const QString &set) // two current texts: "current", "other current"
    {
        const bool legacy = set == "legacy", old = set == "2014-02-18";
        emit t->firmware(set == "current" ? "QV20" : "QV21", old ? 2014 : 2020, legacy ? 15 : 2,
                         old ? 18 : 4);
    }

    void fillSelectors()
    {
        emit t->baudRate("38400");
        emit t->parity("Even");
        emit t->stopBits("2");
        emit t->address(17);
    }

    void enterPolling() // the state that Connect leaves, without its first read
    {
        ui->comboBox_port->setEnabled(false);
        ui->pushButton_startStop->setText("&Disconnect");
        w->polling = true;
    }

    QString pendingFlags() const
    {
        return QString(w->writeAddressPending ? "A" : "-") + (w->writeParityPending ? "P" : "-")
            + (w->writeStopBitsPending ? "S" : "-") + (w->writeBaudRatePending ? "B" : "-");
    }

    // One digit per signal: the links on the thread's dew point, Hx alarm, housing, transmitter
    // serial and four reports, then on the four editors' change signals.
    QString links() const
    {
        const auto count = [this](const QObject *sender, const char *signature) {
            const QByteArray signal = QByteArray::number(QSIGNAL_CODE) + signature;
            return QString::number((sender->*(&tst_MainWindow::receivers))(signal.constData()));
        };
        QString s;
        for (const char *signal :
             { "dewPointTemperature(float)", "hxAlarm(int)", "housing(int)", "serialNumberTr(int)",
               "address(int)", "parity(QString)", "stopBits(QString)", "baudRate(QString)" })
            s += count(t, signal);
        s += '/' + count(ui->spinBox_address, "valueChanged(int)");
        for (QObject *box : { ui->comboBox_parity, ui->comboBox_stopBits, ui->comboBox_baudRate })
            s += count(box, "currentTextChanged(QString)");
        return s;
    }

    // The number of baud rates; the editors' values ("_" blank, in parentheses when disabled);
    // the four report labels, the enthalpy and the transmitter serial.
    QString state() const
    {
        QString s = QString::number(ui->comboBox_baudRate->count()) + ':';
        for (const QWidget *e : std::initializer_list<const QWidget *> {
                 ui->comboBox_baudRate, ui->comboBox_parity, ui->comboBox_stopBits,
                 ui->spinBox_address }) {
            const QString v =
                e->metaObject()->userProperty().read(e).toString().leftJustified(1, '_');
            s += (e->isEnabled() ? v : '(' + v + ')') + ' ';
        }
        for (const QLabel *l : { ui->label_baudRate, ui->label_parity, ui->label_stopBits,
                                 ui->label_address, ui->label_enthalpy, ui->label_serialNumberTr })
            s += '/' + l->text();
        return s;
    }

    QString values() const // every value label, in the order of the form
    {
        QStringList texts;
        for (const QLabel *l : w->findChildren<QLabel *>(QRegularExpression("^label_[a-z]")))
            texts << l->text();
        return texts.join(' ');
    }

    int statusTimeout() const // the status bar runs a timer only for a message with a time-out
    {
        const QTimer *timer = ui->statusBar->findChild<QTimer *>();
        return timer && timer->isActive() ? timer->interval() : 0;
    }

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules("default.debug=false"); }

    void init()
    {
        MainWindow::readPhase = 0; // one for the program: each test starts as a fresh program
        w = new MainWindow;
        ui = w->ui;
        t = w->mbThread;
        starts = 0;
        // Counted in the worker as it starts, so that a transaction failing at once counts.
        connect(
            t, &QThread::started, t, [this] { starts.ref(); }, Qt::DirectConnection);
    }

    void cleanup()
    {
        w->cleanUp(); // may find a transaction in flight, which must end before the thread goes
        delete w;
    }

    void connectPollDisconnectAndError()
    {
        // A pseudo-terminal whose far end stays silent: transactions end without an error.
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            QSKIP("no pseudo-terminal available");
        const QString port = QString::fromLocal8Bit(ptsname(master));
        ui->comboBox_port->setEditText(port);
        ui->pushButton_startStop->click();
        QVERIFY(w->polling && !ui->comboBox_port->isEnabled());
        QCOMPARE(ui->pushButton_startStop->text(), "&Disconnect");
        QCOMPARE(ui->statusBar->currentMessage(), "Try to connect");
        QCOMPARE(t->portName, port);
        QCOMPARE(t->ModbusRequest.toHex().toUpper(), persistent);
        t->wait();
        QCoreApplication::removePostedEvents(w, QEvent::MetaCall);
        for (const QString &read : { persistent, volatileRead, persistent })
            QCOMPARE(finishTransaction(), read);
        emit t->info("Timeout"); // shown for a while; polling goes on
        QVERIFY(statusTimeout() == 3000 && w->polling);

        w->mbThreadFinished();
        for (int press = 0; press < 2; ++press) {
            ui->pushButton_startStop->click();
            QVERIFY(!w->polling);
            QCOMPARE(ui->statusBar->currentMessage(), "Disconnect");
            QCOMPARE(statusTimeout(), 3000);
            QCOMPARE(ui->pushButton_startStop->text(), "&Disconnect"); // not cut short
        }
        QTRY_VERIFY(ui->comboBox_port->isEnabled());
        QCOMPARE(ui->pushButton_startStop->text(), "&Connect");
        QCOMPARE(starts.loadAcquire(), 5);
        ::close(master);

        ui->comboBox_port->setEditText(noPort);
        ui->pushButton_startStop->click();
        QTRY_VERIFY(ui->comboBox_port->isEnabled());
        const QString text = ui->statusBar->currentMessage();
        QVERIFY2(text.startsWith("Can't open " + noPort + ", error code "), qPrintable(text));
        QCOMPARE(statusTimeout(), 0); // the error stays until the next message
        QCOMPARE(starts.loadAcquire(), 6);
        ui->pushButton_startStop->click(); // left in flight for cleanUp
    }

    void transactionOrder_data()
    {
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("firmwareChange");
        QTest::addColumn<QString>("stopBy");
        QTest::addColumn<QStringList>("frames"); // "" for a step that starts nothing

        const QString address9 = "FF0600CD0009CDED", parityOdd = "FF0600C90002CDEB";
        const QString parityNone = "FF0600C900004C2A", stopBits1 = "FF0600CA0000BC2A";
        const QString baud9600 = "FF0600C800041C29", baud1200 = "FF0600C80001DC2A";
        QTest::newRow("parity twice and address: one parity write, with the last choice")
            << QStringList { "parity=Odd", "address=9", "parity=None" } << ""
            << "" << QStringList { address9, parityNone, persistent };
        QTest::newRow("four changes in reverse order, written in the fixed order")
            << QStringList { "baudRate=9600", "stopBits=1", "parity=Odd", "address=9" } << ""
            << "" << QStringList { address9, parityOdd, stopBits1, baud9600, persistent };
        QTest::newRow("baud rate then Disconnect: written, then stop")
            << QStringList { "baudRate=1200" } << ""
            << "disconnect" << QStringList { baud1200, "" };
        QTest::newRow("parity blanked by a firmware change: straight on to the read")
            << QStringList { "parity=Odd" } << "2014-02-18"
            << "" << QStringList { persistent };
        QTest::newRow("legacy, then an error: the address written, the parity dropped, stop")
            << QStringList { "parity=Odd", "address=9" } << "legacy"
            << "error" << QStringList { address9, "" };
    }

    void transactionOrder()
    {
        QFETCH(QStringList, changes);
        QFETCH(QString, firmwareChange);
        QFETCH(QString, stopBy);
        QFETCH(QStringList, frames);

        t->setPortName(noPort);
        applyFirmware("current");
        fillSelectors();
        enterPolling();
        for (const QString &change : qAsConst(changes)) {
            const QString name = change.section('=', 0, 0);
            QWidget *editor =
                w->findChild<QWidget *>(name == "address" ? "spinBox_address" : "comboBox_" + name);
            editor->metaObject()->userProperty().write(editor, change.section('=', 1));
        }
        if (!firmwareChange.isEmpty())
            applyFirmware(firmwareChange);
        if (stopBy == "disconnect")
            w->startStopPolling();
        else if (stopBy == "error")
            emit t->error("Can't open " + noPort + ", error code 1");

        // At phase 1 a persistent read after a write shows that the write reset the phase.
        MainWindow::readPhase = firmwareChange.isEmpty() ? 1 : 0;
        QStringList taken;
        while (taken.size() < frames.size()) {
            taken << finishTransaction();
            if (taken.last().startsWith("FF06"))
                QCOMPARE(int(MainWindow::readPhase), 0);
        }
        QCOMPARE(taken, frames);
        QCOMPARE(pendingFlags(), "----");
        QCOMPARE(ui->comboBox_port->isEnabled(), !stopBy.isEmpty()); // the stop step ran
    }

    void displaySlotsThenStopStep()
    {
        applyFirmware("current");
        fillSelectors();
        emit t->housing(0); // says nothing of the transmitter serial: no link
        emit t->serialNumberTr(1);
        QCOMPARE(ui->label_serialNumberTr->text(), "---");
        emit t->housing(3);
        emit t->temperature(23.456f);
        emit t->temperatureAlarm(-1);
        emit t->humidity(45.5f);
        emit t->humidityAlarm(2);
        emit t->serialNumber(123456789);
        emit t->serialNumberTr(2000017);
        emit t->dewPointTemperature(-12.5f);
        emit t->enthalpy(12345.67f);
        emit t->mixingRatio(8.004f);
        emit t->absoluteHumidity(0.5f);
        emit t->wetBulbTemperatur(-0.004f);
        emit t->hxAlarm(0);
        QCOMPARE(values(),
                 "123456789 2000017 QV20__2020-02-04 23.46 -1 45.5 2 38400 Even 2 17 -12.5 "
                 "12345.7 8 0.5 0 0");
        emit t->housing(0); // keeps the link
        emit t->serialNumberTr(5);
        QCOMPARE(ui->label_serialNumberTr->text(), "5");
        emit t->housing(2); // blanks and unlinks
        QCOMPARE(ui->label_serialNumberTr->text(), "---");
        emit t->serialNumberTr(6);
        QCOMPARE(ui->label_serialNumberTr->text(), "---");

        enterPolling();
        w->startStopPolling();
        QCOMPARE(finishTransaction(), "");
        QCOMPARE(state(), "7:(_) (_) (_) (17) /---/---/---/---/---/---");
        QCOMPARE(links(), "00100000/0000");
        fillSelectors(); // reports no longer arrive
        QCOMPARE(values(), QString("--- ").repeated(17).trimmed());
        QCOMPARE(pendingFlags(), "----");
    }

    void featureSets_data()
    {
        // state() right after the firmware report, then after reports of every value; links().
        QTest::addColumn<QString>("expected");

        QTest::newRow("legacy") << "7:(_) (_) (_) 17 /19200/None/1/17/---/--- | "
                                   "7:(_) (_) (_) 17 /19200/None/1/17/---/--- | 00001000/1000";
        QTest::newRow("2014-02-18") << "6:_ _ _ 17 /---/---/---/17/---/--- | "
                                       "6:_ Even 2 17 /38400/Even/2/17/---/--- | 00001111/1111";
        QTest::newRow("current") << "7:_ _ _ 17 /---/---/---/17/41.5/--- | "
                                    "7:38400 Even 2 17 /38400/Even/2/17/4.25/--- | 11111111/1111";
    }

    void featureSets()
    {
        QFETCH(QString, expected);
        const QString set = QTest::currentDataTag(); // applied after another current text

        applyFirmware(set == "current" ? "other current" : "current");
        fillSelectors();
        emit t->enthalpy(41.5f);
        emit t->housing(1);
        applyFirmware(set);
        const QString switched = state();
        fillSelectors();
        emit t->enthalpy(4.25f);
        emit t->serialNumberTr(4711); // the new firmware undid the link
        emit t->housing(1);
        emit t->housing(1);
        QCOMPARE(switched + " | " + state() + " | " + links(), expected);

        // The user's choices, then the same firmware again: nothing is reset.
        ui->spinBox_address->setValue(30);
        ui->comboBox_parity->setCurrentText("Odd");
        const QString chosen = state();
        applyFirmware(set);
        QCOMPARE(state(), chosen);
        QCOMPARE(pendingFlags(), set == "legacy" ? "A---" : "AP--");
    }

    void userChangesMarkTheirFlag()
    {
        applyFirmware("current");
        // Reports outside the editors: the label shows them, the spin box clamps, no write.
        emit t->parity("even");
        emit t->address(255);
        QCOMPARE(state(), "7:_ _ _ 247 /---/even/---/255/---/---");
        QCOMPARE(pendingFlags(), "----");

        fillSelectors();
        // Each editor marks its own write; none starts before the transaction in flight ends.
        QTest::keyClick(ui->spinBox_address, Qt::Key_Up);
        ui->comboBox_parity->setCurrentText("Odd");
        ui->comboBox_stopBits->setCurrentText("1");
        ui->comboBox_baudRate->setCurrentText("9600");
        QCOMPARE(pendingFlags(), "APSB");
        QCOMPARE(starts.loadAcquire(), 0);

        // Reports now reach the labels only: not a filled selector, not a waiting address.
        emit t->parity("None");
        emit t->address(5);
        QCOMPARE(state(), "7:9600 Odd 1 18 /38400/None/2/5/---/---");

        w->writeAddressPending = false; // typed digits mark the address as well
        QTest::keyClick(ui->spinBox_address, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(ui->spinBox_address, "42");
        QCOMPARE(ui->spinBox_address->value(), 42);
        QCOMPARE(pendingFlags(), "APSB");
    }
};

QTEST_MAIN(tst_MainWindow)

#include "tst_mainwindow.moc"
