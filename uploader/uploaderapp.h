#pragma once

#include "commandssender.h"
#include "comport.h"
#include "firmwareupdate.h"
#include "reconnectwaiter.h"
#include "updaterelay.h"
#include "windowrecording.h"

#include <QElapsedTimer>
#include <QList>
#include <QMainWindow>
#include <QSerialPortInfo>
#include <QSettings>
#include <memory>
#include <string>

class ModulePublicKey;
class Response;
class QCloseEvent;
class QTimer;
class Ui_UploaderApp;
class UpdateBatch;

// The uploader's one window: the GCU port list and connection, the GCU's answers,
// ping and firmware version, the local upload, bootloader and key actions, and
// the relay between the update server and the GCU.
//
// An update is the update engine's, as in gcutool: for an upload, and after a
// relayed update until the GCU runs its new firmware, the window closes its own
// link and hands the GCU to an engine session; it shows what the engine says and
// opens its link again once the engine is done with the GCU.
class UploaderApp : public QMainWindow
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
    void updateProgress(int stepsDone, int stepsTotal);
    // A relayed update's progress, its rate measured here.
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
    // Read anew each time: the mode follows the settings store.
    bool offlineLoader();
    void addPortEntry(int index);
    void saveKeychain(const ModulePublicKey& key);
    void connectionEstablished();
    // Said once the link has closed, whoever closed it.
    void connectionClosed();
    // The GCU an upload is for: the connected one, else the one chosen.
    QSerialPortInfo gcuToUpdate();
    // Closes the window's link and gives the GCU `serial` to a new engine
    // session, which `launch` starts; `command` names the record's row of it.
    void handOver(const QString& serial, const QString& command,
                  const FirmwareUpdate::Options& options, const FirmwareFileCheck& file,
                  const std::function<void(UpdateBatch&)>& launch);
    // Shows everything the engine's update says.
    void showUpdate(FirmwareUpdate& update);
    void engineEnded(const UpdateOutcome& outcome);
    // The engine lets go of the GCU, and the window opens its link again.
    void reclaimGcu();
    // The window's own upload, if one runs, is over: the engine stops it and
    // lets go of the GCU, and the window opens its link again when `reopenLink`.
    void endLocalUpload(bool reopenLink = true);
    // Logs a frame from the GCU as the window logs every frame.
    void logFrame(const std::string& data, const Response& response);
    void relayEnded(UpdateRelay::End end);
    // After a relayed update: the engine follows the GCU through its restart.
    void followRelayedUpdate();
    void recordRelayEnd(UpdateRelay::End end);
    // The status bar says what the window is doing; kept current on every tick
    // of the port poll.
    void refreshStatus();
    QString progressStatus() const;
    QString engineStatus() const;
    void showProgress(const UpdateProgress& progress);
    bool confirmKeyChange(const QString& serial, const std::string& key);

    std::unique_ptr<Ui_UploaderApp> ui;
    QTimer* refreshTimer = nullptr;
    QList<QSerialPortInfo> ports;
    ComPort comPort;
    CommandsSender commandsSender{comPort};
    QTimer* pingTimer = nullptr;
    std::unique_ptr<QElapsedTimer> pingStopwatch;
    // The engine's session with the GCU, while it has it; the window's link is
    // closed meanwhile.
    UpdateBatch* engine = nullptr;
    QString engineSerial;
    // window-upload or window-relay: the record's row the engine's end ends.
    QString engineCommand;
    FirmwareUpdate::Stage engineStage = FirmwareUpdate::Stage::Waiting;
    int engineResetTimeoutS = 30;
    // A relayed update ended complete: the engine follows the GCU once the
    // relay's own wait for its port is over.
    bool followPending = false;
    // The user asked the server for an update, which has not ended yet.
    bool relayedUpdateAsked = false;
    // The server's progress reached its last step.
    bool relayedWhole = false;
    QString versionBeforeRelay;
    // What the last update came to, for the status bar.
    QString outcomeLine;
    // The update's progress as shown; a relayed one's measured here.
    UpdateProgress progress;
    ProgressMeter relayMeter;
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
