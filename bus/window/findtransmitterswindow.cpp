#include "findtransmitterswindow.h"

#include "lastfolder.h"
#include "scanreport.h"
#include "scanthread.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QtConcurrent>

namespace {

QString secondsText(qint64 ms)
{
    return QString::number(ms / 1000.0, 'f', 1);
}

// Written off the window's thread: a slow disk must not stall the window.
QString writeFile(const QString &fileName, const QByteArray &bytes)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return file.errorString();
    return QString();
}

} // namespace

FindTransmittersWindow::FindTransmittersWindow(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("FindTransmittersWindow"));
    setWindowTitle(tr("Find transmitters"));

    port = new QLineEdit;
    port->setAccessibleName(tr("Port"));
    search = new QComboBox;
    search->addItem(tr("Every address on the bus"));
    search->addItem(tr("Lone transmitter, address 255"));
    search->setAccessibleName(tr("Search"));
    search->setAccessibleDescription(
        tr("A bus search asks each address; a lone search asks address 255 at each line "
           "setting until one answers"));
    line = new QComboBox;
    line->addItem(tr("All 42 settings"));
    for (const LineSettings &l : LineSettings::searchOrder())
        line->addItem(l.displayText(), l.toString());
    line->setCurrentIndex(1); // 19200 8N1
    line->setAccessibleName(tr("Line settings"));
    firstUnit = new QSpinBox;
    lastUnit = new QSpinBox;
    for (QSpinBox *box : { firstUnit, lastUnit }) {
        box->setRange(ConnectionSettings::firstUnit, ConnectionSettings::lastUnit);
        box->setKeyboardTracking(false);
    }
    lastUnit->setValue(ConnectionSettings::lastUnit);
    firstUnit->setAccessibleName(tr("First address"));
    lastUnit->setAccessibleName(tr("Last address"));
    timeout = new QSpinBox;
    timeout->setRange(ScanSettings::minimumTimeoutMs, ScanSettings::maximumTimeoutMs);
    timeout->setValue(ScanSettings::defaultTimeoutMs);
    timeout->setSuffix(tr(" ms"));
    timeout->setKeyboardTracking(false);
    timeout->setAccessibleName(tr("Time-out per address"));
    timeout->setAccessibleDescription(tr("How long each address is given to start its answer"));

    auto *range = new QHBoxLayout;
    range->addWidget(firstUnit);
    range->addWidget(new QLabel(tr("to")));
    range->addWidget(lastUnit);
    range->addStretch();
    auto *form = new QFormLayout;
    form->addRow(tr("&Port:"), port);
    form->addRow(tr("Searc&h:"), search);
    form->addRow(tr("&Line settings:"), line);
    form->addRow(tr("A&ddresses:"), range);
    form->addRow(tr("&Time-out:"), timeout);
    // The address range's label leads to its first box.
    if (auto *label = qobject_cast<QLabel *>(form->labelForField(range)))
        label->setBuddy(firstUnit);

    startButton = new QPushButton(tr("&Start"));
    cancelButton = new QPushButton(tr("&Cancel"));
    startReason = new QLabel;
    startReason->setTextFormat(Qt::PlainText);
    startReason->setAccessibleName(tr("Why Start is disabled"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(startButton);
    buttons->addWidget(cancelButton);
    buttons->addWidget(startReason, 1);

    progress = new QProgressBar;
    progress->setAccessibleName(tr("Scan progress"));
    progress->setRange(0, 1);
    progress->setValue(0);
    timeLeft = new QLabel;
    timeLeft->setTextFormat(Qt::PlainText);
    timeLeft->setAccessibleName(tr("Time left"));
    auto *progressRow = new QHBoxLayout;
    progressRow->addWidget(progress, 1);
    progressRow->addWidget(timeLeft);

    table = new QTableWidget(0, ScanReport::keys().size());
    table->setHorizontalHeaderLabels({ tr("Address"), tr("Line"), tr("Firmware"), tr("Housing"),
                                       tr("Probe serial"), tr("Transmitter serial"), tr("T / °C"),
                                       tr("RH / %"), tr("Note") });
    table->setAccessibleName(tr("Transmitters found"));
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setTabKeyNavigation(false);
    table->verticalHeader()->hide();
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // The note takes what is left, so the figures never scroll out of sight.
    table->horizontalHeader()->setSectionResizeMode(table->columnCount() - 1, QHeaderView::Stretch);

    connectButton = new QPushButton(tr("C&onnect to this one"));
    connectButton->setAccessibleDescription(
        tr("Sets the main window's connection to the selected transmitter and connects"));
    saveButton = new QPushButton(tr("Sa&ve list..."));
    status = new QLabel;
    status->setTextFormat(Qt::PlainText);
    status->setAccessibleName(tr("Scan result"));
    status->setWordWrap(true);
    auto *resultButtons = new QHBoxLayout;
    resultButtons->addWidget(connectButton);
    resultButtons->addWidget(saveButton);
    resultButtons->addStretch();

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
    layout->addLayout(progressRow);
    layout->addWidget(table, 1);
    layout->addLayout(resultButtons);
    layout->addWidget(status);

    connect(startButton, &QPushButton::clicked, this, &FindTransmittersWindow::start);
    connect(cancelButton, &QPushButton::clicked, this, &FindTransmittersWindow::cancel);
    connect(connectButton, &QPushButton::clicked, this, &FindTransmittersWindow::connectToSelected);
    connect(saveButton, &QPushButton::clicked, this, &FindTransmittersWindow::saveList);
    connect(search, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &FindTransmittersWindow::updateControls);
    connect(port, &QLineEdit::textChanged, this, &FindTransmittersWindow::updateControls);
    connect(table, &QTableWidget::itemSelectionChanged, this,
            &FindTransmittersWindow::updateControls);
    connect(table, &QTableWidget::cellActivated, this, &FindTransmittersWindow::connectToSelected);
    resize(840, 460);
    updateControls();
}

FindTransmittersWindow::~FindTransmittersWindow()
{
    stopScan();
}

void FindTransmittersWindow::setPort(const QString &endpoint)
{
    if (!isScanning())
        port->setText(endpoint);
}

void FindTransmittersWindow::setLineBusy(bool busy)
{
    lineBusy = busy;
    updateControls();
}

void FindTransmittersWindow::closeEvent(QCloseEvent *event)
{
    stopScan();
    event->accept();
}

void FindTransmittersWindow::updateControls()
{
    const bool scanning = isScanning();
    const bool lone = search->currentIndex() == 1;
    QString reason;
    if (lineBusy)
        reason = tr("The main window is polling this line: disconnect there to scan.");
    else if (port->text().trimmed().isEmpty())
        reason = tr("Enter the port to scan.");
    startReason->setText(reason);
    startButton->setEnabled(!scanning && reason.isEmpty());
    startButton->setAccessibleDescription(reason);
    cancelButton->setEnabled(scanning);
    for (QWidget *w : { static_cast<QWidget *>(port), static_cast<QWidget *>(search),
                        static_cast<QWidget *>(timeout) })
        w->setEnabled(!scanning);
    line->setEnabled(!scanning && !lone);
    firstUnit->setEnabled(!scanning && !lone);
    lastUnit->setEnabled(!scanning && !lone);
    const bool selected = !table->selectedItems().isEmpty();
    connectButton->setEnabled(!scanning && !lineBusy && selected);
    saveButton->setEnabled(!scanning && !found.isEmpty());
}

bool FindTransmittersWindow::readSettings(ScanSettings *settings, QString *error) const
{
    if (!Endpoint::parse(port->text(), &settings->endpoint, error))
        return false;
    settings->search =
        search->currentIndex() == 1 ? ScanSettings::Search::Lone : ScanSettings::Search::Bus;
    settings->allLines = line->currentIndex() == 0;
    if (!settings->allLines)
        LineSettings::parse(line->currentData().toString(), &settings->line);
    settings->firstUnit = qMin(firstUnit->value(), lastUnit->value());
    settings->lastUnit = qMax(firstUnit->value(), lastUnit->value());
    settings->timeoutMs = timeout->value();
    return true;
}

void FindTransmittersWindow::start()
{
    if (isScanning() || lineBusy)
        return;
    ScanSettings settings;
    QString error;
    if (!readSettings(&settings, &error)) {
        status->setText(tr("Port: %1").arg(error));
        return;
    }
    found.clear();
    table->setRowCount(0);
    scannedEndpoint = settings.endpoint;
    progress->setRange(0, 1);
    progress->setValue(0);
    timeLeft->clear();
    status->setText(tr("Scanning %1...").arg(settings.endpoint.name()));
    thread = new ScanThread(settings, endpointFactory, this);
    connect(thread, &ScanThread::found, this, &FindTransmittersWindow::addFound);
    connect(thread, &ScanThread::progress, this, &FindTransmittersWindow::showProgress);
    connect(thread, &QThread::finished, this, &FindTransmittersWindow::scanFinished);
    clock.start();
    thread->start();
    updateControls();
    cancelButton->setFocus();
}

void FindTransmittersWindow::cancel()
{
    if (thread) {
        thread->cancel();
        status->setText(tr("Cancelling after the request in flight..."));
    }
}

void FindTransmittersWindow::stopScan()
{
    if (!thread)
        return;
    // Within one transaction: at most the time-out and an answer's length.
    thread->cancel();
    thread->wait();
    delete thread;
    thread = nullptr;
}

void FindTransmittersWindow::addFound(const FoundTransmitter &unit)
{
    found << unit;
    const int row = table->rowCount();
    table->insertRow(row);
    const QStringList cells = ScanReport::displayFields(unit);
    for (int column = 0; column < cells.size(); ++column) {
        auto *item = new QTableWidgetItem(cells.at(column));
        if (column != 1 && column != 2 && column != cells.size() - 1)
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        table->setItem(row, column, item);
    }
    if (row == 0)
        table->selectRow(0);
}

void FindTransmittersWindow::showProgress(int done, int total, qint64 msLeft)
{
    progress->setRange(0, total);
    progress->setValue(done);
    timeLeft->setText(
        tr("%1 of %2, about %3 s left").arg(done).arg(total).arg(secondsText(msLeft)));
}

void FindTransmittersWindow::scanFinished()
{
    if (!thread)
        return;
    const Scanner::Outcome outcome = thread->outcome();
    const QString failure = thread->failureText();
    const QStringList skipped = thread->skippedLines();
    thread->wait();
    thread->deleteLater();
    thread = nullptr;
    const QString seconds = secondsText(clock.elapsed());
    const QString count =
        found.size() == 1 ? tr("1 transmitter") : tr("%1 transmitters").arg(found.size());
    switch (outcome) {
    case Scanner::Outcome::PortFailure:
        status->setText(failure);
        break;
    case Scanner::Outcome::Cancelled:
        status->setText(tr("Cancelled after %1 s: %2 found so far.").arg(seconds, count));
        break;
    case Scanner::Outcome::Finished:
        status->setText(found.isEmpty() ? tr("No transmitter answered (%1 s).").arg(seconds)
                                        : tr("%1 found in %2 s.").arg(count, seconds));
        timeLeft->setText(tr("done"));
        break;
    }
    if (!skipped.isEmpty())
        status->setText(status->text() + QLatin1Char(' ')
                        + tr("Skipped %1 line settings, which the port cannot be set to (%2).")
                              .arg(skipped.size())
                              .arg(skipped.first()));
    updateControls();
}

void FindTransmittersWindow::connectToSelected()
{
    const QList<QTableWidgetItem *> items = table->selectedItems();
    if (items.isEmpty() || isScanning() || lineBusy)
        return;
    const int row = items.first()->row();
    if (row < 0 || row >= found.size())
        return;
    emit connectRequested(found.at(row).connection(scannedEndpoint));
}

void FindTransmittersWindow::saveList()
{
    const QString fileName = QFileDialog::getSaveFileName(
        this, tr("Save list"), LastFolder::suggest(QStringLiteral("transmitters.csv")),
        tr("CSV files (*.csv)"));
    LastFolder::remember(fileName);
    if (fileName.isEmpty())
        return;
    auto *watcher = new QFutureWatcher<QString>(this);
    connect(watcher, &QFutureWatcher<QString>::finished, this, [this, watcher, fileName] {
        const QString error = watcher->result();
        status->setText(error.isEmpty() ? tr("List saved to %1").arg(fileName)
                                        : tr("Can't save %1: %2").arg(fileName, error));
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run(writeFile, fileName, ScanReport::csv(found)));
}
