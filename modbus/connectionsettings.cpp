#include "connectionsettings.h"

#include "modbusparameters.h"
#include "modbusprotocol.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QUrl>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ConnectionSettings", text);
}

QChar parityLetter(LineSettings::Parity parity)
{
    switch (parity) {
    case LineSettings::Parity::Even:
        return QLatin1Char('E');
    case LineSettings::Parity::Odd:
        return QLatin1Char('O');
    case LineSettings::Parity::None:
        break;
    }
    return QLatin1Char('N');
}

} // namespace

const QList<int> &LineSettings::baudRates()
{
    static const QList<int> rates { 600, 1200, 2400, 4800, 9600, 19200, 38400 };
    return rates;
}

QList<LineSettings> LineSettings::searchOrder()
{
    // What installers leave most often first; then the rest, the rarest framing and the highest
    // speed last.
    QList<LineSettings> order {
        { 19200, Parity::None, 1 }, { 9600, Parity::None, 1 },  { 9600, Parity::Even, 1 },
        { 19200, Parity::Even, 1 }, { 38400, Parity::None, 1 },
    };
    for (int stopBits : { 1, 2 }) {
        for (Parity parity : { Parity::None, Parity::Even, Parity::Odd }) {
            for (int baud : baudRates()) {
                const LineSettings line { baud, parity, stopBits };
                if (!order.contains(line))
                    order.append(line);
            }
        }
    }
    return order;
}

bool LineSettings::parse(const QString &text, LineSettings *line, QString *error)
{
    static const QRegularExpression form(QStringLiteral("^(\\d+)-(\\d)([NEO])(\\d)$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = form.match(text.trimmed());
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (!m.hasMatch())
        return fail(tr("line settings \"%1\" are not of the form 19200-8N1").arg(text));
    LineSettings parsed;
    parsed.baudRate = m.captured(1).toInt();
    if (!baudRates().contains(parsed.baudRate))
        return fail(tr("baud rate %1 is not one of 600, 1200, 2400, 4800, 9600, 19200, 38400")
                        .arg(m.captured(1)));
    if (m.captured(2) != QLatin1String("8"))
        return fail(tr("%1 data bits: the transmitter uses 8").arg(m.captured(2)));
    const QChar p = m.captured(3).at(0).toUpper();
    parsed.parity = p == QLatin1Char('E') ? Parity::Even
        : p == QLatin1Char('O')           ? Parity::Odd
                                          : Parity::None;
    parsed.stopBits = m.captured(4).toInt();
    if (parsed.stopBits != 1 && parsed.stopBits != 2)
        return fail(tr("%1 stop bits: 1 or 2").arg(m.captured(4)));
    *line = parsed;
    return true;
}

QString LineSettings::toString() const
{
    return QStringLiteral("%1-8%2%3").arg(baudRate).arg(parityLetter(parity)).arg(stopBits);
}

QString LineSettings::displayText() const
{
    return QStringLiteral("%1 8%2%3").arg(baudRate).arg(parityLetter(parity)).arg(stopBits);
}

qint64 LineSettings::characterMicroseconds() const
{
    const int bits = 1 + 8 + (parity == Parity::None ? 0 : 1) + stopBits;
    return (qint64(bits) * 1000000 + baudRate - 1) / baudRate;
}

qint64 LineSettings::frameGapMicroseconds() const
{
    if (baudRate > 19200)
        return 1750;
    return (characterMicroseconds() * 7 + 1) / 2;
}

bool Endpoint::parse(const QString &text, Endpoint *endpoint, QString *error)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return fail(tr("no port given"));
    Endpoint parsed;
    const bool tcp = trimmed.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive);
    const bool rtuTcp = trimmed.startsWith(QLatin1String("rtu+tcp://"), Qt::CaseInsensitive);
    if (!tcp && !rtuTcp) {
        if (trimmed.contains(QLatin1String("://")))
            return fail(tr("\"%1\": a port is a device path, tcp://HOST[:PORT] or "
                           "rtu+tcp://HOST:PORT")
                            .arg(text));
        parsed.path = text; // a device path is taken as typed
        *endpoint = parsed;
        return true;
    }
    const QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty()
        || (!url.path().isEmpty() && url.path() != QLatin1String("/")) || url.hasQuery()
        || url.hasFragment())
        return fail(tr("\"%1\" is not of the form %2://HOST%3")
                        .arg(text, rtuTcp ? QStringLiteral("rtu+tcp") : QStringLiteral("tcp"),
                             rtuTcp ? QStringLiteral(":PORT") : QStringLiteral("[:PORT]")));
    parsed.kind = rtuTcp ? Kind::RtuOverTcp : Kind::ModbusTcp;
    parsed.host = url.host();
    const int port = url.port(rtuTcp ? -1 : modbusTcpDefaultPort);
    if (port <= 0 || port > 65535)
        return fail(
            tr("\"%1\" needs a port number: a serial device server has no standard one").arg(text));
    parsed.port = quint16(port);
    *endpoint = parsed;
    return true;
}

QString Endpoint::toString() const
{
    switch (kind) {
    case Kind::Serial:
        return path;
    case Kind::ModbusTcp:
        return QStringLiteral("tcp://%1").arg(name());
    case Kind::RtuOverTcp:
        return QStringLiteral("rtu+tcp://%1").arg(name());
    }
    return path;
}

QString Endpoint::name() const
{
    if (kind == Kind::Serial)
        return path;
    // An IPv6 literal keeps its brackets, so the port stays readable.
    const QString h = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1:%2").arg(h).arg(port);
}

ConnectionSettings ConnectionSettings::afterWrite(int registerNumber, int value) const
{
    ConnectionSettings next = *this;
    if (registerNumber == ModbusProtocol::addressRegister) {
        if (unit != anyUnit)
            next.unit = value;
        return next;
    }
    if (endpoint.kind != Endpoint::Kind::Serial)
        return next;
    for (const auto *parameter : { &ModbusParameters::baudRate(), &ModbusParameters::parity(),
                                   &ModbusParameters::stopBits() }) {
        const ModbusParameters::Code *code = ModbusParameters::findValue(*parameter, value);
        if (parameter->registerNumber != registerNumber || !code)
            continue;
        const QString text = QLatin1String(code->text);
        if (parameter == &ModbusParameters::baudRate())
            next.line.baudRate = text.toInt();
        else if (parameter == &ModbusParameters::stopBits())
            next.line.stopBits = text.toInt();
        else
            next.line.parity = text == QLatin1String("Even") ? LineSettings::Parity::Even
                : text == QLatin1String("Odd")               ? LineSettings::Parity::Odd
                                                             : LineSettings::Parity::None;
    }
    return next;
}

bool ConnectionSettings::isBenchDefault() const
{
    return endpoint.kind == Endpoint::Kind::Serial && line == LineSettings() && unit == anyUnit;
}

QString ConnectionSettings::summary() const
{
    const QString separator = QStringLiteral(" \u00b7 ");
    const QString where =
        endpoint.kind == Endpoint::Kind::ModbusTcp ? QStringLiteral("TCP") : line.displayText();
    return where + separator + unitText(unit);
}

bool ConnectionSettings::parseUnit(const QString &text, int *unit, QString *error)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("any"), Qt::CaseInsensitive) == 0) {
        *unit = anyUnit;
        return true;
    }
    bool ok = false;
    const int value = t.toInt(&ok);
    if (!ok || !isValidUnit(value)) {
        if (error)
            *error = tr("unit address \"%1\" is not 1 to 247, or 255 (any)").arg(text);
        return false;
    }
    *unit = value;
    return true;
}

QString ConnectionSettings::unitText(int unit)
{
    return unit == anyUnit ? tr("any") : QString::number(unit);
}

bool ConnectionSettings::parseUnitList(const QString &text, QVector<int> *units, QString *error)
{
    units->clear();
    int single = 0;
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('-'))
        && parseUnit(text, &single, error)) {
        units->append(single);
        return true;
    }
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QStringList ends = part.split(QLatin1Char('-'));
        bool okFirst = false, okLast = ends.size() == 1;
        const int first = ends.first().trimmed().toInt(&okFirst);
        const int last = ends.size() == 2 ? ends.last().trimmed().toInt(&okLast) : first;
        if (ends.size() > 2 || !okFirst || !okLast || first < firstUnit || last > lastUnit
            || first > last) {
            if (error)
                *error = tr("\"%1\" is not a unit address from 1 to 247 or a range such as "
                            "1-8")
                             .arg(part);
            return false;
        }
        for (int unit = first; unit <= last; ++unit) {
            if (units->contains(unit)) {
                if (error)
                    *error = tr("unit address %1 is given twice").arg(unit);
                return false;
            }
            units->append(unit);
        }
    }
    return true;
}
