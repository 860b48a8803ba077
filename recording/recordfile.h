#ifndef RECORDFILE_H
#define RECORDFILE_H

#include <QByteArray>
#include <QFile>
#include <QString>

#include <functional>

// A record file that takes whole rows and puts each on the disk before it returns, so that a
// killed process or a power cut loses at most the row being written. Blocking: the Recorder
// runs it on its own thread.
class RecordFile
{
public:
    enum class Existing {
        Refuse,   // an existing regular file stays untouched; opening fails
        Overwrite // the user confirmed: an existing file is emptied
    };

    // The two system calls that put a row on the disk, as ::write and ::fdatasync make them
    // (errno set on failure); a test puts in a slow, stalled or full disk here.
    struct Disk
    {
        std::function<long(int handle, const char *data, long size)> write;
        std::function<int(int handle)> sync;
    };
    static void setDisk(const Disk &disk); // before any record starts; empty: the system's

    RecordFile() = default;
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    // Opens (creates) path for writing. A path that exists but is no regular file (a device,
    // a pipe) is written to as it is. On failure returns false and sets errorText.
    bool open(const QString &path, Existing existing);
    // Writes bytes and waits until they are on the disk. On failure returns false, sets
    // errorText and closes the file; a row cut short by a full disk is taken off again. A file
    // deleted or replaced under its name is a failure too: the rows would reach no one.
    bool append(const QByteArray &bytes);
    void close();

    bool isOpen() const { return file.isOpen(); }
    QString errorText() const { return error; }

private:
    bool fail(const QString &text);

    bool stillAtPath();

    QFile file;
    QString error;
    qint64 length = 0; // whole rows written so far
    // The file as opened, to tell when its name comes to mean another file or none.
    bool regular = false;
    quint64 device = 0;
    quint64 inode = 0;
};

#endif // RECORDFILE_H
