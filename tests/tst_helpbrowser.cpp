#include "helpbrowser.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QtTest>

// Stands in for the desktop's browser and mail program.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url) { urls << url; }
};

class tst_HelpBrowser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void openPageOpensAnotherWindowEachTime();
    void pageLookup_data();
    void pageLookup();
    void closedWindowIsDeleted();
    void links_data();
    void links();
    void shippedPageMentions_data();
    void shippedPageMentions();

private:
    static QList<HelpBrowser *> helpWindows();
    static void writeFile(const QString &path, const QByteArray &content);

    QString startDir;
    QString shippedText;
    QString dataDir; // where an installed tool keeps its help page, relative to the executable
    QStringList dataFiles;
    QScopedPointer<QTemporaryDir> workDir;
};

QList<HelpBrowser *> tst_HelpBrowser::helpWindows()
{
    QList<HelpBrowser *> windows;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *browser = qobject_cast<HelpBrowser *>(w))
            windows << browser;
    }
    return windows;
}

void tst_HelpBrowser::writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

void tst_HelpBrowser::initTestCase()
{
    startDir = QDir::currentPath();
    dataDir = QCoreApplication::applicationDirPath() + QStringLiteral("/../share/quorvel-setup");
    const QString shipped = QCoreApplication::applicationDirPath() + QStringLiteral("/index.html");
    QVERIFY2(QFileInfo::exists(shipped), "the build copies index.html next to the executables");
    HelpBrowser browser(shipped);
    shippedText = browser.findChild<QTextBrowser *>()->toPlainText();
}

// Every case runs in an empty working directory of its own.
void tst_HelpBrowser::init()
{
    workDir.reset(new QTemporaryDir);
    QVERIFY(workDir->isValid());
    QVERIFY(QDir::setCurrent(workDir->path()));
}

void tst_HelpBrowser::cleanup()
{
    qDeleteAll(helpWindows());
    QDir::setCurrent(startDir);
    workDir.reset();
    for (const QString &file : qAsConst(dataFiles))
        QFile::remove(file);
    if (!dataFiles.isEmpty())
        QDir().rmpath(dataDir);
    dataFiles.clear();
}

void tst_HelpBrowser::openPageOpensAnotherWindowEachTime()
{
    HelpBrowser::openPage(QStringLiteral("index.html"));
    HelpBrowser::openPage(QStringLiteral("index.html"));

    const QList<HelpBrowser *> windows = helpWindows();
    QCOMPARE(windows.size(), 2);
    QVERIFY(windows.at(0) != windows.at(1));
    for (HelpBrowser *window : windows) {
        QVERIFY(window->isWindow());
        QVERIFY(window->isVisible());
        QVERIFY(!window->isModal());
        QCOMPARE(window->size(), QSize(500, 500));
        QCOMPARE(window->windowTitle(), QStringLiteral("Help page"));
        QVERIFY(window->findChild<QTextBrowser *>()->openExternalLinks());
    }
}

void tst_HelpBrowser::pageLookup_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("fileInWorkDir"); // empty: the working directory has no page
    QTest::addColumn<QString>("fileInDataDir"); // empty: ../share/quorvel-setup has no page
    QTest::addColumn<QString>("expectedText");  // empty: the window shows an empty page

    QTest::newRow("index.html in the working directory wins over the shipped one")
        << "index.html" << "index.html" << QString() << "Local help copy";
    QTest::newRow("index.html only beside the executable")
        << "index.html" << QString() << QString() << "Quorvel-Setup 2.0";
    QTest::newRow("index.html beside the executable wins over the installed one")
        << "index.html" << QString() << "index.html" << "Quorvel-Setup 2.0";
    QTest::newRow("page only in ../share/quorvel-setup, as installed")
        << "installed.html" << QString() << "installed.html" << "Installed help copy";
    QTest::newRow("page in a subfolder of the working directory")
        << "docs/page.html" << "docs/page.html" << QString() << "Local help copy";
    QTest::newRow("page that exists nowhere")
        << "no-such-page.html" << QString() << QString() << QString();
}

void tst_HelpBrowser::pageLookup()
{
    QFETCH(QString, page);
    QFETCH(QString, fileInWorkDir);
    QFETCH(QString, fileInDataDir);
    QFETCH(QString, expectedText);

    if (!fileInWorkDir.isEmpty())
        writeFile(fileInWorkDir, "<html><body><p>Local help copy</p></body></html>");
    if (!fileInDataDir.isEmpty()) {
        dataFiles << dataDir + '/' + fileInDataDir;
        writeFile(dataFiles.last(), "<html><body><p>Installed help copy</p></body></html>");
    }

    HelpBrowser::openPage(page);

    const QList<HelpBrowser *> windows = helpWindows();
    QCOMPARE(windows.size(), 1);
    QVERIFY(windows.first()->isVisible());
    QCOMPARE(windows.first()->windowTitle(), QStringLiteral("Help page"));
    const QString text = windows.first()->findChild<QTextBrowser *>()->toPlainText();
    if (expectedText.isEmpty())
        QVERIFY2(text.trimmed().isEmpty(), qPrintable(text));
    else
        QVERIFY2(text.contains(expectedText), qPrintable(text.left(200)));
}

void tst_HelpBrowser::closedWindowIsDeleted()
{
    HelpBrowser::openPage(QStringLiteral("index.html"));
    QCOMPARE(helpWindows().size(), 1);
    QPointer<HelpBrowser> window = helpWindows().first();

    QVERIFY(window->close());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(window.isNull());
    QVERIFY(helpWindows().isEmpty());
}

void tst_HelpBrowser::links_data()
{
    QTest::addColumn<QString>("href");
    QTest::addColumn<bool>("external");

    QTest::newRow("web address") << "https://www.example.com/quorvel" << true;
    QTest::newRow("mail address") << "mailto:support@example.com" << true;
    QTest::newRow("local page") << "second.html" << false;
}

// Follows the page's only link from the keyboard, as a user without a mouse would.
void tst_HelpBrowser::links()
{
    QFETCH(QString, href);
    QFETCH(bool, external);

    writeFile("index.html", "<html><body><p>First page <a href=\"" + href.toUtf8()
                                + "\">link</a></p></body></html>");
    writeFile("second.html", "<html><body><p>Second page</p></body></html>");

    UrlCatcher catcher;
    const QString scheme = QUrl(href).scheme();
    if (external)
        QDesktopServices::setUrlHandler(scheme, &catcher, "open");

    HelpBrowser::openPage(QStringLiteral("index.html"));
    QCOMPARE(helpWindows().size(), 1);
    auto *textBrowser = helpWindows().first()->findChild<QTextBrowser *>();
    QTest::keyClick(textBrowser, Qt::Key_Tab);
    QTest::keyClick(textBrowser, Qt::Key_Return);

    if (external) {
        QDesktopServices::unsetUrlHandler(scheme);
        QCOMPARE(catcher.urls, QList<QUrl>{ QUrl(href) });
        QVERIFY(textBrowser->toPlainText().contains("First page"));
    } else {
        QVERIFY(catcher.urls.isEmpty());
        QVERIFY2(textBrowser->toPlainText().contains("Second page"),
                 qPrintable(textBrowser->toPlainText()));
    }
}

// The help page describes what the window shows; these texts keep it from going stale.
void tst_HelpBrowser::shippedPageMentions_data()
{
    QTest::addColumn<QString>("text");

    const char *const texts[] = {
        // units of the value captions, and the text of a value that is absent
        "°C", "% r.H.", "kJ/kg", "g/kg", "g/m³", "\"---\"",
        // status bar messages
        "Try to connect", "Disconnect", "Timeout", "Bad response, CRC error", "Response OK",
        "Write baud rate: ", "Write parity: ", "Write stop bits: ", "Write address: ",
        "Can't open", "Can't set baud rate 19200 baud to port", "Can't set 8 data bits to port",
        "Can't set no parity to port", "Can't set 1 stop bit to port",
        "Can't set no flow control to port",
        // the way to a transmitter for trying the tool
        "quorvel-transmitter-sim --help"
    };
    for (const char *text : texts)
        QTest::newRow(text) << QString::fromUtf8(text);
}

void tst_HelpBrowser::shippedPageMentions()
{
    QFETCH(QString, text);
    QVERIFY2(shippedText.contains(text), qPrintable("index.html lacks " + text));
}

QTEST_MAIN(tst_HelpBrowser)

#include "tst_helpbrowser.moc"
