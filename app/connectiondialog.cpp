#include "connectiondialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>

ConnectionDialog::ConnectionDialog(const ConnectionSettings &settings, QWidget *parent)
    : QDialog(parent), initial(settings)
{
    setWindowTitle(tr("Connection settings"));
    auto *form = new QFormLayout;

    baudRate = new QComboBox(this);
    for (int rate : LineSettings::baudRates())
        baudRate->addItem(QString::number(rate), rate);
    baudRate->setCurrentIndex(baudRate->findData(settings.line.baudRate));
    parity = new QComboBox(this);
    parity->addItem(tr("None"), int(LineSettings::Parity::None));
    parity->addItem(tr("Even"), int(LineSettings::Parity::Even));
    parity->addItem(tr("Odd"), int(LineSettings::Parity::Odd));
    parity->setCurrentIndex(parity->findData(int(settings.line.parity)));
    stopBits = new QComboBox(this);
    stopBits->addItem(QStringLiteral("1"), 1);
    stopBits->addItem(QStringLiteral("2"), 2);
    stopBits->setCurrentIndex(stopBits->findData(settings.line.stopBits));

    anyUnit = new QCheckBox(tr("&Any (255): only a transmitter alone on its line"), this);
    unit = new QSpinBox(this);
    unit->setRange(ConnectionSettings::firstUnit, ConnectionSettings::lastUnit);
    unit->setKeyboardTracking(false);
    const bool any = settings.unit == ConnectionSettings::anyUnit;
    anyUnit->setChecked(any);
    unit->setValue(any ? 1 : settings.unit);
    unit->setEnabled(!any);
    connect(anyUnit, &QCheckBox::toggled, unit, [this](bool on) { unit->setEnabled(!on); });

    timeout = new QSpinBox(this);
    timeout->setRange(ConnectionSettings::minimumTimeoutMs, ConnectionSettings::maximumTimeoutMs);
    timeout->setSuffix(tr(" ms"));
    timeout->setValue(settings.responseTimeoutMs);
    pause = new QSpinBox(this);
    pause->setRange(ConnectionSettings::minimumPauseMs, ConnectionSettings::maximumPauseMs);
    pause->setSingleStep(100);
    pause->setSuffix(tr(" ms"));
    pause->setValue(settings.pauseMs);

    const struct
    {
        QString label;
        QWidget *field;
        QString description;
    } rows[] = {
        { tr("&Baud rate:"), baudRate, tr("The baud rate the tool talks at") },
        { tr("&Parity:"), parity, tr("The parity the tool talks with; 8 data bits always") },
        { tr("&Stop bits:"), stopBits, tr("The stop bits the tool sends") },
        { tr("&Unit address:"), unit, tr("The address of the transmitter to ask, 1 to 247") },
        { tr("Response &time-out:"), timeout,
          tr("How long to wait for an answer; 300 ms listens six times 50 ms as on the bench") },
        { tr("Pa&use before each read:"), pause, tr("The pause between requests, 100 ms to 60 s") },
    };
    for (const auto &row : rows) {
        auto *label = new QLabel(row.label, this);
        label->setBuddy(row.field);
        row.field->setAccessibleName(QString(row.label).remove(QLatin1Char('&')).chopped(1));
        row.field->setAccessibleDescription(row.description);
        row.field->setToolTip(row.description);
        form->addRow(label, row.field);
        if (row.field == unit)
            form->addRow(QString(), anyUnit);
    }

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

ConnectionSettings ConnectionDialog::settings() const
{
    ConnectionSettings s = initial;
    s.line.baudRate = baudRate->currentData().toInt();
    s.line.parity = LineSettings::Parity(parity->currentData().toInt());
    s.line.stopBits = stopBits->currentData().toInt();
    s.unit = anyUnit->isChecked() ? ConnectionSettings::anyUnit : unit->value();
    s.responseTimeoutMs = timeout->value();
    s.pauseMs = pause->value();
    return s;
}
