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

namespace {

// A read answered by an exception: short rows, told apart by their round trip.
ModbusTransaction numbered(int n)
{
    ModbusTransaction t;
    t.request = readHoldingRegistersFrame(volatileFirstRegister, volatileRegisterCount);
    const quint16 crc = modbusCrc16(QByteArray::fromHex("ff8302"));
    t.answer = QByteArray::fromHex("ff8302") + char(crc & 0xFF) + char(crc >> 8);
    t.sentAt = QDateTime::currentDateTime();
    t.roundTripMs = n;
    t.judgement = judgeResponse(t.answer);
    return t;
}

ModbusTransaction timeout()
{
    ModbusTransaction t = numbered(0);
    t.answer.clear();
    t.roundTripMs = -1;
    t.judgement = judgeResponse(t.answer);
    return t;
}

} // namespace

class tst_TrafficWindow : public QObject
{
    Q_OBJECT

    TrafficModel model { nullptr, 50 };
    TrafficStatistics statistics;
    TrafficWindow window { &model, &statistics };
    QTableView *view = window.findChild<QTableView *>("tableView_traffic");

    int rowAtTop() const { return view->rowAt(0); }
    bool newestInSight() const
    {
        return view->viewport()->rect().contains(
            view->visualRect(model.index(model.rowCount() - 1, 0)));
    }

private slots:
    void initTestCase()
    {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }

    // The view follows the newest row until the user scrolls up; then the rows in sight stay,
    // also while the oldest drop out of the full list; back at the bottom it follows again.
    void following()
    {
        for (int n = 0; n < 30; ++n)
            model.append(numbered(n));
        QTRY_VERIFY(newestInSight());
        view->verticalScrollBar()->setValue(15);
        QCOMPARE(model.at(rowAtTop()).roundTripMs, 15.0);
        for (int n = 30; n < 60; ++n) // the last ten push the oldest ten out
            model.append(numbered(n));
        QCOMPARE(model.rowCount(), 50);
        QTRY_COMPARE(model.at(rowAtTop()).roundTripMs, 15.0);
        QVERIFY(!newestInSight());

        view->scrollToBottom();
        model.append(numbered(60));
        QTRY_VERIFY(newestInSight());
        QCOMPARE(model.at(model.rowCount() - 1).roundTripMs, 60.0);
    }

    // Ctrl+C copies the selected rows in list order, whatever order they were selected in.
    void copy()
    {
        view->setFocus();
        view->clearSelection();
        view->selectionModel()->select(model.index(7, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
        view->selectionModel()->select(model.index(3, 0),
                                       QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QTest::keySequence(view, QKeySequence::Copy);
        const QStringList lines = QGuiApplication::clipboard()->text().split('\n');
        QCOMPARE(lines.size(), 3); // and an empty one after the last line end
        QCOMPARE(lines.at(0), TrafficModel::texts(model.at(3)).join('\t'));
        QCOMPARE(lines.at(1), TrafficModel::texts(model.at(7)).join('\t'));
    }

    // Save... writes the list as CSV through the file dialog; the file is complete when the
    // window says so.
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
        auto *saved = window.findChild<QLabel *>("label_saved");
        QTRY_COMPARE(saved->text(), "50 transactions saved to " + fileName);
        QFile file(fileName);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), TrafficModel::csv(model.transactions()));
        QVERIFY(window.findChild<QPushButton *>("pushButton_save")->isEnabled());
    }

    // Everything the window shows can be read through the accessibility interface.
    void accessible()
    {
        model.append(timeout());
        statistics.add(timeout());
        QAccessibleInterface *table = QAccessible::queryAccessibleInterface(view);
        QCOMPARE(table->text(QAccessible::Name), "Transactions");
        QAccessibleInterface *cell =
            table->tableInterface()->cellAt(model.rowCount() - 1, TrafficModel::Judgement);
        QCOMPARE(cell->text(QAccessible::Name), "Timeout");
        QCOMPARE(QAccessible::queryAccessibleInterface(&window)->text(QAccessible::Name),
                 "Bus traffic");
        auto *noAnswer = window.findChild<QLabel *>("label_noAnswer");
        QCOMPARE(QAccessible::queryAccessibleInterface(noAnswer)->text(QAccessible::Name),
                 "No answer: 1");
    }

    // The main window keeps the list and the statistics from its start, with the traffic window
    // open or not: View > Bus traffic (Ctrl+T) shows them, Clear and Reset empty them.
    void fromMainWindow()
    {
        MainWindow main;
        main.show();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        auto *thread = main.findChild<ModbusMasterThread *>();
        auto *status = main.findChild<QLabel *>("lineStatistics");
        emit thread->transaction(numbered(4));
        emit thread->transaction(timeout());
        QCOMPARE(status->text(), "Tx 2 · good 0 · timeouts 1 · exc 1");
        QCOMPARE(status->toolTip(), status->accessibleDescription());
        QVERIFY(status->toolTip().startsWith("Transactions: 2, Good answers: 0, No answer: 1, "));
        QCOMPARE(status->palette().color(QPalette::WindowText),
                 main.palette().color(QPalette::WindowText)); // not the messages' red

        QVERIFY(!main.findChild<TrafficWindow *>()); // made when first asked for
        QTest::keyClick(&main, Qt::Key_T, Qt::ControlModifier);
        auto *traffic = main.findChild<TrafficWindow *>();
        QVERIFY(traffic && traffic->isVisible() && !traffic->isModal());
        auto *list = traffic->findChild<QTableView *>()->model();
        QCOMPARE(list->rowCount(), 2);
        QCOMPARE(list->index(1, TrafficModel::Judgement).data().toString(), "Timeout");
        QCOMPARE(traffic->findChild<QLabel *>("label_transactions")->text(), "Transactions: 2");

        traffic->close();
        emit thread->transaction(numbered(3)); // counted while the window is closed
        main.findChild<QAction *>("actionBusTraffic")->trigger();
        QCOMPARE(main.findChildren<TrafficWindow *>().size(), 1);
        QCOMPARE(list->rowCount(), 3);
        QCOMPARE(traffic->findChild<QLabel *>("label_exceptions")->text(), "Exceptions: 2");

        traffic->findChild<QPushButton *>("pushButton_clear")->click();
        QCOMPARE(list->rowCount(), 0);
        QCOMPARE(status->text(), "Tx 3 · good 0 · timeouts 1 · exc 2"); // Clear keeps the counts
        traffic->findChild<QPushButton *>("pushButton_reset")->click();
        QCOMPARE(status->text(), "Tx 0 · good 0");
        QCOMPARE(traffic->findChild<QLabel *>("label_roundTrip")->text(),
                 "Round trip of good answers: none yet");
        main.cleanUp();
    }
};

QTEST_MAIN(tst_TrafficWindow)
#include "tst_trafficwindow.moc"
