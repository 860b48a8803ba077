#include "recorder.h"

#include <QScopeGuard>
#include <QThread>

// Lives on the recorder's thread; everything it does may block on the disk.
class RecordWriter : public QObject
{
    Q_OBJECT

public slots:
    void open(int number, const QString &path, bool overwrite, const QByteArray &header)
    {
        session = number;
        rows = 0;
        const RecordFile::Existing existing =
            overwrite ? RecordFile::Existing::Overwrite : RecordFile::Existing::Refuse;
        if (!file.open(path, existing) || !file.append(header))
            emit failed(session, file.errorText());
    }

    // Queued behind every row, so the thread ends only once they are all on the disk.
    void quitThread() { QThread::currentThread()->quit(); }

    void write(const QByteArray &row)
    {
        const auto count = qScopeGuard([this] { ++*done; });
        if (!file.isOpen())
            return; // failed earlier: the failure was reported once
        if (file.append(row))
            emit written(session, ++rows);
        else
            emit failed(session, file.errorText());
    }

public:
    std::shared_ptr<std::atomic<qint64>> done;

    void close() { file.close(); }

signals:
    void written(int session, qint64 rows);
    void failed(int session, const QString &text);

private:
    RecordFile file;
    int session = 0;
    qint64 rows = 0;
};

Recorder::Recorder(QObject *parent) : QObject(parent), thread(new QThread), writer(new RecordWriter)
{
    writer->done = done;
    thread->setObjectName(QStringLiteral("recorder"));
    writer->moveToThread(thread);
    connect(writer, &RecordWriter::written, this, &Recorder::written);
    connect(writer, &RecordWriter::failed, this, &Recorder::writeFailed);
    thread->start();
}

Recorder::~Recorder()
{
    finish(-1);
    if (stalled)
        return; // the writer and its thread end with the process
    delete writer;
    delete thread;
}

qint64 Recorder::finish(int timeoutMs)
{
    if (stalled && thread->isFinished())
        stalled = false; // the disk came back after all: every row handed over is on it
    if (stalled || thread->isFinished())
        return stalled ? handed - *done : 0;
    stop();
    // By name, as every call to the writer: a functor made here and run there is a race.
    QMetaObject::invokeMethod(writer, "quitThread", Qt::QueuedConnection);
    if (thread->wait(timeoutMs < 0 ? ULONG_MAX : ulong(timeoutMs)))
        return 0;
    stalled = true;
    return handed - *done;
}

void Recorder::start(const QString &path, RecordFile::Existing existing, const QByteArray &header)
{
    stop();
    recording = true;
    recordPath = path;
    rows = 0;
    // Queued calls by name: Qt copies the arguments to the writer's thread itself.
    QMetaObject::invokeMethod(
        writer, "open", Qt::QueuedConnection, Q_ARG(int, ++session), Q_ARG(QString, path),
        Q_ARG(bool, existing == RecordFile::Existing::Overwrite), Q_ARG(QByteArray, header));
}

void Recorder::append(const QByteArray &row)
{
    if (!recording)
        return;
    ++handed;
    QMetaObject::invokeMethod(writer, "write", Qt::QueuedConnection, Q_ARG(QByteArray, row));
}

void Recorder::stop()
{
    if (!recording)
        return;
    recording = false;
    QMetaObject::invokeMethod(writer, "close", Qt::QueuedConnection);
}

void Recorder::written(int number, qint64 count)
{
    if (number != session)
        return;
    rows = count;
    emit rowsWrittenChanged(rows);
}

void Recorder::writeFailed(int number, const QString &text)
{
    if (number != session || !recording)
        return;
    recording = false;
    emit failed(text);
}

#include "recorder.moc"
