#include "mainwindow.h"

#include <QAction>
#include <QBoxLayout>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMetaEnum>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSerialPortInfo>
#include <QSpinBox>
#include <QStatusBar>
#include <QToolBar>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(QMargins)

namespace {

const QSize noMaximum(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
const int notFixed = -1;
const int leftVCenter = int(Qt::AlignLeft | Qt::AlignVCenter);

// The window as main() runs it: cleanUp() before destruction, so the form object is not leaked.
struct BuiltWindow {
    MainWindow window;
    ~BuiltWindow() { window.cleanUp(); }
};

template <typename T = QWidget> T *child(QWidget *window, const QString &name)
{
    const QList<T *> found = window->findChildren<T *>(name);
    return found.size() == 1 ? found.first() : nullptr;
}

QString policyName(QSizePolicy::Policy p)
{
    return QString::fromLatin1(QMetaEnum::fromType<QSizePolicy::Policy>().valueToKey(p));
}

// One line per layout item, so a table row can state a layout's whole content in order.
QString describe(const QLayout *layout, int index)
{
    QLayoutItem *item = layout->itemAt(index);
    QString s;
    if (item->widget())
        s = item->widget()->objectName();
    else if (item->layout())
        s = item->layout()->objectName();
    else if (QSpacerItem *spacer = item->spacerItem())
        s = QStringLiteral("spacer %1x%2 %3/%4")
                .arg(spacer->sizeHint().width())
                .arg(spacer->sizeHint().height())
                .arg(policyName(spacer->sizePolicy().horizontalPolicy()),
                     policyName(spacer->sizePolicy().verticalPolicy()));
    if (auto form = qobject_cast<const QFormLayout *>(layout)) {
        int row = -1;
        QFormLayout::ItemRole role;
        form->getItemPosition(index, &row, &role);
        s += QStringLiteral(" @%1,%2").arg(row).arg(role == QFormLayout::LabelRole ? "label" : "field");
    } else if (auto grid = qobject_cast<const QGridLayout *>(layout)) {
        int row, column, rowSpan, columnSpan;
        grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
        s += QStringLiteral(" @%1,%2").arg(row).arg(column);
        if (rowSpan != 1 || columnSpan != 1)
            s += QStringLiteral(" span %1x%2").arg(rowSpan).arg(columnSpan);
    }
    return s;
}

QString shownText(const QWidget *w)
{
    if (auto label = qobject_cast<const QLabel *>(w))
        return label->text();
    if (auto button = qobject_cast<const QAbstractButton *>(w))
        return button->text();
    if (auto box = qobject_cast<const QGroupBox *>(w))
        return box->title();
    if (auto menu = qobject_cast<const QMenu *>(w))
        return menu->title();
    return QString();
}

} // namespace

class tst_MainWindowForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void widgets_data();
    void widgets();
    void layouts_data();
    void layouts();
    void palettes_data();
    void palettes();
    void menus_data();
    void menus();
    void selectors_data();
    void selectors();
    void window();
    void quitClosesWindow();
    void portBarKeepsItsButtons_data();
    void portBarKeepsItsButtons();

private:
    std::unique_ptr<BuiltWindow> built;
    MainWindow *w = nullptr;
};

void tst_MainWindowForm::initTestCase()
{
    built = std::make_unique<BuiltWindow>();
    w = &built->window;
}

void tst_MainWindowForm::cleanupTestCase()
{
    built.reset();
}

void tst_MainWindowForm::widgets_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QSize>("minimumSize");
    QTest::addColumn<QSize>("maximumSize");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("alignment");
    QTest::addColumn<int>("horizontalPolicy");
    QTest::addColumn<int>("verticalPolicy");

    auto widget = [](const char *name, const char *className, const char *parent,
                     const QString &text = QString(), QSize min = QSize(0, 0),
                     QSize max = noMaximum, bool enabled = true, int alignment = 0,
                     int horizontal = notFixed, int vertical = notFixed) {
        QTest::newRow(name) << QString::fromLatin1(className) << QString::fromLatin1(parent)
                            << text << min << max << enabled << alignment << horizontal
                            << vertical;
    };
    auto caption = [&](const char *name, const char *parent, const QString &text) {
        widget(name, "QLabel", parent, text, QSize(150, 20), noMaximum, true, leftVCenter);
    };
    auto value = [&](const char *name, const char *parent) {
        widget(name, "QLabel", parent, QStringLiteral("---"), QSize(100, 20), noMaximum, true,
               leftVCenter);
    };
    auto editor = [&](const char *name, const char *className) {
        widget(name, className, "groupBox", QString(), QSize(100, 20), QSize(160, 20), false, 0,
               QSizePolicy::Preferred, QSizePolicy::Preferred);
    };

    widget("centralWidget", "QWidget", "MainWindow");
    widget("scrollArea", "QScrollArea", "centralWidget");
    widget("scrollAreaWidgetContents", "QWidget", "qt_scrollarea_viewport");

    widget("groupBox_2", "QGroupBox", "scrollAreaWidgetContents",
           QStringLiteral("Identification data"));
    caption("label_19", "groupBox_2", QStringLiteral("Serial number probe:"));
    value("label_serialNumber", "groupBox_2");
    caption("label_10", "groupBox_2", QStringLiteral("Serial number transmitter:"));
    value("label_serialNumberTr", "groupBox_2");
    caption("label_9", "groupBox_2", QStringLiteral("Firmware:"));
    value("label_firmware", "groupBox_2");

    widget("groupBox_3", "QGroupBox", "scrollAreaWidgetContents",
           QStringLiteral("Measuring values"));
    caption("label_11", "groupBox_3", QString::fromUtf8("Temperature (\u00b0C):"));
    value("label_temperature", "groupBox_3");
    caption("label_13", "groupBox_3", QStringLiteral("Temperature alarm:"));
    value("label_temperatureAlarm", "groupBox_3");
    caption("label_15", "groupBox_3", QStringLiteral("Humidity (% r.H.):"));
    value("label_humidity", "groupBox_3");
    caption("label_17", "groupBox_3", QStringLiteral("Humitity alarm:"));
    value("label_humidityAlarm", "groupBox_3");

    widget("groupBox", "QGroupBox", "scrollAreaWidgetContents",
           QStringLiteral("Communication parameters"));
    caption("label_8", "groupBox", QStringLiteral("Baud rate:"));
    value("label_baudRate", "groupBox");
    editor("comboBox_baudRate", "QComboBox");
    caption("label_2", "groupBox", QStringLiteral("Parity:"));
    value("label_parity", "groupBox");
    editor("comboBox_parity", "QComboBox");
    caption("label_4", "groupBox", QStringLiteral("Stop bits:"));
    value("label_stopBits", "groupBox");
    editor("comboBox_stopBits", "QComboBox");
    caption("label", "groupBox", QStringLiteral("Address:"));
    value("label_address", "groupBox");
    editor("spinBox_address", "QSpinBox");

    widget("groupBox_4", "QGroupBox", "scrollAreaWidgetContents",
           QStringLiteral("Calculated values"));
    caption("label_5", "groupBox_4", QString::fromUtf8("Dew-point temperature (\u00b0C):"));
    value("label_dewPointTemperature", "groupBox_4");
    caption("label_6", "groupBox_4", QStringLiteral("Enthalpy (kJ/kg):"));
    value("label_enthalpy", "groupBox_4");
    caption("label_7", "groupBox_4", QStringLiteral("Mixing ratio (g/kg):"));
    value("label_mixingRatio", "groupBox_4");
    caption("label_12", "groupBox_4", QString::fromUtf8("Absolute humidity (g/m\u00b3):"));
    value("label_absoluteHumidity", "groupBox_4");
    caption("label_14", "groupBox_4", QString::fromUtf8("Wet-bulb temperature (\u00b0C):"));
    value("label_wetBulbTemperature", "groupBox_4");
    caption("label_16", "groupBox_4", QStringLiteral("Hx alarm:"));
    value("label_hxAlarm", "groupBox_4");

    widget("label_3", "QLabel", "centralWidget", QStringLiteral("Port"), QSize(30, 20),
           QSize(100, 20), true, int(Qt::AlignCenter));
    widget("comboBox_port", "QComboBox", "centralWidget", QString(), QSize(100, 21),
           QSize(100, 21));
    widget("pushButton_refresh", "QPushButton", "centralWidget", QStringLiteral("&R"),
           QSize(23, 23), QSize(23, 23), true, 0, QSizePolicy::Fixed, QSizePolicy::Fixed);
    widget("pushButton_startStop", "QPushButton", "centralWidget", QStringLiteral("&Connect"),
           QSize(100, 23), QSize(100, 23), true, 0, QSizePolicy::Fixed, QSizePolicy::Fixed);

    widget("menuBar", "QMenuBar", "MainWindow");
    widget("menuDatei", "QMenu", "menuBar", QStringLiteral("&File"));
    widget("menu", "QMenu", "menuBar", QStringLiteral("&?"));
    widget("statusBar", "QStatusBar", "MainWindow");
}

void tst_MainWindowForm::widgets()
{
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QString, text);
    QFETCH(QSize, minimumSize);
    QFETCH(QSize, maximumSize);
    QFETCH(bool, enabled);
    QFETCH(int, alignment);
    QFETCH(int, horizontalPolicy);
    QFETCH(int, verticalPolicy);

    QWidget *widget = child(w, QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY2(widget, "no single widget of that name");
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QVERIFY(widget->parentWidget());
    QCOMPARE(widget->parentWidget()->objectName(), parentName);
    if (!text.isNull())
        QCOMPARE(shownText(widget), text);
    QCOMPARE(widget->minimumSize(), minimumSize);
    QCOMPARE(widget->maximumSize(), maximumSize);
    QCOMPARE(widget->isEnabled(), enabled);
    if (alignment)
        QCOMPARE(int(qobject_cast<QLabel *>(widget)->alignment()), alignment);
    if (horizontalPolicy != notFixed) {
        QCOMPARE(int(widget->sizePolicy().horizontalPolicy()), horizontalPolicy);
        QCOMPARE(int(widget->sizePolicy().verticalPolicy()), verticalPolicy);
    }
}

void tst_MainWindowForm::layouts_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<int>("horizontalSpacing");
    QTest::addColumn<int>("verticalSpacing");
    QTest::addColumn<QMargins>("margins");
    QTest::addColumn<QStringList>("items");

    const QMargins none(0, 0, 0, 0);
    const QMargins box(11, 11, 11, 11);
    const QString vSpacer = QStringLiteral("spacer 20x40 Minimum/Expanding");
    const QString hSpacer = QStringLiteral("spacer 40x20 Expanding/Minimum");

    QTest::newRow("horizontalLayout_2") << "QHBoxLayout" << "centralWidget" << 0 << 0 << none
                                        << QStringList{ "verticalLayout" };
    QTest::newRow("verticalLayout") << "QVBoxLayout" << "horizontalLayout_2" << 5 << 5 << none
                                    << QStringList{ "scrollArea", "horizontalLayout" };
    QTest::newRow("verticalLayout_3") << "QVBoxLayout" << "scrollAreaWidgetContents" << 6 << 6
                                      << box << QStringList{ "verticalLayout_6" };
    QTest::newRow("verticalLayout_6")
            << "QVBoxLayout" << "verticalLayout_3" << 6 << 6 << none
            << QStringList{ "horizontalLayout_7", "groupBox", "groupBox_4" };
    QTest::newRow("horizontalLayout_7") << "QHBoxLayout" << "verticalLayout_6" << 6 << 6 << none
                                        << QStringList{ "groupBox_2", "groupBox_3" };
    QTest::newRow("verticalLayout_5") << "QVBoxLayout" << "groupBox_2" << 6 << 6 << box
                                      << QStringList{ "formLayout" };
    QTest::newRow("formLayout") << "QFormLayout" << "verticalLayout_5" << 0 << 6 << none
                                << QStringList{ "label_19 @0,label",
                                                "label_serialNumber @0,field",
                                                "label_10 @1,label",
                                                "label_serialNumberTr @1,field",
                                                "label_9 @2,label",
                                                "label_firmware @2,field" };
    QTest::newRow("verticalLayout_4") << "QVBoxLayout" << "groupBox_3" << 6 << 6 << box
                                      << QStringList{ "formLayout_2" };
    QTest::newRow("formLayout_2") << "QFormLayout" << "verticalLayout_4" << 0 << 6 << none
                                  << QStringList{ "label_11 @0,label",
                                                  "label_temperature @0,field",
                                                  "label_13 @1,label",
                                                  "label_temperatureAlarm @1,field",
                                                  "label_15 @2,label",
                                                  "label_humidity @2,field",
                                                  "label_17 @3,label",
                                                  "label_humidityAlarm @3,field",
                                                  vSpacer + " @4,label" };
    QTest::newRow("verticalLayout_2") << "QVBoxLayout" << "groupBox" << 6 << 6 << box
                                      << QStringList{ "gridLayout" };
    QTest::newRow("gridLayout") << "QGridLayout" << "verticalLayout_2" << 0 << 6 << none
                                << QStringList{ "label @3,0",
                                                "label_baudRate @0,1",
                                                "comboBox_baudRate @0,2",
                                                "label_2 @1,0",
                                                "label_4 @2,0",
                                                "label_8 @0,0",
                                                "label_parity @1,1",
                                                "label_stopBits @2,1",
                                                "label_address @3,1",
                                                "comboBox_stopBits @2,2",
                                                hSpacer + " @0,3",
                                                "spinBox_address @3,2",
                                                "comboBox_parity @1,2",
                                                vSpacer + " @4,0" };
    QTest::newRow("verticalLayout_7") << "QVBoxLayout" << "groupBox_4" << 6 << 6 << box
                                      << QStringList{ "formLayout_3" };
    QTest::newRow("formLayout_3") << "QFormLayout" << "verticalLayout_7" << 0 << 6 << none
                                  << QStringList{ "label_5 @0,label",
                                                  "label_dewPointTemperature @0,field",
                                                  "label_6 @1,label",
                                                  "label_enthalpy @1,field",
                                                  "label_7 @2,label",
                                                  "label_mixingRatio @2,field",
                                                  "label_12 @3,label",
                                                  "label_absoluteHumidity @3,field",
                                                  "label_14 @4,label",
                                                  "label_wetBulbTemperature @4,field",
                                                  "label_16 @5,label",
                                                  "label_hxAlarm @5,field",
                                                  vSpacer + " @6,label" };
    QTest::newRow("horizontalLayout")
            << "QHBoxLayout" << "verticalLayout" << 6 << 6 << none
            << QStringList{ "label_3", "comboBox_port", "pushButton_refresh",
                            "pushButton_startStop", hSpacer };
}

void tst_MainWindowForm::layouts()
{
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(int, horizontalSpacing);
    QFETCH(int, verticalSpacing);
    QFETCH(QMargins, margins);
    QFETCH(QStringList, items);

    QLayout *layout = child<QLayout>(w, QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY2(layout, "no single layout of that name");
    QCOMPARE(QString::fromLatin1(layout->metaObject()->className()), className);
    QVERIFY(layout->parent());
    QCOMPARE(layout->parent()->objectName(), parentName);
    if (auto owner = qobject_cast<QWidget *>(layout->parent()))
        QCOMPARE(owner->layout(), layout);

    if (auto form = qobject_cast<QFormLayout *>(layout)) {
        QCOMPARE(form->horizontalSpacing(), horizontalSpacing);
        QCOMPARE(form->verticalSpacing(), verticalSpacing);
    } else if (auto grid = qobject_cast<QGridLayout *>(layout)) {
        QCOMPARE(grid->horizontalSpacing(), horizontalSpacing);
        QCOMPARE(grid->verticalSpacing(), verticalSpacing);
    } else {
        QCOMPARE(layout->spacing(), horizontalSpacing);
    }
    QCOMPARE(layout->contentsMargins(), margins);

    QStringList actual;
    for (int i = 0; i < layout->count(); ++i)
        actual << describe(layout, i);
    QCOMPARE(actual, items);
}

void tst_MainWindowForm::palettes_data()
{
    QTest::addColumn<QString>("widgetName");
    QTest::addColumn<int>("group");
    QTest::addColumn<int>("role");
    QTest::addColumn<QColor>("colour");

    const QColor white(255, 255, 255, 255);
    const QColor red(255, 0, 0, 255);
    QTest::newRow("scroll area active base") << "scrollArea" << int(QPalette::Active)
                                             << int(QPalette::Base) << white;
    QTest::newRow("scroll area active window") << "scrollArea" << int(QPalette::Active)
                                               << int(QPalette::Window) << white;
    QTest::newRow("scroll area inactive base") << "scrollArea" << int(QPalette::Inactive)
                                               << int(QPalette::Base) << white;
    QTest::newRow("scroll area inactive window") << "scrollArea" << int(QPalette::Inactive)
                                                 << int(QPalette::Window) << white;
    QTest::newRow("scroll area disabled base") << "scrollArea" << int(QPalette::Disabled)
                                               << int(QPalette::Base) << white;
    QTest::newRow("scroll area disabled window") << "scrollArea" << int(QPalette::Disabled)
                                                 << int(QPalette::Window) << white;
    QTest::newRow("status bar active text") << "statusBar" << int(QPalette::Active)
                                            << int(QPalette::WindowText) << red;
    QTest::newRow("status bar inactive text") << "statusBar" << int(QPalette::Inactive)
                                              << int(QPalette::WindowText) << red;
    QTest::newRow("status bar disabled text") << "statusBar" << int(QPalette::Disabled)
                                              << int(QPalette::WindowText)
                                              << QColor(97, 95, 82, 255);
}

void tst_MainWindowForm::palettes()
{
    QFETCH(QString, widgetName);
    QFETCH(int, group);
    QFETCH(int, role);
    QFETCH(QColor, colour);

    QWidget *widget = child(w, widgetName);
    QVERIFY(widget);
    const QBrush brush = widget->palette().brush(QPalette::ColorGroup(group),
                                                 QPalette::ColorRole(role));
    QCOMPARE(brush.style(), Qt::SolidPattern);
    QCOMPARE(brush.color(), colour);
}

void tst_MainWindowForm::menus_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<QStringList>("actionNames");
    QTest::addColumn<QStringList>("actionTexts");

    QTest::newRow("menuDatei") << 0 << QStringList{ "actionBeenden" } << QStringList{ "&Quit" };
    QTest::newRow("menu") << 1
                          << QStringList{ "action_ber_Quorvel_Setup", "action_ber_Qt",
                                          "actionHelp" }
                          << QStringList{ "About &Quorvel-Setup", "About &Qt", "&Help" };
}

void tst_MainWindowForm::menus()
{
    QFETCH(int, position);
    QFETCH(QStringList, actionNames);
    QFETCH(QStringList, actionTexts);

    QMenu *menu = child<QMenu>(w, QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(menu);
    const QList<QAction *> bar = w->menuBar()->actions();
    QCOMPARE(bar.size(), 2);
    QCOMPARE(bar.at(position), menu->menuAction());

    QStringList names, texts;
    for (QAction *action : menu->actions()) {
        names << action->objectName();
        texts << action->text();
        QCOMPARE(action->parent(), w);
        // The ampersands are mnemonics only; a key binding would clash with them.
        QVERIFY2(action->shortcuts().isEmpty(), qPrintable(action->objectName()));
    }
    QCOMPARE(names, actionNames);
    QCOMPARE(texts, actionTexts);
}

void tst_MainWindowForm::selectors_data()
{
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<int>("currentIndex");
    QTest::addColumn<bool>("editable");

    QTest::newRow("comboBox_parity") << QStringList{ "None", "Even", "Odd" } << -1 << false;
    QTest::newRow("comboBox_stopBits") << QStringList{ "1", "2" } << -1 << false;
    QTest::newRow("comboBox_baudRate")
            << QStringList{ "600", "1200", "2400", "4800", "9600", "19200" } << -1 << false;

    QStringList ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports << info.portName();
    QTest::newRow("comboBox_port") << ports << (ports.isEmpty() ? -1 : 0) << true;
}

void tst_MainWindowForm::selectors()
{
    QFETCH(QStringList, items);
    QFETCH(int, currentIndex);
    QFETCH(bool, editable);

    QComboBox *box = child<QComboBox>(w, QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(box);
    QStringList actual;
    for (int i = 0; i < box->count(); ++i)
        actual << box->itemText(i);
    QCOMPARE(actual, items);
    QCOMPARE(box->currentIndex(), currentIndex);
    QCOMPARE(box->isEditable(), editable);
}

void tst_MainWindowForm::window()
{
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), QStringLiteral("MainWindow"));
    QCOMPARE(w->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(w->windowTitle(), QStringLiteral("Quorvel-Setup 2.0"));
    QCOMPARE(w->size(), QSize(592, 584));
    QCOMPARE(w->minimumSize(), QSize(300, 200));
    QCOMPARE(w->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(w->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    QVERIFY2(!w->windowIcon().pixmap(32, 32).isNull(), "window icon not loaded from :/QuorvelSetup.ico");
    QVERIFY(w->findChildren<QToolBar *>().isEmpty());

    QCOMPARE(w->centralWidget(), child(w, QStringLiteral("centralWidget")));
    QCOMPARE(w->menuBar(), child(w, QStringLiteral("menuBar")));
    QCOMPARE(w->statusBar(), child(w, QStringLiteral("statusBar")));
    QVERIFY(w->statusBar()->currentMessage().isEmpty());
    QVERIFY(w->statusBar()->font().bold());
    QCOMPARE(w->statusBar()->font().weight(), 75);
    QGroupBox *calculated = child<QGroupBox>(w, QStringLiteral("groupBox_4"));
    QVERIFY(calculated);
    QVERIFY(!calculated->font().bold());
    QCOMPARE(calculated->font().weight(), 50);
    QVERIFY(!calculated->isFlat());
    QVERIFY(!calculated->isCheckable());

    QScrollArea *scrollArea = child<QScrollArea>(w, QStringLiteral("scrollArea"));
    QVERIFY(scrollArea);
    QVERIFY(scrollArea->widgetResizable());
    QCOMPARE(scrollArea->widget(), child(w, QStringLiteral("scrollAreaWidgetContents")));

    QSpinBox *address = child<QSpinBox>(w, QStringLiteral("spinBox_address"));
    QVERIFY(address);
    QCOMPARE(address->minimum(), 1);
    QCOMPARE(address->maximum(), 247);
    QCOMPARE(address->value(), 1);
    QVERIFY(address->suffix().isEmpty());
}

void tst_MainWindowForm::quitClosesWindow()
{
    BuiltWindow other;
    other.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&other.window));
    QAction *quit = child<QAction>(&other.window, QStringLiteral("actionBeenden"));
    QVERIFY(quit);
    quit->trigger();
    QVERIFY(!other.window.isVisible());
}

void tst_MainWindowForm::portBarKeepsItsButtons_data()
{
    QTest::addColumn<QSize>("requested");
    QTest::addColumn<QSize>("expected");

    QTest::newRow("initial size") << QSize(592, 584) << QSize(592, 584);
    QTest::newRow("shrunk to the minimum") << QSize(300, 200) << QSize(300, 200);
    QTest::newRow("below the minimum") << QSize(120, 80) << QSize(300, 200);
    QTest::newRow("wide") << QSize(1200, 700) << QSize(1200, 700);
}

void tst_MainWindowForm::portBarKeepsItsButtons()
{
    QFETCH(QSize, requested);
    QFETCH(QSize, expected);

    BuiltWindow other;
    MainWindow &win = other.window;
    win.show();
    QVERIFY(QTest::qWaitForWindowExposed(&win));
    win.resize(requested);
    QTRY_COMPARE(win.size(), expected);

    QWidget *central = child(&win, QStringLiteral("centralWidget"));
    QWidget *refresh = child(&win, QStringLiteral("pushButton_refresh"));
    QWidget *startStop = child(&win, QStringLiteral("pushButton_startStop"));
    QScrollArea *scrollArea = child<QScrollArea>(&win, QStringLiteral("scrollArea"));
    QVERIFY(central && refresh && startStop && scrollArea);
    QTRY_COMPARE(central->width(), expected.width());
    QCOMPARE(refresh->size(), QSize(23, 23));
    QCOMPARE(startStop->size(), QSize(100, 23));
    // The port bar stays in view below the scroll area, which scrolls when the content is cut.
    QVERIFY(central->rect().contains(startStop->geometry()));
    QVERIFY(startStop->geometry().top() >= scrollArea->geometry().bottom());
    // Scroll bars appear exactly when the content no longer fits; at the minimum it never does.
    QScrollBar *bar = scrollArea->verticalScrollBar();
    QTRY_COMPARE(bar->isVisible(),
                 scrollArea->widget()->minimumSizeHint().height() > scrollArea->viewport()->height());
    if (expected == win.minimumSize())
        QVERIFY(bar->isVisible());
}

QTEST_MAIN(tst_MainWindowForm)
#include "tst_mainwindowform.moc"
