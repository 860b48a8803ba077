#ifndef CONNECTIONDIALOG_H
#define CONNECTIONDIALOG_H

#include "connectionsettings.h"

#include <QDialog>

class QCheckBox;
class QComboBox;
class QSpinBox;

// "Connection settings": the tool's own line settings, the unit address, the response time-out
// and the pause between requests. The endpoint stays in the main window's Port box.
class ConnectionDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ConnectionDialog(const ConnectionSettings &settings, QWidget *parent = nullptr);

    // The settings as edited, with the endpoint they came with.
    ConnectionSettings settings() const;

private:
    ConnectionSettings initial;
    QComboBox *baudRate;
    QComboBox *parity;
    QComboBox *stopBits;
    QCheckBox *anyUnit;
    QSpinBox *unit;
    QSpinBox *timeout;
    QSpinBox *pause;
};

#endif // CONNECTIONDIALOG_H
