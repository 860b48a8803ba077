#include "recorder.h"

// Lives on the recorder's thread; everything it does may block on the disk.
class RecordWriter : public QObject
{
    Q_OBJECT

public:
    void open(int number, const QString &path, RecordFile::Existing existing,
              const QByteArray &header)
    {
        session = number;
        rows = 0;
        if (!file.open(path, existing) || !file.append(header))
            emit failed(session, file.errorText());
    }

    void write(const QByteArray &row)
    {
        if (!file.isOpen())
            return; // failed earlier: the failure was reported once
        if (file.append(row))
            emit written(session, ++rows);
        else
            emit failed(session, file.errorText());
    }

    void close() { file.close(); }

signals:
    void written(int session, qint64 rows);
    void failed(int session, const QString &text);

private:
    RecordFile file;
    int session = 0;
    qint64 rows = 0;
};

Recorder::Recorder(QObject *parent) : QObject(parent), writer(new RecordWriter)
{
    thread.setObjectName(QStringLiteral("recorder"));
    writer->moveToThread(&thread);
    connect(writer, &RecordWriter::written, this, &Recorder::written);
    connect(writer, &RecordWriter::failed, this, &Recorder::writeFailed);
    thread.start();
}

Recorder::~Recorder()
{
    stop();
    thread.quit();
    thread.wait();
    delete writer;
}

void Recorder::start(const QString &path, RecordFile::Existing existing, const QByteArray &header)
{
    stop();
    recording = true;
    recordPath = path;
    rows = 0;
    const int number = ++session;
    QMetaObject::invokeMethod(writer, [w = writer, number, path, existing, header] {
        w->open(number, path, existing, header);
    });
}

void Recorder::append(const QByteArray &row)
{
    if (!recording)
        return;
    QMetaObject::invokeMethod(writer, [w = writer, row] { w->write(row); });
}

void Recorder::stop()
{
    if (!recording)
        return;
    recording = false;
    QMetaObject::invokeMethod(writer, [w = writer] { w->close(); });
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
