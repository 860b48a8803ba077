#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QString>

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

class ModbusMasterThread;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Called once after the event loop has ended: waits for a transaction in flight, then
    // deletes the thread object and the form.
    void cleanUp();

private slots:
    void startStopPolling();
    void refresh();
    void error(QString s);
    void info(QString s);
    void mbThreadFinished();
    void addressChanged();
    void parityChanged();
    void stopBitsChanged();
    void baudRateChanged();
    void temperature(float f);
    void temperatureAlarm(int i);
    void humidity(float f);
    void humidityAlarm(int i);
    void serialNumber(int i);
    void serialNumberTr(int i);
    void dewPointTemperature(float f);
    void enthalpy(float f);
    void mixingRatio(float f);
    void absoluteHumidity(float f);
    void wetBulbTemperatur(float f);
    void hxAlarm(int i);
    void address(int i);
    void parity(QString s);
    void stopBits(QString s);
    void baudRate(QString s);
    void firmware(QString id, int y, int m, int d);
    void housing(int i);
    void aboutQt();
    void aboutApplication();
    void help();

private:
    void connectCalculatedValues();
    void disconnectCalculatedValues();
    void setupLegacyParameters();
    void setupParametersUpTo19200();
    void setupParametersUpTo38400();
    void disableParameters();

    Ui::MainWindow *ui = nullptr;
    ModbusMasterThread *mbThread = nullptr;
    bool polling = false;
    bool writeAddressPending = false;
    bool writeParityPending = false;
    bool writeStopBitsPending = false;
    bool writeBaudRatePending = false;

    friend class tst_MainWindow;
};

#endif // MAINWINDOW_H
