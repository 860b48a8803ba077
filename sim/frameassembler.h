#ifndef FRAMEASSEMBLER_H
#define FRAMEASSEMBLER_H

#include <QByteArray>
#include <QList>

// Cuts the byte stream that a Modbus RTU slave receives into request frames.
//
// A frame ends when it has the length that its function code implies, so the answer can go out
// at once instead of after a pause. A silence of 3.5 character times ends every frame too: a
// partial frame of known length is dropped there (the line lost sync), and a frame of a function
// whose length is unknown is handed over there. Times are in microseconds on any monotonic clock.
class FrameAssembler
{
public:
    static constexpr int maximumFrameLength = 256;

    explicit FrameAssembler(qint64 silenceMicroseconds = 1750);

    // 3.5 characters of 11 bits (start, 8 data, parity or second stop, stop) at the line rate;
    // above 19200 baud Modbus fixes it at 1750 us.
    static qint64 silenceForBaudRate(int baudRate);
    void setSilence(qint64 microseconds) { silence = microseconds; }

    // Bytes received at `now`; returns the frames completed by them, in order.
    QList<QByteArray> addBytes(const QByteArray &bytes, qint64 now);
    // The line has been quiet until `now`: ends a frame if the silence is long enough.
    QList<QByteArray> lineQuiet(qint64 now);

    bool hasPartialFrame() const { return !buffer.isEmpty() || discarding; }
    qint64 silenceDeadline() const { return lastByteTime + silence; }
    // Bytes thrown away since the last call: partial frames and overlong garbage.
    QByteArray takeDropped();

    // Length of the request that starts with `prefix`: 0 while more bytes are needed to tell,
    // -1 for a function whose requests have no fixed layout (ended by silence).
    static int requestLength(const QByteArray &prefix);

private:
    QList<QByteArray> endOnSilence();

    qint64 silence;
    qint64 lastByteTime = 0;
    QByteArray buffer;
    QByteArray dropped;
    bool discarding = false; // an overlong frame: ignore everything up to the next silence
};

#endif // FRAMEASSEMBLER_H
