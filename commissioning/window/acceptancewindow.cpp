#include "acceptancewindow.h"

#include "acceptancereport.h"
#include "commissioningrecord.h"
#include "lastfolder.h"
#include "modbustransaction.h"

#include <QDateEdit>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

#include <cmath>

using namespace Commissioning;

namespace {

enum Column {
    PointColumn,
    TemperatureReference,
    TemperatureMean,
    TemperatureSpread,
    TemperatureDeviation,
    HumidityReference,
    HumidityMean,
    HumiditySpread,
    HumidityDeviation,
    VerdictColumn,
    ColumnCount
};

QString figure(double value, bool sign = false)
{
    if (!std::isfinite(value))
        return QStringLiteral("NaN");
    return (sign && value > 0.005 ? QStringLiteral("+") : QString())
        + QString::number(value, 'f', 2);
}

// Light backgrounds under black text; the word in the cell carries the meaning on its own.
QColor verdictColour(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Pass:
        return QColor(0xc8, 0xe6, 0xc9);
    case Verdict::Fail:
        return QColor(0xff, 0xcd, 0xd2);
    case Verdict::NotSettled:
        return QColor(0xff, 0xe0, 0xb2);
    case Verdict::NotChecked:
        break;
    }
    return QColor();
}

QString verdictWord(Verdict verdict)
{
    return verdict == Verdict::Pass ? AcceptanceWindow::tr("PASS")
        : verdict == Verdict::Fail  ? AcceptanceWindow::tr("FAIL")
                                    : verdictText(verdict);
}

QDoubleSpinBox *spinBox(double low, double high, double value, const QString &suffix,
                        const QString &name)
{
    auto *box = new QDoubleSpinBox;
    box->setRange(low, high);
    box->setDecimals(2);
    box->setSingleStep(0.1);
    box->setValue(value);
    box->setSuffix(suffix);
    box->setKeyboardTracking(false);
    box->setAccessibleName(name);
    return box;
}

} // namespace

AcceptanceWindow::AcceptanceWindow(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("AcceptanceWindow"));
    setWindowTitle(tr("Acceptance check"));

    auto *unitBox = new QGroupBox(tr("Unit"));
    auto *unitForm = new QFormLayout(unitBox);
    tag = new QLineEdit;
    location = new QLineEdit;
    technician = new QLineEdit;
    unitForm->addRow(tr("&Tag:"), tag);
    unitForm->addRow(tr("&Location:"), location);
    unitForm->addRow(tr("Tec&hnician:"), technician);

    auto *referenceBox = new QGroupBox(tr("Reference instrument"));
    auto *referenceForm = new QFormLayout(referenceBox);
    instrument = new QLineEdit;
    instrumentSerial = new QLineEdit;
    calibrationDue = new QDateEdit(QDate::currentDate().addYears(1));
    calibrationDue->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    calibrationDue->setCalendarPopup(true);
    referenceForm->addRow(tr("&Instrument:"), instrument);
    referenceForm->addRow(tr("&Serial number:"), instrumentSerial);
    referenceForm->addRow(tr("Calibration &due:"), calibrationDue);

    auto *pointBox = new QGroupBox(tr("Next point"));
    auto *pointForm = new QFormLayout(pointBox);
    referenceTemperature =
        spinBox(-100, 200, 22.0, QStringLiteral(" °C"), tr("Reference temperature"));
    referenceHumidity = spinBox(-1, 100, 50.0, QStringLiteral(" % r.H."), tr("Reference humidity"));
    referenceHumidity->setSpecialValueText(tr("not entered"));
    toleranceTemperature = spinBox(0, 20, 0.5, QStringLiteral(" °C"), tr("Temperature tolerance"));
    toleranceHumidity = spinBox(0, 50, 3.0, QStringLiteral(" % r.H."), tr("Humidity tolerance"));
    toleranceTemperature->setPrefix(QStringLiteral("± "));
    toleranceHumidity->setPrefix(QStringLiteral("± "));
    pointForm->addRow(tr("Reference t&emperature:"), referenceTemperature);
    pointForm->addRow(tr("Reference h&umidity:"), referenceHumidity);
    pointForm->addRow(tr("Tolerance te&mperature:"), toleranceTemperature);
    pointForm->addRow(tr("Tolerance hu&midity:"), toleranceHumidity);
    live = new QLabel(tr("Transmitter: no reading yet"));
    live->setTextFormat(Qt::PlainText);
    live->setAccessibleName(tr("Transmitter now"));
    pointForm->addRow(live);

    table = new QTableWidget(0, ColumnCount);
    table->setAccessibleName(tr("Check points"));
    table->setHorizontalHeaderLabels(
        { tr("Point"), tr("Reference\n°C"), tr("Mean\n°C"), tr("Spread\n°C"), tr("Deviation\n°C"),
          tr("Reference\n% r.H."), tr("Mean\n% r.H."), tr("Spread\n% r.H."),
          tr("Deviation\n% r.H."), tr("Verdict") });
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);

    progress = new QProgressBar;
    progress->setAccessibleName(tr("Settling"));
    progress->setValue(0);
    progress->setTextVisible(true);
    progress->setFormat(tr("No point in progress"));
    take = new QPushButton(tr("Take &point"));
    cancel = new QPushButton(tr("C&ancel point"));
    saveRecordButton = new QPushButton(tr("Save &record..."));
    saveReportButton = new QPushButton(tr("Save rep&ort..."));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(take);
    buttons->addWidget(cancel);
    buttons->addWidget(progress, 1);
    auto *saveButtons = new QHBoxLayout;
    overall = new QLabel;
    overall->setTextFormat(Qt::PlainText);
    overall->setAccessibleName(tr("Overall verdict"));
    saveButtons->addWidget(overall, 1);
    saveButtons->addWidget(saveRecordButton);
    saveButtons->addWidget(saveReportButton);
    status = new QLabel;
    status->setTextFormat(Qt::PlainText);
    status->setAccessibleName(tr("Status"));

    auto *top = new QHBoxLayout;
    top->addWidget(unitBox);
    top->addWidget(referenceBox);
    top->addWidget(pointBox);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(buttons);
    layout->addWidget(table, 1);
    layout->addLayout(saveButtons);
    layout->addWidget(status);

    const QPair<QWidget *, const char *> names[] = {
        { take, "takePoint" },
        { cancel, "cancelPoint" },
        { saveRecordButton, "saveRecord" },
        { saveReportButton, "saveReport" },
        { table, "points" },
        { overall, "overall" },
        { progress, "settling" },
        { live, "live" },
        { status, "status" },
        { referenceTemperature, "referenceTemperature" },
        { referenceHumidity, "referenceHumidity" },
    };
    for (const auto &name : names)
        name.first->setObjectName(QLatin1String(name.second));

    connect(take, &QPushButton::clicked, this, &AcceptanceWindow::takePoint);
    connect(cancel, &QPushButton::clicked, this, &AcceptanceWindow::cancelPoint);
    connect(saveRecordButton, &QPushButton::clicked, this, &AcceptanceWindow::saveRecord);
    connect(saveReportButton, &QPushButton::clicked, this, &AcceptanceWindow::saveReport);
    showOverall();
    updateButtons();
    resize(1000, 520);
}

AcceptanceWindow::~AcceptanceWindow()
{
    if (writer)
        writer->wait();
}

void AcceptanceWindow::setConnected(bool on, const QString &portName)
{
    connected = on;
    if (on) {
        // Another unit may be on the line now: no reading of the last one may go into a point.
        if (portName != port)
            persistentRead = volatileRead = false;
        port = portName;
    } else {
        if (taking) {
            cancelPoint();
            status->setText(tr("Disconnected: the point in progress was dropped"));
        }
        persistentRead = volatileRead = false;
    }
    updateButtons();
}

void AcceptanceWindow::transaction(const ModbusTransaction &t)
{
    using ModbusProtocol::ResponseKind;
    if (!connected)
        return;
    if (t.judgement.kind == ResponseKind::PersistentBlock) {
        reading.persistent = t.judgement.persistentValues;
        persistentRead = true;
        updateButtons();
        return;
    }
    if (t.judgement.kind != ResponseKind::VolatileBlock)
        return;
    reading.values = t.judgement.volatileValues;
    volatileRead = true;
    live->setText(tr("Transmitter: %1 °C, %2 % r.H. (serial number %3)")
                      .arg(figure(reading.values.temperature), figure(reading.values.humidity))
                      .arg(reading.values.serialNumber));
    if (taking) {
        taking->add(reading.values.temperature, reading.values.humidity, takingSince.elapsed());
        const PointResult point = taking->result();
        showPoint(points.size(), point);
        if (taking->done()) {
            points.append(point);
            taking.reset();
            status->setText(
                point.settled
                    ? tr("Point %1 taken: %2").arg(points.size()).arg(verdictWord(point.verdict))
                    : tr("Point %1 taken without settling: %2")
                          .arg(points.size())
                          .arg(verdictWord(point.verdict)));
            showOverall();
        }
        showProgress();
    }
    updateButtons();
}

Record AcceptanceWindow::record() const
{
    Record r;
    r.time = points.isEmpty() ? QDateTime::currentDateTime() : points.last().time;
    r.tool = QStringLiteral("quorvel-setup");
    r.toolVersion = QStringLiteral(QUORVEL_VERSION);
    r.port = port;
    r.reading = reading;
    r.tag = tag->text().trimmed();
    r.location = location->text().trimmed();
    r.technician = technician->text().trimmed();
    r.reference =
        ReferenceInstrument { instrument->text().trimmed(), instrumentSerial->text().trimmed(),
                              calibrationDue->date() };
    if (!points.isEmpty())
        r.acceptance = Acceptance { Settling(), points };
    return r;
}

void AcceptanceWindow::takePoint()
{
    PointInput input;
    input.referenceTemperature = referenceTemperature->value();
    if (referenceHumidity->value() > referenceHumidity->minimum())
        input.referenceHumidity = referenceHumidity->value();
    input.tolerance = { toleranceTemperature->value(), toleranceHumidity->value() };
    taking = std::make_unique<PointTaker>(input);
    takingSince.start();
    table->setRowCount(points.size() + 1);
    auto *number = new QTableWidgetItem(QString::number(points.size() + 1));
    number->setTextAlignment(Qt::AlignCenter);
    table->setItem(points.size(), PointColumn, number);
    status->setText(tr("Waiting for %1 reads within %2 °C%3")
                        .arg(taking->settling().reads)
                        .arg(taking->settling().temperatureSpread)
                        .arg(input.referenceHumidity
                                 ? tr(" and %1 % r.H.").arg(taking->settling().humiditySpread)
                                 : QString()));
    showProgress();
    updateButtons();
}

void AcceptanceWindow::cancelPoint()
{
    taking.reset();
    table->setRowCount(points.size());
    status->setText(tr("Point cancelled"));
    showProgress();
    updateButtons();
}

void AcceptanceWindow::showPoint(int row, const PointResult &point)
{
    auto set = [this, row](int column, const QString &text) {
        auto *item = new QTableWidgetItem(text);
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        table->setItem(row, column, item);
    };
    const struct
    {
        const QuantityResult &q;
        int first;
    } quantities[] = { { point.temperature, TemperatureReference },
                       { point.humidity, HumidityReference } };
    for (const auto &quantity : quantities) {
        const QuantityResult &q = quantity.q;
        set(quantity.first, q.reference ? figure(*q.reference) : tr("–"));
        set(quantity.first + 1, figure(q.mean));
        set(quantity.first + 2, figure(q.spread));
        set(quantity.first + 3, q.reference ? figure(q.deviation, true) : tr("–"));
    }
    // Until the point is done its verdict is only what the figures say so far.
    const bool done = !taking || taking->done();
    auto *verdict = new QTableWidgetItem(done ? verdictWord(point.verdict) : tr("taking..."));
    if (done)
        verdict->setBackground(verdictColour(point.verdict));
    verdict->setToolTip(
        tr("Temperature: %1 (±%2 °C); humidity: %3 (±%4 % r.H.)%5")
            .arg(verdictText(point.temperature.verdict), figure(point.temperature.tolerance),
                 verdictText(point.humidity.verdict), figure(point.humidity.tolerance),
                 done && !point.settled ? tr("; not settled") : QString()));
    table->setItem(row, VerdictColumn, verdict);
}

void AcceptanceWindow::showProgress()
{
    if (!taking) {
        progress->setRange(0, 1);
        progress->setValue(0);
        progress->setFormat(tr("No point in progress"));
        return;
    }
    const Settling &s = taking->settling();
    if (taking->readsInWindow() < s.reads) {
        progress->setRange(0, s.reads);
        progress->setValue(taking->readsInWindow());
        progress->setFormat(tr("%v of %m reads"));
    } else {
        progress->setRange(0, s.timeoutSeconds);
        progress->setValue(int(std::min<qint64>(takingSince.elapsed() / 1000, s.timeoutSeconds)));
        progress->setFormat(
            tr("Settling: spread %1 °C, %2 % r.H.; %v s of %m s")
                .arg(figure(taking->temperatureSpread()), figure(taking->humiditySpread())));
    }
    progress->setAccessibleDescription(progress->text());
}

void AcceptanceWindow::showOverall()
{
    const Verdict verdict = overallVerdict(points);
    overall->setText(points.isEmpty() ? tr("Overall verdict: no point taken")
                                      : tr("Overall verdict: %1 (%2 of %3 points)")
                                            .arg(verdictWord(verdict))
                                            .arg(points.size())
                                            .arg(maximumPoints));
    QPalette palette = overall->palette();
    palette.setColor(QPalette::Window, verdictColour(verdict));
    overall->setAutoFillBackground(!points.isEmpty());
    overall->setPalette(palette);
}

void AcceptanceWindow::updateButtons()
{
    take->setEnabled(connected && persistentRead && !taking && points.size() < maximumPoints);
    cancel->setEnabled(bool(taking));
    saveRecordButton->setEnabled(!points.isEmpty() && !taking);
    saveReportButton->setEnabled(!points.isEmpty() && !taking);
}

void AcceptanceWindow::saveRecord()
{
    const QString fileName = QFileDialog::getSaveFileName(
        this, tr("Save commissioning record"),
        LastFolder::suggest(QStringLiteral("acceptance-%1.json").arg(reading.values.serialNumber)),
        tr("Commissioning records (*.json)"));
    LastFolder::remember(fileName);
    if (!fileName.isEmpty())
        writeFile(fileName, toDocument(record()), tr("Record"));
}

void AcceptanceWindow::saveReport()
{
    const QString fileName = QFileDialog::getSaveFileName(
        this, tr("Save acceptance report"),
        LastFolder::suggest(QStringLiteral("acceptance-%1.pdf").arg(reading.values.serialNumber)),
        tr("PDF documents (*.pdf)"));
    LastFolder::remember(fileName);
    // Drawn here, in memory; only the writing goes to a thread.
    if (!fileName.isEmpty())
        writeFile(fileName, AcceptanceReport::pdf(toJson(record())), tr("Report"));
}

void AcceptanceWindow::writeFile(const QString &fileName, const QByteArray &bytes,
                                 const QString &what)
{
    if (writer) {
        status->setText(tr("The last file is still being written"));
        return;
    }
    auto error = std::make_shared<QString>();
    writer = QThread::create([fileName, bytes, error] {
        QSaveFile file(fileName);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) < 0 || !file.commit())
            *error = QStringLiteral("Can't write %1: %2").arg(fileName, file.errorString());
    });
    writer->setParent(this);
    connect(writer, &QThread::finished, this, [this, fileName, error, what] {
        status->setText(error->isEmpty() ? tr("%1 saved to %2").arg(what, fileName) : *error);
        writer->deleteLater();
    });
    writer->start();
}
