// Times whole transactions of the real master thread against a pseudo-terminal peer that answers
// at once: bench_transaction [N]  (N transactions of each kind, default 20).
//
// With a prompt answer the first receive pass ends on the answer and five empty 50 ms passes
// follow, so run() cannot take less than about 250 ms beyond its pause (300 ms with no answer).
// Waiting on QSerialPort naively adds about 150 ms to that; the figures show whether run() does.

#include "modbusmasterthread.h"
#include "ptypeer.h"
#include "sampleanswers.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <sys/resource.h>

#include <cstdio>
#include <functional>

namespace {

struct Kind
{
    const char *name;
    int pauseMs; // the requestDelay that the operation sets
    int floorMs;
    QByteArray reply; // empty: the peer stays silent
    std::function<void(ModbusMasterThread &)> start;
};

qint64 cpuNs(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000000000
            + (qint64(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) * 1000;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int n = argc > 1 ? QByteArray(argv[1]).toInt() : 20;
    if (n < 1) {
        std::fprintf(stderr, "usage: bench_transaction [transactions per kind, at least 1]\n");
        return 2;
    }
    // run()'s trace lines would swamp the table.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });

    PtyPeer peer;
    if (!peer.isOpen()) {
        std::fprintf(stderr, "no pseudo-terminal: %s\n", qPrintable(peer.errorString()));
        return 1;
    }
    ModbusMasterThread thread;
    thread.setPortName(peer.slavePath());

    // Both handlers run in the worker thread, around run(); wait() orders them before the reads.
    QElapsedTimer clock;
    clock.start();
    qint64 startedNs = 0, finishedNs = 0, runCpuStart = 0, runCpuEnd = 0;
    QObject::connect(&thread, &QThread::started, &thread, [&] {
        runCpuStart = cpuNs(RUSAGE_THREAD);
        startedNs = clock.nsecsElapsed();
    }, Qt::DirectConnection);
    QObject::connect(&thread, &QThread::finished, &thread, [&] {
        finishedNs = clock.nsecsElapsed();
        runCpuEnd = cpuNs(RUSAGE_THREAD);
    }, Qt::DirectConnection);

    const QByteArray echo = SampleAnswers::withCrc(QByteArray::fromHex("ff0600cd0011"));
    const Kind kinds[] = {
        { "volatile read", 1000, 250, SampleAnswers::volatileAnswer(),
          [](ModbusMasterThread &t) { t.readVolatileRegisters(); } },
        { "persistent read", 1000, 250, SampleAnswers::persistentAnswer(),
          [](ModbusMasterThread &t) { t.readPersistentRegisters(); } },
        { "write echo", 0, 250, echo, [](ModbusMasterThread &t) { t.writeAddress(17); } },
        { "no answer", 0, 300, QByteArray(),
          [](ModbusMasterThread &t) { t.writeParity(QStringLiteral("Even")); } },
    };

    std::printf("%d transactions of each kind, peer answering at once\n", n);
    std::printf("%-16s %6s  %-23s %6s  %-20s\n", "", "pause", "run() beyond pause, ms", "floor",
                "CPU per transaction, ms");
    std::printf("%-16s %6s  %7s %7s %7s  %6s  %9s %9s\n", "kind", "ms", "mean", "min", "max", "ms",
                "run()", "process");
    for (const Kind &kind : kinds) {
        double sum = 0, least = 1e9, most = 0, runCpu = 0;
        const qint64 processCpu = cpuNs(RUSAGE_SELF);
        for (int i = 0; i < n; ++i) {
            if (!kind.reply.isEmpty())
                peer.enqueueReply({ kind.reply });
            kind.start(thread);
            thread.wait();
            const double ms = (finishedNs - startedNs) / 1e6 - kind.pauseMs;
            sum += ms;
            least = qMin(least, ms);
            most = qMax(most, ms);
            runCpu += (runCpuEnd - runCpuStart) / 1e6;
        }
        const double processMs = (cpuNs(RUSAGE_SELF) - processCpu) / 1e6 / n;
        std::printf("%-16s %6d  %7.1f %7.1f %7.1f  %6d  %9.3f %9.3f\n", kind.name, kind.pauseMs,
                    sum / n, least, most, kind.floorMs, runCpu / n, processMs);
    }
    const int expected = 4 * n;
    if (peer.requests().size() != expected) {
        std::fprintf(stderr, "the peer saw %d requests, expected %d\n",
                     int(peer.requests().size()), expected);
        return 1;
    }
    return 0;
}
