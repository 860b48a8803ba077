#ifndef RECORDER_H
#define RECORDER_H

#include "recordfile.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>

class RecordWriter;

// Records rows to a file without ever blocking the thread that calls it: the file is opened,
// written and synchronised on the recorder's own thread, which reports back by signals.
// Rows are written in the order they are appended.
class Recorder : public QObject
{
    Q_OBJECT

public:
    explicit Recorder(QObject *parent = nullptr);
    // Waits for the rows already handed over (see finish()).
    ~Recorder() override;

    // Ends a record in progress and waits until every row handed over is on the disk, at most
    // timeoutMs (-1: as long as it takes). Returns how many rows the disk had not taken by then;
    // a writer still stuck on the disk is then left to the end of the process.
    qint64 finish(int timeoutMs);

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

    QThread *thread = nullptr;
    RecordWriter *writer = nullptr;
    // Rows handed over, and rows the writer is done with (on the disk or dropped after a
    // failure), counted on its own thread.
    qint64 handed = 0;
    std::shared_ptr<std::atomic<qint64>> done = std::make_shared<std::atomic<qint64>>(0);
    bool stalled = false;
    bool recording = false;
    int session = 0; // reports of an earlier record are ignored
    QString recordPath;
    qint64 rows = 0;
};

#endif // RECORDER_H
