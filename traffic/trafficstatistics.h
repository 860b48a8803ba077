#ifndef TRAFFICSTATISTICS_H
#define TRAFFICSTATISTICS_H

#include "modbustransaction.h"

#include <QObject>
#include <QVector>

// Counts of the transactions on the line by outcome, and the round-trip times of the good
// answers, from the start of the program (or the last reset) across connections.
class TrafficStatistics : public QObject
{
    Q_OBJECT

public:
    enum Count {
        Transactions, // all, port failures included
        Good,         // a block read or a write echo with a good CRC
        NoAnswer,
        CrcErrors,
        Exceptions,
        OtherAnswers, // of an unexpected length
        PortFailures,
        Counts
    };

    explicit TrafficStatistics(QObject *parent = nullptr);

    qint64 count(Count which) const { return counts[which]; }
    static QString name(Count which); // "CRC errors"

    // Round trips of the good answers in ms; -1 while there has been none. The median is exact
    // over every good answer since the reset, of the times rounded to 0.1 ms: a histogram of
    // 0.1 ms bins holds them in constant memory however long the program runs.
    double lastRoundTripMs() const { return last; }
    double medianRoundTripMs() const;
    double maxRoundTripMs() const { return maximum; }

    // "Tx 120 · good 117 · timeouts 2 · CRC 1 · RT 12.1 ms" (median), for the status bar.
    QString summary() const;
    // Every count and the round trips in one line: "Transactions: 120, Good answers: 117, ...".
    QString details() const;
    // "last 12.3 ms, median 12.1 ms, maximum 15.0 ms", or "none yet".
    QString roundTripText() const;

public slots:
    void add(const ModbusTransaction &t);
    void reset();

signals:
    void changed();

private:
    qint64 counts[Counts] = {};
    double last = -1;
    double maximum = -1;
    QVector<quint32> histogram; // answers per 0.1 ms of round trip; the last bin takes the rest
};

#endif // TRAFFICSTATISTICS_H
