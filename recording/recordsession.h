#ifndef RECORDSESSION_H
#define RECORDSESSION_H

#include "recorder.h"
#include "sessionrecord.h"

#include <QObject>

struct ModbusTransaction;

// What the window hands to recording: every transaction and every connect and disconnect.
// It follows the transmitter all the time, so that a record started in mid-session knows the
// firmware and address at once, and writes rows while a record is in progress.
class RecordSession : public QObject
{
    Q_OBJECT

public:
    explicit RecordSession(QObject *parent = nullptr);

    // Header, then a "recording" row; on failure, failed() follows.
    void start(const QString &path, RecordFile::Existing existing);
    void stop(); // a last "recording" row, then the file is closed
    // Waits for the rows handed over, at most timeoutMs; returns how many were not written.
    qint64 finish(int timeoutMs) { return recorder.finish(timeoutMs); }

    bool isRecording() const { return recorder.isRecording(); }
    QString path() const { return recorder.path(); }
    qint64 rowsWritten() const { return recorder.rowsWritten(); }

    void transaction(const ModbusTransaction &t);
    void connected(const QString &port);
    void disconnected(const QString &port);

signals:
    void rowsWrittenChanged(qint64 rows);
    void failed(const QString &text);

private:
    void append(const QByteArray &row);

    Recorder recorder;
    SessionRecord session;
};

#endif // RECORDSESSION_H
