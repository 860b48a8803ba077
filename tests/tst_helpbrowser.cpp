#include "helpbrowser.h"

#include <QApplication>
#include <QPointer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

class tst_HelpBrowser : public QObject
{
    Q_OBJECT

private slots:
    void openPage_data();
    void openPage();
};

void tst_HelpBrowser::openPage_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<bool>("inWorkDir");
    QTest::addColumn<bool>("installed");       // a copy in <appdir>/../share/quorvel-setup
    QTest::addColumn<QStringList>("expected"); // texts on the page; none: an empty page

    // The shipped page explains the units, the absent value, the status texts and the simulator.
    const QStringList shipped =
        QString::fromUtf8(
            "Quorvel-Setup 2.0|°C|% r.H.|kJ/kg|g/kg|g/m³|\"---\"|Try to connect|Disconnect|"
            "Timeout|Bad response, CRC error|Response OK|Write baud rate: |Write parity: |"
            "Write stop bits: |Write address: |Can't open|Can't set baud rate 19200 baud to port|"
            "Can't set 8 data bits to port|Can't set no parity to port|"
            "Can't set 1 stop bit to port|Can't set no flow control to port|"
            "quorvel-transmitter-sim --help")
            .split('|');
    QTest::newRow("working directory before the executable's folder")
        << "index.html" << true << false << QStringList { "Own help copy" };
    QTest::newRow("executable's folder (the shipped page) before the install location")
        << "index.html" << false << true << shipped;
    QTest::newRow("page only in ../share/quorvel-setup, as installed")
        << "installed.html" << false << true << QStringList { "Own help copy" };
    QTest::newRow("page that exists nowhere")
        << "no-such-page.html" << false << false << QStringList();
}

void tst_HelpBrowser::openPage()
{
    QFETCH(QString, page);
    QFETCH(bool, inWorkDir);
    QFETCH(bool, installed);
    QFETCH(QStringList, expected);

    const QString startDir = QDir::currentPath();
    const QString dataDir =
        QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../share/quorvel-setup");
    QTemporaryDir workDir;
    QVERIFY(QDir::setCurrent(workDir.path()));
    const auto restore = qScopeGuard([&] {
        qDeleteAll(QApplication::topLevelWidgets());
        QDir::setCurrent(startDir);
        if (installed && QFile::remove(dataDir + '/' + page))
            QDir().rmpath(dataDir);
    });
    QFile copy((installed ? dataDir : workDir.path()) + '/' + page); // the test's own page
    if (inWorkDir || installed)
        QVERIFY(QDir().mkpath(QFileInfo(copy).path()) && copy.open(QIODevice::WriteOnly)
                && copy.write("Own help copy") > 0 && copy.flush());

    // Each call opens one more window, and nothing else: no message box for a missing page.
    HelpBrowser::openPage(page);
    HelpBrowser::openPage(page);
    const QWidgetList windows = QApplication::topLevelWidgets();
    QCOMPARE(windows.size(), 2);
    for (QWidget *window : windows) {
        QVERIFY(qobject_cast<HelpBrowser *>(window) && window->isVisible());
        QCOMPARE(window->size(), QSize(500, 500));
        QCOMPARE(window->windowTitle(), QStringLiteral("Help page"));
        const auto *browser = window->findChild<QTextBrowser *>();
        QVERIFY(browser->openExternalLinks()); // web and mail links go to the desktop
        const QString text = browser->toPlainText();
        QVERIFY2(expected.isEmpty() == text.trimmed().isEmpty(), qPrintable(text.left(200)));
        for (const QString &mention : expected)
            QVERIFY2(text.contains(mention), qPrintable("the page lacks " + mention));
    }

    // Nobody keeps a help window, so a closed one has to free itself.
    QPointer<QWidget> closed = windows.first();
    QVERIFY(closed->close());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(closed.isNull());
    QCOMPARE(QApplication::topLevelWidgets(), windows.mid(1));
}

QTEST_MAIN(tst_HelpBrowser)

#include "tst_helpbrowser.moc"
