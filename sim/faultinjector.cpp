#include "faultinjector.h"

#include "rtuslave.h"

#include <algorithm>

FaultInjector::FaultInjector(const FaultSettings &settings, quint32 seed)
    : settings(settings), random(seed)
{ }

// Own conversions from the generator's 32-bit words: the standard distributions may differ
// between library versions, and a seed must replay the same faults everywhere.
double FaultInjector::uniform()
{
    return random() / 4294967296.0;
}

int FaultInjector::below(int n)
{
    return int(random() % quint32(n));
}

FaultInjector::Transmission FaultInjector::apply(const QByteArray &answer)
{
    Transmission out;
    if (answer.isEmpty())
        return out;
    // One draw per fault for every answer, so enabling one fault does not move the others.
    const bool noAnswer = uniform() < settings.noAnswer;
    const bool exception = uniform() < settings.exception;
    const bool badCrc = uniform() < settings.badCrc;
    const bool garbage = uniform() < settings.garbage;
    const bool split = uniform() < settings.split;
    const bool delay = uniform() < settings.delay;
    spoiltCount += noAnswer || exception || badCrc || garbage || delay;

    if (noAnswer) {
        out.faults << "no answer";
        return out;
    }
    QByteArray bytes = answer;
    if (exception) {
        bytes = RtuSlave::exceptionAnswer(quint8(answer.at(0)), quint8(answer.at(1)),
                                          RtuSlave::SlaveDeviceFailure);
        out.faults << "exception";
    }
    if (badCrc) {
        const int at = bytes.size() - 1 - below(2);
        bytes[at] = char(bytes.at(at) ^ (1 + below(255)));
        out.faults << "bad CRC";
    }
    if (garbage) {
        QByteArray noise;
        for (int n = 1 + below(8); n > 0; --n)
            noise.append(char(below(256)));
        bytes.prepend(noise);
        out.faults << "garbage";
    }
    if (split && bytes.size() >= 2) {
        // 2 to 4 non-empty chunks: pick distinct cut points inside the frame.
        QVector<int> cuts;
        const int wanted = qMin(1 + below(3), bytes.size() - 1);
        while (cuts.size() < wanted) {
            const int cut = 1 + below(bytes.size() - 1);
            if (!cuts.contains(cut))
                cuts.append(cut);
        }
        std::sort(cuts.begin(), cuts.end());
        cuts.append(bytes.size());
        int from = 0;
        for (const int cut : cuts) {
            out.chunks.append({ from == 0 ? 0 : settings.splitGapMs, bytes.mid(from, cut - from) });
            from = cut;
        }
        out.faults << "split";
    } else {
        out.chunks.append({ 0, bytes });
    }
    if (delay) {
        out.chunks.first().delayMs += settings.delayMs;
        out.faults << "delay";
    }
    return out;
}
