#ifndef RECORDER_H
#define RECORDER_H

#include "recordfile.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThread>

class RecordWriter;

// Records rows to a file without ever blocking the thread that calls it: the file is opened,
// written and synchronised on the recorder's own thread, which reports back by signals.
// Rows are written in the order they are appended.
class Recorder : public QObject
{
    Q_OBJECT

public:
    explicit Recorder(QObject *parent = nullptr);
    // Waits for the rows already handed over: at most one synchronisation of the disk each.
    ~Recorder() override;

    // Starts a record in path, header first; a record in progress ends before.
    void start(const QString &path, RecordFile::Existing existing, const QByteArray &header);
    // Ignored while no record is in progress.
    void append(const QByteArray &row);
    void stop();

    bool isRecording() const { return recording; }
    QString path() const { return recordPath; }
    qint64 rowsWritten() const { return rows; } // on the disk, the header not counted

signals:
    void rowsWrittenChanged(qint64 rows);
    // The record has ended on an error; text says what and where, for the status bar.
    void failed(const QString &text);

private:
    void written(int session, qint64 count);
    void writeFailed(int session, const QString &text);

    QThread thread;
    RecordWriter *writer = nullptr;
    bool recording = false;
    int session = 0; // reports of an earlier record are ignored
    QString recordPath;
    qint64 rows = 0;
};

#endif // RECORDER_H
