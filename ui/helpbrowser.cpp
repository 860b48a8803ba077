#include "helpbrowser.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

// A relative page is taken from the working directory when it is there, else from the folder
// of the executable: a program started from a desktop menu runs in the user's home folder,
// while its help page is installed beside it.
static QUrl locatePage(const QString &page)
{
    QUrl url(page, QUrl::TolerantMode);
    const QString path = url.path();
    if (!url.isRelative() || path.isEmpty() || !QDir::isRelativePath(path)
        || QFileInfo::exists(path))
        return url;

    const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath(path);
    if (!QFileInfo::exists(beside))
        return url; // the browser then shows an empty page, which is all a missing page gets

    QUrl found = QUrl::fromLocalFile(beside);
    found.setFragment(url.fragment());
    return found;
}

HelpBrowser::HelpBrowser(const QString &page, QWidget *parent)
    : QWidget(parent)
{
    textBrowser = new QTextBrowser(this);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(textBrowser);
    textBrowser->setSource(locatePage(page));
    textBrowser->setOpenExternalLinks(true);
}

HelpBrowser::~HelpBrowser() = default;

void HelpBrowser::openPage(const QString &page)
{
    // Nobody keeps the pointer, so a closed help window frees itself.
    auto *browser = new HelpBrowser(page);
    browser->setAttribute(Qt::WA_DeleteOnClose);
    browser->resize(500, 500);
    browser->setWindowTitle(QStringLiteral("Help page"));
    browser->show();
}
