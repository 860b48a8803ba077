#include "helpbrowser.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

// A relative page is taken from the working directory when it is there, else from the folder
// of the executable, else from the package's data folder: a program started from a desktop
// menu runs in the user's home folder, while its help page lies beside it in a build tree and
// under <prefix>/share/quorvel-setup when installed, wherever the prefix is.
static QUrl locatePage(const QString &page)
{
    QUrl url(page, QUrl::TolerantMode);
    const QString path = url.path();
    if (!url.isRelative() || path.isEmpty() || !QDir::isRelativePath(path)
        || QFileInfo::exists(path))
        return url;

    const QDir programDir(QCoreApplication::applicationDirPath());
    const QString places[] = { programDir.filePath(path),
                               programDir.filePath(QStringLiteral("../share/quorvel-setup/")
                                                   + path) };
    for (const QString &place : places) {
        if (QFileInfo::exists(place)) {
            QUrl found = QUrl::fromLocalFile(QDir::cleanPath(place));
            found.setFragment(url.fragment());
            return found;
        }
    }
    return url; // the browser then shows an empty page, which is all a missing page gets
}

HelpBrowser::HelpBrowser(const QString &page, QWidget *parent) : QWidget(parent)
{
    textBrowser = new QTextBrowser(this);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(textBrowser);
    textBrowser->setSource(locatePage(page));
    textBrowser->setOpenExternalLinks(true);
}

HelpBrowser::~HelpBrowser() = default;

void HelpBrowser::openPage(const QString &page, QWidget *owner)
{
    // Nobody keeps the pointer, so a closed help window frees itself.
    auto *browser = new HelpBrowser(page, owner);
    browser->setWindowFlag(Qt::Window);
    browser->setAttribute(Qt::WA_DeleteOnClose);
    browser->resize(500, 500);
    browser->setWindowTitle(QStringLiteral("Help page"));
    browser->show();
}
