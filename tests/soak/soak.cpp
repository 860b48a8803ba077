// Soak of the polling cycle: the real window and master thread poll an in-process simulator that
// spoils a share of its answers with every fault it knows, while a simulated user changes the
// four parameters at random moments. Checks that the cycle never stalls, that every change
// reaches the transmitter as exactly one write with the editor's value at the write's start,
// that no other write reaches it, and that resident memory stays flat after warm-up.
//
// Usage: soak [--transactions N] [--seed S] [--slack-ms MS] [--fault-each P]
// Prints one "soak-figures: key=value ..." line (scripts/soak.sh adds these up over processes)
// and exits non-zero when a check fails. The defaults are the short run that CTest runs.
#include "mainwindow.h"
#include "modbusprotocol.h"
#include "simulatorserver.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <deque>
#include <map>
#include <mutex>

using namespace ModbusProtocol;

namespace {

enum Parameter { Address, Parity, StopBits, BaudRate, ParameterCount };

struct ParameterInfo
{
    const char *name;
    const char *writeTrace; // the window's trace line right before it starts the write
    int registerNumber;
    const char *editor;
};

const ParameterInfo parameters[ParameterCount] = {
    { "address", "mbThreadFinished(): write address", addressRegister, "spinBox_address" },
    { "parity", "mbThreadFinished(): write parity", parityRegister, "comboBox_parity" },
    { "stop-bits", "mbThreadFinished(): write stop bits", stopBitsRegister, "comboBox_stopBits" },
    { "baud-rate", "mbThreadFinished(): write baudrate", baudRateRegister, "comboBox_baudRate" },
};

// The simulator's names for its faults, as its trace shows them.
const char *const faultKinds[] = { "no answer", "bad CRC", "exception", "split", "delay", "garbage" };

// A transaction lasts its pause, up to 100 ms of write wait and six receive passes of up to
// 50 ms; the port set-up and the GUI's turn fall into the slack.
constexpr qint64 transactionTailMs = 100 + 6 * 50;

qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

struct Options
{
    int transactions = 60;
    quint32 seed = 1;
    qint64 slackMs = 1000;
    double faultEach = 0.025; // six kinds drawn independently: about 14 % of answers spoilt
};

class Soak
{
public:
    explicit Soak(const Options &options) : options(options), user(options.seed) { }

    int run();
    void message(QtMsgType type, const QString &text); // any thread
    void simulatorTrace(const QString &line);           // the simulator's thread

private:
    void guiMessage(const QString &text);
    void act();
    void changeEditor(Parameter parameter);
    QByteArray expectedWrite(Parameter parameter) const;
    void matchWrites();
    void tick();
    void fail(const QString &why);
    void finish();
    int report();

    const Options options;
    QRandomGenerator user;
    MainWindow *window = nullptr;
    QSpinBox *addressEditor = nullptr;
    QComboBox *selectors[ParameterCount] = {};
    QPushButton *startStop = nullptr;
    QElapsedTimer clock;

    // Touched by the worker, the simulator's and the GUI thread.
    std::mutex mutex;
    int transactions = 0;
    int requestsSent = 0;
    qint64 nextDelayMs = 1000; // the pause of the transaction that the GUI started last
    qint64 lastStartMs = -1;
    qint64 maxGapMs = 0;
    qint64 maxGapBoundMs = 0; // the bound of the gap that came closest to its own bound
    qint64 worstMarginMs = -1000000; // gap minus bound, largest seen
    int lateGaps = 0;
    std::map<int, int> answerLengths;
    int crcErrors = 0;
    int portErrors = 0;
    int framesTraced = 0;
    int answersSent = 0;
    int answersFaulted = 0;
    int droppedFragments = 0;
    std::map<QString, int> faults;
    std::deque<QByteArray> receivedWrites;
    int writesReceived[ParameterCount] = {};
    int otherWrites = 0;
    QStringList warnings;

    // GUI thread only.
    bool userActive = true;
    bool disconnected = false;
    bool finished = false;
    int changes[ParameterCount] = {};
    int batches[ParameterCount] = {};   // changes that set a flag that was clear
    int writesStarted[ParameterCount] = {};
    bool pending[ParameterCount] = {};  // the user's view of the window's flags
    QByteArray lastSet[ParameterCount]; // what the user put into each editor, as a write frame
    int unexplainedWrites = 0;
    int staleEditors = 0; // an editor no longer held what the user put into it
    int skippedWrites = 0; // a blank selector at a write's start
    std::deque<QByteArray> expectedWrites;
    int mismatchedWrites = 0;
    qint64 rssWarm = -1;
    qint64 rssEnd = -1;
    int warmAt = 0;
    QStringList failures;
};

Soak *soak = nullptr;

void handleMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    soak->message(type, text);
}

void Soak::message(QtMsgType type, const QString &text)
{
    if (type != QtDebugMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
        std::lock_guard<std::mutex> lock(mutex);
        // The offscreen platform says it cannot do some window-manager things; nothing of ours.
        if (!text.startsWith(QLatin1String("This plugin does not support")))
            warnings << text;
        return;
    }
    if (QThread::currentThread() == qApp->thread()) {
        guiMessage(text);
        return;
    }
    static const QRegularExpression bytesRead(QStringLiteral("^run\\(\\):\\s+(\\d+)\\s+bytes read$"));
    std::lock_guard<std::mutex> lock(mutex);
    if (text == QLatin1String("run(): start")) {
        const qint64 now = clock.elapsed();
        ++transactions;
        if (lastStartMs >= 0) {
            // Start to next start: the rest of the last transaction plus this one's pause.
            const qint64 gap = now - lastStartMs;
            const qint64 bound = transactionTailMs + nextDelayMs;
            maxGapMs = qMax(maxGapMs, gap);
            if (gap - bound > worstMarginMs) {
                worstMarginMs = gap - bound;
                maxGapBoundMs = bound;
            }
            if (gap > bound + options.slackMs)
                ++lateGaps;
        }
        lastStartMs = now;
    } else if (text == QLatin1String("run(): sending request")) {
        ++requestsSent;
    } else if (text == QLatin1String("run(): CRC error")) {
        ++crcErrors;
    } else if (text.endsWith(QLatin1String(", exit"))) {
        ++portErrors;
    } else {
        const QRegularExpressionMatch match = bytesRead.match(text);
        if (match.hasMatch())
            ++answerLengths[match.captured(1).toInt()];
    }
}

// Runs inside the window's own trace call, in the GUI thread, right before it starts a
// transaction: the editors hold exactly what the window is reading for the write.
void Soak::guiMessage(const QString &text)
{
    for (int p = 0; p < ParameterCount; ++p) {
        if (text != QLatin1String(parameters[p].writeTrace))
            continue;
        if (!pending[p])
            ++unexplainedWrites;
        pending[p] = false;
        ++writesStarted[p];
        const QByteArray frame = expectedWrite(Parameter(p));
        if (frame.isEmpty()) {
            ++skippedWrites;
        } else {
            if (frame != lastSet[p])
                ++staleEditors;
            expectedWrites.push_back(frame);
        }
        std::lock_guard<std::mutex> lock(mutex);
        // Parity, stop bits and address writes go without a pause; the baud-rate write keeps
        // the pause of the operation before it.
        if (p != BaudRate)
            nextDelayMs = 0;
        return;
    }
    if (text.startsWith(QLatin1String("mbThreadFinished(): read "))) {
        std::lock_guard<std::mutex> lock(mutex);
        nextDelayMs = 1000;
    }
}

QByteArray Soak::expectedWrite(Parameter parameter) const
{
    if (parameter == Address)
        return writeSingleRegisterFrame(addressRegister, addressEditor->value());
    const QStringList &table = parameter == Parity ? parityTexts()
        : parameter == StopBits                    ? stopBitsTexts()
                                                   : baudRateTexts();
    const int code = table.indexOf(selectors[parameter]->currentText());
    return code < 0 ? QByteArray() : writeSingleRegisterFrame(parameters[parameter].registerNumber, code);
}

void Soak::simulatorTrace(const QString &line)
{
    const QString text = line.trimmed().section(QLatin1Char(' '), 1);
    std::lock_guard<std::mutex> lock(mutex);
    if (text.startsWith(QLatin1String("rx "))) {
        if (text.contains(QLatin1String("(dropped"))) {
            ++droppedFragments;
            return;
        }
        ++framesTraced;
        const QByteArray frame = QByteArray::fromHex(text.mid(3).section(QLatin1Char('('), 0, 0).toLatin1());
        if (frame.size() == 8 && quint8(frame.at(1)) == writeSingleRegisterFunction) {
            receivedWrites.push_back(frame);
            const int number = quint8(frame.at(2)) << 8 | quint8(frame.at(3));
            bool known = false;
            for (int p = 0; p < ParameterCount; ++p) {
                if (parameters[p].registerNumber == number) {
                    ++writesReceived[p];
                    known = true;
                }
            }
            if (!known)
                ++otherWrites;
        }
    } else if (text.startsWith(QLatin1String("tx "))) {
        ++answersSent;
        static const QRegularExpression faultList(QStringLiteral("\\[([^\\]]*)\\]"));
        const QRegularExpressionMatch match = faultList.match(text);
        if (match.hasMatch()) {
            ++answersFaulted;
            for (const QString &kind : match.captured(1).split(QStringLiteral(", ")))
                ++faults[kind];
        }
    }
}

// Compares the writes that the simulator took off the line with those the window started, in
// order, and forgets the matched ones so that a long run keeps no growing record.
void Soak::matchWrites()
{
    std::lock_guard<std::mutex> lock(mutex);
    while (!expectedWrites.empty() && !receivedWrites.empty()) {
        if (expectedWrites.front() != receivedWrites.front()) {
            ++mismatchedWrites;
            if (mismatchedWrites <= 5)
                std::fprintf(stderr, "write mismatch: window started %s, simulator got %s\n",
                             expectedWrites.front().toHex(' ').constData(),
                             receivedWrites.front().toHex(' ').constData());
        }
        expectedWrites.pop_front();
        receivedWrites.pop_front();
    }
}

// The simulated user: one to three changes at a time, only in editors that the firmware report
// has enabled, sometimes the same editor twice before its write starts.
void Soak::act()
{
    if (!userActive || finished)
        return;
    for (int n = 1 + int(user.bounded(3)); n > 0; --n)
        changeEditor(Parameter(user.bounded(int(ParameterCount))));
    QTimer::singleShot(500 + int(user.bounded(7000)), window, [this] { act(); });
}

void Soak::changeEditor(Parameter parameter)
{
    if (parameter == Address) {
        if (!addressEditor->isEnabled())
            return;
        const int value = 1 + int(user.bounded(247));
        if (value == addressEditor->value())
            return;
        addressEditor->setValue(value);
    } else {
        QComboBox *selector = selectors[parameter];
        if (!selector->isEnabled() || selector->count() < 2)
            return;
        int index = int(user.bounded(selector->count()));
        if (index == selector->currentIndex())
            index = (index + 1) % selector->count();
        selector->setCurrentIndex(index);
    }
    ++changes[parameter];
    if (!pending[parameter])
        ++batches[parameter];
    pending[parameter] = true;
    lastSet[parameter] = expectedWrite(parameter);
}

void Soak::tick()
{
    if (finished)
        return;
    matchWrites();
    int count;
    qint64 sinceStart;
    int sent, traced;
    {
        std::lock_guard<std::mutex> lock(mutex);
        count = transactions;
        sinceStart = lastStartMs < 0 ? 0 : clock.elapsed() - lastStartMs;
        sent = requestsSent;
        traced = framesTraced;
    }
    if (rssWarm < 0 && count >= warmAt)
        rssWarm = residentKb();
    // The user stops a little before the end, so that the writes still pending drain while polling.
    if (count >= options.transactions - qMax(4, options.transactions / 20))
        userActive = false;
    if (!disconnected && count >= options.transactions) {
        rssEnd = residentKb();
        disconnected = true;
        startStop->click();
    }
    if (!disconnected && sinceStart > 3 * (1000 + transactionTailMs + options.slackMs)) {
        fail(QStringLiteral("the cycle stalled: no transaction for %1 ms").arg(sinceStart));
        finish();
        return;
    }
    // Idle again, and the simulator has traced every request that went out.
    if (disconnected && startStop->text() == QLatin1String("&Connect") && traced >= sent)
        finish();
}

void Soak::fail(const QString &why)
{
    failures << why;
}

void Soak::finish()
{
    if (finished)
        return;
    finished = true;
    window->close(); // the last window: the event loop ends, as when the user closes the tool
}

int Soak::run()
{
    QTemporaryDir directory;
    ServerSettings serverSettings;
    serverSettings.linkPath = directory.filePath(QStringLiteral("transmitter"));
    serverSettings.trace = true;
    serverSettings.traceOutput = [this](const QString &line) { simulatorTrace(line); };
    serverSettings.seed = options.seed * 7919u + 1u;
    FaultSettings &f = serverSettings.faults;
    f.noAnswer = f.badCrc = f.exception = f.split = f.delay = f.garbage = options.faultEach;
    TransmitterSettings transmitterSettings;
    transmitterSettings.seed = options.seed;
    SimulatorServer server(transmitterSettings, serverSettings);
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "soak: simulator: %s\n", qPrintable(error));
        return 2;
    }

    warmAt = qMax(options.transactions / 10, qMin(20, options.transactions / 3));
    clock.start();
    int exitCode;
    {
        // As main() does: window, show, event loop, cleanUp, destroy.
        MainWindow mainWindow;
        window = &mainWindow;
        addressEditor = mainWindow.findChild<QSpinBox *>(QLatin1String(parameters[Address].editor));
        for (int p = Parity; p < ParameterCount; ++p)
            selectors[p] = mainWindow.findChild<QComboBox *>(QLatin1String(parameters[p].editor));
        startStop = mainWindow.findChild<QPushButton *>(QStringLiteral("pushButton_startStop"));
        QComboBox *port = mainWindow.findChild<QComboBox *>(QStringLiteral("comboBox_port"));
        mainWindow.show();
        port->setEditText(serverSettings.linkPath);
        startStop->click();

        QTimer::singleShot(500, &mainWindow, [this] { act(); });
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, &mainWindow, [this] { tick(); });
        ticker.start(50);
        QTimer::singleShot(int(qMin<qint64>(options.transactions * 3000LL + 60000, INT_MAX)),
                           &mainWindow, [this] {
                               fail(QStringLiteral("the run did not end in time"));
                               finish();
                           });
        exitCode = QApplication::exec();
        ticker.stop();
        mainWindow.cleanUp();
        window = nullptr;
    }
    server.stop();
    matchWrites();
    if (exitCode != 0)
        fail(QStringLiteral("the event loop returned %1").arg(exitCode));
    return report();
}

int Soak::report()
{
    std::lock_guard<std::mutex> lock(mutex);
    int requested = 0, received = 0, started = 0, userChanges = 0;
    for (int p = 0; p < ParameterCount; ++p) {
        requested += batches[p];
        received += writesReceived[p];
        started += writesStarted[p];
        userChanges += changes[p];
        if (batches[p] != writesStarted[p] || writesStarted[p] != writesReceived[p])
            fail(QStringLiteral("%1: %2 pending changes, %3 writes started, %4 received")
                     .arg(QLatin1String(parameters[p].name))
                     .arg(batches[p])
                     .arg(writesStarted[p])
                     .arg(writesReceived[p]));
    }
    if (transactions < options.transactions)
        fail(QStringLiteral("only %1 transactions").arg(transactions));
    if (lateGaps > 0)
        fail(QStringLiteral("%1 transactions followed their predecessor late").arg(lateGaps));
    if (unexplainedWrites || otherWrites)
        fail(QStringLiteral("%1 writes that no change caused, %2 to other registers")
                 .arg(unexplainedWrites)
                 .arg(otherWrites));
    if (mismatchedWrites || !expectedWrites.empty() || !receivedWrites.empty())
        fail(QStringLiteral("%1 writes differ, %2 started but never received, %3 received but never started")
                 .arg(mismatchedWrites)
                 .arg(expectedWrites.size())
                 .arg(receivedWrites.size()));
    if (staleEditors || skippedWrites)
        fail(QStringLiteral("%1 editors lost the user's value, %2 writes found a blank selector")
                 .arg(staleEditors)
                 .arg(skippedWrites));
    if (portErrors)
        fail(QStringLiteral("%1 port set-up failures").arg(portErrors));
    if (requestsSent != framesTraced || droppedFragments)
        fail(QStringLiteral("%1 requests sent, %2 frames taken off the line, %3 fragments dropped")
                 .arg(requestsSent)
                 .arg(framesTraced)
                 .arg(droppedFragments));
    if (!warnings.isEmpty())
        fail(QStringLiteral("%1 warnings, first: %2").arg(warnings.size()).arg(warnings.first()));
    constexpr qint64 rssToleranceKb = 2048;
    if (rssWarm < 0 || rssEnd < 0 || rssEnd - rssWarm > rssToleranceKb)
        fail(QStringLiteral("resident memory grew from %1 kB to %2 kB").arg(rssWarm).arg(rssEnd));
    if (answersFaulted == 0)
        fail(QStringLiteral("no answer was spoilt"));

    int reads = 0;
    for (int p = 0; p < ParameterCount; ++p)
        reads -= writesStarted[p];
    reads += transactions;
    const auto count = [this](int length) {
        const auto it = answerLengths.find(length);
        return it == answerLengths.end() ? 0 : it->second;
    };
    int otherLengths = 0;
    for (const auto &entry : answerLengths) {
        if (entry.first != 0 && entry.first != 8 && entry.first != 37 && entry.first != 47)
            otherLengths += entry.second;
    }
    QString figures = QStringLiteral("soak-figures: seed=%1 transactions=%2 reads=%3 writes-started=%4")
                          .arg(options.seed)
                          .arg(transactions)
                          .arg(reads)
                          .arg(started);
    figures += QStringLiteral(" user-changes=%1 writes-requested=%2 writes-received=%3")
                   .arg(userChanges)
                   .arg(requested)
                   .arg(received);
    for (int p = 0; p < ParameterCount; ++p)
        figures += QStringLiteral(" writes-%1=%2").arg(QLatin1String(parameters[p].name)).arg(writesReceived[p]);
    figures += QStringLiteral(" unexplained-writes=%1 mismatched-writes=%2")
                   .arg(unexplainedWrites + otherWrites)
                   .arg(mismatchedWrites);
    figures += QStringLiteral(" answers=%1 answers-faulted=%2 faulted-percent=%3")
                   .arg(answersSent)
                   .arg(answersFaulted)
                   .arg(answersSent ? 100.0 * answersFaulted / answersSent : 0.0, 0, 'f', 1);
    for (const char *kind : faultKinds) {
        const auto it = faults.find(QLatin1String(kind));
        figures += QStringLiteral(" fault-%1=%2")
                       .arg(QString::fromLatin1(kind).toLower().replace(QLatin1Char(' '), QLatin1Char('-')))
                       .arg(it == faults.end() ? 0 : it->second);
    }
    figures += QStringLiteral(" seen-47=%1 seen-37=%2 seen-8=%3 seen-timeout=%4 seen-crc-error=%5 seen-dropped=%6")
                   .arg(count(47))
                   .arg(count(37))
                   .arg(count(8))
                   .arg(count(0))
                   .arg(crcErrors)
                   .arg(otherLengths);
    figures += QStringLiteral(" max-gap-ms=%1 worst-gap-over-bound-ms=%2 bound-of-that-gap-ms=%3 slack-ms=%4 late-gaps=%5")
                   .arg(maxGapMs)
                   .arg(worstMarginMs)
                   .arg(maxGapBoundMs)
                   .arg(options.slackMs)
                   .arg(lateGaps);
    figures += QStringLiteral(" rss-warm-kb=%1 rss-end-kb=%2 warm-after=%3 failures=%4")
                   .arg(rssWarm)
                   .arg(rssEnd)
                   .arg(warmAt)
                   .arg(failures.size());
    std::printf("%s\n", qPrintable(figures));
    for (const QString &failure : qAsConst(failures))
        std::printf("soak: FAILED: %s\n", qPrintable(failure));
    std::printf("soak: %d passed, %d failed\n", failures.isEmpty() ? 1 : 0, failures.isEmpty() ? 0 : 1);
    std::fflush(stdout);
    return failures.isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_ForceRasterWidgets);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption transactions(QStringLiteral("transactions"), QStringLiteral("Transactions to run."), QStringLiteral("n"), QStringLiteral("60"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the user, the faults and the drift."), QStringLiteral("s"), QStringLiteral("1"));
    const QCommandLineOption slack(QStringLiteral("slack-ms"), QStringLiteral("Allowance over a transaction's bound."), QStringLiteral("ms"), QStringLiteral("1000"));
    const QCommandLineOption faultEach(QStringLiteral("fault-each"), QStringLiteral("Probability of each of the six faults."), QStringLiteral("p"), QStringLiteral("0.025"));
    parser.addOptions({ transactions, seed, slack, faultEach });
    parser.process(application);

    Options options;
    options.transactions = qMax(10, parser.value(transactions).toInt());
    options.seed = parser.value(seed).toUInt();
    options.slackMs = parser.value(slack).toLongLong();
    options.faultEach = parser.value(faultEach).toDouble();

    Soak run(options);
    soak = &run;
    qInstallMessageHandler(handleMessage);
    const int result = run.run();
    qInstallMessageHandler(nullptr);
    return result;
}
