#ifndef SCANSUMMARY_H
#define SCANSUMMARY_H

#include "scanner.h"
#include "transmittermodel.h"

#include <QRegularExpression>
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

// "3:current 17:2014-02-18@9600-8E1 20:legacy": address, firmware and line (19200-8N1 unless
// given) of each unit, each with serial numbers of its own.
inline QVector<TransmitterSettings> scanUnits(const QString &list)
{
    QVector<TransmitterSettings> result;
    for (const QString &unit : list.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = unit.split(QRegularExpression("[:@]"));
        TransmitterSettings s = TransmitterSettings().another(result.size(), parts[0].toInt());
        using F = TransmitterSettings::Firmware;
        s.setFirmware(parts[1] == "legacy"           ? F::Legacy
                          : parts[1] == "2014-02-18" ? F::Feb2014
                                                     : F::Current);
        LineSettings line;
        LineSettings::parse(parts.value(2, "19200-8N1"), &line);
        s.setLine(line);
        result << s;
    }
    return result;
}

#endif // SCANSUMMARY_H
