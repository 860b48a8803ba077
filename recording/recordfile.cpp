#include "recordfile.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

RecordFile::Disk &disk()
{
    static RecordFile::Disk theDisk;
    return theDisk;
}

long writeSome(int handle, const char *data, long size)
{
    if (disk().write)
        return disk().write(handle, data, size);
#ifdef Q_OS_UNIX
    return long(::write(handle, data, size_t(size)));
#else
    Q_UNUSED(handle);
    Q_UNUSED(data);
    return size;
#endif
}

// fdatasync: the data and what is needed to read it back, without the file times. A device or
// a pipe cannot be synchronised (EINVAL); what it took is as far as it can go.
bool syncData(int handle)
{
#ifdef Q_OS_UNIX
    const auto sync = [handle] { return disk().sync ? disk().sync(handle) : ::fdatasync(handle); };
    if (sync() == 0 || errno == EINVAL || errno == EROFS)
        return true;
    return errno == EINTR && sync() == 0;
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

void RecordFile::setDisk(const Disk &replacement)
{
    disk() = replacement;
}

bool RecordFile::open(const QString &path, Existing existing)
{
    close();
    error.clear();
    length = 0;
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
    regular = false;
#ifdef Q_OS_UNIX
    struct stat opened;
    if (::fstat(file.handle(), &opened) == 0 && S_ISREG(opened.st_mode)) {
        regular = true;
        device = quint64(opened.st_dev);
        inode = quint64(opened.st_ino);
    }
#endif
    return true;
}

bool RecordFile::append(const QByteArray &bytes)
{
    if (!file.isOpen())
        return false;
    // Straight to the system, so a full disk shows here and now, with its reason.
    const int handle = file.handle();
    long done = 0;
    while (done < bytes.size()) {
        const long n = writeSome(handle, bytes.constData() + done, long(bytes.size()) - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int reason = n < 0 ? errno : ENOSPC;
#ifdef Q_OS_UNIX
            // A cut row reads as another value ("15.4321" as "1"): back to the last whole one.
            if (done > 0)
                (void)::ftruncate(handle, length);
#endif
            return fail(
                QStringLiteral("Recording stopped: can't write %1: %2")
                    .arg(QDir::toNativeSeparators(file.fileName()), qt_error_string(reason)));
        }
        done += n;
    }
    length += done;
    if (!syncData(handle))
        return fail(QStringLiteral("Recording stopped: can't write %1: %2")
                        .arg(QDir::toNativeSeparators(file.fileName()), qt_error_string(errno)));
    return stillAtPath();
}

// Checked after every row: a record deleted or replaced (another program, a clean-up job) goes
// on taking rows into a file nobody can open, and would be found empty or foreign afterwards.
bool RecordFile::stillAtPath()
{
#ifdef Q_OS_UNIX
    if (!regular)
        return true;
    struct stat now;
    const QString name = QDir::toNativeSeparators(file.fileName());
    if (::stat(QFile::encodeName(file.fileName()).constData(), &now) != 0)
        return fail(errno == ENOENT || errno == ENOTDIR
                        ? QStringLiteral("Recording stopped: %1 was deleted").arg(name)
                        : QStringLiteral("Recording stopped: can't find %1: %2")
                              .arg(name, qt_error_string(errno)));
    if (quint64(now.st_dev) != device || quint64(now.st_ino) != inode)
        return fail(QStringLiteral("Recording stopped: %1 was replaced by another file").arg(name));
#endif
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
