#ifndef SCANREPORT_H
#define SCANREPORT_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

struct FoundTransmitter;

// The forms of a scan's result list, shared by the command line and the window's "Save list...":
// one JSON array, CSV as the recording writes it (RFC 4180, C-locale numbers that read back as
// the floats the transmitter sent), and aligned text.
namespace ScanReport {

// The keys of each JSON object and the CSV columns, in this order.
const QStringList &keys();

QByteArray json(const QList<FoundTransmitter> &found);
QByteArray csv(const QList<FoundTransmitter> &found);
QString text(const QList<FoundTransmitter> &found);

// The cells of one result as the window shows them, in keys() order with the flag in words
// instead of true/false; an absent value is empty.
QStringList displayFields(const FoundTransmitter &unit);

} // namespace ScanReport

#endif // SCANREPORT_H
