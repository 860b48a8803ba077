#include "trafficstatistics.h"

#include <QCoreApplication>

#include <cmath>

using ModbusProtocol::ResponseKind;

namespace {

// A transaction ends at most six 50 ms receive passes after sending; the histogram reaches
// well beyond, so its last bin never takes a real answer.
constexpr int binsPerMs = 10;
constexpr int histogramMs = 1000;

QString milliseconds(double ms)
{
    return QCoreApplication::translate("TrafficStatistics", "%1 ms").arg(ms, 0, 'f', 1);
}

} // namespace

TrafficStatistics::TrafficStatistics(QObject *parent)
    : QObject(parent), histogram(histogramMs * binsPerMs + 1)
{ }

QString TrafficStatistics::name(Count which)
{
    static const char *const names[] = { QT_TR_NOOP("Transactions"), QT_TR_NOOP("Good answers"),
                                         QT_TR_NOOP("No answer"),    QT_TR_NOOP("CRC errors"),
                                         QT_TR_NOOP("Exceptions"),   QT_TR_NOOP("Other answers"),
                                         QT_TR_NOOP("Port failures") };
    return tr(names[which]);
}

void TrafficStatistics::add(const ModbusTransaction &t)
{
    ++counts[Transactions];
    switch (t.judgement.kind) {
    case ResponseKind::VolatileBlock:
    case ResponseKind::PersistentBlock:
    case ResponseKind::WriteEcho: {
        ++counts[Good];
        last = t.roundTripMs;
        maximum = qMax(maximum, last);
        const int bin = int(std::lround(last * binsPerMs));
        ++histogram[qBound(0, bin, histogram.size() - 1)];
        break;
    }
    case ResponseKind::NoAnswer:
        ++counts[NoAnswer];
        break;
    case ResponseKind::CrcError:
        ++counts[CrcErrors];
        break;
    case ResponseKind::Exception:
        ++counts[Exceptions];
        break;
    case ResponseKind::UnexpectedLength:
        ++counts[OtherAnswers];
        break;
    case ResponseKind::PortFailure:
        ++counts[PortFailures];
        break;
    }
    emit changed();
}

void TrafficStatistics::reset()
{
    std::fill(std::begin(counts), std::end(counts), 0);
    last = maximum = -1;
    histogram.fill(0);
    emit changed();
}

double TrafficStatistics::medianRoundTripMs() const
{
    const qint64 n = counts[Good];
    if (n == 0)
        return -1;
    // The two middle ranks, equal when n is odd.
    const qint64 lower = (n - 1) / 2, upper = n / 2;
    qint64 seen = 0;
    int lowerBin = -1;
    for (int bin = 0; bin < histogram.size(); ++bin) {
        seen += histogram.at(bin);
        if (lowerBin < 0 && seen > lower)
            lowerBin = bin;
        if (seen > upper)
            return (lowerBin + bin) / 2.0 / binsPerMs;
    }
    return -1;
}

QString TrafficStatistics::roundTripText() const
{
    if (counts[Good] == 0)
        return tr("none yet");
    return tr("last %1, median %2, maximum %3")
        .arg(milliseconds(last), milliseconds(medianRoundTripMs()), milliseconds(maximum));
}

QString TrafficStatistics::details() const
{
    QStringList parts;
    for (int which = 0; which < Counts; ++which)
        parts << tr("%1: %2").arg(name(Count(which))).arg(counts[which]);
    return parts.join(QStringLiteral(", "))
        + tr("; round trip of good answers: %1").arg(roundTripText());
}

QString TrafficStatistics::summary() const
{
    // The main window's status bar is narrow and its messages come first: a failure kind is
    // named only once it has happened, so a healthy line reads "Tx 120 · good 120 · RT 12.1 ms".
    static const QPair<Count, const char *> failures[] = {
        { NoAnswer, QT_TR_NOOP("timeouts") },          { CrcErrors, QT_TR_NOOP("CRC") },
        { Exceptions, QT_TR_NOOP("exceptions") },      { OtherAnswers, QT_TR_NOOP("other") },
        { PortFailures, QT_TR_NOOP("port failures") },
    };
    QStringList parts { tr("Tx %1").arg(counts[Transactions]), tr("good %1").arg(counts[Good]) };
    for (const auto &failure : failures) {
        if (counts[failure.first] > 0)
            parts << tr(failure.second) + QLatin1Char(' ') + QString::number(counts[failure.first]);
    }
    if (counts[Good] > 0)
        parts << tr("RT %1").arg(milliseconds(medianRoundTripMs()));
    return parts.join(QStringLiteral(" · "));
}
