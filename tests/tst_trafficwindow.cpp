// The "Bus traffic" window offscreen, alone and opened from the main window.
#include "mainwindow.h"
#include "modbusmasterthread.h"
#include "trafficmodel.h"
#include "trafficstatistics.h"
#include "trafficwindow.h"

#include <QAccessible>
#include <QtTest>
#include <QtWidgets>

using namespace ModbusProtocol;

// A volatile read answered by an exception, or by nothing; the round trip numbers it.
static ModbusTransaction transaction(int n, bool answered = true)
{
    ModbusTransaction t;
    t.request = readHoldingRegistersFrame(volatileFirstRegister, volatileRegisterCount);
    t.answer = answered ? QByteArray::fromHex("ff8302a101") : QByteArray();
    t.sentAt = QDateTime::currentDateTime();
    t.roundTripMs = answered ? n : -1;
    t.judgement = judgeResponse(t.answer);
    return t;
}

class tst_TrafficWindow : public QObject
{
    Q_OBJECT

    TrafficModel model { nullptr, 50 };
    TrafficStatistics statistics;
    TrafficWindow window { &model, &statistics };
    QTableView *view = window.findChild<QTableView *>();

    double topRow() const { return model.at(view->rowAt(0)).roundTripMs; }
    bool newestInSight() const
    {
        return view->viewport()->rect().contains(
            view->visualRect(model.index(model.rowCount() - 1, 0)));
    }

private slots:
    // Opened on a list that filled while no window was open: the newest rows in sight.
    void initTestCase()
    {
        for (int n = 0; n < 50; ++n)
            model.append(transaction(n));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_VERIFY(newestInSight());
    }

    // The view follows the newest row until the user scrolls up; then the rows in sight stay,
    // also while the oldest drop out of the full list; back at the bottom it follows again.
    void following()
    {
        view->verticalScrollBar()->setValue(15);
        QCOMPARE(topRow(), 15);
        for (int n = 50; n < 60; ++n) // pushing the oldest ten out
            model.append(transaction(n));
        QTRY_COMPARE(topRow(), 15);
        QVERIFY(!newestInSight());
        view->scrollToBottom();
        model.append(transaction(60));
        QTRY_VERIFY(newestInSight());
    }

    // Ctrl+C copies the selected rows in list order, whatever order they were selected in.
    void copy()
    {
        view->setFocus();
        for (const int row : { 7, 3 })
            view->selectionModel()->select(model.index(row, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QTest::keySequence(view, QKeySequence::Copy);
        QCOMPARE(QGuiApplication::clipboard()->text(), model.tabSeparated({ 3, 7 }));
    }

    // Save... writes the list as CSV through the file dialog, off the GUI thread; the next
    // dialog starts in the folder chosen.
    void save()
    {
        QTemporaryDir directory;
        const QString fileName = directory.filePath("traffic.csv");
        QTimer::singleShot(0, this, [fileName] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->selectFile(fileName);
            QMetaObject::invokeMethod(dialog, "accept"); // a slot, protected in C++
        });
        window.findChild<QPushButton *>("pushButton_save")->click();
        QTRY_COMPARE(window.findChild<QLabel *>("label_saved")->text(),
                     "50 transactions saved to " + fileName);
        QFile file(fileName);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), TrafficModel::csv(model.transactions()));

        // The next dialog starts where the last one ended, not in the home folder again.
        QString startedIn;
        QTimer::singleShot(0, this, [&startedIn] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            startedIn = dialog->directory().absolutePath();
            QMetaObject::invokeMethod(dialog, "reject");
        });
        window.findChild<QPushButton *>("pushButton_save")->click();
        QCOMPARE(startedIn, QDir(directory.path()).absolutePath());
    }

    // The main window keeps the list and the statistics from its start, with the traffic window
    // open or not: View > Bus traffic (Ctrl+T) shows them, readable by a screen reader.
    void fromMainWindow()
    {
        MainWindow main;
        main.show();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        auto *thread = main.findChild<ModbusMasterThread *>();
        auto *status = main.findChild<QLabel *>("lineStatistics");
        emit thread->transaction(transaction(4));
        emit thread->transaction(transaction(0, false));
        QCOMPARE(status->text(), "Tx 2 · good 0 · timeouts 1 · exceptions 1");
        QVERIFY(status->accessibleDescription().startsWith("Transactions: 2, Good answers: 0, "));
        QCOMPARE(status->palette().color(QPalette::WindowText),
                 main.palette().color(QPalette::WindowText)); // not the messages' red

        QVERIFY(!main.findChild<TrafficWindow *>()); // made when first asked for
        QTest::keyClick(&main, Qt::Key_T, Qt::ControlModifier);
        auto *traffic = main.findChild<TrafficWindow *>();
        QVERIFY(traffic && traffic->isVisible() && !traffic->isModal());
        QAccessibleInterface *table =
            QAccessible::queryAccessibleInterface(traffic->findChild<QTableView *>());
        QCOMPARE(table->text(QAccessible::Name), "Transactions");
        QCOMPARE(table->tableInterface()->rowCount(), 2);
        QCOMPARE(
            table->tableInterface()->cellAt(1, TrafficModel::Judgement)->text(QAccessible::Name),
            "Timeout");
        QCOMPARE(QAccessible::queryAccessibleInterface(traffic)->text(QAccessible::Name),
                 "Bus traffic");

        traffic->close();
        emit thread->transaction(transaction(3)); // counted while the window is closed
        main.findChild<QAction *>("actionBusTraffic")->trigger();
        QCOMPARE(main.findChildren<TrafficWindow *>().size(), 1);
        QCOMPARE(table->tableInterface()->rowCount(), 3);
        QCOMPARE(traffic->findChild<QLabel *>("label_exceptions")->text(), "Exceptions: 2");

        traffic->findChild<QPushButton *>("pushButton_clear")->click();
        QCOMPARE(table->tableInterface()->rowCount(), 0);
        QCOMPARE(status->text(),
                 "Tx 3 · good 0 · timeouts 1 · exceptions 2"); // Clear keeps the counts
        traffic->findChild<QPushButton *>("pushButton_reset")->click();
        QCOMPARE(status->text(), "Tx 0 · good 0");
        QCOMPARE(traffic->findChild<QLabel *>("label_roundTrip")->text(),
                 "Round trip of good answers: none yet");
        main.close();
        QVERIFY(!traffic->isVisible()); // it goes with the main window
        main.cleanUp();
    }
};

QTEST_MAIN(tst_TrafficWindow)
#include "tst_trafficwindow.moc"
