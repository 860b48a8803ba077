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
    void openPage_data()
    {
        QTest::addColumn<QString>("page"); // "work/" or "share/": the test puts its own copy there
        QTest::addColumn<QStringList>("expected"); // texts on the page; none: an empty page

        const QStringList shipped =
            QString::fromUtf8(
                "Quorvel-Setup 2.0|°C|% r.H.|kJ/kg|g/kg|g/m³|\"---\"|Try to connect|Disconnect|"
                "Timeout|Bad response, CRC error|Response OK|Write baud rate: |Write parity: |"
                "Write stop bits: |Write address: |Can't open|Can't set 8 data bits to port|"
                "Can't set baud rate 19200 baud to port|Can't set no parity to port|"
                "Can't set 1 stop bit to port|Can't set no flow control to port|"
                "quorvel-transmitter-sim --help|from the transmitter: |illegal function|"
                "illegal data address|illegal data value|server device failure|; refused: |"
                "Unexpected answer: |: no such device|: permission denied (is your user in the "
                "dialout group?)|: in use by another program|Last good read|every 2.5 s|"
                "termination|dialout")
                .split('|');
        const QStringList own { "Own help copy" };
        QTest::newRow("working directory first") << "work/index.html" << own;
        QTest::newRow("executable's folder before ../share") << "share/index.html" << shipped;
        QTest::newRow("then ../share/quorvel-setup") << "share/installed.html" << own;
        QTest::newRow("nowhere: an empty page") << "no-such-page.html" << QStringList();
    }

    void openPage()
    {
        QFETCH(QString, page);
        QFETCH(QStringList, expected);
        const QString copy = page.section('/', 0, -2), name = page.section('/', -1);
        const QString dataDir = QCoreApplication::applicationDirPath() + "/../share/quorvel-setup";
        QTemporaryDir workDir;
        QVERIFY(QDir::setCurrent(workDir.path()));
        const auto restore = qScopeGuard([&] {
            qDeleteAll(QApplication::topLevelWidgets());
            if (copy == "share" && QFile::remove(dataDir + '/' + name))
                QDir().rmpath(dataDir);
        });
        QFile file((copy == "share" ? dataDir : workDir.path()) + '/' + name);
        if (!copy.isEmpty())
            QVERIFY(QDir().mkpath(QFileInfo(file).path()) && file.open(QIODevice::WriteOnly)
                    && file.write("Own help copy") > 0 && file.flush());

        // Each call opens one more window, and nothing else: no message box for a missing page.
        HelpBrowser::openPage(name);
        HelpBrowser::openPage(name);
        const QWidgetList windows = QApplication::topLevelWidgets();
        QCOMPARE(windows.size(), 2);
        for (QWidget *window : windows) {
            QCOMPARE(window->size(), QSize(500, 500));
            QCOMPARE(window->windowTitle(), QStringLiteral("Help page"));
            const auto *browser = window->findChild<QTextBrowser *>();
            QVERIFY(qobject_cast<HelpBrowser *>(window) && window->isVisible()
                    && browser->openExternalLinks()); // web and mail links go to the desktop
            const QString text = browser->toPlainText();
            QVERIFY2(expected.isEmpty() == text.trimmed().isEmpty(), qPrintable(text.left(200)));
            for (const QString &mention : expected)
                QVERIFY2(text.contains(mention), qPrintable("the page lacks " + mention));
        }

        QPointer<QWidget> closed = windows.first(); // nobody keeps it: it must free itself
        QVERIFY(closed->close());
        QTRY_VERIFY(closed.isNull());
    }
};

QTEST_MAIN(tst_HelpBrowser)

#include "tst_helpbrowser.moc"
