// Several units on one endpoint: the order of requests, the offline rule and a lost port, against
// an endpoint that answers from simulated transmitters without any line.
#include "modbusendpoint.h"
#include "rtuslave.h"
#include "transmittermodel.h"
#include "unitpoller.h"

#include <QElapsedTimer>
#include <QtTest>

#include <map>

namespace {

// Answers as the simulated units at their addresses would; units in `silent` say nothing, and
// the request numbered `failAt` (from 1) finds the port gone.
class FakeEndpoint : public ModbusEndpoint
{
public:
    std::map<int, TransmitterModel> units;
    QSet<int> silent;
    int failAt = 0, opens = 0;
    QStringList asked; // "address:first register"
    QVector<qint64> sentAtUs;
    QElapsedTimer clock;

    explicit FakeEndpoint(const QVector<int> &addresses)
    {
        for (int a : addresses) {
            TransmitterSettings s;
            s.address = a;
            s.probeSerial = 21000000 + a;
            units.emplace(a, TransmitterModel(s));
        }
        clock.start();
    }
    bool open(QString *, const char **) override { return ++opens, isOpened = true; }
    void close() override { isOpened = false; }
    bool isOpen() const override { return isOpened; }
    bool staysOpen() const override { return false; }
    void setLine(const LineSettings &) override { }

    ModbusTransaction exchange(const QByteArray &request, const ReceiveTiming &) override
    {
        ModbusTransaction t;
        t.request = request;
        sentAtUs.append(clock.nsecsElapsed() / 1000);
        const int address = quint8(request[0]);
        asked << QStringLiteral("%1:%2").arg(address).arg(quint8(request[2]) * 256
                                                          + quint8(request[3]));
        if (failAt == asked.size()) {
            t.judgement.kind = ModbusProtocol::ResponseKind::PortFailure;
            t.judgement.portFailure = QStringLiteral("Lost the port");
            return t;
        }
        auto unit = units.find(address);
        if (unit != units.end() && !silent.contains(address))
            t.answer = RtuSlave(&unit->second).answer(request);
        t.judgement = ModbusProtocol::judgeResponse(t.answer);
        return t;
    }

private:
    bool isOpened = false;
};

ConnectionSettings nineSixHundred()
{
    ConnectionSettings c;
    c.line.baudRate = 9600;
    c.responseTimeoutMs = 50;
    return c;
}

} // namespace

class tst_UnitPoller : public QObject
{
    Q_OBJECT

private slots:
    // The units in turn, each request a frame gap after the one before, the persistent block at
    // the first cycle and every tenth after it.
    void requestOrder_data()
    {
        QTest::addColumn<QVector<int>>("present");
        QTest::addColumn<int>("silent");
        QTest::addColumn<int>("cycles");
        QTest::addColumn<QString>("asked");
        QTest::newRow("three units: each block in turn, persistent first")
            << QVector<int> { 1, 2, 5 } << 0 << 2 << "1:200 1:0 2:200 2:0 5:200 5:0 1:0 2:0 5:0";
        QTest::newRow("a silent unit costs one request a cycle, the next unit follows")
            << QVector<int> { 1, 2, 5 } << 2 << 2 << "1:200 1:0 2:200 5:200 5:0 1:0 2:200 5:0";
        QString tenth;
        for (int cycle = 0; cycle < 21; ++cycle)
            tenth += cycle % 10 ? "7:0 " : "7:200 7:0 ";
        QTest::newRow("persistent block at cycles 1, 11 and 21")
            << QVector<int> { 7 } << 0 << 21 << tenth.trimmed();
    }
    void requestOrder()
    {
        QFETCH(QVector<int>, present);
        QFETCH(int, silent);
        QFETCH(int, cycles);
        FakeEndpoint endpoint(present);
        endpoint.silent = { silent };
        const ConnectionSettings settings = nineSixHundred();
        Bus::UnitPoller poller(&endpoint, settings, present);
        poller.runCycle();
        // Within a cycle of answering units (a silent one has cost its time-out already).
        for (int i = 1; i < endpoint.sentAtUs.size() && !silent; ++i) {
            const qint64 gap = endpoint.sentAtUs[i] - endpoint.sentAtUs[i - 1];
            QVERIFY2(gap >= settings.line.frameGapMicroseconds(), qPrintable(QString::number(gap)));
        }
        for (int i = 1; i < cycles; ++i)
            poller.runCycle();
        QTEST(endpoint.asked.join(' '), "asked");
    }

    // Online from its first answer, offline at its third miss in a row (not before), online again
    // at its next answer, with its firmware read again in case another unit took its place.
    void offlineAfterThreeMissesAndBack()
    {
        FakeEndpoint endpoint({ 1, 2 });
        Bus::UnitPoller poller(&endpoint, nineSixHundred(), { 1, 2 });
        QString seen;
        for (int cycle = 1; cycle <= 6; ++cycle) {
            endpoint.silent = { cycle >= 2 && cycle < 6 ? 2 : 0 };
            const int before = endpoint.asked.size();
            const Bus::CycleReport report = poller.runCycle();
            QCOMPARE(report.units.size(), 2);
            QVERIFY(report.units[0].answered);
            const Bus::UnitReport &u = report.units[1];
            seen += QStringLiteral("%1%2%3%4 ")
                        .arg(u.answered ? 'a' : '-')
                        .arg(u.online ? 'o' : '-')
                        .arg(u.cameOnline        ? '+'
                                 : u.wentOffline ? 'x'
                                                 : '.')
                        .arg(u.missedCycles);
            QVERIFY(u.answered || !u.failure.isEmpty());
            if (cycle == 6)
                QCOMPARE(endpoint.asked.mid(before).join(' '), "1:0 2:200 2:0");
        }
        QCOMPARE(seen, QStringLiteral("ao+0 -o.1 -o.2 --x3 --.4 ao+0 "));
    }

    void portLostEndsTheCycleAndIsOpenedAgain()
    {
        FakeEndpoint endpoint({ 1, 2, 3 });
        endpoint.failAt = 3; // unit 2's persistent block
        Bus::UnitPoller poller(&endpoint, nineSixHundred(), { 1, 2, 3 });
        const Bus::CycleReport lost = poller.runCycle();
        QVERIFY(lost.portLost);
        QCOMPARE(lost.portFailure, QStringLiteral("Lost the port"));
        QCOMPARE(lost.units.size(), 1);
        QVERIFY(!endpoint.isOpen());

        const Bus::CycleReport next = poller.runCycle();
        QVERIFY(!next.portLost);
        QCOMPARE(endpoint.opens, 2);
        QCOMPARE(next.units.size(), 3);
        QVERIFY(next.units[0].cameOnline); // online before the loss: it counts as coming back
    }

    void delayBeforeNext()
    {
        // A cycle shorter than the interval waits the rest of it; a longer one starts at once.
        QCOMPARE(Bus::UnitPoller::delayBeforeNext(1000, 1300, 10000), 9700);
        QCOMPARE(Bus::UnitPoller::delayBeforeNext(1000, 12000, 10000), 0);
    }
};

QTEST_GUILESS_MAIN(tst_UnitPoller)
#include "tst_unitpoller.moc"
