#include "mainwindow.h"

#include <QSerialPortInfo>
#include <QtTest>
#include <QtWidgets>

class tst_MainWindowForm : public QObject
{
    Q_OBJECT

    const std::unique_ptr<MainWindow> w = std::make_unique<MainWindow>();

private slots:
    void cleanupTestCase() { w->cleanUp(); }

    // What a user reads, chooses and reaches by keyboard as the window opens: the captions, the
    // editors off until a transmitter reports, their choices, and each menu's actions with
    // mnemonic and shortcut.
    void choices_data()
    {
        QTest::addColumn<QString>("expected");
        QString ports = QSerialPortInfo::availablePorts().isEmpty() ? "@-1" : "@0";
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            ports += ' ' + info.portName();
        QTest::newRow("groupBox_2")
            << "Identification data Serial number probe: Serial number transmitter: Firmware:";
        QTest::newRow("groupBox_3") << "Measuring values Temperature (°C): Temperature alarm: "
                                       "Humidity (% r.H.): Humitity alarm:";
        QTest::newRow("groupBox")
            << "Communication parameters Address: Parity: Stop bits: Baud rate:";
        QTest::newRow("groupBox_4")
            << "Calculated values Dew-point temperature (°C): Enthalpy (kJ/kg): Mixing ratio "
               "(g/kg): Absolute humidity (g/m³): Wet-bulb temperature (°C): Hx alarm:";
        QTest::newRow("label_3") << "Port";
        QTest::newRow("comboBox_baudRate") << "off @-1 600 1200 2400 4800 9600 19200";
        QTest::newRow("comboBox_parity") << "off @-1 None Even Odd";
        QTest::newRow("comboBox_stopBits") << "off @-1 1 2";
        QTest::newRow("spinBox_address") << "off 1 1 247"; // text, range
        QTest::newRow("comboBox_port") << ports;
        QTest::newRow("pushButton_startStop") << "&Connect";
        QTest::newRow("menuBar") << "&File &View &Tools &?";
        QTest::newRow("menuDatei")
            << "&File Start &recording... Sto&p recording Save &commissioning record... &Quit";
        QTest::newRow("menuView") << "&View Bus &trafficCtrl+T T&rendCtrl+R";
        QTest::newRow("menuTools") << "&Tools &Find transmitters...Ctrl+F Acceptance &check...";
        QTest::newRow("menu") << "&? About &Quorvel-Setup About &Qt &Help";
    }

    void choices()
    {
        const auto *widget = w->findChild<QWidget *>(QTest::currentDataTag());
        QStringList d { widget->isEnabled() ? "" : "off" };
        for (const char *p : { "title", "text", "minimum", "maximum" })
            d << widget->property(p).toString();
        for (const QLabel *label :
             widget->findChildren<QLabel *>(QString(), Qt::FindDirectChildrenOnly))
            if (label->text() != "---") // a value not read yet
                d << label->text();
        if (const auto *box = qobject_cast<const QComboBox *>(widget))
            for (int i = -1; i < box->count(); ++i) // the current index, then the items
                d << (i < 0 ? '@' + QString::number(box->currentIndex()) : box->itemText(i));
        for (const QAction *action : widget->actions()) // mnemonic, then any key binding
            d << action->text() + action->shortcut().toString();
        QTEST(d.join(' ').simplified(), "expected");
    }

    void readableAtStart_data()
    {
        QTest::addColumn<int>("pointSize");
        QTest::newRow("DejaVu Sans 9 pt") << 9;
        QTest::newRow("DejaVu Sans 10 pt") << 10;
    }

    // At Debian's default font the window's first size shows every row whole, with the widest
    // texts the tool writes, and nothing touches its neighbour.
    void readableAtStart()
    {
        QFETCH(int, pointSize);
        const QFont font = QApplication::font();
        QApplication::setFont(QFont("DejaVu Sans", pointSize));
        MainWindow window;
        const auto restore = qScopeGuard([&] {
            window.cleanUp();
            QApplication::setFont(font);
        });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const auto *area = window.findChild<QScrollArea *>("scrollArea");
        const QWidgetList parts = area->widget()->findChildren<QWidget *>(
            QRegularExpression("^(label|comboBox|spinBox)"));
        for (QWidget *part : parts)
            if (auto *label = qobject_cast<QLabel *>(part); label && label->text() == "---")
                label->setText(part->objectName() == "label_firmware" ? "ABCD__2014-03-07"
                                                                      : "-2147483648");
        const QString path = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
        auto *port = window.findChild<QComboBox *>("comboBox_port");
        port->setEditText(path);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);

        QStringList faults;
        for (const QScrollBar *bar : { area->horizontalScrollBar(), area->verticalScrollBar() })
            if (bar->isVisible())
                faults << QString("scrolls %1").arg(bar->maximum());
        for (const QWidget *a : parts) {
            const QSize needed = a->sizeHint();
            if (qobject_cast<const QLabel *>(a)
                && (needed.width() > a->width() || needed.height() > a->height()))
                faults << a->objectName() + " clipped";
            for (const QWidget *b : parts)
                if (a->parent() == b->parent() && a < b
                    && a->geometry().adjusted(-1, -1, 1, 1).intersects(b->geometry()))
                    faults << a->objectName() + " touches " + b->objectName();
        }
        if (port->toolTip() != path
            || port->lineEdit()->width() <= port->fontMetrics().horizontalAdvance(path))
            faults << "port path not whole: " + port->toolTip();
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join(", ")));
    }

    // Quit ends the program while a help window is open: nothing is left polling unseen.
    void quitWithHelpOpen()
    {
        MainWindow window;
        QVERIFY(!window.windowIcon().pixmap(32, 32).isNull()); // the form finds its artwork
        window.show();
        window.findChild<QAction *>("actionHelp")->trigger();
        QPointer<QWidget> help;
        for (QWidget *top : QApplication::topLevelWidgets())
            if (top->inherits("HelpBrowser") && top->isVisible())
                help = top;
        QVERIFY(help);
        QTimer::singleShot(0, window.findChild<QAction *>("actionBeenden"), &QAction::trigger);
        QTimer::singleShot(5000, &window, [] { QCoreApplication::exit(1); }); // still running
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!help || !help->isVisible());
        window.cleanUp();
    }
};

QTEST_MAIN(tst_MainWindowForm)

#include "tst_mainwindowform.moc"
