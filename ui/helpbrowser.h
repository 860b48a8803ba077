#ifndef HELPBROWSER_H
#define HELPBROWSER_H

#include <QWidget>

QT_BEGIN_NAMESPACE
class QTextBrowser;
QT_END_NAMESPACE

// A window that shows a local HTML help page. Links to other local pages are followed inside
// the window; web and mail links go to the desktop's default application.
class HelpBrowser : public QWidget
{
    Q_OBJECT

public:
    explicit HelpBrowser(const QString &page, QWidget *parent = nullptr);
    ~HelpBrowser() override;

    // Opens a new help window for the page; each call opens one more window. A window opened
    // for an owner is a window of its own that closes with the owner.
    static void openPage(const QString &page, QWidget *owner = nullptr);

private:
    QTextBrowser *textBrowser = nullptr;
};

#endif // HELPBROWSER_H
