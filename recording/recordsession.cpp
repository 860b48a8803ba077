#include "recordsession.h"

#include "modbustransaction.h"

RecordSession::RecordSession(QObject *parent) : QObject(parent)
{
    connect(&recorder, &Recorder::rowsWrittenChanged, this, &RecordSession::rowsWrittenChanged);
    connect(&recorder, &Recorder::failed, this, &RecordSession::failed);
}

void RecordSession::start(const QString &path, RecordFile::Existing existing)
{
    recorder.start(path, existing, RecordFormat::headerRow());
    append(session.event(QDateTime::currentDateTime(), RecordFormat::Event::Recording,
                         QStringLiteral("started")));
}

void RecordSession::stop()
{
    append(session.event(QDateTime::currentDateTime(), RecordFormat::Event::Recording,
                         QStringLiteral("stopped")));
    recorder.stop();
}

void RecordSession::transaction(const ModbusTransaction &t)
{
    append(session.transaction(t));
}

void RecordSession::connected(const QString &port)
{
    append(session.connected(QDateTime::currentDateTime(), port));
}

void RecordSession::disconnected(const QString &port)
{
    append(session.disconnected(QDateTime::currentDateTime(), port));
}

void RecordSession::append(const QByteArray &row)
{
    if (!row.isEmpty())
        recorder.append(row);
}
