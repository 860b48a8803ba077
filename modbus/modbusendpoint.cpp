#include "modbusendpoint.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QSerialPort>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ModbusMasterThread", text);
}

constexpr int connectTimeoutMs = 3000;

// A serial port, opened for each transaction as on the bench: whatever else used the port in
// between, every transaction starts from a port set up afresh.
class SerialEndpoint : public ModbusEndpoint
{
public:
    SerialEndpoint(const QString &path, const LineSettings &line) : path(path), line(line) { }

    bool open(QString *failureText, const char **trace) override
    {
        if (port)
            return true;
        // Made in the calling thread, which is the only one to use it until close().
        port = std::make_unique<QSerialPort>();
        if (ModbusLine::open(*port, path, failureText, trace, line))
            return true;
        port.reset();
        return false;
    }

    void close() override
    {
        if (!port)
            return;
        port->clear(QSerialPort::AllDirections);
        port->close();
        port.reset();
    }

    bool isOpen() const override { return bool(port); }
    bool staysOpen() const override { return false; }
    void setLine(const LineSettings &l) override { line = l; }

    ModbusTransaction exchange(const QByteArray &request, const ReceiveTiming &timing) override
    {
        ModbusTransaction t = ModbusLine::exchange(*port, request, timing);
        // A port that vanished under the transaction (an adapter pulled) is a failure of the
        // way, not a silent transmitter.
        // On a pseudo-terminal whose other end closed, the read fails before Qt calls it a
        // resource error.
        const QSerialPort::SerialPortError error = port->error();
        if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError
            || error == QSerialPort::WriteError) {
            t.judgement = ModbusProtocol::Judgement();
            t.judgement.kind = ModbusProtocol::ResponseKind::PortFailure;
            t.judgement.portFailure =
                tr("Lost %1: device removed or no longer available").arg(path);
            close();
        } else if (t.judgement.kind == ModbusProtocol::ResponseKind::UnexpectedLength) {
            port->readAll(); // the rest of a garbled answer must not reach the next transaction
        }
        return t;
    }

private:
    QString path;
    LineSettings line;
    std::unique_ptr<QSerialPort> port;
};

QString socketErrorWords(int error)
{
    switch (error) {
    case ECONNREFUSED:
        return tr("connection refused");
    case EHOSTUNREACH:
    case ENETUNREACH:
        return tr("host unreachable");
    case ETIMEDOUT:
        return tr("timed out");
    case ECONNRESET:
        return tr("connection reset by the peer");
    case EPIPE:
        return tr("connection closed by the peer");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

// A TCP connection on a plain blocking descriptor. The window runs each transaction on a new
// thread, and a Qt socket may only be used on the thread that made it; a descriptor that no Qt
// object wraps can be used by each of them in turn.
class TcpEndpoint : public ModbusEndpoint
{
public:
    TcpEndpoint(const Endpoint &endpoint, bool mbap) : endpoint(endpoint), mbap(mbap) { }
    ~TcpEndpoint() override { close(); }

    bool open(QString *failureText, const char **trace) override
    {
        if (fd >= 0)
            return true;
        const QString failure = connectToHost();
        if (failure.isEmpty())
            return true;
        *failureText = tr("Can't connect to %1: %2").arg(endpoint.name(), failure);
        if (trace)
            *trace = "run(): connect error, exit";
        return false;
    }

    void close() override
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    bool isOpen() const override { return fd >= 0; }
    bool staysOpen() const override { return true; }
    void setLine(const LineSettings &) override { }

    ModbusTransaction exchange(const QByteArray &request, const ReceiveTiming &timing) override
    {
        ModbusTransaction t;
        t.request = request;
        // A connection the gateway closed while idle (many do after a minute) is only noticed
        // now; it is made again once before the request goes out.
        if (!dropStaleInput() || !sendFrame(request)) {
            close();
            QString failure;
            if (!open(&failure, nullptr) || !sendFrame(request)) {
                if (failure.isEmpty())
                    failure = tr("Connection to %1 lost: %2")
                                  .arg(endpoint.name(), socketErrorWords(lastError));
                close();
                t.sentAt = ModbusLine::now();
                t.judgement.kind = ModbusProtocol::ResponseKind::PortFailure;
                t.judgement.portFailure = failure;
                return t;
            }
        }
        t.sentAt = sentAt;
        QElapsedTimer timer;
        timer.start();
        if (mbap)
            receiveAdu(&t, timing, timer);
        else
            ModbusLine::collectAnswer(
                &t, timing, timer, [this](int ms) { waitReadable(ms); },
                [this] { return readAvailable(); });
        if (peerClosed)
            close(); // made again by the next transaction
        return t;
    }

private:
    QString connectToHost()
    {
        addrinfo hints {};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        const int rc = ::getaddrinfo(endpoint.host.toUtf8().constData(),
                                     QByteArray::number(endpoint.port).constData(), &hints, &found);
        if (rc != 0)
            return rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL
                ? tr("name not found")
                : QString::fromLocal8Bit(::gai_strerror(rc));
        QString failure = tr("no address");
        for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
            const int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
            if (s < 0)
                continue;
            ::fcntl(s, F_SETFL, O_NONBLOCK);
            int error = 0;
            if (::connect(s, a->ai_addr, a->ai_addrlen) != 0) {
                error = errno;
                if (error == EINPROGRESS) {
                    pollfd p { s, POLLOUT, 0 };
                    const int ready = ::poll(&p, 1, connectTimeoutMs);
                    socklen_t length = sizeof error;
                    if (ready == 0)
                        error = ETIMEDOUT;
                    else if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                        error = errno;
                }
            }
            if (error != 0) {
                failure = socketErrorWords(error);
                ::close(s);
                continue;
            }
            // Requests are small and each waits for its answer: send them at once.
            const int one = 1;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fd = s;
        }
        ::freeaddrinfo(found);
        peerClosed = false;
        return fd >= 0 ? QString() : failure;
    }

    // Bytes waiting from an earlier, abandoned answer; false when the peer has closed.
    bool dropStaleInput()
    {
        if (fd < 0)
            return false;
        char buffer[512];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                qCDebug(ModbusLine::trace) << "run(): " << int(n) << " stale bytes dropped";
                continue;
            }
            if (n == 0) {
                lastError = EPIPE;
                return false;
            }
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            lastError = errno;
            return false;
        }
    }

    bool sendFrame(const QByteArray &request)
    {
        if (fd < 0)
            return false;
        QByteArray bytes = request;
        if (mbap) {
            // MBAP header: transaction id, protocol 0, length of what follows, unit id; then the
            // PDU without the RTU frame's address and CRC.
            ++transactionId;
            const QByteArray pdu = request.mid(1, request.size() - 3);
            bytes.clear();
            const int length = pdu.size() + 1;
            bytes.append(char(transactionId >> 8)).append(char(transactionId & 0xFF));
            bytes.append(char(0)).append(char(0));
            bytes.append(char(length >> 8)).append(char(length & 0xFF));
            bytes.append(request.at(0)).append(pdu);
        }
        sentAt = ModbusLine::now();
        int sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n =
                ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p { fd, POLLOUT, 0 };
                if (::poll(&p, 1, 100) <= 0) {
                    lastError = ETIMEDOUT;
                    return false;
                }
                continue;
            }
            if (n < 0) {
                lastError = errno;
                return false;
            }
            sent += int(n);
        }
        return true;
    }

    void waitReadable(int ms)
    {
        if (fd < 0 || peerClosed)
            return;
        pollfd p { fd, POLLIN, 0 };
        ::poll(&p, 1, ms);
    }

    QByteArray readAvailable()
    {
        QByteArray bytes;
        if (fd < 0 || peerClosed)
            return bytes;
        char buffer[512];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                bytes.append(buffer, int(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                peerClosed = true;
            return bytes;
        }
    }

    // Modbus TCP: the answer is whole when its header's length has arrived. An answer that
    // carries another transaction id is a late one to an abandoned request and is skipped. The
    // answer is kept as the RTU frame it stands for (address, PDU, a CRC computed here), so the
    // judging, the traffic list and the recording see one form whatever the transport.
    void receiveAdu(ModbusTransaction *t, const ReceiveTiming &timing, const QElapsedTimer &timer)
    {
        const int limitMs =
            timing.endWhenComplete ? timing.timeoutMs : timing.passes * timing.passMs;
        QByteArray buffer;
        QByteArray answer;
        while (answer.isEmpty() && !peerClosed) {
            const qint64 left = limitMs - timer.elapsed();
            if (left <= 0)
                break;
            waitReadable(int(left));
            const QByteArray piece = readAvailable();
            if (piece.isEmpty())
                continue;
            buffer.append(piece);
            t->roundTripMs = timer.nsecsElapsed() / 1e6;
            while (buffer.size() >= 7) {
                const int id = quint8(buffer.at(0)) << 8 | quint8(buffer.at(1));
                const int protocol = quint8(buffer.at(2)) << 8 | quint8(buffer.at(3));
                const int length = quint8(buffer.at(4)) << 8 | quint8(buffer.at(5));
                if (protocol != 0 || length < 2 || length > 254) {
                    // Not Modbus TCP: keep the bytes as they came, for the traffic list.
                    answer = buffer;
                    break;
                }
                if (buffer.size() < 6 + length)
                    break;
                const QByteArray adu = buffer.left(6 + length);
                buffer.remove(0, 6 + length);
                if (id != transactionId) {
                    qCDebug(ModbusLine::trace) << "run(): answer to an earlier request skipped";
                    continue;
                }
                answer = adu.mid(6); // unit id and PDU
                const quint16 crc = modbusCrc16(answer);
                answer.append(char(crc & 0xFF)).append(char(crc >> 8));
                break;
            }
        }
        if (answer.isEmpty() && !buffer.isEmpty())
            answer = buffer; // a cut header: shown as received
        t->answer = answer;
        if (answer.isEmpty())
            t->roundTripMs = -1;
        qCDebug(ModbusLine::trace) << "run(): " << answer.size() << " bytes read";
        t->judgement = ModbusProtocol::judgeResponse(answer);
    }

    Endpoint endpoint;
    bool mbap;
    int fd = -1;
    bool peerClosed = false;
    int lastError = 0;
    quint16 transactionId = 0;
    QDateTime sentAt;
};

} // namespace

std::unique_ptr<ModbusEndpoint> ModbusEndpoint::create(const Endpoint &endpoint,
                                                       const LineSettings &line)
{
    switch (endpoint.kind) {
    case Endpoint::Kind::ModbusTcp:
        return std::make_unique<TcpEndpoint>(endpoint, true);
    case Endpoint::Kind::RtuOverTcp:
        return std::make_unique<TcpEndpoint>(endpoint, false);
    case Endpoint::Kind::Serial:
        break;
    }
    return std::make_unique<SerialEndpoint>(endpoint.path, line);
}
