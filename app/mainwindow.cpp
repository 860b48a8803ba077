#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "acceptancewindow.h"
#include "commissioningrecord.h"
#include "connectiondialog.h"
#include "findtransmitterswindow.h"
#include "firmware.h"
#include "helpbrowser.h"
#include "lastfolder.h"
#include "modbusmasterthread.h"
#include "modbusparameters.h"
#include "modbusprotocol.h"
#include "modbustransaction.h"
#include "recordsession.h"
#include "trafficmodel.h"
#include "trafficstatistics.h"
#include "trafficwindow.h"
#include "trendstore.h"
#include "trendwindow.h"
#include "valueformat.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QSerialPortInfo>
#include <QStandardPaths>

#include <cstdio>

namespace {

const QString noValue = QStringLiteral("---");

QString rowCount(qint64 rows)
{
    return rows == 1 ? MainWindow::tr("1 row") : MainWindow::tr("%1 rows").arg(rows);
}

template<typename Sender, typename Signal, typename Receiver, typename Slot>
void setLink(const Sender *sender, Signal signal, const Receiver *receiver, Slot slot, bool on)
{
    // UniqueConnection keeps a link single however often it is made; disconnecting an absent
    // link does nothing.
    if (on)
        QObject::connect(sender, signal, receiver, slot, Qt::UniqueConnection);
    else
        QObject::disconnect(sender, signal, receiver, slot);
}

} // namespace

quint8 MainWindow::readPhase = 0;

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), mbThread(new ModbusMasterThread(this))
{
    ui->setupUi(this);

    const QPair<QComboBox *, QStringList> selectors[] = {
        { ui->comboBox_parity, ModbusParameters::texts(ModbusParameters::parity()) },
        { ui->comboBox_stopBits, ModbusParameters::texts(ModbusParameters::stopBits()) },
        // The seventh rate, 38400, is offered only to current firmware.
        { ui->comboBox_baudRate, ModbusParameters::texts(ModbusParameters::baudRate()).mid(0, 6) },
    };
    for (const auto &selector : selectors) {
        selector.first->addItems(selector.second);
        selector.first->setCurrentIndex(-1);
    }

    // A wheel turned while the pointer merely passes over an editor scrolls the window; only an
    // editor that has keyboard focus takes it, so no parameter is written by accident.
    for (QWidget *editor :
         QWidgetList { ui->comboBox_baudRate, ui->comboBox_parity, ui->comboBox_stopBits,
                       ui->spinBox_address, ui->comboBox_port })
        editor->installEventFilter(this);

    // The port box is only so wide; its tooltip holds the whole path that Connect will use.
    connect(ui->comboBox_port, &QComboBox::currentTextChanged, ui->comboBox_port,
            &QWidget::setToolTip);
    lastGoodRead = addStatusItem(QStringLiteral("lastGoodRead"), tr("Last good read"));
    lastGoodRead->setText(tr("Last good read: none"));
    lastGoodRead->setToolTip(tr("When the last read of either block that the transmitter "
                                "answered well went out"));

    errorColour = ui->statusBar->palette().color(QPalette::WindowText);
    // Beside each editor, a lasting note of a refused or not-taken write; the spacer that kept
    // the editors left moves one column on.
    ui->gridLayout->removeItem(ui->horizontalSpacer);
    ui->gridLayout->addItem(ui->horizontalSpacer, 0, 4);
    const QPair<Parameter, const char *> notes[] = {
        { Parameter::BaudRate, "note_baudRate" },
        { Parameter::Parity, "note_parity" },
        { Parameter::StopBits, "note_stopBits" },
        { Parameter::Address, "note_address" },
    };
    for (int row = 0; row < parameterCount; ++row) {
        auto *note = new QLabel(ui->groupBox);
        note->setObjectName(QLatin1String(notes[row].second));
        note->setTextFormat(Qt::PlainText);
        note->setWordWrap(true);
        QPalette error = note->palette();
        error.setColor(QPalette::WindowText, errorColour);
        note->setPalette(error);
        note->hide();
        ui->gridLayout->addWidget(note, row, 3);
        outcomes[int(notes[row].first)].note = note;
    }

    trafficModel = new TrafficModel(this);
    trafficStatistics = new TrafficStatistics(this);
    // A full list for measuring the window's cost, without days of polling; not for users.
    trafficModel->appendSynthetic(qEnvironmentVariableIntValue("QUORVEL_TRAFFIC_PRELOAD"));
    lineStatistics = addStatusItem(QStringLiteral("lineStatistics"), tr("Line statistics"));
    auto showStatistics = [this] {
        lineStatistics->setText(trafficStatistics->summary());
        lineStatistics->setToolTip(trafficStatistics->details());
        lineStatistics->setAccessibleDescription(trafficStatistics->details());
    };
    showStatistics();
    connect(trafficStatistics, &TrafficStatistics::changed, lineStatistics, showStatistics);

    // Beside Connect: the connection in force, and the dialog that changes it.
    connectionButton = new QPushButton(this);
    connectionButton->setObjectName(QStringLiteral("pushButton_connection"));
    connectionButton->setAccessibleName(tr("Connection settings"));
    ui->horizontalLayout->insertWidget(ui->horizontalLayout->indexOf(ui->pushButton_startStop) + 1,
                                       connectionButton);
    // The last button of the row would touch the window's edge; the Port label's own room keeps
    // the left end off it.
    QMargins margins = ui->horizontalLayout->contentsMargins();
    margins.setRight(ui->horizontalLayout->spacing());
    ui->horizontalLayout->setContentsMargins(margins);
    showConnection();
    connect(connectionButton, &QPushButton::clicked, this, &MainWindow::editConnection);

    refresh();
    fitToText();

    // The bar's own message comes first: the permanent items make way while one shows, and a
    // screen reader reads it as the bar's description. The bar draws a message on one line,
    // cut at its edge; this label shows it whole, over two lines where it must.
    messageLabel = new QLabel(ui->statusBar);
    messageLabel->setObjectName(QStringLiteral("statusMessage"));
    messageLabel->setTextFormat(Qt::PlainText);
    messageLabel->setWordWrap(true);
    messageLabel->setFont(ui->statusBar->font());
    messageLabel->hide();
    ui->statusBar->insertPermanentWidget(0, messageLabel, 1);
    ui->statusBar->installEventFilter(this);
    connect(ui->statusBar, &QStatusBar::messageChanged, this, &MainWindow::statusMessageChanged);

    connect(ui->pushButton_startStop, &QPushButton::clicked, this, &MainWindow::startStopPolling);
    connect(mbThread, &QThread::finished, this, &MainWindow::mbThreadFinished);
    connect(ui->pushButton_refresh, &QPushButton::clicked, this, &MainWindow::refresh);
    connect(mbThread, &ModbusMasterThread::temperature, this, &MainWindow::temperature);
    connect(mbThread, &ModbusMasterThread::temperatureAlarm, this, &MainWindow::temperatureAlarm);
    connect(mbThread, &ModbusMasterThread::humidity, this, &MainWindow::humidity);
    connect(mbThread, &ModbusMasterThread::humidityAlarm, this, &MainWindow::humidityAlarm);
    connect(mbThread, &ModbusMasterThread::serialNumber, this, &MainWindow::serialNumber);
    connect(mbThread, &ModbusMasterThread::firmware, this, &MainWindow::firmware);
    connect(ui->action_ber_Quorvel_Setup, &QAction::triggered, this, &MainWindow::aboutApplication);
    connect(ui->action_ber_Qt, &QAction::triggered, this, &MainWindow::aboutQt);
    connect(ui->actionHelp, &QAction::triggered, this, &MainWindow::help);
    connect(mbThread, &ModbusMasterThread::error, this, &MainWindow::error);
    connect(mbThread, &ModbusMasterThread::info, this, &MainWindow::info);
    connect(mbThread, &ModbusMasterThread::transaction, this, &MainWindow::transaction);
    connect(mbThread, &ModbusMasterThread::transaction, trafficModel, &TrafficModel::append);
    connect(mbThread, &ModbusMasterThread::transaction, trafficStatistics, &TrafficStatistics::add);
    connect(ui->actionBusTraffic, &QAction::triggered, this, &MainWindow::showTraffic);
    connect(ui->actionSaveCommissioningRecord, &QAction::triggered, this,
            &MainWindow::saveCommissioningRecord);

    // Recording and the trend take every transaction; they keep up whether shown or not.
    recording = new RecordSession(this);
    recordingStatus = addStatusItem(QStringLiteral("recordingStatus"), tr("Recording"));
    recordingStatus->setToolTip(tr("The record file and the rows on the disk"));
    recordingStatus->installEventFilter(this);
    recordingStatus->hide();
    trendStore = new TrendStore(this);
    connect(mbThread, &ModbusMasterThread::transaction, recording, &RecordSession::transaction);
    connect(mbThread, &ModbusMasterThread::transaction, trendStore, &TrendStore::transaction);
    connect(recording, &RecordSession::rowsWrittenChanged, this, &MainWindow::showRecordingStatus);
    connect(recording, &RecordSession::failed, this, &MainWindow::recordingFailed);
    connect(ui->actionStartRecording, &QAction::triggered, this, &MainWindow::askForRecordFile);
    connect(ui->actionStopRecording, &QAction::triggered, this, &MainWindow::stopRecording);
    connect(ui->actionTrend, &QAction::triggered, this, &MainWindow::showTrend);
    connect(ui->actionFindTransmitters, &QAction::triggered, this,
            &MainWindow::showFindTransmitters);

    // Tools > Acceptance check: usable while connected, which is when a record can be saved.
    // Made when first asked for; from then on it sees every transaction and each connect.
    connect(ui->actionSaveCommissioningRecord, &QAction::changed, this, [this] {
        const bool connected = ui->actionSaveCommissioningRecord->isEnabled();
        ui->actionAcceptanceCheck->setEnabled(connected);
        if (auto *check = findChild<AcceptanceWindow *>())
            check->setConnected(connected, connectedPort);
    });
    connect(ui->actionAcceptanceCheck, &QAction::triggered, this, [this] {
        auto *check = findChild<AcceptanceWindow *>();
        if (!check) {
            check = new AcceptanceWindow(this);
            connect(mbThread, &ModbusMasterThread::transaction, check,
                    &AcceptanceWindow::transaction);
            check->setConnected(true, connectedPort);
        }
        check->show();
        check->raise();
        check->activateWindow();
    });
}

MainWindow::~MainWindow() = default;

void MainWindow::fitToText()
{
    // Until the window is first shown, a text set on a label does not reach its layout, which
    // still holds the sizes of the empty labels that setupUi created.
    ensurePolished();
    for (QLayout *layout : findChildren<QLayout *>())
        layout->invalidate();
    // The firmware text is the widest value; its column is kept wide enough before the first
    // report, so that the report does not make the window scroll.
    const QString widestFirmware = QStringLiteral("WWWW__2014-03-07");
    QLabel *firmware = ui->label_firmware;
    firmware->setMinimumWidth(
        qMax(firmware->minimumWidth(), firmware->fontMetrics().horizontalAdvance(widestFirmware)));

    // The form's size is a minimum: at a larger font the window starts as large as every row
    // needs. The scroll area's own size hint is capped at a few dozen lines, so its content's
    // hint stands in for it while the window's hint is taken.
    const int frame = 2 * ui->scrollArea->frameWidth();
    ui->scrollArea->setMinimumSize(ui->scrollAreaWidgetContents->minimumSizeHint()
                                   + QSize(frame, frame));
    QSize needed = sizeHint();
    // The connection button shares the Port row: the window grows by it rather than take its
    // width from the port box, which must show a whole by-path name.
    needed.rwidth() += connectionButton->sizeHint().width() + 2 * ui->horizontalLayout->spacing();
    ui->scrollArea->setMinimumSize(0, 0);
    resize(size().expandedTo(needed));
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Help and traffic windows go with the main window, rather than linger while the last
    // transaction ends.
    for (HelpBrowser *help : findChildren<HelpBrowser *>(QString(), Qt::FindDirectChildrenOnly))
        help->close();
    if (trafficWindow)
        trafficWindow->close();
    QMainWindow::closeEvent(event);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    // The label shows the message; the bar would draw it once more, cut.
    if (event->type() == QEvent::Paint && watched == ui->statusBar && messageLabel->isVisible())
        return true;
    if (event->type() == QEvent::KeyPress && watched == ui->spinBox_address)
        return refuseTypedAddress(static_cast<QKeyEvent *>(event));
    if (watched == recordingStatus && !recordingError.isEmpty()) {
        const bool keyed = event->type() == QEvent::KeyPress
            && QList<int> { Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter }.contains(
                static_cast<QKeyEvent *>(event)->key());
        if (keyed || event->type() == QEvent::MouseButtonRelease) {
            acknowledgeRecordingError();
            return true;
        }
    }
    if (event->type() == QEvent::Wheel) {
        const auto *editor = static_cast<QWidget *>(watched);
        if (editor->hasFocus())
            return false;
        if (ui->scrollArea->isAncestorOf(editor))
            QCoreApplication::sendEvent(ui->scrollArea->viewport(), event);
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::cleanUp()
{
    qDebug() << "cleanUp(): start";
    if (recordWriter)
        recordWriter->wait(); // a small file: its write ends by itself
    if (mbThread) {
        // A transaction cannot be cancelled, but it ends by itself within its bound (pause,
        // 100 ms write wait, six 50 ms passes); the thread object must outlive it.
        mbThread->wait();
        delete mbThread;
        mbThread = nullptr;
        // Signals of the last transaction may still be queued for slots that use the form.
        QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    }
    // Every transaction handed over is recorded, then the disconnect and the stop, last.
    QCoreApplication::sendPostedEvents(recording, QEvent::MetaCall);
    if (recording->isRecording()) {
        if (!ui->comboBox_port->isEnabled())
            recording->disconnected(ui->comboBox_port->currentText());
        recording->stop();
    }
    // A slow disk delays the end by what it takes; a stalled one by at most this.
    const qint64 lost = recording->finish(10000);
    if (lost > 0)
        std::fprintf(
            stderr, "quorvel-setup: %s\n",
            qPrintable(tr("%1 of the record were not written to %2: the disk took "
                          "nothing more within 10 s")
                           .arg(rowCount(lost), QDir::toNativeSeparators(recording->path()))));
    delete ui;
    ui = nullptr;
    qDebug() << "cleanUp(): end";
}

void MainWindow::refresh()
{
    ui->comboBox_port->clear();
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        // The item stays the bare name that Connect opens; what the port is goes in its tooltip.
        QStringList about;
        for (const QString &part : { port.description(), port.manufacturer() })
            if (!part.isEmpty())
                about << part;
        if (!port.serialNumber().isEmpty())
            about << tr("serial number %1").arg(port.serialNumber());
        ui->comboBox_port->addItem(port.portName());
        ui->comboBox_port->setItemData(ui->comboBox_port->count() - 1,
                                       about.join(QLatin1String(", ")), Qt::ToolTipRole);
    }
}

void MainWindow::choosePort(const QString &path)
{
    ui->comboBox_port->setEditText(path);
}

void MainWindow::connectPort()
{
    if (ui->comboBox_port->isEnabled())
        startStopPolling();
}

void MainWindow::setConnectionSettings(const ConnectionSettings &settings)
{
    connection = settings;
    if (!settings.endpoint.toString().isEmpty())
        ui->comboBox_port->setEditText(settings.endpoint.toString());
    followCandidate.reset();
    showConnection();
}

ConnectionSettings MainWindow::connectionSettings() const
{
    ConnectionSettings s = connection;
    Endpoint::parse(ui->comboBox_port->currentText(), &s.endpoint);
    return s;
}

void MainWindow::showConnection()
{
    const QString summary = connection.summary();
    connectionButton->setText(summary);
    connectionButton->setToolTip(tr("Connection settings: %1").arg(summary));
    connectionButton->setAccessibleDescription(summary);
    // The settings of a running connection change only with the next Connect.
    connectionButton->setEnabled(!polling);
}

void MainWindow::editConnection()
{
    ConnectionDialog dialog(connection, this);
    if (dialog.exec() == QDialog::Accepted) {
        connection = dialog.settings();
        showConnection();
    }
}

void MainWindow::noteWrittenSetting(const QByteArray &request)
{
    if (request.size() != 8 || quint8(request.at(1)) != ModbusProtocol::writeSingleRegisterFunction)
        return;
    const int reg = quint8(request.at(3));
    const int value = quint8(request.at(4)) << 8 | quint8(request.at(5));
    const ConnectionSettings next =
        followCandidate.value_or(mbThread->connection()).afterWrite(reg, value);
    if (next.line != mbThread->connection().line || next.unit != mbThread->connection().unit)
        followCandidate = next;
}

// --- Polling cycle -------------------------------------------------------------------------

void MainWindow::startStopPolling()
{
    if (ui->comboBox_port->isEnabled() && findWindow && findWindow->isScanning()) {
        // Requests of the poller would garble the scan's answers, and the other way round.
        ui->statusBar->showMessage(tr("Find transmitters is scanning the line: cancel it there "
                                      "first"),
                                   5000);
        return;
    }
    if (ui->comboBox_port->isEnabled()) {
        // The port box is editable: a typed path (a pty, a by-id link) is the current text.
        mbThread->setConnection(connection);
        mbThread->setPortName(ui->comboBox_port->currentText());
        followCandidate.reset();
        followFrom.reset();
        followNext = false;
        silentReads = 0;
        connectedPort = ui->comboBox_port->currentText();
        persistentRead = volatileRead = false;
        ui->actionSaveCommissioningRecord->setEnabled(true);
        ui->comboBox_port->setEnabled(false);
        ui->pushButton_startStop->setText(tr("&Disconnect"));
        ui->statusBar->showMessage(tr("Try to connect"), 3000);
        polling = true;
        showConnection();
        lineBusyChanged();
        recording->connected(ui->comboBox_port->currentText());
        trendStore->connected();
        mbThread->readPersistentRegisters();
    } else {
        // The transaction in flight finishes; mbThreadFinished then stops.
        polling = false;
        ui->statusBar->showMessage(tr("Disconnect"), 3000);
    }
}

void MainWindow::error(QString s)
{
    ui->statusBar->showMessage(s);
    setMessageTone(true);
    polling = false;
}

void MainWindow::info(QString s)
{
    // The transaction that follows tells whether this was a failure.
    ui->statusBar->showMessage(s, 3000);
    setMessageTone(false);
}

void MainWindow::setMessageTone(bool failure)
{
    QPalette tone = messageLabel->palette();
    tone.setColor(QPalette::WindowText,
                  failure ? errorColour : palette().color(QPalette::WindowText));
    messageLabel->setPalette(tone);
}

void MainWindow::statusMessageChanged(const QString &text)
{
    // At the default width a failure's text and the items together do not fit; each item
    // keeps its words in its tooltip and comes back when the message goes.
    const bool free = text.isEmpty();
    messageLabel->setText(text);
    // A second line only for a text that needs it: the bar keeps its height for most.
    const bool long_ = messageLabel->fontMetrics().horizontalAdvance(text) > width() - 40;
    messageLabel->setMinimumHeight((long_ ? 2 : 1) * messageLabel->fontMetrics().lineSpacing());
    messageLabel->setVisible(!free);
    lastGoodRead->setVisible(free);
    lineStatistics->setVisible(free);
    // A record's failure outlasts any message until the user has seen it.
    recordingStatus->setVisible(!recordingError.isEmpty() || (free && recordingShown));
    ui->statusBar->setAccessibleDescription(text);
    setMessageTone(false); // a failure's sender sets the error colour after showing it
}

void MainWindow::mbThreadFinished()
{
    qDebug() << "mbThreadFinished(): start";

    // The thread is idle now: the only moment its settings may change.
    if (followFrom && !followNext) {
        if (followAnswered) {
            connection.line = mbThread->connection().line;
            connection.unit = mbThread->connection().unit;
            followCandidate.reset();
            showConnection();
            ui->statusBar->showMessage(tr("The transmitter now answers at %1; the tool follows")
                                           .arg(mbThread->connection().line.displayText()
                                                + (connection.unit == ConnectionSettings::anyUnit
                                                       ? QString()
                                                       : tr(", address %1").arg(connection.unit))));
        } else {
            ui->statusBar->showMessage(
                tr("No answer at %1 or at %2: the transmitter may take new line settings only "
                   "when restarted. Restart it, then connect with the new settings.")
                    .arg(followFrom->line.displayText(), followCandidate->line.displayText()));
            mbThread->setConnection(*followFrom);
        }
        followFrom.reset();
    }
    if (followNext && polling) {
        followNext = false;
        followAnswered = false;
        silentReads = 0;
        followFrom = mbThread->connection();
        mbThread->setConnection(*followCandidate);
        // Only a read goes out at the settings on trial: a pending write waits for the settings
        // the transmitter answers at. The persistent block tells whether it is the same one.
        mbThread->readPersistentRegisters();
        readPhase = 1;
        return;
    }

    if (writeAddressPending) {
        qDebug() << "mbThreadFinished(): write address";
        mbThread->writeAddress(ui->spinBox_address->value());
        writeAddressPending = false;
        readPhase = 0;
        return;
    }

    // A selector write starts nothing when a firmware change blanked its selector while the
    // write was pending. The flag is cleared all the same and the next case is taken at once,
    // so the cycle never comes to rest while polling, and Disconnect still reaches Idle.
    const struct
    {
        bool &pending;
        const char *trace;
        QComboBox *selector;
        void (ModbusMasterThread::*write)(const QString &);
        const ModbusParameters::CodedParameter &parameter;
    } selectorWrites[] = {
        { writeParityPending, "mbThreadFinished(): write parity", ui->comboBox_parity,
          &ModbusMasterThread::writeParity, ModbusParameters::parity() },
        { writeStopBitsPending, "mbThreadFinished(): write stop bits", ui->comboBox_stopBits,
          &ModbusMasterThread::writeStopBits, ModbusParameters::stopBits() },
        { writeBaudRatePending, "mbThreadFinished(): write baudrate", ui->comboBox_baudRate,
          &ModbusMasterThread::writeBaudRate, ModbusParameters::baudRate() },
    };
    for (const auto &w : selectorWrites) {
        if (!w.pending)
            continue;
        qDebug() << w.trace;
        const QString text = w.selector->currentText();
        (mbThread->*w.write)(text);
        w.pending = false;
        readPhase = 0;
        if (ModbusParameters::findText(w.parameter, text))
            return;
    }

    if (polling && readPhase == 0) {
        qDebug() << "mbThreadFinished(): read persistent register";
        mbThread->readPersistentRegisters();
        readPhase = 1;
    } else if (polling && readPhase == 1) {
        qDebug() << "mbThreadFinished(): read volatile register";
        mbThread->readVolatileRegisters();
        readPhase = 0;
    } else {
        qDebug() << "mbThreadFinished(): stop polling";
        stopPolling();
        readPhase = 0;
    }
}

void MainWindow::stopPolling()
{
    if (followFrom)
        mbThread->setConnection(*followFrom);
    followFrom.reset();
    followCandidate.reset();
    followNext = false;
    ui->actionSaveCommissioningRecord->setEnabled(false);
    recording->disconnected(ui->comboBox_port->currentText());
    ui->comboBox_port->setEnabled(true);
    lineBusyChanged();
    ui->pushButton_startStop->setText(tr("&Connect"));
    showConnection();
    for (QLabel *label : { ui->label_temperature, ui->label_temperatureAlarm, ui->label_humidity,
                           ui->label_humidityAlarm, ui->label_serialNumber,
                           ui->label_serialNumberTr, ui->label_firmware })
        label->setText(noValue);
    disableParameters();
    disconnectCalculatedValues();
    markStale(true, false);
    markStale(false, false);
    clearNotes();
    // The next transmitter may be of another generation: nothing of this one's may reach it.
    setHousingLink(false);
    setSerialNumberTrLink(false);
    featuresInForce.reset();
}

QLabel *MainWindow::addStatusItem(const QString &name, const QString &accessibleName)
{
    auto *item = new QLabel(this);
    item->setObjectName(name);
    item->setAccessibleName(accessibleName);
    item->setTextFormat(Qt::PlainText);
    ui->statusBar->addPermanentWidget(item);
    // Not an alarm: the window's own colour and weight rather than the bar's bold red. Each is
    // set explicitly, or the label would take the bar's again.
    QPalette plain = item->palette();
    plain.setColor(QPalette::WindowText, palette().color(QPalette::WindowText));
    item->setPalette(plain);
    QFont regular = item->font();
    regular.setWeight(font().weight());
    item->setFont(regular);
    return item;
}

void MainWindow::transaction(const ModbusTransaction &t)
{
    using ModbusProtocol::ResponseKind;
    noteWriteSent(t);
    if (t.judgement.kind == ResponseKind::WriteEcho)
        noteWrittenSetting(t.request);
    if (followFrom)
        followAnswered = followAnswered || t.judgement.kind != ResponseKind::NoAnswer;
    else if (t.judgement.kind != ResponseKind::NoAnswer)
        silentReads = 0;
    // Silent twice where it was (once is a noisy line): perhaps it took the written settings.
    else if (followCandidate && ++silentReads >= 2)
        followNext = true;
    switch (t.judgement.kind) {
    case ResponseKind::VolatileBlock:
    case ResponseKind::PersistentBlock:
        if (t.judgement.kind == ResponseKind::VolatileBlock) {
            const int serial = t.judgement.volatileValues.serialNumber;
            if (volatileRead && serial != lastReading.values.serialNumber) {
                // Writes meant for the last probe must not reach this one; each editor takes
                // this transmitter's values at its next persistent read.
                writeAddressPending = writeParityPending = writeStopBitsPending =
                    writeBaudRatePending = false;
                clearNotes();
                ui->statusBar->showMessage(tr("Another transmitter: serial %1").arg(serial), 5000);
            }
            lastReading.values = t.judgement.volatileValues;
            lastReadingTime = t.sentAt;
            volatileRead = true;
        } else {
            lastReading.persistent = t.judgement.persistentValues;
            persistentRead = true;
            checkReadBack();
        }
        markStale(t.judgement.kind == ResponseKind::VolatileBlock, false);
        lastGoodRead->setText(
            tr("Last good read: %1").arg(t.sentAt.toString(QStringLiteral("HH:mm:ss"))));
        return;
    case ResponseKind::PortFailure: // polling ends, and with it every value
    case ResponseKind::WriteEcho:
        return;
    case ResponseKind::NoAnswer:
    case ResponseKind::CrcError:
    case ResponseKind::Exception:
    case ResponseKind::UnexpectedLength:
        setMessageTone(true);
        break;
    }
    // A failed read leaves its block's values as they were: they still show, greyed.
    const quint8 unit = quint8(t.request.isEmpty() ? 0 : t.request.at(0));
    if (t.request
        == ModbusProtocol::readHoldingRegistersFrame(ModbusProtocol::volatileFirstRegister,
                                                     ModbusProtocol::volatileRegisterCount, unit))
        markStale(true, true);
    else if (t.request
             == ModbusProtocol::readHoldingRegistersFrame(ModbusProtocol::persistentFirstRegister,
                                                          ModbusProtocol::persistentRegisterCount,
                                                          unit))
        markStale(false, true);
}

void MainWindow::saveCommissioningRecord()
{
    if (!persistentRead || !volatileRead) {
        ui->statusBar->showMessage(tr("No complete reading to record yet"), 3000);
        return;
    }
    const QString stale = staleNote();
    const QString fileName = QFileDialog::getSaveFileName(
        this,
        stale.isEmpty() ? tr("Save commissioning record")
                        : tr("Save commissioning record: %1").arg(stale),
        LastFolder::suggest(
            QStringLiteral("commissioning-%1.json").arg(lastReading.values.serialNumber)),
        tr("Commissioning records (*.json)"));
    LastFolder::remember(fileName);
    if (!fileName.isEmpty())
        writeCommissioningRecord(fileName);
}

void MainWindow::writeCommissioningRecord(const QString &fileName)
{
    if (recordWriter) {
        ui->statusBar->showMessage(tr("The last record is still being written"), 3000);
        return;
    }
    Commissioning::Record record;
    record.time = lastReadingTime;
    record.tool = QStringLiteral("quorvel-setup");
    record.toolVersion = QStringLiteral(QUORVEL_VERSION);
    record.port = connectedPort;
    record.reading = lastReading;
    record.staleMeasurement = volatileStale;
    record.staleConfiguration = persistentStale;
    const QString stale = staleNote();
    auto error = std::make_shared<QString>();
    recordWriter = QThread::create(
        [record, fileName, error] { Commissioning::write(record, fileName, error.get()); });
    recordWriter->setParent(this);
    connect(recordWriter, &QThread::finished, this, [this, fileName, error, stale] {
        if (error->isEmpty() && stale.isEmpty())
            ui->statusBar->showMessage(tr("Commissioning record saved to %1").arg(fileName), 3000);
        else if (error->isEmpty()) // longer: it says what the record cannot be trusted for
            ui->statusBar->showMessage(
                tr("Commissioning record saved to %1, marked stale: %2").arg(fileName, stale),
                10000);
        else
            ui->statusBar->showMessage(*error);
        recordWriter->deleteLater();
    });
    recordWriter->start();
}

void MainWindow::markStale(bool volatileBlock, bool stale)
{
    const QList<QLabel *> labels = volatileBlock
        ? QList<QLabel *> { ui->label_temperature,
                            ui->label_temperatureAlarm,
                            ui->label_humidity,
                            ui->label_humidityAlarm,
                            ui->label_serialNumber,
                            ui->label_serialNumberTr,
                            ui->label_dewPointTemperature,
                            ui->label_enthalpy,
                            ui->label_mixingRatio,
                            ui->label_absoluteHumidity,
                            ui->label_wetBulbTemperature,
                            ui->label_hxAlarm }
        : QList<QLabel *> { ui->label_baudRate, ui->label_parity, ui->label_stopBits,
                            ui->label_address, ui->label_firmware };
    // A disabled label is drawn grey and says "unavailable" to a screen reader as well.
    (volatileBlock ? volatileStale : persistentStale) = stale;
    const QString note = stale ? tr("not refreshed: the last read of its block failed") : QString();
    for (QLabel *label : labels) {
        label->setEnabled(!stale);
        label->setToolTip(note);
        label->setAccessibleDescription(note);
    }
}

QString MainWindow::staleNote() const
{
    if (volatileStale && persistentStale)
        return tr("the measured values and the settings are from earlier reads; the last reads "
                  "failed");
    if (volatileStale)
        return tr("the measured values are from an earlier read; the last read failed");
    if (persistentStale)
        return tr("the settings and firmware are from an earlier read; the last read failed");
    return QString();
}

bool MainWindow::showsCalculatedValues() const
{
    return featuresInForce && Firmware::calculatesValues(*featuresInForce);
}

bool MainWindow::showsTransmitterSerial() const
{
    return featuresInForce == Firmware::FeatureSet::Current;
}

bool MainWindow::setsLineParameters() const
{
    return featuresInForce && Firmware::setsLineParameters(*featuresInForce);
}

// --- Parameter editing ---------------------------------------------------------------------

void MainWindow::addressChanged()
{
    if (!confirmWrite(Parameter::Address))
        return;
    // Changed again: the last outcome is past.
    outcomes[int(Parameter::Address)].written.clear();
    setNote(Parameter::Address, QString());
    writeAddressPending = true;
}

void MainWindow::parityChanged()
{
    if (!confirmWrite(Parameter::Parity))
        return;
    // Changed again: the last outcome is past.
    outcomes[int(Parameter::Parity)].written.clear();
    setNote(Parameter::Parity, QString());
    writeParityPending = true;
}

void MainWindow::stopBitsChanged()
{
    if (!confirmWrite(Parameter::StopBits))
        return;
    // Changed again: the last outcome is past.
    outcomes[int(Parameter::StopBits)].written.clear();
    setNote(Parameter::StopBits, QString());
    writeStopBitsPending = true;
}

void MainWindow::baudRateChanged()
{
    if (!confirmWrite(Parameter::BaudRate))
        return;
    // Changed again: the last outcome is past.
    outcomes[int(Parameter::BaudRate)].written.clear();
    setNote(Parameter::BaudRate, QString());
    writeBaudRatePending = true;
}

// --- Display slots -------------------------------------------------------------------------

void MainWindow::temperature(float f)
{
    ui->label_temperature->setText(ValueFormat::decimal(f));
}

void MainWindow::temperatureAlarm(int i)
{
    ui->label_temperatureAlarm->setText(ValueFormat::integer(i));
}

void MainWindow::humidity(float f)
{
    ui->label_humidity->setText(ValueFormat::decimal(f));
}

void MainWindow::humidityAlarm(int i)
{
    ui->label_humidityAlarm->setText(ValueFormat::integer(i));
}

void MainWindow::serialNumber(int i)
{
    ui->label_serialNumber->setText(ValueFormat::integer(i));
}

void MainWindow::serialNumberTr(int i)
{
    if (showsTransmitterSerial())
        ui->label_serialNumberTr->setText(ValueFormat::integer(i));
}

void MainWindow::dewPointTemperature(float f)
{
    if (showsCalculatedValues())
        ui->label_dewPointTemperature->setText(ValueFormat::decimal(f));
}

void MainWindow::enthalpy(float f)
{
    if (showsCalculatedValues())
        ui->label_enthalpy->setText(ValueFormat::decimal(f));
}

void MainWindow::mixingRatio(float f)
{
    if (showsCalculatedValues())
        ui->label_mixingRatio->setText(ValueFormat::decimal(f));
}

void MainWindow::absoluteHumidity(float f)
{
    if (showsCalculatedValues())
        ui->label_absoluteHumidity->setText(ValueFormat::decimal(f));
}

void MainWindow::wetBulbTemperatur(float f)
{
    if (showsCalculatedValues())
        ui->label_wetBulbTemperature->setText(ValueFormat::decimal(f));
}

void MainWindow::hxAlarm(int i)
{
    if (showsCalculatedValues())
        ui->label_hxAlarm->setText(ValueFormat::integer(i));
}

// --- Parameter reports ---------------------------------------------------------------------

void MainWindow::address(int i)
{
    if (!featuresInForce)
        return;
    ui->label_address->setText(ValueFormat::integer(i));
    // While the user's new address waits to be written, a report of the old one must not
    // overwrite it. Out-of-range reports clamp to the spin box's limits without a write.
    if (ui->spinBox_address->value() != i && !writeAddressPending) {
        setChangeLink(Parameter::Address, false);
        ui->spinBox_address->setValue(i);
        setChangeLink(Parameter::Address, true);
    }
}

void MainWindow::selectReportedItem(Parameter parameter, QComboBox *selector, const QString &text)
{
    // A selector shows what the transmitter reports, never a value it did not take; only a
    // choice still waiting to be written stays.
    const bool pending = (parameter == Parameter::BaudRate && writeBaudRatePending)
        || (parameter == Parameter::Parity && writeParityPending)
        || (parameter == Parameter::StopBits && writeStopBitsPending);
    if (pending || selector->currentText() == text)
        return;
    const int index = selector->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index < 0)
        return;
    setChangeLink(parameter, false);
    selector->setCurrentIndex(index);
    setChangeLink(parameter, true);
}

void MainWindow::parity(QString s)
{
    if (!setsLineParameters()) // the legacy set shows its fixed line instead
        return;
    selectReportedItem(Parameter::Parity, ui->comboBox_parity, s);
    ui->label_parity->setText(s);
}

void MainWindow::stopBits(QString s)
{
    if (!setsLineParameters())
        return;
    selectReportedItem(Parameter::StopBits, ui->comboBox_stopBits, s);
    ui->label_stopBits->setText(s);
}

void MainWindow::baudRate(QString s)
{
    if (!setsLineParameters())
        return;
    selectReportedItem(Parameter::BaudRate, ui->comboBox_baudRate, s);
    ui->label_baudRate->setText(s);
}

// --- Firmware-dependent feature set --------------------------------------------------------

void MainWindow::firmware(QString id, int y, int m, int d)
{
    using Firmware::FeatureSet;
    const FeatureSet set = Firmware::featureSet(y, m, d);
    const QString text = Firmware::text(id, y, m, d);

    // The same report again keeps the feature set and the user's choices in the editors.
    featuresInForce = set;
    if (text != ui->label_firmware->text()) {
        if (set == FeatureSet::Current) {
            setupParametersUpTo38400();
            setSerialNumberTrLink(false);
            ui->label_serialNumberTr->setText(noValue);
            setHousingLink(true);
            connectCalculatedValues();
        } else {
            // Neither older generation calculates values or carries a serial number of its own.
            if (set == FeatureSet::Legacy)
                setupLegacyParameters();
            else
                setupParametersUpTo19200();
            setHousingLink(false);
            setSerialNumberTrLink(false);
            ui->label_serialNumberTr->setText(noValue);
            disconnectCalculatedValues();
        }
    }
    ui->label_firmware->setText(text);
}

void MainWindow::housing(int i)
{
    // Housings 1 and 3 carry the transmitter's own serial number; 0 says nothing about it.
    if (i == 0 || !showsTransmitterSerial())
        return;
    if (i == 1 || i == 3) {
        setSerialNumberTrLink(true);
    } else {
        setSerialNumberTrLink(false);
        ui->label_serialNumberTr->setText(noValue);
    }
}

// --- Links and window operations -----------------------------------------------------------

void MainWindow::setReportLink(Parameter parameter, bool on)
{
    switch (parameter) {
    case Parameter::BaudRate:
        setLink(mbThread, &ModbusMasterThread::baudRate, this, &MainWindow::baudRate, on);
        break;
    case Parameter::Parity:
        setLink(mbThread, &ModbusMasterThread::parity, this, &MainWindow::parity, on);
        break;
    case Parameter::StopBits:
        setLink(mbThread, &ModbusMasterThread::stopBits, this, &MainWindow::stopBits, on);
        break;
    case Parameter::Address:
        setLink(mbThread, &ModbusMasterThread::address, this, &MainWindow::address, on);
        break;
    }
}

void MainWindow::setChangeLink(Parameter parameter, bool on)
{
    switch (parameter) {
    case Parameter::BaudRate:
        setLink(ui->comboBox_baudRate, &QComboBox::currentTextChanged, this,
                &MainWindow::baudRateChanged, on);
        break;
    case Parameter::Parity:
        setLink(ui->comboBox_parity, &QComboBox::currentTextChanged, this,
                &MainWindow::parityChanged, on);
        break;
    case Parameter::StopBits:
        setLink(ui->comboBox_stopBits, &QComboBox::currentTextChanged, this,
                &MainWindow::stopBitsChanged, on);
        break;
    case Parameter::Address:
        setLink(ui->spinBox_address, QOverload<int>::of(&QSpinBox::valueChanged), this,
                &MainWindow::addressChanged, on);
        break;
    }
}

void MainWindow::setHousingLink(bool on)
{
    setLink(mbThread, &ModbusMasterThread::housing, this, &MainWindow::housing, on);
}

void MainWindow::setSerialNumberTrLink(bool on)
{
    setLink(mbThread, &ModbusMasterThread::serialNumberTr, this, &MainWindow::serialNumberTr, on);
}

void MainWindow::connectCalculatedValues()
{
    setLink(mbThread, &ModbusMasterThread::dewPointTemperature, this,
            &MainWindow::dewPointTemperature, true);
    setLink(mbThread, &ModbusMasterThread::enthalpy, this, &MainWindow::enthalpy, true);
    setLink(mbThread, &ModbusMasterThread::mixingRatio, this, &MainWindow::mixingRatio, true);
    setLink(mbThread, &ModbusMasterThread::absoluteHumidity, this, &MainWindow::absoluteHumidity,
            true);
    setLink(mbThread, &ModbusMasterThread::wetBulbTemperatur, this, &MainWindow::wetBulbTemperatur,
            true);
    setLink(mbThread, &ModbusMasterThread::hxAlarm, this, &MainWindow::hxAlarm, true);
}

void MainWindow::disconnectCalculatedValues()
{
    setLink(mbThread, &ModbusMasterThread::dewPointTemperature, this,
            &MainWindow::dewPointTemperature, false);
    ui->label_dewPointTemperature->setText(noValue);
    setLink(mbThread, &ModbusMasterThread::enthalpy, this, &MainWindow::enthalpy, false);
    ui->label_enthalpy->setText(noValue);
    setLink(mbThread, &ModbusMasterThread::mixingRatio, this, &MainWindow::mixingRatio, false);
    ui->label_mixingRatio->setText(noValue);
    setLink(mbThread, &ModbusMasterThread::absoluteHumidity, this, &MainWindow::absoluteHumidity,
            false);
    ui->label_absoluteHumidity->setText(noValue);
    setLink(mbThread, &ModbusMasterThread::wetBulbTemperatur, this, &MainWindow::wetBulbTemperatur,
            false);
    ui->label_wetBulbTemperature->setText(noValue);
    setLink(mbThread, &ModbusMasterThread::hxAlarm, this, &MainWindow::hxAlarm, false);
    ui->label_hxAlarm->setText(noValue);
}

void MainWindow::setupLegacyParameters()
{
    // Legacy firmware fixes its line at 19200 8N1; only the address can be changed.
    const struct
    {
        Parameter parameter;
        QLabel *label;
        QComboBox *selector;
        const char *fixedText;
    } fixed[] = {
        { Parameter::BaudRate, ui->label_baudRate, ui->comboBox_baudRate, "19200" },
        { Parameter::Parity, ui->label_parity, ui->comboBox_parity, "None" },
        { Parameter::StopBits, ui->label_stopBits, ui->comboBox_stopBits, "1" },
    };
    for (const auto &f : fixed) {
        setReportLink(f.parameter, false);
        setChangeLink(f.parameter, false);
        f.label->setText(QLatin1String(f.fixedText));
        f.selector->setEnabled(false);
        f.selector->setCurrentIndex(-1);
    }
    ui->spinBox_address->setEnabled(true);
    setChangeLink(Parameter::Address, true);
    setReportLink(Parameter::Address, true);
}

void MainWindow::setupParametersUpTo19200()
{
    setupEditableParameters(false);
}

void MainWindow::setupParametersUpTo38400()
{
    setupEditableParameters(true);
}

void MainWindow::setupEditableParameters(bool offer38400)
{
    // Every selector is put to -1 before its change link is made, so none of this marks a write.
    ui->label_baudRate->setText(noValue);
    setChangeLink(Parameter::BaudRate, false);
    const QString fastest = QLatin1String(ModbusParameters::baudRate().codes.at(6).text);
    if (offer38400 && ui->comboBox_baudRate->findText(fastest) < 0)
        ui->comboBox_baudRate->addItem(fastest);
    else if (!offer38400 && ui->comboBox_baudRate->count() > 6)
        ui->comboBox_baudRate->removeItem(6);
    ui->comboBox_baudRate->setCurrentIndex(-1);
    ui->comboBox_baudRate->setEnabled(true);
    setChangeLink(Parameter::BaudRate, true);
    setReportLink(Parameter::BaudRate, true);

    const struct
    {
        Parameter parameter;
        QLabel *label;
        QComboBox *selector;
    } selectors[] = {
        { Parameter::Parity, ui->label_parity, ui->comboBox_parity },
        { Parameter::StopBits, ui->label_stopBits, ui->comboBox_stopBits },
    };
    for (const auto &s : selectors) {
        s.label->setText(noValue);
        setChangeLink(s.parameter, false);
        s.selector->setCurrentIndex(-1);
        s.selector->setEnabled(true);
        setChangeLink(s.parameter, true);
        setReportLink(s.parameter, true);
    }

    ui->spinBox_address->setEnabled(true);
    setChangeLink(Parameter::Address, true);
    setReportLink(Parameter::Address, true);
}

void MainWindow::disableParameters()
{
    const struct
    {
        Parameter parameter;
        QLabel *label;
        QComboBox *selector;
    } selectors[] = {
        { Parameter::BaudRate, ui->label_baudRate, ui->comboBox_baudRate },
        { Parameter::Parity, ui->label_parity, ui->comboBox_parity },
        { Parameter::StopBits, ui->label_stopBits, ui->comboBox_stopBits },
    };
    for (const auto &s : selectors) {
        setReportLink(s.parameter, false);
        setChangeLink(s.parameter, false);
        s.selector->setEnabled(false);
        s.selector->setCurrentIndex(-1);
        s.label->setText(noValue);
    }
    setChangeLink(Parameter::Address, false);
    setReportLink(Parameter::Address, false);
    ui->label_address->setText(noValue);
    ui->spinBox_address->setEnabled(false);
}

// --- Help and About ------------------------------------------------------------------------

void MainWindow::aboutQt()
{
    QMessageBox::aboutQt(this, QStringLiteral("About Qt"));
}

void MainWindow::aboutApplication()
{
    // QMessageBox::about takes its icon from the parent's window icon; this invisible window
    // only carries the logo there.
    class IconHolder : public QMainWindow
    { };
    IconHolder holder;
    holder.setWindowIcon(QIcon(QStringLiteral(":/company.bmp")));
    QMessageBox::about(&holder, QStringLiteral("About Quorvel-Setup"),
                       tr("Quorvel-Setup 2.0\n"
                          "Copyright (C) 2026 Quorvel. All rights reserved.\n"
                          "\n"
                          "Quorvel Instruments\n"
                          "12 Example Street\n"
                          "Sampletown 00000\n"
                          "Telephone: +1 555 0100\n"
                          "Web: https://www.example.com\n"
                          "E-mail: support@example.com"));
}

void MainWindow::help()
{
    // Owned by the main window: a help window left open neither keeps the program (and its
    // polling) running after Quit nor outlives the main window.
    HelpBrowser::openPage(QStringLiteral("index.html"), this);
}

void MainWindow::showTraffic()
{
    if (!trafficWindow)
        trafficWindow = new TrafficWindow(trafficModel, trafficStatistics, this);
    trafficWindow->show();
    trafficWindow->raise();
    trafficWindow->activateWindow();
}

// --- Finding transmitters ----------------------------------------------------------------

void MainWindow::showFindTransmitters()
{
    if (!findWindow) {
        findWindow = new FindTransmittersWindow(this);
        connect(findWindow, &FindTransmittersWindow::connectRequested, this,
                [this](const ConnectionSettings &found) {
                    if (polling || !ui->comboBox_port->isEnabled())
                        return;
                    // The unit's way, line and address; the user's time-out and pause stay.
                    ConnectionSettings settings = connectionSettings();
                    settings.endpoint = found.endpoint;
                    settings.line = found.line;
                    settings.unit = found.unit;
                    setConnectionSettings(settings);
                    connectPort();
                });
    }
    findWindow->setPort(ui->comboBox_port->currentText());
    lineBusyChanged();
    findWindow->show();
    findWindow->raise();
    findWindow->activateWindow();
}

void MainWindow::lineBusyChanged()
{
    // The port box is locked from Connect until the last transaction has ended.
    if (findWindow)
        findWindow->setLineBusy(!ui->comboBox_port->isEnabled());
}

// --- Recording and trend -------------------------------------------------------------------

void MainWindow::askForRecordFile()
{
    const QString suggested =
        QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
            .filePath(QDateTime::currentDateTime().toString(
                QStringLiteral("'quorvel-'yyyyMMdd-HHmmss'.csv'")));
    const QString path =
        QFileDialog::getSaveFileName(this, tr("Start recording"), LastFolder::suggest(suggested),
                                     tr("CSV files (*.csv);;All files (*)"));
    LastFolder::remember(path);
    if (path.isEmpty())
        return;
    // The dialog has asked before it returns an existing file; one that appears only now is
    // still refused.
    startRecording(path,
                   QFileInfo::exists(path) ? RecordFile::Existing::Overwrite
                                           : RecordFile::Existing::Refuse);
}

void MainWindow::startRecording(const QString &path, RecordFile::Existing existing)
{
    acknowledgeRecordingError(); // a new record is the user's answer to the last one's failure
    recording->start(path, existing);
    ui->actionStartRecording->setEnabled(false);
    ui->actionStopRecording->setEnabled(true);
    showRecordingStatus();
    recordingShown = true;
    statusMessageChanged(ui->statusBar->currentMessage());
}

void MainWindow::stopRecording()
{
    recording->stop();
    ui->actionStartRecording->setEnabled(true);
    ui->actionStopRecording->setEnabled(false);
    recordingShown = false;
    recordingStatus->hide();
    ui->statusBar->showMessage(
        tr("Recording stopped: %1 in %2")
            .arg(rowCount(recording->rowsWritten()), QDir::toNativeSeparators(recording->path())),
        5000);
}

void MainWindow::recordingFailed(const QString &text)
{
    // Polling goes on; only the record ends.
    qWarning("%s", qPrintable(text));
    ui->actionStartRecording->setEnabled(true);
    ui->actionStopRecording->setEnabled(false);
    recordingShown = false;
    // In the recording item, not as a message: the next "Timeout" would replace a message.
    recordingError = text;
    recordingStatus->setText(text);
    recordingStatus->setWordWrap(true);
    recordingStatus->setToolTip(tr("Click to dismiss"));
    recordingStatus->setAccessibleDescription(text + QLatin1Char(' ')
                                              + tr("(press Space to dismiss)"));
    recordingStatus->setFocusPolicy(Qt::TabFocus);
    QPalette tone = recordingStatus->palette();
    tone.setColor(QPalette::WindowText, errorColour);
    recordingStatus->setPalette(tone);
    recordingStatus->show();
}

void MainWindow::acknowledgeRecordingError()
{
    if (recordingError.isEmpty())
        return;
    recordingError.clear();
    QPalette plain = recordingStatus->palette();
    plain.setColor(QPalette::WindowText, palette().color(QPalette::WindowText));
    recordingStatus->setPalette(plain);
    recordingStatus->setWordWrap(false);
    recordingStatus->setToolTip(tr("The record file and the rows on the disk"));
    recordingStatus->setAccessibleDescription(QString());
    recordingStatus->setFocusPolicy(Qt::NoFocus);
    recordingStatus->hide();
    statusMessageChanged(ui->statusBar->currentMessage());
}

void MainWindow::showRecordingStatus()
{
    if (!recordingError.isEmpty())
        return;
    recordingStatus->setText(
        tr("Recording %1: %2")
            .arg(QFileInfo(recording->path()).fileName(), rowCount(recording->rowsWritten())));
}

void MainWindow::showTrend()
{
    if (!trendWindow) {
        // A child window of this one: it closes with it.
        trendWindow = new TrendWindow(trendStore, this);
    }
    trendWindow->show();
    trendWindow->raise();
    trendWindow->activateWindow();
}

// --- Outcome of the user's writes ----------------------------------------------------------

QLabel *MainWindow::reportLabel(Parameter parameter) const
{
    switch (parameter) {
    case Parameter::BaudRate:
        return ui->label_baudRate;
    case Parameter::Parity:
        return ui->label_parity;
    case Parameter::StopBits:
        return ui->label_stopBits;
    case Parameter::Address:
        break;
    }
    return ui->label_address;
}

QWidget *MainWindow::editor(Parameter parameter) const
{
    switch (parameter) {
    case Parameter::BaudRate:
        return ui->comboBox_baudRate;
    case Parameter::Parity:
        return ui->comboBox_parity;
    case Parameter::StopBits:
        return ui->comboBox_stopBits;
    case Parameter::Address:
        break;
    }
    return ui->spinBox_address;
}

void MainWindow::noteWriteSent(const ModbusTransaction &t)
{
    using ModbusProtocol::ResponseKind;
    const QByteArray &r = t.request;
    if (r.size() != 8 || quint8(r.at(1)) != ModbusProtocol::writeSingleRegisterFunction)
        return;
    const int number = quint8(r.at(2)) << 8 | quint8(r.at(3));
    const int value = quint8(r.at(4)) << 8 | quint8(r.at(5));
    Parameter parameter;
    QString text;
    if (number == ModbusProtocol::addressRegister) {
        parameter = Parameter::Address;
        text = ValueFormat::integer(value);
    } else {
        const ModbusParameters::CodedParameter *coded[] = { &ModbusParameters::baudRate(),
                                                            &ModbusParameters::parity(),
                                                            &ModbusParameters::stopBits() };
        const Parameter parameters[] = { Parameter::BaudRate, Parameter::Parity,
                                         Parameter::StopBits };
        int which = 0;
        while (which < 3 && coded[which]->registerNumber != number)
            ++which;
        if (which == 3)
            return;
        parameter = parameters[which];
        const ModbusParameters::Code *code = ModbusParameters::findValue(*coded[which], value);
        text = code ? QLatin1String(code->text) : QString::number(value);
    }
    WriteOutcome &outcome = outcomes[int(parameter)];
    switch (t.judgement.kind) {
    case ResponseKind::Exception: {
        // The transmitter's word: nothing was carried out. The editor goes back to what it
        // holds; the note keeps the reason after the status bar has moved on.
        QString reason = ModbusProtocol::statusText(t.judgement, QByteArray());
        reason.replace(0, 1, reason.at(0).toLower());
        outcome.written.clear();
        outcome.readBackDue = false;
        setNote(parameter, tr("Refused: %1").arg(reason));
        showReported(parameter);
        return;
    }
    case ResponseKind::PortFailure:
        return;
    case ResponseKind::WriteEcho:
        setMessageTone(false); // "Response OK" is good news
        Q_FALLTHROUGH();
    default:
        // An echo says the request arrived, not that it was carried out; without one the
        // write may still have been taken. The next persistent read tells.
        outcome.written = text;
        outcome.readBackDue = true;
        return;
    }
}

void MainWindow::checkReadBack()
{
    for (int i = 0; i < parameterCount; ++i) {
        WriteOutcome &outcome = outcomes[i];
        if (outcome.written.isEmpty())
            continue;
        const QString reported = reportLabel(Parameter(i))->text();
        if (reported == outcome.written) {
            setNote(Parameter(i), QString());
            outcome.written.clear();
        } else if (outcome.readBackDue) {
            setNote(Parameter(i),
                    tr("Written %1, transmitter reports %2").arg(outcome.written, reported));
        }
        outcome.readBackDue = false;
    }
}

void MainWindow::setNote(Parameter parameter, const QString &text)
{
    WriteOutcome &outcome = outcomes[int(parameter)];
    outcome.note->setText(text);
    outcome.note->setAccessibleDescription(text);
    outcome.note->setVisible(!text.isEmpty());
    editor(parameter)->setAccessibleDescription(text);
}

void MainWindow::clearNotes()
{
    for (int i = 0; i < parameterCount; ++i) {
        setNote(Parameter(i), QString());
        outcomes[i] = WriteOutcome { QString(), false, outcomes[i].note };
    }
}

bool MainWindow::confirmWrite(Parameter parameter)
{
    // The bench: one transmitter at hand, which a scan finds whatever it was given.
    const ConnectionSettings &inForce = mbThread->connection();
    if (inForce.isBenchDefault())
        return true;
    const QString reported = reportLabel(parameter)->text();
    QString wanted;
    LineSettings after = inForce.line;
    QString name;
    switch (parameter) {
    case Parameter::Address:
        name = tr("address");
        wanted = QString::number(ui->spinBox_address->value());
        break;
    case Parameter::BaudRate:
        name = tr("baud rate");
        wanted = ui->comboBox_baudRate->currentText();
        after.baudRate = wanted.toInt();
        break;
    case Parameter::Parity:
        name = tr("parity");
        wanted = ui->comboBox_parity->currentText();
        after.parity = wanted == QLatin1String("Even") ? LineSettings::Parity::Even
            : wanted == QLatin1String("Odd")           ? LineSettings::Parity::Odd
                                                       : LineSettings::Parity::None;
        break;
    case Parameter::StopBits:
        name = tr("stop bits");
        wanted = ui->comboBox_stopBits->currentText();
        after.stopBits = wanted.toInt();
        break;
    }
    const QString unit = inForce.unit == ConnectionSettings::anyUnit
        ? tr("The transmitter")
        : tr("Unit %1").arg(inForce.unit);
    const QString consequence = parameter == Parameter::Address
        ? tr("%1 will answer only at address %2 afterwards; a unit already at %2 on this line "
             "would then share its address.")
              .arg(unit, wanted)
        : tr("%1 may answer only at %2 afterwards; the other units on this line stay at %3.")
              .arg(unit, after.displayText(), inForce.line.displayText());
    QMessageBox box(QMessageBox::Warning, tr("Write %1?").arg(name),
                    tr("Write %1 %2 (the transmitter reports %3)?").arg(name, wanted, reported),
                    QMessageBox::NoButton, this);
    box.setInformativeText(consequence);
    QPushButton *write = box.addButton(tr("&Write"), QMessageBox::AcceptRole);
    QPushButton *cancel = box.addButton(QMessageBox::Cancel);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == write)
        return true;
    showReported(parameter); // the editor back on what the transmitter holds; nothing written
    return false;
}

void MainWindow::showReported(Parameter parameter)
{
    const QString reported = reportLabel(parameter)->text();
    setChangeLink(parameter, false);
    if (parameter == Parameter::Address) {
        bool ok = false;
        const int address = reported.toInt(&ok);
        if (ok)
            ui->spinBox_address->setValue(address);
    } else {
        auto *selector = static_cast<QComboBox *>(editor(parameter));
        selector->setCurrentIndex(
            selector->findText(reported, Qt::MatchExactly | Qt::MatchCaseSensitive));
    }
    setChangeLink(parameter, true);
}

bool MainWindow::refuseTypedAddress(QKeyEvent *event)
{
    const QString typed = event->text();
    if (typed.size() != 1 || !typed.at(0).isDigit())
        return false;
    QLineEdit *edit = ui->spinBox_address->findChild<QLineEdit *>();
    QString text = edit->text();
    if (edit->hasSelectedText())
        text.replace(edit->selectionStart(), edit->selectedText().size(), typed);
    else
        text.insert(edit->cursorPosition(), typed);
    bool ok = false;
    const int address = text.toInt(&ok);
    if (!ok || address <= ui->spinBox_address->maximum())
        return false;
    // The box would keep the digits it can take ("300" becomes 30); nothing of it is written.
    setNote(Parameter::Address, tr("%1 is no address: 1 to 247; nothing written").arg(text));
    edit->setText(QString::number(ui->spinBox_address->value()));
    return true;
}
