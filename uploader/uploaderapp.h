#pragma once

#include "commandssender.h"
#include "comport.h"
#include "iprocedure.h"
#include "reconnectwaiter.h"
#include "updaterelay.h"
#include "uploadstallwatch.h"
#include "windowrecording.h"

#include <QElapsedTimer>
#include <QList>
#include <QMainWindow>
#include <QSerialPortInfo>
#include <QSettings>
#include <memory>
#include <string>

class FirmwareUploadProcedure;
class ModulePublicKey;
class QCloseEvent;
class QTimer;
class Ui_UploaderApp;

// The uploader's one window: the GCU port list and connection, the GCU's answers,
// ping and firmware version, the local upload, bootloader and key actions, and
// the relay between the update server and the GCU.
class UploaderApp : public QMainWindow, public IProcedureFeedback
{
    Q_OBJECT
public:
    explicit UploaderApp(QWidget* parent = nullptr);
    ~UploaderApp() override;

signals:
    void addLog(QString line);
    void pongReceived(unsigned int sequenceNo);

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void refreshPorts();
    void updateProgress(int stepsDone, int stepsTotal) override;
    // A relayed update's progress, which the window's own upload watch ignores.
    void showRelayedProgress(int stepsDone, int stepsTotal);
    void on_softwareServerUpload_clicked();
    void on_softwareServerConnect_clicked();
    void comPortDisconnect();
    // Re-opens the link once the GCU's port is back, without waiting for it here.
    void comPortReconnect();
    void on_readPublicKey_clicked();
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void readPort(std::string data);
    void on_pongReceived(unsigned int sequenceNo);
    void on_pushButton_5_clicked();
    void on_ping_timer();
    void on_pushButton_3_clicked();
    void clearVersionItems();
    void insertVersionItem(QString item);
    // Writes the log pane and the frame trace to a file the user picks.
    void on_saveLog_triggered();

private:
    void procedureDone() override;
    // Read anew each time: the mode follows the settings store.
    bool offlineLoader();
    void addPortEntry(int index);
    void saveKeychain(const ModulePublicKey& key);
    void connectionEstablished();
    // Said once the link has closed, whoever closed it.
    void connectionClosed();
    // The window's own upload, if one runs, is over.
    void endLocalUpload();
    void relayEnded(UpdateRelay::End end);
    void recordRelayEnd(UpdateRelay::End end);
    // The status bar says what the window is doing; kept current on every tick
    // of the port poll.
    void refreshStatus();
    QString uploadStatus() const;
    void showProgress(int done, int total);
    bool localUploadRunning() const;
    // One log line for an upload that has got nowhere for a while.
    void reportStall();

    std::unique_ptr<Ui_UploaderApp> ui;
    QTimer* refreshTimer = nullptr;
    QList<QSerialPortInfo> ports;
    ComPort comPort;
    CommandsSender commandsSender{comPort};
    QTimer* pingTimer = nullptr;
    std::unique_ptr<QElapsedTimer> pingStopwatch;
    std::unique_ptr<IProcedure> procedure;
    // The procedure when it is the window's own upload.
    FirmwareUploadProcedure* upload = nullptr;
    UploadStallWatch uploadWatch;
    bool stallReported = false;
    int stepsDone = 0;
    int stepsTotal = 0;
    // Where the rate of the present upload is counted from.
    int stepsAtClockStart = 0;
    QElapsedTimer uploadClock;
    QString firmwareVersion;
    uint32_t pingCounter = 0;
    QSettings settings{"Orvane", "Uploader"};
    bool keyRequested = false;
    bool firmwareIdRequested = false;
    // Waits for the GCU's port after a reset; ends before the link it uses.
    ReconnectWaiter portWaiter{comPort};
    UpdateRelay relay{comPort, portWaiter};
    WindowRecording recording{settings, [this](const QString& line) { emit addLog(line); }};
};
