#ifndef PTYPEER_H
#define PTYPEER_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

// The far end of a pseudo-terminal, standing in for the transmitter: the tool opens slavePath(),
// and a peer thread answers each 8-byte request with the next queued Reply (none queued: silence).
// The peer holds the slave open too, or each close by the tool would hang the master up and lose
// answers sent while the port is closed instead of queueing them.
class PtyPeer
{
public:
    struct Reply
    {
        QByteArray bytes;  // empty: no answer
        int delayMs = 0;   // from the request to the first byte
        int chunkSize = 0; // 0: the whole answer in one write
        int gapMs = 0;     // between chunks
    };

    PtyPeer()
    {
        char name[128];
        termios raw {};
        masterFd = posix_openpt(O_RDWR | O_NOCTTY);
        if (masterFd < 0 || grantpt(masterFd) || unlockpt(masterFd)
            || ptsname_r(masterFd, name, sizeof name)
            || (slaveFd = ::open(name, O_RDWR | O_NOCTTY)) < 0 || tcgetattr(slaveFd, &raw))
            qFatal("no pseudo-terminal: %s", qPrintable(qt_error_string()));
        path = QString::fromLocal8Bit(name);
        cfmakeraw(&raw); // no echo, no line discipline: bytes pass unchanged both ways
        tcsetattr(slaveFd, TCSANOW, &raw);
        worker = std::thread([this] { serve(); });
    }
    ~PtyPeer()
    {
        stopping = true;
        ::close(slaveFd); // hangs the master up, which wakes the peer thread
        worker.join();
        ::close(masterFd);
    }

    QString slavePath() const { return path; }
    QByteArray received() const { return locked(&PtyPeer::input); } // all the tool sent, in order
    bool answering() const { return locked(&PtyPeer::busy); } // bytes of a reply still to come
    void enqueueReply(const Reply &reply)
    {
        std::lock_guard<std::mutex> lock(mutex);
        replies << reply;
    }

private:
    template<typename T>
    T locked(T PtyPeer::*member) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return this->*member;
    }

    void serve()
    {
        int answered = 0;
        while (!stopping) {
            pollfd fd { masterFd, POLLIN, 0 };
            char buffer[512];
            const ssize_t n = poll(&fd, 1, -1) > 0 ? ::read(masterFd, buffer, sizeof buffer) : 0;
            QList<Reply> due;
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (input.append(buffer, int(qMax<ssize_t>(n, 0)));
                     input.size() >= 8 * (answered + 1); ++answered)
                    due << (replies.isEmpty() ? Reply {} : replies.takeFirst());
                busy = !due.isEmpty();
            }
            for (const Reply &reply : due) {
                const int size = reply.chunkSize > 0 ? reply.chunkSize : reply.bytes.size();
                for (int at = 0; at < reply.bytes.size(); at += size) {
                    usleep(useconds_t(1000 * (at ? reply.gapMs : reply.delayMs)));
                    const QByteArray chunk = reply.bytes.mid(at, size);
                    if (::write(masterFd, chunk.constData(), size_t(chunk.size())) < 0)
                        return;
                }
            }
            std::lock_guard<std::mutex> lock(mutex);
            busy = false;
        }
    }

    int masterFd = -1, slaveFd = -1;
    QString path;
    std::thread worker;
    std::atomic<bool> stopping { false };
    // std::mutex rather than QMutex: ThreadSanitizer sees pthread locking, not Qt's futexes.
    mutable std::mutex mutex; // guards everything below
    bool busy = false;
    QByteArray input;
    QList<Reply> replies;
};

#endif // PTYPEER_H
