#ifndef SCANSUMMARY_H
#define SCANSUMMARY_H

#include "scanner.h"

#include <QStringList>

// "3@19200-8N1 QV30" per unit found, a flag in brackets: a whole scan result as one text that a
// test compares at once.
inline QString scanSummary(const QList<FoundTransmitter> &found)
{
    QStringList parts;
    for (const FoundTransmitter &f : found) {
        QString part = QStringLiteral("%1@%2").arg(f.address).arg(f.line.toString());
        if (f.identified)
            part += QLatin1Char(' ') + f.persistent.firmwareId;
        if (f.flag == FoundTransmitter::Flag::Collision)
            part += QLatin1String(" [collision]");
        else if (f.flag == FoundTransmitter::Flag::SeveralAtAny)
            part += QLatin1String(" [several at 255]");
        parts << part;
    }
    return parts.join(QLatin1String(", "));
}

#endif // SCANSUMMARY_H
