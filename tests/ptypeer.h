#ifndef PTYPEER_H
#define PTYPEER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <mutex>

class QThread;

// The far end of a pseudo-terminal, standing in for the transmitter. The tool opens slavePath();
// a peer thread reads the master side, logs every byte with its time, cuts the input into 8-byte
// requests and answers each one with the next scripted Reply (none queued: no answer).
//
// The peer keeps a descriptor of the slave open itself: otherwise the master reports hang-up
// (POLLHUP, read() fails with EIO) each time the tool closes the port between transactions, and
// answers written while the tool has the port closed would be lost instead of queued.
class PtyPeer
{
public:
    struct Reply
    {
        QByteArray bytes; // empty: no answer
        int delayMs = 0; // from the end of the request to the first byte
        int chunkSize = 0; // 0: the whole answer in one write
        int gapMs = 0; // between chunks
    };

    struct Chunk
    {
        qint64 atNs; // since the peer was constructed, see elapsedNs()
        QByteArray bytes;
    };

    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    bool isOpen() const { return masterFd >= 0; }
    QString errorString() const { return lastError; }
    QString slavePath() const { return path; }

    void enqueueReply(const Reply &reply);
    // Forgets the logs, queued replies, unsent chunks and any partial request.
    void reset();

    QByteArray received() const; // everything the tool sent, in order
    QList<Chunk> receivedChunks() const; // the same, as read, with timestamps
    QList<QByteArray> requests() const;
    int unsentChunks() const; // chunks of replies still waiting for their time
    qint64 elapsedNs() const { return clock.nsecsElapsed(); }

private:
    struct Scheduled
    {
        qint64 dueNs;
        QByteArray bytes;
    };

    void serve();
    void takeInput(const QByteArray &bytes);
    void writeDue();
    int pollTimeoutMs() const;

    int masterFd = -1;
    int slaveFd = -1;
    int wakeFds[2] = { -1, -1 };
    QString path;
    QString lastError;
    QElapsedTimer clock;
    QThread *thread = nullptr;

    // std::mutex rather than QMutex: ThreadSanitizer sees pthread locking, not Qt's futexes.
    mutable std::mutex mutex; // guards everything below
    bool stopping = false;
    QByteArray partialRequest;
    QList<Reply> replies;
    QList<Scheduled> schedule;
    QList<Chunk> chunks;
    QList<QByteArray> requestLog;
};

#endif // PTYPEER_H
