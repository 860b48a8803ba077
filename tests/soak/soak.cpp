// Soak of the polling cycle: the real window and master thread poll an in-process simulator that
// spoils about 14 % of its answers with all six faults, while a simulated user changes the four
// parameters. Fails when the cycle stalls, anything warns, memory grows after warm-up, or the
// writes reaching the simulator are not one per pending change, in order, with the user's value.
// Usage: soak [transactions (60)] [seed (1)]; scripts/soak.sh adds up the "soak-figures:" lines.
#include "mainwindow.h"
#include "modbusprotocol.h"
#include "simulatorserver.h"

#include <QtWidgets>

#include <deque>
#include <mutex>

#include <unistd.h>

using namespace ModbusProtocol;

namespace {

const struct
{
    const char *objectName, *writeTrace; // the window traces a write right before starting it
    int registerNumber;
    const QStringList &(*texts)();
} editors[] = {
    { "spinBox_address", "mbThreadFinished(): write address", addressRegister, nullptr },
    { "comboBox_parity", "mbThreadFinished(): write parity", parityRegister, parityTexts },
    { "comboBox_stopBits", "mbThreadFinished(): write stop bits", stopBitsRegister, stopBitsTexts },
    { "comboBox_baudRate", "mbThreadFinished(): write baudrate", baudRateRegister, baudRateTexts },
};
// After its pause a transaction takes at most 100 ms of write wait and six 50 ms receive passes.
constexpr qint64 tailMs = 100 + 6 * 50, slackMs = 1000;
// AddressSanitizer's quarantine and ThreadSanitizer's shadow memory grow by design, so resident
// memory says nothing about our leaks in those builds (LeakSanitizer covers them instead).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool checkMemory = false;
#else
constexpr bool checkMemory = true;
#endif

std::recursive_mutex mutex; // for all below; the window's trace re-enters while a tick holds it
QElapsedTimer runTime;
int transactions = 0, lateGaps = 0, answers = 0, faulted = 0, warnings = 0;
int changes = 0, writesStarted = 0, mismatched = 0;
qint64 pauseMs = 1000, lastStartMs = 0, worstOverMs = -1000000;
bool pending[4] = {};                      // the user's view of the window's flags
QByteArray lastSet[4];                     // what the user put into each editor, as a write frame
std::deque<QByteArray> expected, received; // write frames as started and as taken off the line

void onMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (type != QtDebugMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        // The offscreen platform's remarks about window-manager features are not ours.
        warnings += !text.startsWith(QLatin1String("This plugin does not support"));
    } else if (text == QLatin1String("run(): start")) {
        // Start to next start (the first from Connect): the last one's rest plus this pause.
        const qint64 now = runTime.elapsed(), overMs = now - lastStartMs - tailMs - pauseMs;
        worstOverMs = qMax(worstOverMs, overMs);
        lateGaps += overMs > slackMs;
        lastStartMs = now;
        ++transactions;
    } else if (text.startsWith(QLatin1String("mbThreadFinished(): read "))) {
        pauseMs = 1000;
    } else {
        for (int p = 0; p < 4; ++p) {
            if (text != QLatin1String(editors[p].writeTrace))
                continue;
            ++writesStarted;
            expected.push_back(pending[p] ? lastSet[p]
                                          : QByteArray()); // empty: no change caused it
            pending[p] = false;
            if (p != 3) // a baud-rate write keeps the pause of the operation before it
                pauseMs = 0;
        }
    }
}

void onSimulatorTrace(const QString &line)
{
    const QString text = line.trimmed().section(QLatin1Char(' '), 1);
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (text.startsWith(QLatin1String("rx "))) {
        const QByteArray frame =
            QByteArray::fromHex(text.mid(3).section(QLatin1Char('('), 0, 0).toLatin1());
        if (frame.size() == 8 && quint8(frame.at(1)) == writeSingleRegisterFunction)
            received.push_back(frame);
    } else if (text.startsWith(QLatin1String("tx "))) {
        ++answers;
        faulted += text.contains(QLatin1Char('[')); // "[bad CRC, split]" after the bytes
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets); // no OpenGL under X
    QApplication application(argc, argv);
    const int count = qMax(10, application.arguments().value(1, QStringLiteral("60")).toInt());
    const quint32 seed = application.arguments().value(2, QStringLiteral("1")).toUInt();

    ServerSettings serverSettings;
    serverSettings.trace = true;
    serverSettings.traceOutput = onSimulatorTrace;
    serverSettings.seed = seed * 7919u + 1u;
    FaultSettings &f = serverSettings.faults;
    f.noAnswer = f.badCrc = f.exception = f.split = f.delay = f.garbage = 0.025;
    SimulatorServer server(TransmitterSettings(), serverSettings);
    if (!server.start())
        return 2;

    qInstallMessageHandler(onMessage);
    QRandomGenerator user(seed);
    const auto residentKb = [] {
        QFile statm(QStringLiteral("/proc/self/statm"));
        statm.open(QIODevice::ReadOnly);
        return statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE) / 1024;
    };
    qint64 rssWarm = -1, rssEnd = -1;
    bool stalled = false;
    {
        // As main() does: window, show, event loop, cleanUp, destroy.
        MainWindow window;
        QWidget *widgets[4];
        for (int p = 0; p < 4; ++p)
            widgets[p] = window.findChild<QWidget *>(QLatin1String(editors[p].objectName));
        auto *startStop = window.findChild<QPushButton *>(QStringLiteral("pushButton_startStop"));
        window.show();
        window.findChild<QComboBox *>(QStringLiteral("comboBox_port"))
            ->setEditText(server.portPath());
        runTime.start();
        startStop->click();

        bool disconnected = false;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, &window, [&] {
            std::lock_guard<std::recursive_mutex> lock(mutex);
            // The user: a change to an enabled editor every 2 s on average, at times twice to one
            // editor before its write starts; none near the end, so that the writes drain.
            const int p = int(user.bounded(4));
            auto *spinBox = qobject_cast<QSpinBox *>(widgets[p]);
            auto *box = qobject_cast<QComboBox *>(widgets[p]);
            if (user.bounded(40) == 0 && widgets[p]->isEnabled() && transactions < count - 4) {
                if (spinBox)
                    spinBox->setValue((spinBox->value() + int(user.bounded(246))) % 247 + 1);
                else
                    box->setCurrentIndex((box->currentIndex() + 1) % box->count());
                ++changes;
                pending[p] = true;
                lastSet[p] = writeSingleRegisterFrame(
                    editors[p].registerNumber,
                    spinBox ? spinBox->value() : editors[p].texts().indexOf(box->currentText()));
            }
            // Both queues are in line order; matched pairs go, so a long run keeps no record.
            for (; !expected.empty() && !received.empty();
                 expected.pop_front(), received.pop_front())
                mismatched += expected.front() != received.front();
            if (rssWarm < 0 && transactions >= qMax(count / 10, qMin(20, count / 3)))
                rssWarm = residentKb();
            if (!disconnected && transactions >= count) {
                rssEnd = residentKb();
                disconnected = true;
                startStop->click();
            }
            stalled = runTime.elapsed() - lastStartMs > 3 * (1000 + tailMs + slackMs)
                || transactions > count + 5;
            // Idle again, and the simulator has taken every write that the window started.
            if (stalled
                || (disconnected && startStop->text() == QLatin1String("&Connect")
                    && expected.empty())) {
                ticker.stop();
                window.close(); // the last window: the loop ends, as when the user closes the tool
            }
        });
        ticker.start(50);
        stalled |= QApplication::exec() != 0;
        window.cleanUp();
    }
    server.stop();
    qInstallMessageHandler(nullptr);

    const int unwritten = int(std::count(pending, pending + 4, true));
    const int unmatched = int(expected.size() + received.size());
    const bool failed = stalled || lateGaps || unwritten || mismatched || unmatched || rssWarm < 0
        || (checkMemory && rssEnd - rssWarm > 2048) || !faulted || warnings;
    std::printf(
        "soak-figures: seed=%u transactions=%d user-changes=%d writes=%d unwritten-changes=%d "
        "mismatched-writes=%d unmatched-writes=%d answers=%d "
        "answers-faulted=%d worst-gap-over-bound-ms=%lld late-gaps=%d stalled=%d "
        "warnings=%d rss-warm-kb=%lld rss-end-kb=%lld\nsoak: %s\n",
        seed, transactions, changes, writesStarted, unwritten, mismatched, unmatched, answers,
        faulted, worstOverMs, lateGaps, stalled, warnings, rssWarm, rssEnd,
        failed ? "FAILED" : "passed");
    return failed ? 1 : 0;
}
