// Times whole transactions of the real master thread against a pseudo-terminal peer that answers
// at once: bench_transaction [N]  (N transactions of each kind, default 20). A prompt answer ends
// the first receive pass and five empty 50 ms passes follow, so run() takes at least about 250 ms
// beyond its pause (300 ms with no answer); waiting on QSerialPort naively adds about 150 ms.

#include "modbusmasterthread.h"
#include "ptypeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>

#include <sys/resource.h>

#include <cstdio>

static qint64 cpuNs(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000000
        + (qint64(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? QByteArray(argv[1]).toInt() : 20;
    if (n < 1) {
        std::fprintf(stderr, "usage: bench_transaction [transactions per kind, at least 1]\n");
        return 2;
    }
    QLoggingCategory::setFilterRules("default.debug=false"); // run()'s trace would swamp the table
    PtyPeer peer;
    ModbusMasterThread thread;
    thread.setPortName(peer.slavePath());

    // Wall clock and thread CPU when run() starts and ends; wait() orders them before the reads.
    QElapsedTimer clock;
    clock.start();
    qint64 at[2][2] = {};
    auto stamp = [&](int i) { at[i][0] = clock.nsecsElapsed(), at[i][1] = cpuNs(RUSAGE_THREAD); };
    QObject::connect(
        &thread, &QThread::started, &thread, [&] { stamp(0); }, Qt::DirectConnection);
    QObject::connect(
        &thread, &QThread::finished, &thread, [&] { stamp(1); }, Qt::DirectConnection);

    struct Kind
    {
        const char *name;
        int pauseMs; // the requestDelay that the operation sets
        int floorMs;
        int answerLength; // 0: the peer stays silent
        void (*start)(ModbusMasterThread &);
    } const kinds[] = {
        { "volatile read", 1000, 250, 47,
          [](ModbusMasterThread &t) { t.readVolatileRegisters(); } },
        { "persistent read", 1000, 250, 37,
          [](ModbusMasterThread &t) { t.readPersistentRegisters(); } },
        { "write echo", 0, 250, 8, [](ModbusMasterThread &t) { t.writeAddress(17); } },
        { "no answer", 0, 300, 0, [](ModbusMasterThread &t) { t.writeParity("Even"); } },
    };
    std::printf("%d transactions of each kind, peer answering at once\n", n);
    std::printf("%-16s %6s  %-23s %6s  %-20s\n", "", "pause", "run() beyond pause, ms", "floor",
                "CPU per transaction, ms");
    std::printf("%-16s %6s  %7s %7s %7s  %6s  %9s %9s\n", "kind", "ms", "mean", "min", "max", "ms",
                "run()", "process");
    for (const Kind &kind : kinds) {
        // The transaction judges an answer by its length and CRC alone.
        QByteArray answer(kind.answerLength - 2, '\x5A');
        const quint16 crc = modbusCrc16(answer);
        answer.append(char(crc & 0xFF)).append(char(crc >> 8));
        double sum = 0, least = 1e9, most = 0, runCpu = 0;
        const qint64 processCpu = cpuNs(RUSAGE_SELF);
        for (int i = 0; i < n; ++i) {
            if (kind.answerLength)
                peer.enqueueReply({ answer });
            kind.start(thread);
            thread.wait();
            const double ms = (at[1][0] - at[0][0]) / 1e6 - kind.pauseMs;
            sum += ms;
            least = qMin(least, ms);
            most = qMax(most, ms);
            runCpu += (at[1][1] - at[0][1]) / 1e6;
        }
        const double processMs = (cpuNs(RUSAGE_SELF) - processCpu) / 1e6 / n;
        std::printf("%-16s %6d  %7.1f %7.1f %7.1f  %6d  %9.3f %9.3f\n", kind.name, kind.pauseMs,
                    sum / n, least, most, kind.floorMs, runCpu / n, processMs);
    }
    if (peer.received().size() != 4 * n * 8)
        qFatal("the peer did not see all %d requests", 4 * n);
    return 0;
}
