#ifndef TRAFFICMODEL_H
#define TRAFFICMODEL_H

#include "modbustransaction.h"

#include <QAbstractTableModel>
#include <QVector>

// The transactions on the line, newest last, bounded so that days of polling keep the memory
// flat: past the capacity each new transaction pushes the oldest out. Appending announces one
// removed and one inserted row, never a reset, so a view repaints only what changed.
class TrafficModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Time, Asked, RequestBytes, AnswerBytes, Length, RoundTrip, Judgement, Columns };
    static constexpr int defaultCapacity = 10000;

    explicit TrafficModel(QObject *parent = nullptr, int capacity = defaultCapacity);

    int capacity() const { return limit; }
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    const ModbusTransaction &at(int row) const;
    // A copy of the list, oldest first; cheap, the byte arrays and texts are shared.
    QVector<ModbusTransaction> transactions() const;

    // A column of a transaction, and all of them, as the table shows them.
    static QString text(const ModbusTransaction &t, int column);
    static QStringList texts(const ModbusTransaction &t);
    // The judgement in words: the status text, or the block that a good read brought.
    static QString judgementText(const ModbusTransaction &t);
    // The given rows as lines of tab-separated columns, for the clipboard.
    QString tabSeparated(const QList<int> &rows) const;
    // The list as CSV (RFC 4180: a header line, fields quoted where needed, CRLF line ends),
    // with the date in a column of its own, so that a file spanning midnight stays in order.
    static QByteArray csv(const QVector<ModbusTransaction> &transactions);

    // Fills the list with synthetic reads, for measuring a full window without days of polling.
    void appendSynthetic(int rows);

public slots:
    void append(const ModbusTransaction &t);
    void clear();

private:
    // A ring: the oldest of count entries sits at index first; the vector grows up to limit.
    QVector<ModbusTransaction> ring;
    int first = 0;
    int count = 0;
    const int limit;
};

#endif // TRAFFICMODEL_H
