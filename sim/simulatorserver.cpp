#include "simulatorserver.h"

#include "modbusprotocol.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

int baudRateOf(speed_t speed)
{
    static const struct
    {
        speed_t speed;
        int rate;
    } rates[] = {
        { B600, 600 },     { B1200, 1200 },   { B2400, 2400 },
        { B4800, 4800 },   { B9600, 9600 },   { B19200, 19200 },
        { B38400, 38400 }, { B57600, 57600 }, { B115200, 115200 },
    };
    for (const auto &entry : rates) {
        if (entry.speed == speed)
            return entry.rate;
    }
    return 0;
}

} // namespace

SimulatorServer::SimulatorServer(const TransmitterSettings &transmitter,
                                 const ServerSettings &server)
    : settings(server), model(transmitter), faults(server.faults, server.seed)
{ }

SimulatorServer::~SimulatorServer()
{
    stop();
}

TransmitterModel SimulatorServer::transmitter() const
{
    std::lock_guard<std::mutex> lock(modelMutex);
    return model;
}

bool SimulatorServer::start(QString *errorMessage)
{
    if (isRunning())
        return true;
    auto fail = [&](const QString &message) {
        if (errorMessage)
            *errorMessage = message;
        closeAll();
        return false;
    };

    masterFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (masterFd < 0)
        return fail(systemError("posix_openpt"));
    char name[128];
    if (grantpt(masterFd) != 0 || unlockpt(masterFd) != 0
        || ptsname_r(masterFd, name, sizeof name) != 0)
        return fail(systemError("pseudo-terminal"));
    ptyPath = QString::fromLocal8Bit(name);
    // With one descriptor of the slave side always open, the master never sees a hang-up when a
    // client closes the port, and the line settings survive between clients.
    slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd < 0)
        return fail(systemError("open pseudo-terminal"));
    termios line;
    if (tcgetattr(slaveFd, &line) != 0)
        return fail(systemError("tcgetattr"));
    cfmakeraw(&line);
    cfsetispeed(&line, B19200);
    cfsetospeed(&line, B19200);
    line.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(slaveFd, TCSANOW, &line) != 0)
        return fail(systemError("tcsetattr"));
    if (fcntl(masterFd, F_SETFL, O_NONBLOCK) != 0 || pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(systemError("descriptor set-up"));

    if (!settings.linkPath.isEmpty()) {
        const QByteArray link = QFile::encodeName(settings.linkPath);
        struct stat status;
        if (lstat(link.constData(), &status) == 0) {
            // A link left by a killed simulator is replaced; anything else is not ours to remove.
            if (!S_ISLNK(status.st_mode))
                return fail(
                    QStringLiteral("%1 exists and is not a symbolic link").arg(settings.linkPath));
            ::unlink(link.constData());
        }
        if (symlink(name, link.constData()) != 0)
            return fail(systemError("symlink"));
        linkMade = true;
    }

    startTime = std::chrono::steady_clock::now();
    thread = std::thread(&SimulatorServer::serve, this);
    return true;
}

void SimulatorServer::stop()
{
    if (thread.joinable()) {
        const char wake = 's';
        while (::write(wakeFds[1], &wake, 1) < 0 && errno == EINTR) { }
        thread.join();
    }
    closeAll();
}

void SimulatorServer::closeAll()
{
    if (linkMade) {
        // Only our own link goes: another simulator may have taken the name over meanwhile.
        const QByteArray link = QFile::encodeName(settings.linkPath);
        char target[256] = {};
        const ssize_t length = readlink(link.constData(), target, sizeof target - 1);
        if (length > 0 && QFile::decodeName(QByteArray(target, int(length))) == ptyPath)
            ::unlink(link.constData());
        linkMade = false;
    }
    for (int *fd : { &masterFd, &slaveFd, &wakeFds[0], &wakeFds[1] }) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

qint64 SimulatorServer::now() const
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now()
                                                                 - startTime)
        .count();
}

void SimulatorServer::trace(qint64 time, const QString &text) const
{
    if (!settings.trace)
        return;
    const QString line = QStringLiteral("%1 %2").arg(time / 1e6, 12, 'f', 6).arg(text);
    if (settings.traceOutput) {
        settings.traceOutput(line);
    } else {
        std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
        std::fflush(stdout);
    }
}

// The client sets the line rate on its side of the pty; the silence that ends a frame follows it.
void SimulatorServer::adaptSilenceToLine()
{
    termios line;
    if (tcgetattr(slaveFd, &line) == 0)
        assembler.setSilence(FrameAssembler::silenceForBaudRate(baudRateOf(cfgetispeed(&line))));
}

bool SimulatorServer::stopRequestedWithin(int milliseconds)
{
    pollfd wake { wakeFds[0], POLLIN, 0 };
    int result;
    while ((result = ::poll(&wake, 1, milliseconds)) < 0 && errno == EINTR) { }
    return result > 0;
}

void SimulatorServer::serve()
{
    char buffer[512];
    for (;;) {
        pollfd fds[2] = { { masterFd, POLLIN, 0 }, { wakeFds[0], POLLIN, 0 } };
        timespec timeout {};
        timespec *timeoutPointer = nullptr;
        qint64 deadline = assembler.hasPartialFrame() ? assembler.silenceDeadline() : -1;
        if (uncollectedDeadline >= 0 && (deadline < 0 || uncollectedDeadline < deadline))
            deadline = uncollectedDeadline;
        if (deadline >= 0) {
            const qint64 remaining = qMax<qint64>(0, deadline - now());
            timeout.tv_sec = remaining / 1000000;
            timeout.tv_nsec = (remaining % 1000000) * 1000;
            timeoutPointer = &timeout;
        }
        if (ppoll(fds, 2, timeoutPointer, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            trace(now(), systemError("ppoll"));
            return;
        }
        if (fds[1].revents)
            return;

        QList<QByteArray> frames;
        const qint64 received = now();
        if (fds[0].revents & POLLIN) {
            if (!assembler.hasPartialFrame())
                adaptSilenceToLine();
            const ssize_t count = ::read(masterFd, buffer, sizeof buffer);
            if (count > 0)
                frames = assembler.addBytes(QByteArray(buffer, int(count)), received);
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // Not expected while our slave descriptor is open; never spin on it.
            if (stopRequestedWithin(10))
                return;
        } else {
            frames = assembler.lineQuiet(received);
            if (uncollectedDeadline >= 0 && received >= uncollectedDeadline)
                dropUncollectedAnswer(received);
        }

        for (const QByteArray &frame : frames)
            handleFrame(frame, received);
        const QByteArray dropped = assembler.takeDropped();
        if (!dropped.isEmpty())
            trace(received,
                  QStringLiteral("rx %1 (dropped: no complete frame before a silence)")
                      .arg(hex(dropped)));
    }
}

void SimulatorServer::handleFrame(const QByteArray &frame, qint64 received)
{
    ++receivedFrames;
    QByteArray answer;
    {
        std::lock_guard<std::mutex> lock(modelMutex);
        model.advanceTo(received / 1e6);
        answer = slave.answer(frame);
    }
    const FaultInjector::Transmission transmission = faults.apply(answer);
    qint64 sent = 0;
    const bool completed = send(transmission, &sent);

    // Traced after sending, so that tracing never delays an answer.
    QString note;
    if (answer.isEmpty())
        note = modbusCrc16(frame) != 0 ? QStringLiteral(" (bad CRC, no answer)")
                                       : QStringLiteral(" (no answer)");
    trace(received, QStringLiteral("rx %1%2").arg(hex(frame), note));
    const QString faultNote = transmission.faults.isEmpty()
        ? QString()
        : QStringLiteral(" [%1]").arg(transmission.faults.join(QLatin1String(", ")));
    if (!transmission.chunks.isEmpty()) {
        QStringList pieces;
        for (const FaultInjector::Chunk &chunk : transmission.chunks)
            pieces << hex(chunk.bytes);
        trace(sent,
              QStringLiteral("tx %1%2%3")
                  .arg(pieces.join(QLatin1String(" | ")), faultNote,
                       completed ? QString() : QStringLiteral(" (stopped)")));
    } else if (!faultNote.isEmpty()) {
        trace(received, QStringLiteral("tx nothing%1").arg(faultNote));
    }
}

bool SimulatorServer::send(const FaultInjector::Transmission &transmission, qint64 *firstByteSent)
{
    // An answer that the client has not read by the time it sends the next request is stale: it
    // came too late or was never collected. Drop it so that answers never pile up in the pty.
    if (!transmission.chunks.isEmpty())
        tcflush(slaveFd, TCIFLUSH);
    uncollectedDeadline = -1;
    for (int i = 0; i < transmission.chunks.size(); ++i) {
        const FaultInjector::Chunk &chunk = transmission.chunks.at(i);
        // The wake-up stays in the pipe, so the serving loop ends on it next.
        if (chunk.delayMs > 0 && stopRequestedWithin(chunk.delayMs))
            return false;
        if (i == 0)
            *firstByteSent = now();
        if (!writeAll(chunk.bytes))
            return false;
    }
    if (!transmission.chunks.isEmpty())
        uncollectedDeadline = now() + uncollectedAnswerLifetime;
    return true;
}

// A client that gave up on an answer (it came late, or the client closed the port) leaves it in
// the pty, where the next client to open the port would read it first.
void SimulatorServer::dropUncollectedAnswer(qint64 time)
{
    uncollectedDeadline = -1;
    int unread = 0;
    if (ioctl(slaveFd, FIONREAD, &unread) == 0 && unread > 0) {
        tcflush(slaveFd, TCIFLUSH);
        trace(time, QStringLiteral("dropped %1 answer bytes that no client read").arg(unread));
    }
}

bool SimulatorServer::writeAll(const QByteArray &bytes)
{
    int offset = 0;
    while (offset < bytes.size()) {
        const ssize_t written =
            ::write(masterFd, bytes.constData() + offset, size_t(bytes.size() - offset));
        if (written > 0) {
            offset += int(written);
        } else if (written < 0 && errno == EAGAIN) {
            pollfd out { masterFd, POLLOUT, 0 };
            if (::poll(&out, 1, 1000) <= 0)
                return false; // nobody drains the pty: give the answer up
        } else if (!(written < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}
