#ifndef FAULTINJECTOR_H
#define FAULTINJECTOR_H

#include <QByteArray>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <random>

// How often each line fault spoils an answer; each is a probability from 0 to 1, drawn anew for
// every answer.
struct FaultSettings
{
    double noAnswer = 0;  // the answer is not sent
    double badCrc = 0;    // one CRC byte is changed
    double exception = 0; // a "slave device failure" exception goes out instead
    double split = 0;     // the answer leaves in 2 to 4 chunks with gaps
    double delay = 0;     // the answer leaves late
    double garbage = 0;   // 1 to 8 random bytes precede the answer
    int delayMs = 400;    // late enough to miss the tool's six 50 ms receive passes
    int splitGapMs = 20;

    bool any() const { return noAnswer + badCrc + exception + split + delay + garbage > 0; }
};

// Decides, from a seeded generator, what happens to each answer on its way out. The same seed and
// the same sequence of answers give the same faults.
class FaultInjector
{
public:
    struct Chunk
    {
        int delayMs = 0; // pause before the chunk
        QByteArray bytes;
    };
    struct Transmission
    {
        QVector<Chunk> chunks; // empty: nothing is sent
        QStringList faults;    // names of the faults applied, for the trace
    };

    FaultInjector(const FaultSettings &settings, quint32 seed);

    Transmission apply(const QByteArray &answer);

    // Answers spoilt so far: not sent, sent late, or changed on the way. A split answer is not
    // counted: it arrives whole. Readable from any thread.
    int spoilt() const { return spoiltCount; }

private:
    double uniform(); // [0, 1)
    int below(int n); // 0 .. n-1

    FaultSettings settings;
    std::mt19937 random;
    std::atomic<int> spoiltCount { 0 };
};

#endif // FAULTINJECTOR_H
