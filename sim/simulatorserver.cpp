#include "simulatorserver.h"

#include "modbusprotocol.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
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

const struct
{
    speed_t speed;
    int rate;
} rates[] = {
    { B600, 600 },     { B1200, 1200 },   { B2400, 2400 },   { B4800, 4800 },     { B9600, 9600 },
    { B19200, 19200 }, { B38400, 38400 }, { B57600, 57600 }, { B115200, 115200 },
};

int baudRateOf(speed_t speed)
{
    for (const auto &entry : rates) {
        if (entry.speed == speed)
            return entry.rate;
    }
    return 0;
}

speed_t speedOf(int baudRate)
{
    for (const auto &entry : rates) {
        if (entry.rate == baudRate)
            return entry.speed;
    }
    return B19200;
}

// A pseudo-terminal keeps no parity-enable flag, so even parity and none look alike on it: only
// odd parity can be told from the rest.
bool hears(const LineSettings &line, const LineSettings &sender)
{
    return sender.baudRate == line.baudRate && sender.stopBits == line.stopBits
        && (sender.parity == LineSettings::Parity::Odd)
        == (line.parity == LineSettings::Parity::Odd);
}

// The sender's line as the trace shows it: a parity that is not odd is shown as the line's own
// when that is not odd either, since the two cannot be told apart.
QString senderText(LineSettings sender, const LineSettings &line)
{
    if (sender.parity != LineSettings::Parity::Odd && line.parity != LineSettings::Parity::Odd)
        sender.parity = line.parity;
    return sender.toString();
}

quint16 bigEndian(const QByteArray &bytes, int offset)
{
    return quint16(quint8(bytes.at(offset)) << 8 | quint8(bytes.at(offset + 1)));
}

void appendBigEndian(QByteArray &bytes, quint16 value)
{
    bytes.append(char(value >> 8));
    bytes.append(char(value & 0xFF));
}

// Two transmitters that answer at once drive the pair against each other: the master receives
// their bits mixed, here OR-ed byte by byte. Two drivers never start within the same bit, so
// even identical answers arrive spoilt.
QByteArray collide(const QVector<QByteArray> &answers)
{
    QByteArray line;
    for (const QByteArray &answer : answers) {
        if (answer.size() > line.size())
            line.append(QByteArray(answer.size() - line.size(), '\0'));
        for (int i = 0; i < answer.size(); ++i)
            line[i] = char(line.at(i) | answer.at(i));
    }
    if (modbusCrc16(line) == 0)
        line[line.size() - 1] = char(~line.at(line.size() - 1));
    return line;
}

// A Modbus TCP gateway passes on only an answer whose CRC checks, without address and CRC,
// behind the MBAP header; the pauses of a split answer stay where they were.
QVector<FaultInjector::Chunk> toModbusTcp(const QVector<FaultInjector::Chunk> &chunks,
                                          quint16 transactionId)
{
    QByteArray rtu;
    for (const FaultInjector::Chunk &chunk : chunks)
        rtu += chunk.bytes;
    if (rtu.size() < 4 || modbusCrc16(rtu) != 0)
        return {};
    QByteArray adu;
    appendBigEndian(adu, transactionId);
    appendBigEndian(adu, 0);                       // protocol: Modbus
    appendBigEndian(adu, quint16(rtu.size() - 2)); // unit identifier and PDU
    adu += rtu.left(rtu.size() - 2);
    QVector<FaultInjector::Chunk> result;
    int offset = 0;
    for (int i = 0; i < chunks.size(); ++i) {
        const int end = i + 1 == chunks.size()
            ? adu.size()
            : qMin(adu.size(), offset + chunks.at(i).bytes.size() + (i == 0 ? 6 : 0));
        result.append({ chunks.at(i).delayMs, adu.mid(offset, end - offset) });
        offset = end;
    }
    return result;
}

} // namespace

SimulatorServer::SimulatorServer(const TransmitterSettings &transmitter,
                                 const ServerSettings &server)
    : SimulatorServer(QVector<TransmitterSettings> { transmitter }, server)
{ }

SimulatorServer::SimulatorServer(const QVector<TransmitterSettings> &units,
                                 const ServerSettings &server)
    : settings(server), gatewayLine(units.value(0).line), faults(server.faults, server.seed)
{
    for (const TransmitterSettings &unit : units)
        models.append(TransmitterModel(unit));
}

SimulatorServer::~SimulatorServer()
{
    stop();
}

TransmitterModel SimulatorServer::transmitter(int unit) const
{
    std::lock_guard<std::mutex> lock(modelMutex);
    return models.value(unit);
}

void SimulatorServer::restart()
{
    std::lock_guard<std::mutex> lock(modelMutex);
    for (TransmitterModel &model : models)
        model.restart();
}

QStringList SimulatorServer::listening() const
{
    QStringList texts;
    for (const BoundListener &listener : listeners)
        texts << QStringLiteral("%1:%2:%3")
                     .arg(listener.kind == ServerSettings::Listener::Kind::ModbusTcp
                              ? QLatin1String("tcp")
                              : QLatin1String("rtu-tcp"),
                          listener.address)
                     .arg(listener.port);
    return texts;
}

quint16 SimulatorServer::listenTcpPort() const
{
    for (const BoundListener &listener : listeners) {
        if (listener.kind == ServerSettings::Listener::Kind::ModbusTcp)
            return listener.port;
    }
    return 0;
}

quint16 SimulatorServer::listenRtuTcpPort() const
{
    for (const BoundListener &listener : listeners) {
        if (listener.kind == ServerSettings::Listener::Kind::RtuOverTcp)
            return listener.port;
    }
    return 0;
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
    // The transmitter's speed and stop bits, so that a client that sets nothing is heard at
    // them. Never odd parity: QSerialPort's "no parity" clears only the parity-enable flag, and
    // a client opening at none would be taken for odd.
    cfmakeraw(&line);
    cfsetispeed(&line, speedOf(gatewayLine.baudRate));
    cfsetospeed(&line, speedOf(gatewayLine.baudRate));
    line.c_cflag |= CLOCAL | CREAD;
    line.c_cflag &= ~(CSTOPB | PARODD);
    if (gatewayLine.stopBits == 2)
        line.c_cflag |= CSTOPB;
    if (tcsetattr(slaveFd, TCSANOW, &line) != 0)
        return fail(systemError("tcsetattr"));
    if (fcntl(masterFd, F_SETFL, O_NONBLOCK) != 0 || pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(systemError("descriptor set-up"));
    for (const ServerSettings::Listener &listener : settings.listeners) {
        QString error;
        if (!openListener(listener, &error))
            return fail(error);
    }

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

bool SimulatorServer::openListener(const ServerSettings::Listener &listener, QString *errorMessage)
{
    const QString what = QStringLiteral("%1:%2:%3")
                             .arg(listener.kind == ServerSettings::Listener::Kind::ModbusTcp
                                      ? QLatin1String("tcp")
                                      : QLatin1String("rtu-tcp"),
                                  settings.bindAddress)
                             .arg(listener.port);
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int status = getaddrinfo(settings.bindAddress.toLocal8Bit().constData(),
                                   QByteArray::number(listener.port).constData(), &hints, &found);
    if (status != 0) {
        *errorMessage = QStringLiteral("can't listen on %1: %2")
                            .arg(what, QString::fromLocal8Bit(gai_strerror(status)));
        return false;
    }
    int fd = -1;
    QString error;
    for (addrinfo *address = found; address && fd < 0; address = address->ai_next) {
        fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                      address->ai_protocol);
        if (fd < 0) {
            error = QString::fromLocal8Bit(std::strerror(errno));
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, address->ai_addr, address->ai_addrlen) != 0 || ::listen(fd, 8) != 0) {
            error = QString::fromLocal8Bit(std::strerror(errno));
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        *errorMessage = QStringLiteral("can't listen on %1: %2").arg(what, error);
        return false;
    }
    BoundListener bound { listener.kind, fd, 0, QString() };
    listeners.push_back(bound); // closed with the rest from here on
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    char host[NI_MAXHOST] = {}, port[NI_MAXSERV] = {};
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0
        || getnameinfo(reinterpret_cast<sockaddr *>(&address), length, host, sizeof host, port,
                       sizeof port, NI_NUMERICHOST | NI_NUMERICSERV)
            != 0) {
        *errorMessage = QStringLiteral("can't listen on %1: the bound port is unknown").arg(what);
        return false;
    }
    listeners.back().port = quint16(QByteArray(port).toUInt());
    listeners.back().address = address.ss_family == AF_INET6
        ? QStringLiteral("[%1]").arg(QString::fromLatin1(host))
        : QString::fromLatin1(host);
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
    for (const BoundListener &listener : listeners)
        ::close(listener.fd);
    listeners.clear();
    for (const Connection &connection : connections)
        ::close(connection.fd);
    connections.clear();
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

// The line settings the client gave its side of the pty, as far as a pty keeps them.
LineSettings SimulatorServer::senderLine()
{
    LineSettings line = gatewayLine;
    termios attributes;
    if (tcgetattr(slaveFd, &attributes) == 0) {
        line.baudRate = baudRateOf(cfgetispeed(&attributes));
        line.stopBits = attributes.c_cflag & CSTOPB ? 2 : 1;
        line.parity =
            attributes.c_cflag & PARODD ? LineSettings::Parity::Odd : LineSettings::Parity::None;
    }
    return line;
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
    for (;;) {
        std::vector<pollfd> fds { { masterFd, POLLIN, 0 }, { wakeFds[0], POLLIN, 0 } };
        for (const BoundListener &listener : listeners)
            fds.push_back({ listener.fd, POLLIN, 0 });
        for (const Connection &connection : connections)
            fds.push_back({ connection.fd, POLLIN, 0 });
        qint64 deadline = -1;
        const auto earliest = [&deadline](qint64 time) {
            if (time >= 0 && (deadline < 0 || time < deadline))
                deadline = time;
        };
        if (assembler.hasPartialFrame())
            earliest(assembler.silenceDeadline());
        earliest(uncollectedDeadline);
        for (const Connection &connection : connections) {
            if (connection.assembler.hasPartialFrame())
                earliest(connection.assembler.silenceDeadline());
        }
        timespec timeout {};
        timespec *timeoutPointer = nullptr;
        if (deadline >= 0) {
            const qint64 remaining = qMax<qint64>(0, deadline - now());
            timeout.tv_sec = remaining / 1000000;
            timeout.tv_nsec = (remaining % 1000000) * 1000;
            timeoutPointer = &timeout;
        }
        if (ppoll(fds.data(), nfds_t(fds.size()), timeoutPointer, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            trace(now(), systemError("ppoll"));
            return;
        }
        if (fds[1].revents)
            return;

        const qint64 received = now();
        if (fds[0].revents & POLLIN) {
            readPty(received);
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // Not expected while our slave descriptor is open; never spin on it.
            if (stopRequestedWithin(10))
                return;
        } else {
            const Origin origin { Channel::Pty, masterFd, frameLine, 0 };
            for (const QByteArray &frame : assembler.lineQuiet(received))
                handleFrame(frame, received, origin);
            if (uncollectedDeadline >= 0 && received >= uncollectedDeadline)
                dropUncollectedAnswer(received);
        }

        const size_t firstConnection = 2 + listeners.size();
        std::vector<int> closed;
        for (size_t i = 0; i < connections.size(); ++i) {
            Connection &connection = connections[i];
            const short events = fds.at(firstConnection + i).revents;
            if (events & (POLLIN | POLLHUP | POLLERR)) {
                if (!readConnection(connection, received))
                    closed.push_back(connection.fd);
            } else {
                const Origin origin { connection.channel, connection.fd, gatewayLine, 0 };
                for (const QByteArray &frame : connection.assembler.lineQuiet(received))
                    handleFrame(frame, received, origin);
            }
        }
        for (const int fd : closed) {
            ::close(fd);
            connections.erase(std::find_if(connections.begin(), connections.end(),
                                           [fd](const Connection &c) { return c.fd == fd; }));
        }
        for (size_t i = 0; i < listeners.size(); ++i) {
            if (!(fds.at(2 + i).revents & POLLIN))
                continue;
            const int fd = accept4(listeners[i].fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            Connection connection;
            connection.fd = fd;
            connection.channel = listeners[i].kind == ServerSettings::Listener::Kind::ModbusTcp
                ? Channel::ModbusTcp
                : Channel::RtuOverTcp;
            connections.push_back(connection);
        }
    }
}

void SimulatorServer::readPty(qint64 received)
{
    // The client sets the line on its side of the pty; what a request is judged by and the
    // silence that ends a frame follow it.
    if (!assembler.hasPartialFrame()) {
        frameLine = senderLine();
        assembler.setSilence(FrameAssembler::silenceForBaudRate(frameLine.baudRate));
    }
    char buffer[512];
    const ssize_t count = ::read(masterFd, buffer, sizeof buffer);
    if (count <= 0)
        return;
    const Origin origin { Channel::Pty, masterFd, frameLine, 0 };
    for (const QByteArray &frame : assembler.addBytes(QByteArray(buffer, int(count)), received))
        handleFrame(frame, received, origin);
    const QByteArray dropped = assembler.takeDropped();
    if (!dropped.isEmpty())
        trace(received,
              QStringLiteral("rx %1 (dropped: no complete frame before a silence)")
                  .arg(hex(dropped)));
}

// False when the client has gone.
bool SimulatorServer::readConnection(Connection &connection, qint64 received)
{
    char buffer[512];
    const ssize_t count = ::read(connection.fd, buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    if (count <= 0)
        return false;
    Origin origin { connection.channel, connection.fd, gatewayLine, 0 };
    if (connection.channel == Channel::RtuOverTcp) {
        for (const QByteArray &frame :
             connection.assembler.addBytes(QByteArray(buffer, int(count)), received))
            handleFrame(frame, received, origin);
        return true;
    }
    // MBAP: transaction identifier, protocol 0, length of what follows, unit identifier; the
    // gateway puts the unit identifier and the PDU on the line as an RTU frame.
    connection.pending.append(buffer, int(count));
    while (connection.pending.size() >= 8) {
        const int length = bigEndian(connection.pending, 4);
        if (length < 2 || length > 254) {
            trace(received,
                  QStringLiteral("tcp rx %1 (not Modbus TCP: connection closed)")
                      .arg(hex(connection.pending)));
            return false;
        }
        if (connection.pending.size() < 6 + length)
            break;
        const QByteArray adu = connection.pending.left(6 + length);
        connection.pending.remove(0, 6 + length);
        if (bigEndian(adu, 2) != 0) {
            trace(received,
                  QStringLiteral("tcp rx %1 (protocol not Modbus, ignored)").arg(hex(adu)));
            continue;
        }
        origin.transactionId = bigEndian(adu, 0);
        QByteArray frame = adu.mid(6);
        const quint16 crc = modbusCrc16(frame);
        frame.append(char(crc & 0xFF));
        frame.append(char(crc >> 8));
        handleFrame(frame, received, origin);
    }
    return true;
}

void SimulatorServer::handleFrame(const QByteArray &frame, qint64 received, const Origin &origin)
{
    ++receivedFrames;
    QStringList notes;
    const QVector<QByteArray> answers = answersOf(frame, received, origin, &notes);
    const QByteArray answer = answers.size() > 1 ? collide(answers) : answers.value(0);
    FaultInjector::Transmission transmission = faults.apply(answer);
    if (answers.size() > 1)
        transmission.faults.prepend(QStringLiteral("%1 answers at once").arg(answers.size()));
    if (origin.channel == Channel::ModbusTcp && !transmission.chunks.isEmpty()) {
        transmission.chunks = toModbusTcp(transmission.chunks, origin.transactionId);
        if (transmission.chunks.isEmpty())
            transmission.faults << QStringLiteral("dropped by the gateway: bad CRC");
    }
    if (!transmission.chunks.isEmpty())
        transmission.chunks[0].delayMs += settings.turnaroundMs;
    qint64 sent = 0;
    const bool completed = send(transmission, origin, &sent);

    // Traced after sending, so that tracing never delays an answer.
    const QString channel = origin.channel == Channel::ModbusTcp ? QStringLiteral("tcp ")
        : origin.channel == Channel::RtuOverTcp                  ? QStringLiteral("rtu-tcp ")
                                                                 : QString();
    QString note;
    if (answer.isEmpty())
        note = modbusCrc16(frame) != 0 ? QStringLiteral(" (bad CRC, no answer)")
                                       : QStringLiteral(" (no answer)");
    trace(received, QStringLiteral("%1rx %2%3").arg(channel, hex(frame), note));
    for (const QString &line : notes)
        trace(received, line);
    const QString faultNote = transmission.faults.isEmpty()
        ? QString()
        : QStringLiteral(" [%1]").arg(transmission.faults.join(QLatin1String(", ")));
    if (!transmission.chunks.isEmpty()) {
        QStringList pieces;
        for (const FaultInjector::Chunk &chunk : transmission.chunks)
            pieces << hex(chunk.bytes);
        trace(sent,
              QStringLiteral("%1tx %2%3%4")
                  .arg(channel, pieces.join(QLatin1String(" | ")), faultNote,
                       completed ? QString() : QStringLiteral(" (stopped)")));
    } else if (!faultNote.isEmpty()) {
        trace(received, QStringLiteral("%1tx nothing%2").arg(channel, faultNote));
    }
}

// The answer of every transmitter that hears the request: one on its own address, all on 255.
QVector<QByteArray> SimulatorServer::answersOf(const QByteArray &frame, qint64 received,
                                               const Origin &origin, QStringList *notes)
{
    const bool intact = frame.size() >= 4 && modbusCrc16(frame) == 0;
    const int address = frame.isEmpty() ? -1 : quint8(frame.at(0));
    QVector<QByteArray> answers;
    std::lock_guard<std::mutex> lock(modelMutex);
    for (TransmitterModel &model : models) {
        model.advanceTo(received / 1e6);
        if (!hears(model.line(), origin.senderLine)) {
            if (intact
                && (address == ModbusProtocol::broadcastAddress
                    || address == ModbusProtocol::anyTransmitterAddress
                    || address == model.address()))
                *notes << QStringLiteral("not heard%1: sender at %2, line at %3")
                              .arg(models.size() > 1
                                       ? QStringLiteral(" by unit %1").arg(model.address())
                                       : QString(),
                                   senderText(origin.senderLine, model.line()),
                                   model.line().toString());
            continue;
        }
        const QByteArray answer = RtuSlave(&model).answer(frame);
        if (!answer.isEmpty())
            answers << answer;
    }
    return answers;
}

bool SimulatorServer::send(const FaultInjector::Transmission &transmission, const Origin &origin,
                           qint64 *firstByteSent)
{
    const bool pty = origin.channel == Channel::Pty;
    // An answer that the client has not read by the time it sends the next request is stale: it
    // came too late or was never collected. Drop it so that answers never pile up in the pty.
    if (pty) {
        if (!transmission.chunks.isEmpty())
            tcflush(slaveFd, TCIFLUSH);
        uncollectedDeadline = -1;
    }
    for (int i = 0; i < transmission.chunks.size(); ++i) {
        const FaultInjector::Chunk &chunk = transmission.chunks.at(i);
        // The wake-up stays in the pipe, so the serving loop ends on it next.
        if (chunk.delayMs > 0 && stopRequestedWithin(chunk.delayMs))
            return false;
        if (i == 0)
            *firstByteSent = now();
        if (!writeAll(origin.fd, chunk.bytes))
            return false;
    }
    if (pty && !transmission.chunks.isEmpty())
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

bool SimulatorServer::writeAll(int fd, const QByteArray &bytes)
{
    const bool socket = fd != masterFd;
    int offset = 0;
    while (offset < bytes.size()) {
        const size_t length = size_t(bytes.size() - offset);
        // A client that has gone must not end the simulator with SIGPIPE.
        const ssize_t written = socket
            ? ::send(fd, bytes.constData() + offset, length, MSG_NOSIGNAL)
            : ::write(fd, bytes.constData() + offset, length);
        if (written > 0) {
            offset += int(written);
        } else if (written < 0 && errno == EAGAIN) {
            pollfd out { fd, POLLOUT, 0 };
            if (::poll(&out, 1, 1000) <= 0)
                return false; // nobody drains the pty or the socket: give the answer up
        } else if (!(written < 0 && errno == EINTR)) {
            return false;
        }
    }
    return true;
}
