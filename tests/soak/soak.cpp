// Soak of the polling cycle under all six simulator faults while a simulated user changes the four
// parameters. Usage: soak [transactions (60)] [seed (1)]; scripts/soak.sh sums "soak-figures:".
#include "mainwindow.h"
#include "modbusparameters.h"
#include "modbusprotocol.h"
#include "simulatorserver.h"

#include <QtWidgets>

#include <mutex>

#include <unistd.h>

using namespace ModbusProtocol;

namespace {

// The editors in the window's write order, and the trace right before it starts each write.
const char *const editors[] = { "spinBox_address", "comboBox_parity", "comboBox_stopBits",
                                "comboBox_baudRate" };
const QStringList writeTraces =
    QStringList { "address", "parity", "stop bits", "baudrate" }.replaceInStrings(
        QRegularExpression("^"), "mbThreadFinished(): write ");
const int registers[] = { addressRegister, parityRegister, stopBitsRegister, baudRateRegister };
const ModbusParameters::CodedParameter &(*const coded[])() = { nullptr, ModbusParameters::parity,
                                                               ModbusParameters::stopBits,
                                                               ModbusParameters::baudRate };
// Start to start: a pause of at most 1 s, 100 ms of write wait and six 50 ms receive passes.
constexpr qint64 boundMs = 1000 + 100 + 6 * 50, slackMs = 1000;
// Sanitizers' allocators grow by design: LeakSanitizer, not resident memory, finds leaks there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool checkMemory = false;
#else
constexpr bool checkMemory = true;
#endif

std::recursive_mutex mutex; // for all below; the window's trace re-enters while a tick holds it
QElapsedTimer runTime;
int transactions = 0, answers = 0, faulted = 0, warnings = 0, changes = 0, badWrites = 0;
qint64 lastStartMs = 0, worstOverMs = -boundMs; // start to start, beyond the bound
bool pending[4] = {};                           // the user's view of the window's flags
QByteArray lastSet[4];   // what the user put into each editor, as a write frame
QByteArrayList expected; // write frames as started, until the simulator takes them off the line

void onMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    if (type != QtDebugMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        // The offscreen platform's remarks about window-manager features are not ours.
        warnings += !text.startsWith(QLatin1String("This plugin does not support"));
    } else if (text == QLatin1String("run(): start")) {
        worstOverMs = qMax(worstOverMs, runTime.elapsed() - lastStartMs - boundMs);
        lastStartMs = runTime.elapsed();
        ++transactions;
    } else if (const int p = writeTraces.indexOf(text); p >= 0) {
        expected << (pending[p] ? lastSet[p] : QByteArray()); // empty: nobody caused it
        pending[p] = false;
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
            badWrites += expected.isEmpty() || expected.takeFirst() != frame; // both in line order
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
    serverSettings.faults = { 0.025, 0.025, 0.025, 0.025, 0.025, 0.025 }; // of each kind
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
        auto *startStop = window.findChild<QPushButton *>(QStringLiteral("pushButton_startStop"));
        window.show();
        window.findChild<QComboBox *>(QStringLiteral("comboBox_port"))
            ->setEditText(server.portPath());
        runTime.start();
        startStop->click();

        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, &window, [&] {
            std::lock_guard<std::recursive_mutex> lock(mutex);
            // The user: a change to an enabled editor every 2 s on average, at times twice to one
            // editor before its write starts; none near the end, so that the writes drain.
            const int p = int(user.bounded(4));
            auto *editor = window.findChild<QWidget *>(editors[p]);
            auto *spinBox = qobject_cast<QSpinBox *>(editor);
            auto *box = qobject_cast<QComboBox *>(editor);
            if (user.bounded(40) == 0 && editor->isEnabled() && transactions < count - 4) {
                if (spinBox)
                    spinBox->setValue((spinBox->value() + int(user.bounded(246))) % 247 + 1);
                else
                    box->setCurrentIndex((box->currentIndex() + 1) % box->count());
                ++changes;
                pending[p] = true;
                lastSet[p] = writeSingleRegisterFrame(
                    registers[p],
                    spinBox ? spinBox->value()
                            : ModbusParameters::texts(coded[p]()).indexOf(box->currentText()));
            }
            if (rssWarm < 0 && transactions >= qMax(count / 10, qMin(20, count / 3)))
                rssWarm = residentKb();
            if (rssEnd < 0 && transactions >= count) {
                rssEnd = residentKb();
                startStop->click(); // Disconnect
            }
            stalled = runTime.elapsed() - lastStartMs > 3 * (boundMs + slackMs)
                || transactions > count + 5;
            // Idle again, and the simulator has taken every write that the window started.
            if (stalled || (rssEnd >= 0 && startStop->text() == "&Connect" && expected.isEmpty()))
                window.close(); // the last window: the loop ends, as when the user closes the tool
        });
        ticker.start(50);
        stalled |= QApplication::exec() != 0;
        window.cleanUp();
    }
    server.stop();

    // Changes never written, writes that differ from the user's value or that nobody caused.
    badWrites += int(std::count(pending, pending + 4, true) + expected.size());
    const bool failed = stalled || worstOverMs > slackMs || badWrites || rssWarm < 0
        || (checkMemory && rssEnd - rssWarm > 2048) || !faulted || warnings;
    std::printf("soak-figures: seed=%u transactions=%d user-changes=%d bad-writes=%d "
                "answers=%d answers-faulted=%d worst-gap-over-bound-ms=%lld stalled=%d "
                "warnings=%d rss-warm-kb=%lld rss-end-kb=%lld\nsoak: %s\n",
                seed, transactions, changes, badWrites, answers, faulted, worstOverMs, stalled,
                warnings, rssWarm, rssEnd, failed ? "FAILED" : "passed");
    return failed ? 1 : 0;
}
