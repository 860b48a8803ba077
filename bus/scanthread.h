#ifndef SCANTHREAD_H
#define SCANTHREAD_H

#include "scanner.h"

#include <QMetaType>
#include <QThread>

Q_DECLARE_METATYPE(FoundTransmitter)

// One scan on a thread of its own, so that the window's thread never waits on the line. Results
// leave as queued signals; outcome() and failureText() are read after finished().
class ScanThread : public QThread
{
    Q_OBJECT

public:
    explicit ScanThread(const ScanSettings &settings,
                        Scanner::EndpointFactory factory = Scanner::EndpointFactory(),
                        QObject *parent = nullptr);

    // From the window's thread: the scan ends after the transaction in flight.
    void cancel() { scanner.cancel(); }
    Scanner::Outcome outcome() const { return result; }
    QString failureText() const { return scanner.failureText(); }
    QStringList skippedLines() const { return scanner.skippedLines(); }

signals:
    void found(const FoundTransmitter &unit);
    void progress(int done, int total, qint64 msLeft);

protected:
    void run() override;

private:
    Scanner scanner;
    Scanner::Outcome result = Scanner::Outcome::Finished;
};

#endif // SCANTHREAD_H
