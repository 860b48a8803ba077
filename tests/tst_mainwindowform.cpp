#include "mainwindow.h"

#include <QSerialPortInfo>
#include <QtTest>
#include <QtWidgets>

class tst_MainWindowForm : public QObject
{
    Q_OBJECT

    MainWindow window;
    MainWindow *const w = &window;

    // Class, parent, "#index" in a box layout, then what differs from Qt's defaults: a widget's
    // sizes, disabled state, text, items and current index, colours, actions; a layout's
    // spacing ("h/v" in form and grid layouts), margins and number of items.
    QString describe(QObject *object) const
    {
        auto *widget = qobject_cast<QWidget *>(object);
        auto *layout = qobject_cast<QLayout *>(object);
        QStringList d { object->metaObject()->className(), object->parent()->objectName() };
        for (const QBoxLayout *l : w->findChildren<QBoxLayout *>(QRegularExpression("^[a-z]"))) {
            if (const int i = widget ? l->indexOf(widget) : l->indexOf(layout); i >= 0)
                d << '#' + QString::number(i);
        }
        const auto hv = [](const auto *l) {
            return QString("%1/%2").arg(l->horizontalSpacing()).arg(l->verticalSpacing());
        };
        if (layout) {
            const auto *form = qobject_cast<QFormLayout *>(layout);
            const auto *grid = qobject_cast<QGridLayout *>(layout);
            const QMargins m = layout->contentsMargins();
            d << (form ? hv(form) : grid ? hv(grid) : QString::number(layout->spacing()));
            d << QString("%1,%2,%3,%4").arg(m.left()).arg(m.top()).arg(m.right()).arg(m.bottom())
              << QString::number(layout->count());
            return d.join(' ').simplified();
        }
        for (const QSize s : { widget->minimumSize(), widget->maximumSize() }) {
            if (s != QSize(0, 0) && s != QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX))
                d << QString("%1x%2").arg(s.width()).arg(s.height());
        }
        d << (widget->isEnabled() ? "" : "off")
          << widget->property("text").toString() + widget->property("title").toString();
        if (const auto *box = qobject_cast<QComboBox *>(widget)) {
            for (int i = 0; i < box->count(); ++i)
                d << box->itemText(i);
            d << '@' + QString::number(box->currentIndex());
        }
        const QPalette palette = widget->palette();
        for (int i = 0; i < 3 * QPalette::NColorRoles; ++i) { // per role the form sets, 3 groups
            if (palette.resolve() >> (i / 3) & 1)
                d << palette.color(QPalette::ColorGroup(i % 3), QPalette::ColorRole(i / 3)).name();
        }
        for (const QAction *action : widget->actions()) // no key bindings: mnemonics only
            d << action->objectName() + '=' + action->text() + action->shortcut().toString();
        return d.join(' ').simplified();
    }

public:
    ~tst_MainWindowForm() override { window.cleanUp(); }

private slots:

    void objects_data()
    {
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const QString &e) { QTest::newRow(name) << e; };
        // A caption c and the value label v beside it.
        const auto pair = [](const char *c, const char *v, const char *box, const char *text) {
            QTest::newRow(c) << QString("QLabel %1 150x20 %2").arg(box, text);
            QTest::newRow(v) << QString("QLabel %1 100x20 ---").arg(box);
        };
        QStringList ports;
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            ports << info.portName();
        ports << (ports.isEmpty() ? "@-1" : "@0");

        row("centralWidget", "QWidget MainWindow");
        row("horizontalLayout_2", "QHBoxLayout centralWidget 0 0,0,0,0 1");
        row("verticalLayout", "QVBoxLayout horizontalLayout_2 #0 5 0,0,0,0 2");
        row("scrollArea",
            "QScrollArea centralWidget #0 #ffffff #ffffff #ffffff #ffffff #ffffff #ffffff");
        row("scrollAreaWidgetContents", "QWidget qt_scrollarea_viewport");
        row("verticalLayout_3", "QVBoxLayout scrollAreaWidgetContents 6 11,11,11,11 1");
        row("verticalLayout_6", "QVBoxLayout verticalLayout_3 #0 6 0,0,0,0 3");
        row("horizontalLayout_7", "QHBoxLayout verticalLayout_6 #0 6 0,0,0,0 2");
        row("groupBox_2", "QGroupBox scrollAreaWidgetContents #0 Identification data");
        row("formLayout", "QFormLayout verticalLayout_5 #0 0/6 0,0,0,0 6");
        pair("label_19", "label_serialNumber", "groupBox_2", "Serial number probe:");
        pair("label_10", "label_serialNumberTr", "groupBox_2", "Serial number transmitter:");
        pair("label_9", "label_firmware", "groupBox_2", "Firmware:");
        row("groupBox_3", "QGroupBox scrollAreaWidgetContents #1 Measuring values");
        row("formLayout_2", "QFormLayout verticalLayout_4 #0 0/6 0,0,0,0 9");
        pair("label_11", "label_temperature", "groupBox_3", "Temperature (°C):");
        pair("label_13", "label_temperatureAlarm", "groupBox_3", "Temperature alarm:");
        pair("label_15", "label_humidity", "groupBox_3", "Humidity (% r.H.):");
        pair("label_17", "label_humidityAlarm", "groupBox_3", "Humitity alarm:");
        row("groupBox", "QGroupBox scrollAreaWidgetContents #1 Communication parameters");
        row("gridLayout", "QGridLayout verticalLayout_2 #0 0/6 0,0,0,0 14");
        pair("label_8", "label_baudRate", "groupBox", "Baud rate:");
        pair("label_2", "label_parity", "groupBox", "Parity:");
        pair("label_4", "label_stopBits", "groupBox", "Stop bits:");
        pair("label", "label_address", "groupBox", "Address:");
        row("comboBox_baudRate",
            "QComboBox groupBox 100x20 160x20 off 600 1200 2400 4800 9600 19200 @-1");
        row("comboBox_parity", "QComboBox groupBox 100x20 160x20 off None Even Odd @-1");
        row("comboBox_stopBits", "QComboBox groupBox 100x20 160x20 off 1 2 @-1");
        row("spinBox_address", "QSpinBox groupBox 100x20 160x20 off 1"); // its text, the value
        row("groupBox_4", "QGroupBox scrollAreaWidgetContents #2 Calculated values");
        row("formLayout_3", "QFormLayout verticalLayout_7 #0 0/6 0,0,0,0 13");
        pair("label_5", "label_dewPointTemperature", "groupBox_4", "Dew-point temperature (°C):");
        pair("label_6", "label_enthalpy", "groupBox_4", "Enthalpy (kJ/kg):");
        pair("label_7", "label_mixingRatio", "groupBox_4", "Mixing ratio (g/kg):");
        pair("label_12", "label_absoluteHumidity", "groupBox_4", "Absolute humidity (g/m³):");
        pair("label_14", "label_wetBulbTemperature", "groupBox_4", "Wet-bulb temperature (°C):");
        pair("label_16", "label_hxAlarm", "groupBox_4", "Hx alarm:");
        row("horizontalLayout", "QHBoxLayout verticalLayout #1 6 0,0,0,0 5");
        row("label_3", "QLabel centralWidget #0 30x20 100x20 Port");
        row("comboBox_port", "QComboBox centralWidget #1 100x21 100x21 " + ports.join(' '));
        row("pushButton_refresh", "QPushButton centralWidget #2 23x23 23x23 &R");
        row("pushButton_startStop", "QPushButton centralWidget #3 100x23 100x23 &Connect");
        row("menuBar", "QMenuBar MainWindow =&File =&?");
        row("menuDatei", "QMenu menuBar &File actionBeenden=&Quit");
        row("menu",
            "QMenu menuBar &? action_ber_Quorvel_Setup=About &Quorvel-Setup "
            "action_ber_Qt=About &Qt actionHelp=&Help");
        row("statusBar", "QStatusBar MainWindow #ff0000 #615f52 #ff0000"); // bold red messages
    }

    void objects()
    {
        QFETCH(QString, expected);
        QCOMPARE(describe(w->findChild<QObject *>(QTest::currentDataTag())), expected);
    }

    void windowThenQuit()
    {
        QCOMPARE(w->windowTitle(), "Quorvel-Setup 2.0");
        QCOMPARE(w->size(), QSize(592, 584));
        QCOMPARE(w->minimumSize(), QSize(300, 200));
        QCOMPARE(w->sizePolicy(), QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed));
        QVERIFY(!w->windowIcon().pixmap(32, 32).isNull());
        QCOMPARE(w->centralWidget()->objectName() + w->menuBar()->objectName()
                     + w->statusBar()->objectName(),
                 "centralWidgetmenuBarstatusBar");
        QCOMPARE(w->statusBar()->font().weight(), 75);
        for (const QGroupBox *g : w->findChildren<QGroupBox *>())
            QCOMPARE(describe(g->layout()), "QVBoxLayout " + g->objectName() + " 6 11,11,11,11 1");
        QVERIFY(w->findChild<QScrollArea *>("scrollArea")->widgetResizable());
        QCOMPARE(w->findChild<QLabel *>("label_3")->alignment(), Qt::AlignCenter);
        const auto *address = w->findChild<QSpinBox *>("spinBox_address");
        QCOMPARE(QString("%1..%2").arg(address->minimum()).arg(address->maximum()), "1..247");

        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        w->findChild<QAction *>("actionBeenden")->trigger();
        QVERIFY(!w->isVisible());
    }
};

QTEST_MAIN(tst_MainWindowForm)

#include "tst_mainwindowform.moc"
