#include "mainwindow.h"
#include "modbusmasterthread.h"
#include "modbustransaction.h"
#include "ui_mainwindow.h"

#include <QAccessible>
#include <QScrollBar>
#include <QTimer>
#include <QtTest>

static const QString noPort = "/nonexistent/quorvel-port";
static const QString persistent = "FF0300C80010D026", volatileRead = "FF030000001591DB";

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

    void applyFirmware(const QString &set) // "current" and "other current" differ in their text
    {
        const bool old = set == "2014-02-18";
        emit t->firmware(set == "current" ? "<b>A_" : set.left(4), old ? 2014 : 2020,
                         set == "legacy" ? 15 : 2, 18);
    }

    void fillSelectors()
    {
        emit t->baudRate("38400");
        emit t->parity("Even");
        emit t->stopBits("2");
        emit t->address(17);
    }

    QString pendingFlags() const
    {
        return QString(w->writeAddressPending ? "A" : "-") + (w->writeParityPending ? "P" : "-")
            + (w->writeStopBitsPending ? "S" : "-") + (w->writeBaudRatePending ? "B" : "-");
    }

    // Links on the thread's dew point, Hx alarm, housing, serial and reports; on the editors.
    QString links() const
    {
        const auto count = [](const QObject *sender, const char *signal) {
            return QString::number((sender->*(&tst_MainWindow::receivers))(signal));
        };
        QString s;
        for (const char *signal :
             { SIGNAL(dewPointTemperature(float)), SIGNAL(hxAlarm(int)), SIGNAL(housing(int)),
               SIGNAL(serialNumberTr(int)), SIGNAL(address(int)), SIGNAL(parity(QString)),
               SIGNAL(stopBits(QString)), SIGNAL(baudRate(QString)) })
            s += count(t, signal);
        s += '/' + count(ui->spinBox_address, SIGNAL(valueChanged(int)));
        for (QObject *box : { ui->comboBox_parity, ui->comboBox_stopBits, ui->comboBox_baudRate })
            s += count(box, SIGNAL(currentTextChanged(QString)));
        return s;
    }

    // Baud rates: editors ("_" blank, "(_)" disabled) /four report labels/enthalpy/serial.
    QString state() const
    {
        QString s = QString::number(ui->comboBox_baudRate->count()) + ':';
        for (const QWidget *e : QWidgetList { ui->comboBox_baudRate, ui->comboBox_parity,
                                              ui->comboBox_stopBits, ui->spinBox_address }) {
            QString v = e->metaObject()->userProperty().read(e).toString().leftJustified(1, '_');
            s += (e->isEnabled() ? v : '(' + v + ')') + ' ';
        }
        for (const QLabel *l : { ui->label_baudRate, ui->label_parity, ui->label_stopBits,
                                 ui->label_address, ui->label_enthalpy, ui->label_serialNumberTr })
            s += '/' + l->text();
        return s;
    }

    // Every value label as the accessibility interface reads it (markup would be stripped there),
    // in the order of the form.
    QString values() const
    {
        QStringList texts;
        for (QLabel *l : w->findChildren<QLabel *>(QRegularExpression("^label_[a-z]")))
            texts << QAccessible::queryAccessibleInterface(l)->text(QAccessible::Name);
        return texts.join(' ');
    }

    // Polling, port box enabled, the message's time-out (0: it stays), button text, message.
    QString bar() const
    {
        const QTimer *timer = ui->statusBar->findChild<QTimer *>();
        return QString::asprintf("%d%d %d ", w->polling, ui->comboBox_port->isEnabled(),
                                 timer && timer->isActive() ? timer->interval() : 0)
            + ui->pushButton_startStop->text() + ": " + ui->statusBar->currentMessage();
    }

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules("default.debug=false"); }

    void init()
    {
        MainWindow::readPhase = 0; // one for the program: each test starts as a fresh program
        w = new MainWindow;
        ui = w->ui;
        t = w->mbThread;
        starts = 0; // counted in the worker as it starts: a transaction failing at once counts
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
        ui->comboBox_port->setEditText(noPort);
        ui->pushButton_startStop->click();
        QCOMPARE(bar(), "10 3000 &Disconnect: Try to connect");
        QCOMPARE(t->connection().endpoint.path + ' ' + t->ModbusRequest.toHex().toUpper(),
                 noPort + ' ' + persistent);
        t->wait();
        QCoreApplication::removePostedEvents(w, QEvent::MetaCall); // its error too: polling goes on
        for (const QString &read : { persistent, volatileRead, persistent })
            QCOMPARE(finishTransaction(), read);
        emit t->info("Timeout"); // shown for a while; polling goes on
        QCOMPARE(bar(), "10 3000 &Disconnect: Timeout");

        w->mbThreadFinished(); // in flight while Disconnect is pressed twice
        for (int press = 0; press < 2; ++press) {
            ui->pushButton_startStop->click();
            QCOMPARE(bar(), "00 3000 &Disconnect: Disconnect");
        }
        QTRY_COMPARE(ui->pushButton_startStop->text(), "&Connect");
        QCOMPARE(starts.loadAcquire(), 5);

        ui->pushButton_startStop->click(); // this time the error arrives
        QTRY_VERIFY2(bar().startsWith("01 0 &Connect: Can't open " + noPort + ", error code "),
                     qPrintable(bar()));   // the error stays until the next message
        ui->pushButton_startStop->click(); // left in flight for cleanUp
    }

    void displaySlotsThenStopStep()
    {
        applyFirmware("current");
        fillSelectors();
        // Housing 0 says nothing of the transmitter serial, 1 and 3 link it, 2 blanks and unlinks.
        for (const QString &step : QString("0:1:--- 1:5:5 0:6:6 3:7:7 2:8:---").split(' ')) {
            emit t->housing(step.section(':', 0, 0).toInt());
            emit t->serialNumberTr(step.section(':', 1, 1).toInt());
            QCOMPARE(ui->label_serialNumberTr->text(), step.section(':', 2));
        }
        emit t->temperature(23.456f);
        emit t->temperatureAlarm(-1);
        emit t->humidity(45.456f);
        emit t->humidityAlarm(2);
        emit t->serialNumber(123456789);
        emit t->dewPointTemperature(-12.344f);
        emit t->enthalpy(1.256f);
        emit t->mixingRatio(8.004f);
        emit t->absoluteHumidity(0.504f);
        emit t->wetBulbTemperatur(-0.004f);
        emit t->hxAlarm(0);
        QCOMPARE(values(),
                 "123456789 --- <b>A___2020-02-18 23.46 -1 45.46 2 38400 Even 2 17 -12.34 "
                 "1.26 8 0.5 0 0");

        QCOMPARE(finishTransaction(), ""); // no report marked a write; not polling: stop step
        QCOMPARE(state(), "7:(_) (_) (_) (17) /---/---/---/---/---/---");
        QCOMPARE(links(), "00000000/0000"); // nothing of this transmitter reaches the next
        QCOMPARE(values() + ' ' + pendingFlags(), QString("--- ").repeated(17) + "----");
    }

    void noUnintendedWrites_data()
    {
        // Spaced steps: | a transaction ends; "editor=value" the program sets an editor;
        // "firmware=set"; "disconnect"; "error"; or "editor:keys" the user on an editor of the
        // window, shown small enough to scroll: w the wheel turned up while the pointer merely
        // passes over it, W the same with keyboard focus, \n Enter, \t focus leaves, ^ arrow up,
        // anything else typed, the text selected first. After " > ": the frames started at each
        // |, P and V the reads, - none.
        QTest::addColumn<QString>("steps");
        QTest::newRow("parity twice and address: one parity write, with the last choice")
            << "parity=Odd address=9 parity=None | | | > FF0600CD0009CDED FF0600C900004C2A P";
        QTest::newRow("four changes in reverse order, written in the fixed order")
            << "baudRate=9600 stopBits=1 parity=Odd address=9 | | | | | > "
               "FF0600CD0009CDED FF0600C90002CDEB FF0600CA0000BC2A FF0600C800041C29 P";
        QTest::newRow("baud rate then Disconnect: written, then stop")
            << "baudRate=1200 disconnect | | > FF0600C80001DC2A -";
        QTest::newRow("parity blanked by a firmware change: straight on to the persistent read")
            << "parity=Odd firmware=2014-02-18 | > P";
        QTest::newRow("legacy, then an error: the address written, the parity dropped, stop")
            << "parity=Odd address=9 firmware=legacy error | | > FF0600CD0009CDED -";
        QTest::newRow("baud-rate selector: wheel passing over, then with focus")
            << "baudRate:w | baudRate:W | | > V FF0600C80005DDE9 P";
        QTest::newRow("address box: wheel passing over, then with focus")
            << "address:w | address:W | | > V FF0600CD00128DE6 P";
        const QString address = " | | > V FF0600CD0019CC21 P"; // 25
        QTest::newRow("address 2, pause, 5, Enter") << "address:2 | address:5\n" + address;
        QTest::newRow("address 2, pause, 5, focus leaves") << "address:2 | address:5\t" + address;
        QTest::newRow("address 24, pause, arrow up") << "address:24 | address:^" + address;
        QTest::newRow("address 300 typed: refused beside the box, not cut to 30")
            << "address:300\n | | > V P";
    }

    // Only what the user meant is written, once, in a fixed order: no wheel that passes by, no
    // half-typed address. The read phase starts at 1: the read after a write shows it was reset.
    void noUnintendedWrites()
    {
        QFETCH(QString, steps);
        const QString expected = steps.section(" > ", 1);
        applyFirmware("current");
        fillSelectors();     // 38400 and 17: both can go up
        w->resize(400, 250); // small enough that the window scrolls
        w->show();
        QVERIFY(QTest::qWaitForWindowActive(w));
        ui->comboBox_port->setEnabled(false); // as Connect leaves it, without its first read
        w->polling = true;
        MainWindow::readPhase = 1;
        QScrollBar *bar = ui->scrollArea->verticalScrollBar();
        QStringList frames;
        for (const QString &step : steps.section(" > ", 0, 0).split(' ')) {
            const QString name = step.section(QRegularExpression("[=:]"), 0, 0);
            const QString value = step.section(QRegularExpression("[=:]"), 1);
            auto *e = w->findChildren<QWidget *>(QRegularExpression("Box_" + name)).value(0);
            if (step == "|") {
                frames << finishTransaction().replace(persistent, "P").replace(volatileRead, "V");
                if (frames.last().startsWith("FF06"))
                    QCOMPARE(int(MainWindow::readPhase), 0);
            } else if (name == "firmware") {
                applyFirmware(value);
            } else if (step == "disconnect") {
                w->startStopPolling();
            } else if (step == "error") {
                emit t->error("Can't open " + noPort + ", error code 1");
            } else if (step.contains('=')) {
                e->metaObject()->userProperty().write(e, value);
            } else {
                for (const QChar key : value) {
                    if (key.toLower() == 'w') {
                        (key == 'W' ? e : ui->pushButton_startStop)->setFocus();
                        bar->setValue(bar->maximum());
                        QWheelEvent wheel(QPointF(5, 5), e->mapToGlobal(QPoint(5, 5)), {},
                                          QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                                          Qt::NoScrollPhase, false);
                        QApplication::sendEvent(e, &wheel);
                        QCOMPARE(bar->value() < bar->maximum(), key == 'w'); // the window scrolled
                    } else if (key == '\t') {
                        ui->pushButton_startStop->setFocus();
                    } else {
                        if (!e->hasFocus()) {
                            e->setFocus();
                            ui->spinBox_address->selectAll();
                        }
                        QTest::keyClick(e,
                                        key == '\n'      ? Qt::Key_Enter
                                            : key == '^' ? Qt::Key_Up
                                                         : Qt::Key(key.unicode()));
                    }
                }
            }
        }
        QCOMPARE(frames.replaceInStrings(QRegularExpression("^$"), "-").join(' '), expected);
        QCOMPARE(pendingFlags(), "----");
        QCOMPARE(ui->comboBox_port->isEnabled(), expected.endsWith('-')); // the stop step ran
        QCOMPARE(w->findChild<QLabel *>("note_address")->text(),
                 steps.contains(":300") ? "300 is no address: 1 to 247; nothing written" : "");
    }

    // At the default width a failure's whole text shows: the permanent items make way while it
    // does, and a screen reader reads it.
    void statusMessageAtDefaultWidth()
    {
        w->resize(650, w->height());
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        const QString text = "Exception 02 from the transmitter: illegal data address; refused: "
                             "write parity = Even";
        for (int i = 0; i < 40; ++i) // a busy line: a long statistics item
            emit t->transaction(ModbusTransaction());
        emit t->error(text);
        QStatusBar *bar = ui->statusBar;
        QCOMPARE(QAccessible::queryAccessibleInterface(bar)->text(QAccessible::Description), text);
        const auto *shown = w->findChild<QLabel *>("statusMessage");
        QCOMPARE(shown->text(), text);
        QTRY_VERIFY(shown->isVisible() && shown->width() >= bar->width() / 2);
        QVERIFY(shown->heightForWidth(shown->width()) <= shown->height()); // no line cut off
        QCOMPARE(shown->palette().color(QPalette::WindowText), QColor(Qt::red));
        emit t->info("Response OK"); // good news in the window's own colour
        QCOMPARE(shown->palette().color(QPalette::WindowText),
                 w->palette().color(QPalette::WindowText));
        bar->clearMessage();
        QVERIFY(w->findChild<QLabel *>("lineStatistics")->isVisible());
        QCOMPARE(w->findChild<QLabel *>("lineStatistics")->toolTip().isEmpty(), false);
    }

    void featureSets_data()
    {
        QTest::addColumn<QString>("expected"); // state(): new firmware, then reports; links()

        QTest::newRow("legacy") << "7:(_) (_) (_) 247 /19200/None/1/255/---/--- | "
                                   "7:(_) (_) (_) 17 /19200/None/1/17/---/--- | 00001000/1000";
        QTest::newRow("2014-02-18") << "6:_ _ _ 247 /---/even/---/255/---/--- | "
                                       "6:_ Even 2 17 /38400/Even/2/17/---/--- | 00001111/1111";
        QTest::newRow("current") << "7:_ _ _ 247 /---/even/---/255/41.5/--- | "
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
        emit t->parity("even"); // outside the editors: the label shows it, the spin box clamps
        emit t->address(255);
        const QString switched = state();
        fillSelectors();
        emit t->enthalpy(4.25f);
        emit t->serialNumberTr(4711); // the new firmware undid the link
        emit t->housing(1);
        emit t->housing(1);
        QCOMPARE(switched + " | " + state() + " | " + links(), expected);

        // No report marked a write, each editor marks its own; the same firmware and reports keep
        // the user's choices, a waiting address too.
        QString marks = pendingFlags() + ' ';
        for (QWidget *e : QWidgetList { ui->spinBox_address, ui->comboBox_parity,
                                        ui->comboBox_stopBits, ui->comboBox_baudRate }) {
            e->setProperty(e == ui->spinBox_address ? "value" : "currentIndex", 0);
            marks += pendingFlags() + ' ';
        }
        QCOMPARE(marks,
                 set == "legacy" ? "---- A--- A--- A--- A--- " : "---- A--- AP-- APS- APSB ");
        QVERIFY(!t->isRunning() && !t->isFinished()); // none starts before the one in flight ends
        const QString chosen = state();
        applyFirmware(set);
        emit t->parity("Odd");
        emit t->address(5);
        QCOMPARE(state(), QString(chosen).replace("/Even/", "/Odd/").replace("/17/", "/5/"));
    }

    // A read that failed greys its block's values, which keep their text, until a good read of
    // that block; the permanent item shows when the last good read went out.
    void staleValues_data()
    {
        QTest::addColumn<QString>("reads"); // block (V, P or W for a write):how it ended > greyed
        QTest::newRow("volatile read timed out") << "V:none > V";
        QTest::newRow("persistent read with a CRC error") << "P:crc > P";
        QTest::newRow("exception, then a good volatile read") << "V:exception V:volatile > ";
        QTest::newRow("unexpected volatile, good persistent") << "V:unexpected P:persistent > V";
        QTest::newRow("both failed, volatile good again") << "P:none V:crc V:volatile > P";
        QTest::newRow("a refused write greys nothing") << "W:exception > ";
    }

    void staleValues()
    {
        QFETCH(QString, reads);
        using K = ModbusProtocol::ResponseKind;
        const QMap<QString, K> kinds {
            { "none", K::NoAnswer },          { "crc", K::CrcError },
            { "exception", K::Exception },    { "unexpected", K::UnexpectedLength },
            { "volatile", K::VolatileBlock }, { "persistent", K::PersistentBlock }
        };
        const QStringList requests { volatileRead, persistent, "FF0600C900018DEA" }; // V, P, W
        emit t->temperature(21.5f);
        emit t->firmware("ABCD", 2020, 1, 2);
        const QLabel *lastGood = w->findChild<QLabel *>("lastGoodRead");
        QCOMPARE(lastGood->text(), "Last good read: none");
        QString expectedTime = "none";
        for (const QString &read : reads.section(" > ", 0, 0).split(' ')) {
            ModbusTransaction transaction;
            transaction.request =
                QByteArray::fromHex(requests[QString("VPW").indexOf(read[0])].toLatin1());
            transaction.sentAt = QDateTime::currentDateTime().addSecs(-3600);
            transaction.judgement.kind = kinds[read.section(':', 1)];
            emit t->transaction(transaction);
            if (read.endsWith("volatile") || read.endsWith("persistent"))
                expectedTime = transaction.sentAt.toString("HH:mm:ss");
        }
        const QString greyed = QString(ui->label_temperature->isEnabled() ? "" : "V")
            + (ui->label_firmware->isEnabled() ? "" : "P");
        QCOMPARE(greyed, reads.section(" > ", 1));
        QCOMPARE(ui->label_hxAlarm->isEnabled(), ui->label_temperature->isEnabled());
        QCOMPARE(ui->label_address->isEnabled(), ui->label_firmware->isEnabled());
        QCOMPARE(ui->label_temperature->text() + ' ' + ui->label_firmware->text(),
                 "21.5 ABCD__2020-01-02");
        QCOMPARE(ui->label_temperature->accessibleDescription().isEmpty(), !greyed.contains('V'));
        QCOMPARE(lastGood->text(), "Last good read: " + expectedTime);
    }
};

QTEST_MAIN(tst_MainWindow)

#include "tst_mainwindow.moc"
