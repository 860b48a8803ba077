#include "linesettings.h"

#include <QRegularExpression>

#include <algorithm>
#include <iterator>

bool LineSettings::parse(const QString &text, LineSettings *line, QString *error)
{
    static const QRegularExpression form(QStringLiteral("^(\\d+)-8([NEO])([12])$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = form.match(text.trimmed());
    static const int rates[] = { 600, 1200, 2400, 4800, 9600, 19200, 38400 };
    const int baudRate = match.captured(1).toInt();
    if (!match.hasMatch()
        || std::find(std::begin(rates), std::end(rates), baudRate) == std::end(rates)) {
        if (error)
            *error = QStringLiteral("line settings \"%1\" are not of the form 19200-8N1 (baud rate "
                                    "600 to 38400, parity N, E or O, 1 or 2 stop bits)")
                         .arg(text);
        return false;
    }
    const QChar parity = match.captured(2).at(0).toUpper();
    line->baudRate = baudRate;
    line->parity = parity == QLatin1Char('E') ? Parity::Even
        : parity == QLatin1Char('O')          ? Parity::Odd
                                              : Parity::None;
    line->stopBits = match.captured(3).toInt();
    return true;
}

QString LineSettings::toString() const
{
    const char letter = parity == Parity::Even ? 'E' : parity == Parity::Odd ? 'O' : 'N';
    return QStringLiteral("%1-8%2%3").arg(baudRate).arg(QLatin1Char(letter)).arg(stopBits);
}
