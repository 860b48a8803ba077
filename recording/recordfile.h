#ifndef RECORDFILE_H
#define RECORDFILE_H

#include <QByteArray>
#include <QFile>
#include <QString>

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

    RecordFile() = default;
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    // Opens (creates) path for writing. A path that exists but is no regular file (a device,
    // a pipe) is written to as it is. On failure returns false and sets errorText.
    bool open(const QString &path, Existing existing);
    // Writes bytes and waits until they are on the disk. On failure returns false, sets
    // errorText and closes the file.
    bool append(const QByteArray &bytes);
    void close();

    bool isOpen() const { return file.isOpen(); }
    QString errorText() const { return error; }

private:
    bool fail(const QString &text);

    QFile file;
    QString error;
};

#endif // RECORDFILE_H
