#include "frameassembler.h"

FrameAssembler::FrameAssembler(qint64 silenceMicroseconds) : silence(silenceMicroseconds) { }

qint64 FrameAssembler::silenceForBaudRate(int baudRate)
{
    if (baudRate <= 0 || baudRate > 19200)
        return 1750;
    return (qint64(35) * 11 * 1000000 / 10 + baudRate - 1) / baudRate;
}

int FrameAssembler::requestLength(const QByteArray &prefix)
{
    if (prefix.size() < 2)
        return 0;
    // Length of the request with `count` data bytes whose count byte sits at `at`.
    auto counted = [&prefix](int at, int fixed) {
        return prefix.size() > at ? fixed + quint8(prefix.at(at)) : 0;
    };
    switch (quint8(prefix.at(1))) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 8:
        return 8; // address, function, two 16-bit fields, CRC
    case 7:
    case 11:
    case 12:
    case 17:
        return 4; // address, function, CRC
    case 15:
    case 16:
        return counted(6, 9);
    case 20:
    case 21:
        return counted(2, 5);
    case 22:
        return 10;
    case 23:
        return counted(10, 13);
    case 24:
        return 6;
    default:
        return -1;
    }
}

QList<QByteArray> FrameAssembler::addBytes(const QByteArray &bytes, qint64 now)
{
    QList<QByteArray> frames = lineQuiet(now);
    if (bytes.isEmpty())
        return frames;
    lastByteTime = now;
    for (const char byte : bytes) {
        if (discarding) {
            dropped.append(byte);
            continue;
        }
        buffer.append(byte);
        const int length = requestLength(buffer);
        if (length > 0 && buffer.size() == length) {
            frames.append(buffer);
            buffer.clear();
        } else if (buffer.size() >= maximumFrameLength) {
            dropped.append(buffer);
            buffer.clear();
            discarding = true;
        }
    }
    return frames;
}

QList<QByteArray> FrameAssembler::lineQuiet(qint64 now)
{
    if (!hasPartialFrame() || now - lastByteTime < silence)
        return {};
    return endOnSilence();
}

QList<QByteArray> FrameAssembler::endOnSilence()
{
    QList<QByteArray> frames;
    if (requestLength(buffer) < 0)
        frames.append(buffer);
    else
        dropped.append(buffer);
    buffer.clear();
    discarding = false;
    return frames;
}

QByteArray FrameAssembler::takeDropped()
{
    QByteArray bytes;
    bytes.swap(dropped);
    return bytes;
}
