#include "recordfile.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// fdatasync: the data and what is needed to read it back, without the file times. A device or
// a pipe cannot be synchronised (EINVAL); what it took is as far as it can go.
bool syncData(int handle)
{
#ifdef Q_OS_UNIX
    if (::fdatasync(handle) == 0 || errno == EINVAL || errno == EROFS)
        return true;
    return errno == EINTR && ::fdatasync(handle) == 0;
#else
    Q_UNUSED(handle);
    return true;
#endif
}

// A new file's name lives in its folder: sync the folder too, or a power cut may leave no file.
void syncFolder(const QString &path)
{
#ifdef Q_OS_UNIX
    const int handle = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle >= 0) {
        ::fsync(handle);
        ::close(handle);
    }
#else
    Q_UNUSED(path);
#endif
}

} // namespace

bool RecordFile::open(const QString &path, Existing existing)
{
    close();
    error.clear();
    file.setFileName(path);
    const QFileInfo info(path);
    const bool exists = info.exists();
    if (exists && info.isDir())
        return fail(QStringLiteral("Can't record to %1: it is a folder")
                        .arg(QDir::toNativeSeparators(path)));
    // NewOnly refuses an existing file in the same call that creates it (O_EXCL), so a file
    // that appears between a check and the open is not overwritten either.
    QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered;
    if (!exists || (info.isFile() && existing == Existing::Refuse))
        mode |= QIODevice::NewOnly;
    else if (info.isFile())
        mode |= QIODevice::Truncate;
    if (!file.open(mode)) {
        const QString reason = mode.testFlag(QIODevice::NewOnly) && QFileInfo::exists(path)
            ? QStringLiteral("the file exists")
            : file.errorString();
        return fail(
            QStringLiteral("Can't record to %1: %2").arg(QDir::toNativeSeparators(path), reason));
    }
    if (!exists)
        syncFolder(path);
    return true;
}

bool RecordFile::append(const QByteArray &bytes)
{
    if (!file.isOpen())
        return false;
    // Unbuffered: write() goes straight to the system, so a full disk shows here and now.
    if (file.write(bytes) != bytes.size())
        return fail(QStringLiteral("Recording stopped: can't write %1: %2")
                        .arg(QDir::toNativeSeparators(file.fileName()), file.errorString()));
    if (!syncData(file.handle()))
        return fail(QStringLiteral("Recording stopped: can't write %1: %2")
                        .arg(QDir::toNativeSeparators(file.fileName()), qt_error_string(errno)));
    return true;
}

void RecordFile::close()
{
    if (file.isOpen())
        file.close();
}

bool RecordFile::fail(const QString &text)
{
    error = text;
    close();
    return false;
}
