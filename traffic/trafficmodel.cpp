#include "trafficmodel.h"

#include <QLocale>

#include "modbusprotocol.h"

#include <iterator>

using namespace ModbusProtocol;

namespace {

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

const char *const headers[] = { QT_TRANSLATE_NOOP("TrafficModel", "Time"),
                                QT_TRANSLATE_NOOP("TrafficModel", "Asked"),
                                QT_TRANSLATE_NOOP("TrafficModel", "Request"),
                                QT_TRANSLATE_NOOP("TrafficModel", "Answer"),
                                QT_TRANSLATE_NOOP("TrafficModel", "Length"),
                                QT_TRANSLATE_NOOP("TrafficModel", "Round trip (ms)"),
                                QT_TRANSLATE_NOOP("TrafficModel", "Judgement") };
static_assert(std::size(headers) == TrafficModel::Columns, "one header per column");

// RFC 4180: a field with a comma, a quote or a line break is quoted, its quotes doubled.
QByteArray csvField(const QString &text)
{
    QByteArray field = text.toUtf8();
    if (field.contains(',') || field.contains('"') || field.contains('\n') || field.contains('\r'))
        field = '"' + field.replace('"', "\"\"") + '"';
    return field;
}

} // namespace

TrafficModel::TrafficModel(QObject *parent, int capacity)
    : QAbstractTableModel(parent), limit(qMax(1, capacity))
{ }

int TrafficModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count;
}

int TrafficModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : Columns;
}

const ModbusTransaction &TrafficModel::at(int row) const
{
    return ring.at((first + row) % ring.size());
}

QVector<ModbusTransaction> TrafficModel::transactions() const
{
    QVector<ModbusTransaction> list;
    list.reserve(count);
    for (int row = 0; row < count; ++row)
        list.append(at(row));
    return list;
}

QString TrafficModel::judgementText(const ModbusTransaction &t)
{
    switch (t.judgement.kind) {
    case ResponseKind::PersistentBlock:
        return tr("persistent block");
    case ResponseKind::VolatileBlock:
        return tr("volatile block");
    default:
        return statusText(t.judgement, t.request);
    }
}

QString TrafficModel::text(const ModbusTransaction &t, int column)
{
    switch (column) {
    case Time:
        // ASCII digits under any locale, like the bytes beside them and the CSV a tool reads.
        return QLocale::c().toString(t.sentAt, QStringLiteral("hh:mm:ss.zzz"));
    case Asked:
        return describeRequest(t.request);
    case RequestBytes:
        return hex(t.request);
    case AnswerBytes:
        return hex(t.answer);
    case Length:
        return QString::number(t.answer.size());
    case RoundTrip:
        return t.roundTripMs < 0 ? QString() : QString::number(t.roundTripMs, 'f', 1);
    case Judgement:
        return judgementText(t);
    }
    return QString();
}

QStringList TrafficModel::texts(const ModbusTransaction &t)
{
    QStringList list;
    for (int column = 0; column < Columns; ++column)
        list << text(t, column);
    return list;
}

QVariant TrafficModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= count)
        return QVariant();
    if (role == Qt::TextAlignmentRole && (index.column() == Length || index.column() == RoundTrip))
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return QVariant();
    // Only the rows in view are asked for, so the texts are made here rather than kept.
    return text(at(index.row()), index.column());
}

QVariant TrafficModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0
        || section >= Columns)
        return QAbstractTableModel::headerData(section, orientation, role);
    return tr(headers[section]);
}

QString TrafficModel::tabSeparated(const QList<int> &rows) const
{
    QString text;
    for (const int row : rows)
        text += texts(at(row)).join(QLatin1Char('\t')) + QLatin1Char('\n');
    return text;
}

QByteArray TrafficModel::csv(const QVector<ModbusTransaction> &transactions)
{
    QByteArray out = "Date";
    for (const char *header : headers)
        out += ',' + csvField(tr(header));
    out += "\r\n";
    for (const ModbusTransaction &t : transactions) {
        out += csvField(QLocale::c().toString(t.sentAt, QStringLiteral("yyyy-MM-dd")));
        for (const QString &text : texts(t))
            out += ',' + csvField(text);
        out += "\r\n";
    }
    return out;
}

void TrafficModel::append(const ModbusTransaction &t)
{
    ModbusTransaction kept = t;
    // The decoded values show in the main window; the list needs only what was on the line.
    kept.judgement.volatileValues = {};
    kept.judgement.persistentValues = {};
    // An answer shares the buffer that the port read it into, 16 kB however few bytes came;
    // kept that way, 10,000 rows would hold 160 MB.
    kept.request.squeeze();
    kept.answer.squeeze();
    if (count == limit) {
        beginRemoveRows(QModelIndex(), 0, 0);
        first = (first + 1) % limit;
        --count;
        endRemoveRows();
    }
    beginInsertRows(QModelIndex(), count, count);
    if (ring.size() < limit)
        ring.append(kept);
    else
        ring[(first + count) % limit] = kept; // the slot of the one just removed
    ++count;
    endInsertRows();
}

void TrafficModel::clear()
{
    beginResetModel();
    ring.clear();
    first = count = 0;
    endResetModel();
}

void TrafficModel::appendSynthetic(int rows)
{
    const QByteArray requests[] = {
        readHoldingRegistersFrame(persistentFirstRegister, persistentRegisterCount),
        readHoldingRegistersFrame(volatileFirstRegister, volatileRegisterCount)
    };
    const int lengths[] = { persistentAnswerLength, volatileAnswerLength };
    const QDateTime start = QDateTime::currentDateTime().addMSecs(-1250LL * rows);
    for (int i = 0; i < rows; ++i) {
        QByteArray answer(lengths[i % 2] - 2, char(i));
        answer[0] = char(anyTransmitterAddress);
        answer[1] = char(readHoldingRegistersFunction);
        answer[2] = char(answer.size() - 3);
        const quint16 crc = modbusCrc16(answer);
        answer += char(crc & 0xFF);
        answer += char(crc >> 8);
        ModbusTransaction t;
        t.request = requests[i % 2];
        t.answer = answer;
        t.sentAt = start.addMSecs(1250LL * i);
        t.roundTripMs = 1 + i % 7;
        t.judgement = judgeResponse(answer);
        append(t);
    }
}
