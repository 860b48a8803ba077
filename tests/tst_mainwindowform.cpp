#include "mainwindow.h"

#include <QSerialPortInfo>
#include <QtTest>
#include <QtWidgets>

class tst_MainWindowForm : public QObject
{
    Q_OBJECT

    const std::unique_ptr<MainWindow> w = std::make_unique<MainWindow>();

    // Class, parent, what differs from Qt's defaults; a widget's layout, the one in it, children.
    QString describe(const QObject *object) const
    {
        QStringList d { object->metaObject()->className(), object->parent()->objectName() };
        if (const auto *layout = qobject_cast<const QLayout *>(object)) {
            const QMargins m = layout->contentsMargins(); // spacing -1: not the same both ways
            return d.join(' ')
                + QString::asprintf(" %d %d,%d,%d,%d %d", layout->spacing(), m.left(), m.top(),
                                    m.right(), m.bottom(), layout->count());
        }
        const auto *widget = static_cast<const QWidget *>(object);
        for (const QSize s : { widget->minimumSize(), widget->maximumSize() })
            if (s != QSize(0, 0) && s != QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX))
                d << QString::asprintf("%dx%d", s.width(), s.height());
        d << (widget->isEnabled() ? "" : "off");
        for (const char *p : { "text", "title", "minimum", "maximum", "widgetResizable" })
            d << widget->property(p).toString();
        if (const auto *box = qobject_cast<const QComboBox *>(widget))
            for (int i = -1; i < box->count(); ++i) // the current index, then the items
                d << (i < 0 ? '@' + QString::number(box->currentIndex()) : box->itemText(i));
        for (const QAction *action : widget->actions()) // mnemonic, then any key binding
            d << action->text() + action->shortcut().toString();
        if (const QLayout *l = widget->layout(); l && !l->objectName().isEmpty())
            d << describe(l).section(' ', 2) << describe(l->itemAt(0)->layout()).section(' ', 2);
        const QRegularExpression re("^(?!qt_)\\w"); // named, and not one of Qt's own parts
        for (const QWidget *c : widget->findChildren<QWidget *>(re, Qt::FindDirectChildrenOnly)) {
            const auto *label = qobject_cast<const QLabel *>(c); // its text unless it shows ---
            d << (label && label->text() != "---" ? label->text() : c->objectName());
        }
        return d.join(' ').simplified();
    }

private slots:
    void cleanupTestCase() { w->cleanUp(); }

    void objects_data()
    {
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const QString &e) { QTest::newRow(name) << e; };
        QString ports = QSerialPortInfo::availablePorts().isEmpty() ? "@-1" : "@0";
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            ports += ' ' + info.portName();

        row("centralWidget",
            "QWidget MainWindow 0 0,0,0,0 1 5 0,0,0,0 2 "
            "scrollArea Port comboBox_port pushButton_refresh pushButton_startStop "
            "pushButton_connection");
        row("scrollArea", "QScrollArea centralWidget true");
        row("scrollAreaWidgetContents",
            "QWidget qt_scrollarea_viewport 6 11,11,11,11 1 "
            "6 0,0,0,0 3 groupBox_2 groupBox_3 groupBox groupBox_4");
        row("groupBox_2",
            "QGroupBox scrollAreaWidgetContents Identification data 6 11,11,11,11 1 "
            "-1 0,0,0,0 6 Serial number probe: label_serialNumber "
            "Serial number transmitter: label_serialNumberTr Firmware: label_firmware");
        row("groupBox_3",
            "QGroupBox scrollAreaWidgetContents Measuring values 6 11,11,11,11 1 "
            "-1 0,0,0,0 9 Temperature (°C): label_temperature Temperature alarm: "
            "label_temperatureAlarm Humidity (% r.H.): label_humidity "
            "Humitity alarm: label_humidityAlarm");
        row("groupBox",
            "QGroupBox scrollAreaWidgetContents Communication parameters "
            "6 11,11,11,11 1 -1 0,0,0,0 18 Address: label_baudRate comboBox_baudRate "
            "Parity: Stop bits: Baud rate: label_parity label_stopBits label_address "
            "comboBox_stopBits spinBox_address comboBox_parity"); // the notes are empty
        row("comboBox_baudRate",
            "QComboBox groupBox 100x20 160x20 off @-1 600 1200 2400 4800 9600 19200");
        row("comboBox_parity", "QComboBox groupBox 100x20 160x20 off @-1 None Even Odd");
        row("comboBox_stopBits", "QComboBox groupBox 100x20 160x20 off @-1 1 2");
        row("spinBox_address", "QSpinBox groupBox 100x20 160x20 off 1 1 247"); // text, range
        row("groupBox_4",
            "QGroupBox scrollAreaWidgetContents Calculated values 6 11,11,11,11 1 "
            "-1 0,0,0,0 13 Dew-point temperature (°C): label_dewPointTemperature "
            "Enthalpy (kJ/kg): label_enthalpy Mixing ratio (g/kg): label_mixingRatio "
            "Absolute humidity (g/m³): label_absoluteHumidity Wet-bulb temperature "
            "(°C): label_wetBulbTemperature Hx alarm: label_hxAlarm");
        row("label_3", "QLabel centralWidget 30x20 100x20 Port");
        row("comboBox_port", "QComboBox centralWidget 100x21 16777215x21 " + ports);
        row("pushButton_refresh", "QPushButton centralWidget 23x23 23x23 &R");
        row("pushButton_startStop", "QPushButton centralWidget 100x23 100x23 &Connect");
        row("menuBar",
            "QMenuBar MainWindow &File &View &Tools &? menuDatei menuView menuTools menu");
        row("menuDatei",
            "QMenu menuBar &File Start &recording... Sto&p recording Save &commissioning record... "
            "&Quit");
        row("menuView", "QMenu menuBar &View Bus &trafficCtrl+T T&rendCtrl+R");
        row("menuTools", "QMenu menuBar &Tools &Find transmitters...Ctrl+F Acceptance &check...");
        row("menu", "QMenu menuBar &? About &Quorvel-Setup About &Qt &Help");
    }

    void objects()
    {
        QFETCH(QString, expected);
        QCOMPARE(describe(w->findChild<QObject *>(QTest::currentDataTag())), expected);
    }

    void windowThenQuit()
    {
        QCOMPARE(w->windowTitle(), "Quorvel-Setup 2.0");
        QVERIFY(w->width() >= 592 && w->height() >= 584); // larger where the font needs it
        QCOMPARE(w->minimumSize(), QSize(300, 200));
        QCOMPARE(w->sizePolicy(), QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed));
        QVERIFY(!w->windowIcon().pixmap(32, 32).isNull());
        QCOMPARE(w->statusBar()->font().weight(), 75); // bold red messages on a white page
        QCOMPARE(w->statusBar()->palette().color(QPalette::WindowText), QColor(Qt::red));
        QCOMPARE(w->findChild<QWidget *>("scrollArea")->palette().color(QPalette::Base), Qt::white);
        QCOMPARE(w->findChild<QLabel *>("label_3")->alignment(), Qt::AlignCenter);
        for (const QLabel *l : w->findChild<QWidget *>("scrollArea")->findChildren<QLabel *>()) {
            if (l->objectName().startsWith("note_")) // a write's outcome, shown only when due
                continue;
            const QSize form = l->text() == "---" ? QSize(100, 20) : QSize(150, 20);
            QCOMPARE(l->minimumSize().expandedTo(form), l->minimumSize()); // widened, never less
        }

        w->show();
        w->findChild<QAction *>("actionBeenden")->trigger();
        QVERIFY(!w->isVisible());
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
