#ifndef PTYPEER_H
#define PTYPEER_H

#include <QMap>
#include <QStringList>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <termios.h>
#include <thread>
#include <unistd.h>

// The transmitter's end of a pseudo-terminal whose slave the tool opens: a peer thread answers each
// 8-byte request with the next queued Reply (none queued: silence). It holds the slave open too, or
// each close by the tool would hang the master up. The bytes pass at any setting, so the peer
// notes the line settings the tool has put on the slave when each request arrives.
class PtyPeer
{
public:
    struct Reply
    {
        QByteArray bytes;                          // empty: no answer
        int delayMs = 0, chunkSize = 0, gapMs = 0; // to the first byte; 0: in one; between chunks
    };

    PtyPeer()
    {
        termios raw {};
        if (masterFd < 0 || grantpt(masterFd) || unlockpt(masterFd)
            || (slaveFd = ::open(ptsname(masterFd), O_RDWR | O_NOCTTY)) < 0
            || tcgetattr(slaveFd, &raw))
            qFatal("no pseudo-terminal: %s", qPrintable(qt_error_string()));
        cfmakeraw(&raw); // no echo, no line discipline: bytes pass unchanged both ways
        tcsetattr(slaveFd, TCSANOW, &raw);
        worker = std::thread([this] { serve(); });
    }
    ~PtyPeer()
    {
        ::close(slaveFd); // hangs the master up, which ends the peer thread
        worker.join();
        ::close(masterFd);
    }

    QString slavePath() const { return QString::fromLocal8Bit(ptsname(masterFd)); }
    bool answering() const { return busy; } // bytes of a reply still to come
    QByteArray received() const             // all the tool sent, in order
    {
        std::lock_guard<std::mutex> lock(mutex);
        return input;
    }
    QStringList lines() const // the line as each request found it: "19200 8N1, no flow control"
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lineAtRequest;
    }
    void enqueueReply(const Reply &reply)
    {
        std::lock_guard<std::mutex> lock(mutex);
        replies << reply;
    }

private:
    void serve()
    {
        char buffer[512];
        for (ssize_t n; (n = ::read(masterFd, buffer, sizeof buffer)) > 0;) {
            std::unique_lock<std::mutex> lock(mutex);
            input.append(buffer, int(n));
            if (input.size() % 8 != 0) // no request complete
                continue;
            termios line {};
            tcgetattr(slaveFd, &line); // the tool's settings, the slave being the tool's port
            lineAtRequest << describe(line);
            if (replies.isEmpty())
                continue;
            const Reply reply = replies.takeFirst();
            busy = true;
            lock.unlock();
            const int size = reply.chunkSize > 0 ? reply.chunkSize : reply.bytes.size();
            for (int at = 0; at < reply.bytes.size(); at += size) {
                usleep(useconds_t(1000 * (at ? reply.gapMs : reply.delayMs)));
                const size_t length = size_t(qMin(size, reply.bytes.size() - at));
                if (::write(masterFd, reply.bytes.constData() + at, length) < 0)
                    return;
            }
            busy = false;
        }
    }

    static QString describe(const termios &line) // what a tool with a wrong setting gets
    {
        const tcflag_t c = line.c_cflag;
        const bool flow = c & CRTSCTS || line.c_iflag & (IXON | IXOFF);
        return QString("%1 %2%3%4, %5flow control")
            .arg(
                QMap<speed_t, int> { { B9600, 9600 }, { B19200, 19200 } }.value(cfgetospeed(&line)))
            .arg(5 + int((c & CSIZE) / CS6)) // CS5 to CS8 are 0 to 3 times CS6
            .arg("NNEO"[2 * !!(c & PARENB) + !!(c & PARODD)])
            .arg(c & CSTOPB ? 2 : 1)
            .arg(flow ? "" : "no ");
    }

    int masterFd = posix_openpt(O_RDWR | O_NOCTTY), slaveFd = -1;
    std::thread worker;
    std::atomic<bool> busy { false };
    mutable std::mutex mutex; // guards what follows; no QMutex: ThreadSanitizer misses its futexes
    QByteArray input;
    QStringList lineAtRequest;
    QList<Reply> replies;
};

#endif // PTYPEER_H
