#include "ptypeer.h"

#include <QThread>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int requestLength = 8;

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(strerror(errno)));
}

} // namespace

PtyPeer::PtyPeer()
{
    clock.start();
    masterFd = posix_openpt(O_RDWR | O_NOCTTY);
    if (masterFd < 0) {
        lastError = systemError("posix_openpt");
        return;
    }
    char name[128];
    if (grantpt(masterFd) != 0 || unlockpt(masterFd) != 0 || ptsname_r(masterFd, name, sizeof name) != 0) {
        lastError = systemError("grantpt/unlockpt/ptsname_r");
        ::close(masterFd);
        masterFd = -1;
        return;
    }
    path = QString::fromLocal8Bit(name);
    slaveFd = ::open(name, O_RDWR | O_NOCTTY);
    termios raw {};
    if (slaveFd < 0 || tcgetattr(slaveFd, &raw) != 0) {
        lastError = systemError("open slave");
        ::close(masterFd);
        masterFd = -1;
        return;
    }
    // No echo, no line discipline: the bytes pass unchanged both ways.
    cfmakeraw(&raw);
    tcsetattr(slaveFd, TCSANOW, &raw);
    fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
    if (pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        lastError = systemError("pipe2");
        ::close(slaveFd);
        ::close(masterFd);
        masterFd = slaveFd = -1;
        return;
    }
    thread = QThread::create([this] { serve(); });
    thread->start();
}

PtyPeer::~PtyPeer()
{
    if (thread) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        const char wake = 0;
        (void)::write(wakeFds[1], &wake, 1);
        thread->wait();
        delete thread;
    }
    for (int fd : { wakeFds[0], wakeFds[1], slaveFd, masterFd }) {
        if (fd >= 0)
            ::close(fd);
    }
}

void PtyPeer::enqueueReply(const Reply &reply)
{
    std::lock_guard<std::mutex> lock(mutex);
    replies.append(reply);
}

void PtyPeer::reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    partialRequest.clear();
    replies.clear();
    schedule.clear();
    chunks.clear();
    requestLog.clear();
}

QByteArray PtyPeer::received() const
{
    std::lock_guard<std::mutex> lock(mutex);
    QByteArray all;
    for (const Chunk &chunk : chunks)
        all.append(chunk.bytes);
    return all;
}

QList<PtyPeer::Chunk> PtyPeer::receivedChunks() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return chunks;
}

QList<QByteArray> PtyPeer::requests() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return requestLog;
}

int PtyPeer::unsentChunks() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return schedule.size();
}

void PtyPeer::serve()
{
    for (;;) {
        pollfd fds[2] = { { masterFd, POLLIN, 0 }, { wakeFds[0], POLLIN, 0 } };
        int timeout;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping)
                return;
            timeout = pollTimeoutMs();
        }
        if (timeout == 0) {
            // A chunk is due: wait until the slave's input queue takes it rather than spin.
            fds[0].events |= POLLOUT;
            timeout = -1;
        }
        if (poll(fds, 2, timeout) < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN) {
            char drain[16];
            while (::read(wakeFds[0], drain, sizeof drain) > 0) { }
        }
        if (fds[0].revents & POLLIN) {
            char buffer[512];
            const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
            if (n > 0)
                takeInput(QByteArray(buffer, int(n)));
        }
        writeDue();
    }
}

void PtyPeer::takeInput(const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    const qint64 now = clock.nsecsElapsed();
    chunks.append({ now, bytes });
    partialRequest.append(bytes);
    while (partialRequest.size() >= requestLength) {
        requestLog.append(partialRequest.left(requestLength));
        partialRequest.remove(0, requestLength);
        if (replies.isEmpty())
            continue;
        const Reply reply = replies.takeFirst();
        const int size = reply.chunkSize > 0 ? reply.chunkSize : qMax(1, reply.bytes.size());
        qint64 due = now + qint64(reply.delayMs) * 1000000;
        for (int at = 0; at < reply.bytes.size(); at += size) {
            schedule.append({ due, reply.bytes.mid(at, size) });
            due += qint64(reply.gapMs) * 1000000;
        }
    }
}

void PtyPeer::writeDue()
{
    std::lock_guard<std::mutex> lock(mutex);
    const qint64 now = clock.nsecsElapsed();
    while (!schedule.isEmpty() && schedule.first().dueNs <= now) {
        QByteArray &bytes = schedule.first().bytes;
        const ssize_t n = ::write(masterFd, bytes.constData(), size_t(bytes.size()));
        if (n < 0)
            return; // the slave's input queue is full; POLLOUT says when to go on
        bytes.remove(0, int(n));
        if (bytes.isEmpty())
            schedule.removeFirst();
    }
}

int PtyPeer::pollTimeoutMs() const
{
    if (schedule.isEmpty())
        return -1;
    const qint64 wait = schedule.first().dueNs - clock.nsecsElapsed();
    return wait <= 0 ? 0 : int((wait + 999999) / 1000000);
}
