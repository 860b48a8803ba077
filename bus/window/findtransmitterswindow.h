#ifndef FINDTRANSMITTERSWINDOW_H
#define FINDTRANSMITTERSWINDOW_H

#include "scanner.h"

#include <QElapsedTimer>
#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;
class ScanThread;

// "Find transmitters": starts a scan, shows its progress and the transmitters as they are
// found, connects the main window to one of them and saves the list. The scan itself runs on a
// thread of its own; this window only starts it and shows what it reports.
class FindTransmittersWindow : public QWidget
{
    Q_OBJECT

public:
    explicit FindTransmittersWindow(QWidget *parent = nullptr);
    ~FindTransmittersWindow() override;

    // The endpoint from the main window's Port box.
    void setPort(const QString &endpoint);
    // A scan needs the line to itself: Start waits while the main window polls.
    void setLineBusy(bool busy);
    bool isScanning() const { return thread != nullptr; }
    // Test hook: how the scan reaches its endpoint.
    void setEndpointFactory(Scanner::EndpointFactory factory) { endpointFactory = factory; }

signals:
    // "Connect to this one": the main window takes these settings and connects.
    void connectRequested(const ConnectionSettings &settings);

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void start();
    void cancel();
    void addFound(const FoundTransmitter &unit);
    void showProgress(int done, int total, qint64 msLeft);
    void scanFinished();
    void connectToSelected();
    void saveList();
    void updateControls();

private:
    bool readSettings(ScanSettings *settings, QString *error) const;
    void stopScan();

    QLineEdit *port = nullptr;
    QComboBox *search = nullptr;
    QComboBox *line = nullptr;
    QSpinBox *firstUnit = nullptr;
    QSpinBox *lastUnit = nullptr;
    QSpinBox *timeout = nullptr;
    QPushButton *startButton = nullptr;
    QPushButton *cancelButton = nullptr;
    QLabel *startReason = nullptr;
    QProgressBar *progress = nullptr;
    QLabel *timeLeft = nullptr;
    QTableWidget *table = nullptr;
    QPushButton *connectButton = nullptr;
    QPushButton *saveButton = nullptr;
    QLabel *status = nullptr;

    ScanThread *thread = nullptr;
    Scanner::EndpointFactory endpointFactory;
    Endpoint scannedEndpoint; // of the list shown
    QList<FoundTransmitter> found;
    QElapsedTimer clock;
    bool lineBusy = false;

    friend class tst_FindTransmittersWindow;
};

#endif // FINDTRANSMITTERSWINDOW_H
