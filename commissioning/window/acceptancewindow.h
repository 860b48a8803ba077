#ifndef ACCEPTANCEWINDOW_H
#define ACCEPTANCEWINDOW_H

#include "acceptancecheck.h"
#include "reading.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>

#include <memory>

class QDateEdit;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QThread;
struct ModbusTransaction;

namespace Commissioning {
struct Record;
}

// "Acceptance check", non-modal: the identity and reference fields, up to five points taken
// from the main window's volatile reads, and the record and report saved from them. The judging
// is Commissioning's; this window only shows it.
class AcceptanceWindow : public QWidget
{
    Q_OBJECT

public:
    explicit AcceptanceWindow(QWidget *parent = nullptr);
    ~AcceptanceWindow() override;

    // While connected, points can be taken; port goes into the record.
    void setConnected(bool connected, const QString &port);
    // Every transaction of the main window's line: the good block reads are taken in.
    void transaction(const ModbusTransaction &t);

    // The record as it would be saved now.
    Commissioning::Record record() const;

private:
    void takePoint();
    void cancelPoint();
    void showPoint(int row, const Commissioning::PointResult &point);
    void showProgress();
    void showOverall();
    void updateButtons();
    void saveRecord();
    void saveReport();
    // Writes bytes to a file in a thread of its own; the status line tells how it went.
    void writeFile(const QString &fileName, const QByteArray &bytes, const QString &what);

    QLineEdit *tag = nullptr;
    QLineEdit *location = nullptr;
    QLineEdit *technician = nullptr;
    QLineEdit *instrument = nullptr;
    QLineEdit *instrumentSerial = nullptr;
    QDateEdit *calibrationDue = nullptr;
    QDoubleSpinBox *referenceTemperature = nullptr;
    QDoubleSpinBox *referenceHumidity = nullptr; // its minimum reads "not entered"
    QDoubleSpinBox *toleranceTemperature = nullptr;
    QDoubleSpinBox *toleranceHumidity = nullptr;
    QLabel *live = nullptr;
    QTableWidget *table = nullptr;
    QProgressBar *progress = nullptr;
    QPushButton *take = nullptr;
    QPushButton *cancel = nullptr;
    QPushButton *saveRecordButton = nullptr;
    QPushButton *saveReportButton = nullptr;
    QLabel *overall = nullptr;
    QLabel *status = nullptr;

    bool connected = false;
    QString port;
    Commissioning::Reading reading;
    bool persistentRead = false;
    bool volatileRead = false;
    QVector<Commissioning::PointResult> points;
    std::unique_ptr<Commissioning::PointTaker> taking; // the point in progress
    QElapsedTimer takingSince;
    QPointer<QThread> writer;
};

#endif // ACCEPTANCEWINDOW_H
