#include "trafficwindow.h"
#include "ui_trafficwindow.h"

#include "lastfolder.h"
#include "trafficmodel.h"
#include "trafficstatistics.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QPainter>
#include <QSaveFile>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QThread>

namespace {

// Following the line repaints every row in sight for each transaction. The stock delegate lays
// out each cell's text for eliding, which made up most of what the open window cost; in the
// view's fixed-width font the characters that fit are simply counted.
class FixedWidthDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override
    {
        const QPalette::ColorGroup group = !(option.state & QStyle::State_Enabled)
            ? QPalette::Disabled
            : option.state & QStyle::State_Active ? QPalette::Active
                                                  : QPalette::Inactive;
        const bool selected = option.state & QStyle::State_Selected;
        if (selected)
            painter->fillRect(option.rect, option.palette.brush(group, QPalette::Highlight));
        else if (option.features & QStyleOptionViewItem::Alternate)
            painter->fillRect(option.rect, option.palette.brush(group, QPalette::AlternateBase));

        constexpr int margin = 3;
        const QRect textRect = option.rect.adjusted(margin, 0, -margin, 0);
        QString text = index.data().toString();
        const int fit = textRect.width() / qMax(1, option.fontMetrics.horizontalAdvance('0'));
        if (text.size() > fit)
            text = text.left(qMax(0, fit - 1)) + QChar(0x2026); // an ellipsis
        const QVariant alignment = index.data(Qt::TextAlignmentRole);
        painter->setFont(option.font);
        painter->setPen(
            option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        painter->drawText(
            textRect,
            alignment.isValid() ? alignment.toInt() : int(Qt::AlignLeft | Qt::AlignVCenter), text);
        if (option.state & QStyle::State_HasFocus) { // the keyboard's place
            QStyleOptionFocusRect focus;
            focus.QStyleOption::operator=(option);
            focus.backgroundColor =
                option.palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
            const QWidget *widget = option.widget;
            (widget ? widget->style() : QApplication::style())
                ->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
        }
    }
};

} // namespace

TrafficWindow::TrafficWindow(TrafficModel *model, TrafficStatistics *statistics, QWidget *parent)
    : QDialog(parent), ui(new Ui::TrafficWindow), model(model), statistics(statistics)
{
    ui->setupUi(this);
    QTableView *view = ui->tableView_traffic;
    // Hex bytes line up from row to row in a fixed-width font.
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    // The current row dropping out of a full list would make the view scroll to its successor,
    // the oldest row: let go of it first (connected before the view's own handler runs).
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [view](const QModelIndex &, int first, int last) {
                const int current = view->currentIndex().row();
                if (current >= first && current <= last)
                    view->selectionModel()->setCurrentIndex({}, QItemSelectionModel::NoUpdate);
            });
    view->setModel(model);
    view->setItemDelegate(new FixedWidthDelegate(view));
    // Wide enough for what a column usually holds; a longer answer is cut, its whole text is in
    // the tool tip. The judgement takes the rest.
    const char *const samples[] = { "00:00:00.000",
                                    "write baud rate = 38400",
                                    "FF 06 00 C8 00 05 DD E9",
                                    "FF 03 20 00 05 00 02",
                                    "Length",
                                    "Round trip (ms)" };
    for (int column = 0; column < int(std::size(samples)); ++column)
        view->setColumnWidth(column, view->fontMetrics().horizontalAdvance(samples[column]) + 16);

    auto *copy = new QAction(tr("&Copy"), view);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    view->addAction(copy);
    connect(copy, &QAction::triggered, this, &TrafficWindow::copySelection);

    // Following is the user's choice: scrolling away from the bottom ends it, scrolling back
    // resumes it. While it is off, the rows in sight stay put as the oldest ones drop out.
    QScrollBar *bar = view->verticalScrollBar();
    following = bar->value() == bar->maximum();
    connect(bar, &QScrollBar::valueChanged, this,
            [this, bar](int value) { following = value == bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (following)
            bar->setValue(maximum);
    });
    connect(model, &QAbstractItemModel::rowsRemoved, this,
            [this, bar](const QModelIndex &, int first, int last) {
                if (!following && first == 0)
                    bar->setValue(bar->value() - (last + 1));
            });

    connect(ui->pushButton_save, &QPushButton::clicked, this, &TrafficWindow::save);
    connect(ui->pushButton_clear, &QPushButton::clicked, model, &TrafficModel::clear);
    connect(ui->pushButton_reset, &QPushButton::clicked, statistics, &TrafficStatistics::reset);
    connect(statistics, &TrafficStatistics::changed, this, &TrafficWindow::showStatistics);
    showStatistics();
}

TrafficWindow::~TrafficWindow()
{
    if (saver)
        saver->wait(); // a few MB at most; the file must not be left half written
    delete ui;
}

void TrafficWindow::showEvent(QShowEvent *event)
{
    // Opened (again) on a list that filled while it was closed: the newest rows, followed.
    QDialog::showEvent(event);
    following = true;
    ui->tableView_traffic->scrollToBottom();
}

void TrafficWindow::showStatistics()
{
    using S = TrafficStatistics;
    const QPair<QLabel *, S::Count> labels[] = {
        { ui->label_transactions, S::Transactions }, { ui->label_good, S::Good },
        { ui->label_noAnswer, S::NoAnswer },         { ui->label_crcErrors, S::CrcErrors },
        { ui->label_exceptions, S::Exceptions },     { ui->label_otherAnswers, S::OtherAnswers },
        { ui->label_portFailures, S::PortFailures },
    };
    for (const auto &label : labels)
        label.first->setText(
            tr("%1: %2").arg(S::name(label.second)).arg(statistics->count(label.second)));
    ui->label_roundTrip->setText(
        tr("Round trip of good answers: %1").arg(statistics->roundTripText()));
}

void TrafficWindow::copySelection()
{
    QList<int> rows;
    for (const QModelIndex &index : ui->tableView_traffic->selectionModel()->selectedRows())
        rows << index.row();
    if (rows.isEmpty())
        return;
    std::sort(rows.begin(), rows.end());
    QGuiApplication::clipboard()->setText(model->tabSeparated(rows));
}

void TrafficWindow::save()
{
    const QString fileName = QFileDialog::getSaveFileName(
        this, tr("Save bus traffic"),
        LastFolder::suggest(QDir::home().filePath(QStringLiteral("bus-traffic.csv"))),
        tr("CSV files (*.csv);;All files (*)"));
    LastFolder::remember(fileName);
    if (fileName.isEmpty())
        return;
    // The file may sit on a slow or network drive: it is written off the GUI thread, from a
    // copy of the list, which shares its data and takes well under a millisecond to make.
    const QVector<ModbusTransaction> rows = model->transactions();
    ui->pushButton_save->setEnabled(false);
    ui->label_saved->setText(tr("Saving..."));
    saver.reset(QThread::create([this, rows, fileName] {
        QSaveFile file(fileName);
        QString error;
        if (!file.open(QIODevice::WriteOnly) || file.write(TrafficModel::csv(rows)) < 0
            || !file.commit())
            error = file.errorString();
        QMetaObject::invokeMethod(
            this, [this, fileName, count = rows.size(), error] { saved(fileName, count, error); },
            Qt::QueuedConnection);
    }));
    saver->start();
}

void TrafficWindow::saved(const QString &fileName, int rows, const QString &error)
{
    saver->wait(); // it has only its return left
    saver.reset();
    ui->pushButton_save->setEnabled(true);
    if (!error.isEmpty()) {
        ui->label_saved->clear();
        QMessageBox::warning(
            this, tr("Save bus traffic"),
            tr("Could not save %1: %2").arg(QDir::toNativeSeparators(fileName), error));
        return;
    }
    const QString where = QDir::toNativeSeparators(fileName);
    ui->label_saved->setText(rows == 1 ? tr("1 transaction saved to %1").arg(where)
                                       : tr("%1 transactions saved to %2").arg(rows).arg(where));
}
