#include "lastfolder.h"

#include <QDir>
#include <QFileInfo>

namespace LastFolder {

namespace {
    QString &folder()
    {
        static QString last;
        return last;
    }
} // namespace

QString suggest(const QString &suggested)
{
    if (folder().isEmpty())
        return suggested;
    return QDir(folder()).filePath(QFileInfo(suggested).fileName());
}

void remember(const QString &chosen)
{
    if (!chosen.isEmpty())
        folder() = QFileInfo(chosen).absolutePath();
}

} // namespace LastFolder
