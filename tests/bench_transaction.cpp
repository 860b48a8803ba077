// bench_transaction [N]: N (default 20) real transactions of each kind against a pty peer that
// answers at once; empty 50 ms receive passes keep run() 250 ms (silent: 300) past its pause.

#include "modbusmasterthread.h"
#include "ptypeer.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <ctime>

using M = ModbusMasterThread;

static double ms(clockid_t clock)
{
    timespec t {};
    clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int n = qMax(1, argc > 1 ? atoi(argv[1]) : 20);
    QLoggingCategory::setFilterRules("default.debug=false"); // run()'s trace would swamp the table
    PtyPeer peer;
    M thread;
    thread.setPortName(peer.slavePath());
    // Wall clock and thread CPU as run() starts [0] and ends [1]; wait() orders them before use.
    double wall[2] = {}, cpu[2] = {};
    for (int i : { 0, 1 })
        QObject::connect(
            &thread, i ? &QThread::finished : &QThread::started, &thread,
            [&, i] { wall[i] = ms(CLOCK_MONOTONIC), cpu[i] = ms(CLOCK_THREAD_CPUTIME_ID); },
            Qt::DirectConnection);

    struct Kind
    {
        const char *name;
        int pauseMs, floorMs, answerLength; // the requestDelay the operation sets; 0: no answer
        void (*start)(M &);
    } const kinds[] = {
        { "volatile read", 1000, 250, 47, [](M &t) { t.readVolatileRegisters(); } },
        { "persistent read", 1000, 250, 37, [](M &t) { t.readPersistentRegisters(); } },
        { "write echo", 0, 250, 8, [](M &t) { t.writeAddress(17); } },
        { "no answer", 0, 300, 0, [](M &t) { t.writeParity("Even"); } },
    };
    std::printf("%d transactions of each kind, peer answering at once\n", n);
    std::puts("                 pause    run() beyond pause, ms  floor  CPU per transaction, ms\n"
              "kind                ms     mean     min     max     ms      run()  process");
    for (const Kind &kind : kinds) {
        QByteArray answer(kind.answerLength - 2, '\x5A'); // judged by length and CRC alone
        const quint16 crc = modbusCrc16(answer);
        answer = (answer + char(crc & 0xFF) + char(crc >> 8)).left(kind.answerLength); // 0: none
        double sum = 0, least = 1e9, most = 0, runCpu = 0;
        const double processCpu = ms(CLOCK_PROCESS_CPUTIME_ID);
        for (int i = 0; i < n; ++i) {
            peer.enqueueReply({ answer });
            kind.start(thread);
            thread.wait();
            const double beyond = wall[1] - wall[0] - kind.pauseMs;
            sum += beyond, least = qMin(least, beyond), most = qMax(most, beyond);
            runCpu += cpu[1] - cpu[0];
        }
        std::printf("%-15s %6d %8.1f %7.1f %7.1f %6d %10.3f %8.3f\n", kind.name, kind.pauseMs,
                    sum / n, least, most, kind.floorMs, runCpu / n,
                    (ms(CLOCK_PROCESS_CPUTIME_ID) - processCpu) / n);
    }
    if (peer.received().size() != 4 * n * 8)
        qFatal("the peer did not see all %d requests", 4 * n);
}
