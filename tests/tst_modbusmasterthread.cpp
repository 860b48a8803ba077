#include "modbusmasterthread.h"
#include "ptypeer.h"

#include <QSerialPort>
#include <QtTest>

#include <functional>

using M = ModbusMasterThread;
Q_DECLARE_METATYPE(PtyPeer::Reply)

// Sentinels: a pause and a frame that nothing set.
constexpr int untouched = 7;
static const QByteArray unset = "AB CD";

// Signals and trace lines in the order run() produced them, all queued to the GUI thread; each
// check takes them all.
static QStringList events;

static QByteArray withCrc(const QByteArray &hex)
{
    const QByteArray frame = QByteArray::fromHex(hex);
    return frame + char(modbusCrc16(frame) & 0xFF) + char(modbusCrc16(frame) >> 8);
}

// Firmware "X1.7", address 17, housing 3; unused registers hold 5A5A, so a wrong one shows.
static QByteArray persistentAnswer(const char *codes = "0005 0002 0001", const char *date = "1c71")
{
    return withCrc(QByteArray("ff0320") + codes + "5a5a 5a5a 0011 5a5a 5a5a 5a5a 5831 2e37" + date
                   + "0003 5a5a 5a5a 5a5a");
}

static const QString persistentSignals = "firmware(X1.7, 2014, 3, 17)|housing(3)|baudRate(19200)|"
                                         "parity(Odd)|stopBits(2)|address(17)|";

static const char *const kinds[] = { "no answer",         "volatile block", "persistent block",
                                     "write echo",        "CRC error",      "exception",
                                     "unexpected length", "port failure" };

// The trace lines of a transaction around what it emitted, and its report of the whole.
static QString transcript(int bytesRead, const QString &emitted, const QString &judged)
{
    const QString report = "transaction(" + judged + ")|finished";
    if (bytesRead < 0) // the port did not open
        return "run(): start|" + emitted + "run(): open error, exit|" + report;
    return QString("run(): start|run(): sending request|run(): reading response|"
                   "run():  %1  bytes read|%2run(): end|%3")
        .arg(QString::number(bytesRead), emitted, report);
}

class tst_ModbusMasterThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Every message is a trace line of run(); a stray warning also fails a comparison.
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
            QTimer::singleShot(0, qApp, [message] { events << message; }); // queued to qApp
        });
        // Every signal as "name(args)", queued in emission order as the window gets them.
        auto log = [this](auto... signal) {
            (connect(&thread, signal, this,
                     [signal](auto... args) {
                         events << QMetaMethod::fromSignal(signal).name() + '('
                                 + QStringList { QVariant(args).toString()... }.join(", ") + ')';
                     }),
             ...);
        };
        log(&M::info, &M::error, &M::temperature, &M::temperatureAlarm, &M::humidity,
            &M::humidityAlarm, &M::serialNumber, &M::serialNumberTr, &M::dewPointTemperature,
            &M::enthalpy, &M::mixingRatio, &M::absoluteHumidity, &M::wetBulbTemperatur, &M::hxAlarm,
            &M::address, &M::parity, &M::stopBits, &M::baudRate, &M::firmware, &M::housing);
        connect(&thread, &M::transaction, this, [this](const ModbusTransaction &t) {
            last = t;
            events << QString("transaction(%1 > %2: %3)")
                          .arg(t.request.toHex(), t.answer.toHex(), kinds[int(t.judgement.kind)]);
        });
        connect(&thread, &QThread::finished, this, [] { events << "finished"; });
    }

    // Each request whole, with its pause and announcement; texts past the frames start nothing.
    void prepare_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("delay");
        auto rows = [](const char *op, int delay, const QStringList &texts, QByteArrayList frames) {
            for (const QString &text : texts)
                QTest::addRow("%s '%s'", op, qPrintable(text))
                    << op << text << (frames.isEmpty() ? unset : frames.takeFirst()) << delay;
        };
        rows("Read persistent", 1000, { "" }, { "FF 03 00 C8 00 10 D0 26" });
        rows("Read volatile", 1000, { "" }, { "FF 03 00 00 00 15 91 DB" });
        rows("Write baud rate", untouched,
             { "600", "1200", "2400", "4800", "9600", "19200", "38400", "57600" },
             { "FF 06 00 C8 00 00 1D EA", "FF 06 00 C8 00 01 DC 2A", "FF 06 00 C8 00 02 9C 2B",
               "FF 06 00 C8 00 03 5D EB", "FF 06 00 C8 00 04 1C 29", "FF 06 00 C8 00 05 DD E9",
               "FF 06 00 C8 00 06 9D E8" });
        rows("Write parity", 0, { "None", "Even", "Odd", "none" },
             { "FF 06 00 C9 00 00 4C 2A", "FF 06 00 C9 00 01 8D EA", "FF 06 00 C9 00 02 CD EB" });
        rows("Write stop bits", 0, { "1", "2", "" },
             { "FF 06 00 CA 00 00 BC 2A", "FF 06 00 CA 00 01 7D EA" });
        rows("Write address", 0, { "1", "17", "247" },
             { "FF 06 00 CD 00 01 CC 2B", "FF 06 00 CD 00 11 CD E7", "FF 06 00 CD 00 F7 4C 6D" });
    }

    void prepare()
    {
        QFETCH(QString, op);
        QFETCH(QString, text);
        QFETCH(QByteArray, frame);
        QFETCH(int, delay);
        const QMap<QString, std::function<void(M &, const QString &)>> operations {
            { "Read persistent", [](M &t, const QString &) { t.readPersistentRegisters(); } },
            { "Read volatile", [](M &t, const QString &) { t.readVolatileRegisters(); } },
            { "Write baud rate", &M::writeBaudRate },
            { "Write parity", &M::writeParity },
            { "Write stop bits", &M::writeStopBits },
            { "Write address", [](M &t, const QString &a) { t.writeAddress(a.toInt()); } }
        };
        thread.setPortName(QString("/dev/absent-%1").arg(QCoreApplication::applicationPid()));
        thread.requestDelay = untouched;
        thread.ModbusRequest = QByteArray::fromHex(unset);
        operations[op](thread, text);
        thread.wait(10000);
        QCoreApplication::processEvents(); // run() queued all before wait() returned
        const QString info = op.startsWith("Write") ? "info(" + op + ": " + text + ")|" : "";
        const QString failed = "error(Can't open " + thread.connection().endpoint.path
            + ", error code 1: no such device)|";
        const QString judged = frame.toLower().replace(" ", "") + " > : port failure";
        QCOMPARE(std::exchange(events, {}).join('|'),
                 frame == unset ? "" : info + transcript(-1, failed, judged));
        QCOMPARE(thread.ModbusRequest.toHex(' ').toUpper(), frame);
        QCOMPARE(thread.requestDelay, delay);
    }

    // The real thread and port against a pseudo-terminal whose far end answers from a script.
    void transaction_data()
    {
        QTest::addColumn<PtyPeer::Reply>("reply");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("minRoundTripMs");
        // The report carries the answer as it came, whatever the judgement made of it.
        auto row = [](const char *name, const PtyPeer::Reply &reply, int bytesRead,
                      const QString &emitted, const char *kind) {
            const QByteArray received = reply.bytes.left(qMax(0, bytesRead)).toHex();
            QTest::newRow(name) << reply
                                << transcript(bytesRead, emitted,
                                              "ff030000001591db > " + received + ": " + kind)
                                << (reply.gapMs * (bytesRead / qMax(1, reply.chunkSize) - 1));
        };
        const QByteArray volatileAnswer = withCrc(
            "ff032a 0000 41ac ffff 0000 4235 0001 e240 0001 fffe ffff 0000 c148 0000 3f80 0fdb "
            "4049 0000 42c8 0000 bf00 8000");
        const char *volatileSignals =
            "temperature(21.5)|temperatureAlarm(-1)|humidity(45.25)|humidityAlarm(1)|"
            "serialNumber(123456)|serialNumberTr(-2)|dewPointTemperature(-12.5)|enthalpy(1)|"
            "mixingRatio(3.1415927410125732)|absoluteHumidity(100)|wetBulbTemperatur(-0.5)|"
            "hxAlarm(-32768)|";

        row("volatile block", { volatileAnswer }, 47, volatileSignals, "volatile block");
        row("persistent block", { persistentAnswer() }, 37, persistentSignals, "persistent block");
        row("codes outside their tables, date FFFF", { persistentAnswer("0007 0003 0002", "ffff") },
            37, "firmware(X1.7, 2127, 15, 31)|housing(3)|address(17)|", "persistent block");
        row("4 chunks 30 ms apart", { volatileAnswer, 0, 12, 30 }, 47, volatileSignals,
            "volatile block");
        row("volatile block, a byte broken", { QByteArray(volatileAnswer).replace(4, 1, "\x77") },
            47, "info(Bad response, CRC error)|run(): CRC error|", "CRC error");
        row("48 bytes with a good CRC", { withCrc(volatileAnswer.left(46).toHex()) }, 48,
            "info(Unexpected answer: 48 bytes)|", "unexpected length");
        row("the block and 3 trailing bytes", { volatileAnswer + "\x01\x02\x03" }, 50,
            "info(Unexpected answer: 50 bytes)|", "unexpected length");
        row("the block 800 ms late", { volatileAnswer, 800 }, 0, "info(Timeout)|", "no answer");
        row("half the block, the rest 800 ms late", { volatileAnswer, 0, 24, 800 }, 24,
            "info(Unexpected answer: 24 bytes)|", "unexpected length");
        row("5-byte exception answer", { withCrc("ff8302") }, 5,
            "info(Exception 02 from the transmitter: illegal data address)|", "exception");
        row("echo of another write", { withCrc("ff0600cd0005") }, 8, "info(Response OK)|",
            "write echo");
        row("port held by another QSerialPort", {}, -1,
            "error(Can't open %1, error code 2: in use by another program)|", "port failure");
    }

    void transaction()
    {
        QFETCH(PtyPeer::Reply, reply);
        QFETCH(QString, expected);
        const bool held = reply.bytes.isEmpty(); // the row without a reply: the port is taken
        QFETCH(int, minRoundTripMs);
        PtyPeer peer;
        QSerialPort holder(peer.slavePath());
        QVERIFY(!held || holder.open(QIODevice::ReadWrite));
        if (!held)
            peer.enqueueReply(reply);
        peer.enqueueReply({ persistentAnswer() }); // for the second transaction

        auto transact = [this](const char *hex) {
            thread.ModbusRequest = QByteArray::fromHex(hex);
            thread.start();
            thread.wait(10000);
            QCoreApplication::processEvents();
            return std::exchange(events, {}).join('|');
        };

        thread.setPortName(peer.slavePath());
        thread.requestDelay = 0; // no pause
        // Answers are told apart by their length alone, whatever was asked.
        const QDateTime before = QDateTime::currentDateTime();
        QCOMPARE(transact("ff030000001591db"), expected.replace("%1", peer.slavePath()));
        QVERIFY(last.sentAt >= before && last.sentAt <= QDateTime::currentDateTime());
        // Nothing came: no round trip. Else it ends with the last byte, within the six passes.
        QVERIFY2(last.answer.isEmpty()
                     ? last.roundTripMs == -1
                     : last.roundTripMs >= minRoundTripMs && last.roundTripMs < 400,
                 qPrintable(QString::number(last.roundTripMs)));
        holder.close();
        QVERIFY2(QSerialPort(peer.slavePath()).open(QIODevice::ReadWrite), "the port is not free");

        // Whatever of the first answer comes late must not reach the next transaction.
        QTRY_VERIFY(!peer.answering());
        QCOMPARE(
            transact("ff0300c80010d026"),
            transcript(37, persistentSignals,
                       "ff0300c80010d026 > " + persistentAnswer().toHex() + ": persistent block"));
        const QByteArray first = held ? "" : "ff 03 00 00 00 15 91 db ";
        QCOMPARE(peer.received().toHex(' '), first + "ff 03 00 c8 00 10 d0 26");
        // The tool's fixed line, as the port stood while each request arrived.
        const QString line = "19200 8N1, no flow control";
        QCOMPARE(peer.lines().join('|'), held ? line : line + '|' + line);
    }

private:
    ModbusMasterThread thread; // idle between the rows
    ModbusTransaction last;    // the latest report
};

QTEST_GUILESS_MAIN(tst_ModbusMasterThread)
#include "tst_modbusmasterthread.moc"
