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
    int failAt = 0;
    QStringList asked; // "address:first register"
    QVector<qint64> sentAtUs;
    int opens = 0;
    QElapsedTimer clock;

    FakeEndpoint() { clock.start(); }

    bool open(QString *, const char **) override
    {
        ++opens;
        isOpened = true;
        return true;
    }
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
        asked << QStringLiteral("%1:%2").arg(address).arg(quint8(request[3])
                                                          + 256 * quint8(request[2]));
        if (failAt == asked.size()) {
            t.judgement.kind = ModbusProtocol::ResponseKind::PortFailure;
            t.judgement.portFailure = QStringLiteral("Lost the port");
            return t;
        }
        auto unit = units.find(address);
        if (unit != units.end() && !silent.contains(address)) {
            RtuSlave slave(&unit->second);
            t.answer = slave.answer(request);
        }
        t.judgement = ModbusProtocol::judgeResponse(t.answer);
        return t;
    }

private:
    bool isOpened = false;
};

TransmitterSettings unitAt(int address)
{
    TransmitterSettings s;
    s.address = address;
    s.probeSerial = 21000000 + address;
    return s;
}

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
    void requestOrder_data()
    {
        QTest::addColumn<QVector<int>>("present");
        QTest::addColumn<QVector<int>>("silent");
        QTest::addColumn<int>("cycles");
        QTest::addColumn<QStringList>("asked");

        QTest::newRow("three units: each block in turn, persistent first")
            << QVector<int> { 1, 2, 5 } << QVector<int>() << 2
            << QStringList { "1:200", "1:0", "2:200", "2:0", "5:200", "5:0", "1:0", "2:0", "5:0" };
        QTest::newRow("a silent unit costs one request a cycle, the next unit follows")
            << QVector<int> { 1, 2, 5 } << QVector<int> { 2 } << 2
            << QStringList { "1:200", "1:0", "2:200", "5:200", "5:0", "1:0", "2:200", "5:0" };
    }
    void requestOrder()
    {
        QFETCH(QVector<int>, present);
        QFETCH(QVector<int>, silent);
        QFETCH(int, cycles);
        QFETCH(QStringList, asked);
        FakeEndpoint endpoint;
        for (int a : present)
            endpoint.units.emplace(a, TransmitterModel(unitAt(a)));
        endpoint.silent = QSet<int>(silent.begin(), silent.end());
        Bus::UnitPoller poller(&endpoint, nineSixHundred(), present);
        for (int i = 0; i < cycles; ++i)
            poller.runCycle();
        QCOMPARE(endpoint.asked, asked);
    }

    void persistentBlockEveryTenthCycle()
    {
        FakeEndpoint endpoint;
        endpoint.units.emplace(7, TransmitterModel(unitAt(7)));
        Bus::UnitPoller poller(&endpoint, nineSixHundred(), { 7 });
        for (int i = 0; i < 21; ++i)
            poller.runCycle();
        QCOMPARE(endpoint.asked.count(QStringLiteral("7:200")), 3); // cycles 1, 11, 21
        QCOMPARE(endpoint.asked.count(QStringLiteral("7:0")), 21);
    }

    void requestsAFrameGapApart()
    {
        FakeEndpoint endpoint;
        for (int a : { 1, 2 })
            endpoint.units.emplace(a, TransmitterModel(unitAt(a)));
        const ConnectionSettings settings = nineSixHundred();
        Bus::UnitPoller poller(&endpoint, settings, { 1, 2 });
        poller.runCycle();
        QCOMPARE(endpoint.sentAtUs.size(), 4);
        for (int i = 1; i < endpoint.sentAtUs.size(); ++i)
            QVERIFY2(endpoint.sentAtUs[i] - endpoint.sentAtUs[i - 1]
                         >= settings.line.frameGapMicroseconds(),
                     qPrintable(QString::number(endpoint.sentAtUs[i] - endpoint.sentAtUs[i - 1])));
    }

    // Online from its first answer, offline at its third miss in a row (not before), online again
    // at its next answer, with its firmware read again in case another unit took its place.
    void offlineAfterThreeMissesAndBack()
    {
        FakeEndpoint endpoint;
        for (int a : { 1, 2 })
            endpoint.units.emplace(a, TransmitterModel(unitAt(a)));
        Bus::UnitPoller poller(&endpoint, nineSixHundred(), { 1, 2 });
        QString seen;
        for (int cycle = 1; cycle <= 6; ++cycle) {
            if (cycle == 2)
                endpoint.silent = { 2 };
            if (cycle == 6)
                endpoint.silent.clear();
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
            if (cycle == 6)
                QCOMPARE(endpoint.asked.mid(before), (QStringList { "1:0", "2:200", "2:0" }));
            else if (!u.answered)
                QVERIFY(!u.failure.isEmpty());
        }
        QCOMPARE(seen, QStringLiteral("ao+0 -o.1 -o.2 --x3 --.4 ao+0 "));
    }

    void portLostEndsTheCycleAndIsOpenedAgain()
    {
        FakeEndpoint endpoint;
        for (int a : { 1, 2, 3 })
            endpoint.units.emplace(a, TransmitterModel(unitAt(a)));
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
        // Unit 1 was online before the loss: it counts as coming back.
        QVERIFY(next.units[0].cameOnline);
    }

    void delayBeforeNext_data()
    {
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("now");
        QTest::addColumn<int>("interval");
        QTest::addColumn<qint64>("delay");
        QTest::newRow("cycle shorter than the interval: the rest of it")
            << 1000LL << 1300LL << 10000 << 9700LL;
        QTest::newRow("cycle longer than the interval: at once")
            << 1000LL << 12000LL << 10000 << 0LL;
    }
    void delayBeforeNext()
    {
        QFETCH(qint64, start);
        QFETCH(qint64, now);
        QFETCH(int, interval);
        QFETCH(qint64, delay);
        QCOMPARE(Bus::UnitPoller::delayBeforeNext(start, now, interval), delay);
    }
};

QTEST_GUILESS_MAIN(tst_UnitPoller)
#include "tst_unitpoller.moc"
