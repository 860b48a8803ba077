#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "connectionsettings.h"
#include "reading.h"
#include "recordfile.h"

#include <QColor>
#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <optional>

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

class FindTransmittersWindow;
class ModbusMasterThread;
class QComboBox;
class QKeyEvent;
class QLabel;
class TrafficModel;
class TrafficStatistics;
class TrafficWindow;
class RecordSession;
class TrendStore;
class TrendWindow;
struct ConnectionSettings;
struct ModbusTransaction;
namespace Firmware {
enum class FeatureSet;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Called once after the event loop has ended: waits for a transaction in flight, then
    // deletes the thread object and the form.
    void cleanUp();

    // Start-up choices from the command line: a path typed into the Port box, and Connect.
    void choosePort(const QString &path);
    void connectPort();
    // The connection the next Connect uses: line settings, unit address, time-out, pause; an
    // endpoint that is set goes into the Port box. Also what "Connect to this one" hands over.
    void setConnectionSettings(const ConnectionSettings &settings);
    ConnectionSettings connectionSettings() const;
    bool isPolling() const { return polling; }
    // Records the session to path from now on (File > Start recording, or --record).
    void startRecording(const QString &path, RecordFile::Existing existing);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

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
    void showTraffic();
    void transaction(const ModbusTransaction &t);
    void saveCommissioningRecord();
    void askForRecordFile();
    void stopRecording();
    void recordingFailed(const QString &text);
    void showRecordingStatus();
    void acknowledgeRecordingError();
    void showTrend();
    void showFindTransmitters();

private:
    enum class Parameter { BaudRate, Parity, StopBits, Address };
    static constexpr int parameterCount = 4;

    // The outcome of the user's writes, per parameter: what was written and whether the next
    // persistent read is still to confirm it, and the lasting note beside its editor.
    struct WriteOutcome
    {
        QString written;
        bool readBackDue = false;
        QLabel *note = nullptr;
    };
    void noteWriteSent(const ModbusTransaction &t);
    void checkReadBack();
    void setNote(Parameter parameter, const QString &text);
    void clearNotes();
    QLabel *reportLabel(Parameter parameter) const;
    // On an installed bus a line or address write may cut a unit off from the rest of the line:
    // asked first, Cancel by default. True when the write may go ahead.
    bool confirmWrite(Parameter parameter);
    QWidget *editor(Parameter parameter) const;
    // Puts an editor back on the value the transmitter reported, without marking a write.
    void showReported(Parameter parameter);
    // A typed address that no transmitter can take is refused in the note, not cut short.
    bool refuseTypedAddress(QKeyEvent *event);
    // Failures in the error colour, everything else in the window's own.
    void setMessageTone(bool failure);
    void statusMessageChanged(const QString &text);

    void connectCalculatedValues();
    void disconnectCalculatedValues();
    void setupLegacyParameters();
    void setupParametersUpTo19200();
    void setupParametersUpTo38400();
    void disableParameters();
    void setupEditableParameters(bool offer38400);

    // Makes (on) or undoes a link; either way it stands at most once afterwards.
    void setReportLink(Parameter parameter, bool on);
    void setChangeLink(Parameter parameter, bool on);
    void setHousingLink(bool on);
    void setSerialNumberTrLink(bool on);
    // Sets a selector to its reported item without marking a write.
    void selectReportedItem(Parameter parameter, QComboBox *selector, const QString &text);
    void stopPolling();
    // Tells the Find transmitters window whether the line is ours.
    void lineBusyChanged();
    // A permanent status-bar item in the window's own colours.
    QLabel *addStatusItem(const QString &name, const QString &accessibleName);
    // Writes the record of the last reading in a thread of its own; the status bar tells how it
    // went.
    void writeCommissioningRecord(const QString &fileName);
    // Greys the labels of a block whose last read failed, until a good read refreshes them.
    void markStale(bool volatileBlock, bool stale);
    // Which values a record saved now would hold from an earlier read; empty when none.
    QString staleNote() const;
    void fitToText();
    // What the feature set in force shows. Reports of one answer are all queued before the
    // firmware report among them is handled, so a link undone there still delivers the rest;
    // each report slot asks here before it applies its value.
    bool showsCalculatedValues() const;
    bool showsTransmitterSerial() const;
    bool setsLineParameters() const;

    Ui::MainWindow *ui = nullptr;
    ModbusMasterThread *mbThread = nullptr;
    bool polling = false;
    bool writeAddressPending = false;
    bool writeParityPending = false;
    bool writeStopBitsPending = false;
    bool writeBaudRatePending = false;
    WriteOutcome outcomes[parameterCount];
    QColor errorColour;               // the form's colour of the status bar
    QLabel *lastGoodRead = nullptr;   // permanent status-bar item
    QLabel *lineStatistics = nullptr; // permanent status-bar item
    QLabel *messageLabel = nullptr;   // the bar's message, whole
    bool recordingShown = false;
    RecordSession *recording = nullptr;
    QLabel *recordingStatus = nullptr; // permanent status-bar item while recording
    QString recordingError;            // shown in that item until the user acknowledges it
    TrendStore *trendStore = nullptr;
    TrendWindow *trendWindow = nullptr;           // made when first shown
    FindTransmittersWindow *findWindow = nullptr; // made when first shown
    // The feature set of the last firmware report; none while idle.
    std::optional<Firmware::FeatureSet> featuresInForce;

    // The commissioning record's source: the last good read of each block since Connect.
    QString connectedPort;

    // Following a transmitter to line settings or an address just written to it.
    void showConnection();
    void editConnection();
    void noteWrittenSetting(const QByteArray &request);
    ConnectionSettings connection; // line, unit, time-out, pause; the endpoint is the Port box's
    std::optional<ConnectionSettings> followCandidate; // where it may answer after the writes
    std::optional<ConnectionSettings> followFrom;      // the settings left for a try there
    bool followNext = false;                           // the next transaction tries followCandidate
    int silentReads = 0;                               // transactions in a row without an answer
    bool followAnswered = false;
    class QPushButton *connectionButton = nullptr;
    Commissioning::Reading lastReading;
    QDateTime lastReadingTime; // when the volatile block of lastReading was asked for
    bool persistentRead = false;
    bool volatileRead = false;
    // The last read of the block failed: its values shown, and recorded, are an earlier read's.
    bool volatileStale = false;
    bool persistentStale = false;
    QPointer<QThread> recordWriter;

    // The bus traffic is kept and counted for the whole program, whether its window is open or
    // not; the window is made when first asked for.
    TrafficModel *trafficModel = nullptr;
    TrafficStatistics *trafficStatistics = nullptr;
    TrafficWindow *trafficWindow = nullptr;

    // Which block the next read fetches: 0 persistent, 1 volatile. One for the program; neither
    // construction nor connecting resets it.
    static quint8 readPhase;

    friend class tst_MainWindow;
    friend class tst_EndToEnd;
    friend class tst_FindTransmittersWindow;
};

#endif // MAINWINDOW_H
