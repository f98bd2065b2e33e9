#pragma once

#include "firmwarefilecheck.h"
#include "iprocedure.h"
#include "updateoutcome.h"
#include "updateprogress.h"
#include "uploadstallwatch.h"

#include <QElapsedTimer>
#include <QMetaType>
#include <QObject>
#include <QSerialPortInfo>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>

class DeviceSession;
class DhUploadProcedure;
class UploadProcedure;

// One firmware update of one GCU, run on its device session's thread: into the
// bootloader, the upload (plain or secure) with stall detection and a resume
// from the last checkpoint when the GCU drops off the bus and comes back, then
// the GCU's return and its new firmware version.
//
// It prints nothing: the front ends listen to its signals, which it emits on
// the session's thread.
class FirmwareUpdate : public QObject, public IProcedureFeedback
{
    Q_OBJECT
public:
    enum class Stage
    {
        Waiting,
        Bootloader,
        Handshake,
        Uploading,
        // The GCU dropped off the bus; the upload waits for it.
        Away,
        Resumed,
        // Waiting for the GCU to start its new firmware.
        Verifying,
        // The outcome says how.
        Ended
    };
    Q_ENUM(Stage)
    // "waiting", "bootloader", ...: as the dashboard and the live lines show it.
    static QString stageName(Stage stage);

    struct Options
    {
        QString firmwareFile;
        bool secure = false;
        QString certFile;
        QString keychainFile;
        QString knownDevicesFile;
        bool acceptNewKey = false;
        QString expectVersion;
        int stallTimeoutS = 30;
        int resumeWithinS = 60;
        int resetTimeoutS = 30;
        // A line once the upload has got nowhere this long, while it keeps
        // trying until the stall time-out; none when 0.
        int stuckReportS = 0;
    };

    // What the update is about to do, once the port is open.
    struct Start
    {
        QString file;
        bool secure = false;
        int commands = 0;
        qint64 bytesTotal = 0;
        QString port;
        QString mode;
    };

    FirmwareUpdate(Options options, FirmwareFileCheck file, QObject* parent = nullptr);
    ~FirmwareUpdate() override;

    // Opens the port and updates the GCU; every way it can end, the port not
    // opening included, is in the outcome.
    UpdateOutcome run(DeviceSession& session, QSerialPortInfo port);
    // After an update that someone else sent (a server's): waits for the GCU to
    // leave the bus and come back in application mode, and reads its version.
    UpdateOutcome awaitRestart(DeviceSession& session, const QString& versionBefore);
    // Once run has returned.
    const UpdateOutcome& outcome() const { return result; }
    // The firmware data the update sends, all of it.
    qint64 firmwareBytes() const { return file.dataBytes(); }

signals:
    void began(const QString& message, const FirmwareUpdate::Start& start);
    void stageChanged(FirmwareUpdate::Stage stage);
    void progressed(const UpdateProgress& progress);
    // A line for people.
    void logged(const QString& message);
    // The GCU refused `step` with `result`; the upload goes back to its last
    // checkpoint.
    void retried(const QString& message, int step, int result);
    // The GCU left the bus during command `command` of `commands`, counted from
    // 1 as people count; the upload waits for it.
    void gone(const QString& message, int command, int commands);
    // It is back; the upload goes on at commands[`fromCommand`], counted from 0.
    void back(const QString& message, int fromCommand, const QString& port);
    void ended(const UpdateOutcome& outcome);
    // Every frame from the GCU while the update has its port, as it came.
    void frameRead(const std::string& payload);

private:
    void updateProgress(int done, int total) override;
    void procedureDone() override {}

    void runOn(DeviceSession& session, QSerialPortInfo port);
    void enter(Stage stage);
    ExitCode makeProcedure(DeviceSession& session);
    ExitCode checkPinnedKey(DeviceSession& session);
    ExitCode keyNotProven();
    ExitCode enterBootloader(DeviceSession& session, QSerialPortInfo& port);
    ExitCode upload(DeviceSession& session);
    ExitCode resumeAfterLoss(DeviceSession& session);
    ExitCode stall();
    void reportIfStuck();
    ExitCode awaitNewFirmware(DeviceSession& session);
    void noteResult(uint32_t result);
    QString stepName(int step) const;
    int totalSteps() const;
    ExitCode fail(ExitCode code, const QString& message);
    ExitCode interrupted(const QString& where);
    ExitCode finish(ExitCode code, const QString& message);

    Options options;
    FirmwareFileCheck file;
    QString serial;
    // While run() or awaitRestart() runs.
    DeviceSession* activeSession = nullptr;
    std::unique_ptr<UploadProcedure> procedure;
    DhUploadProcedure* secureProcedure = nullptr;

    Stage stage = Stage::Waiting;
    int stepsDone = 0;
    int stepsTotal = 0;
    ProgressMeter meter;
    UploadStallWatch stallWatch;
    bool stuckReported = false;
    QElapsedTimer sinceStart;
    // The key pinned for the GCU, which it must prove it holds (secure upload).
    std::string pinnedKey;
    QString claimedKeyFingerprint;
    UpdateOutcome result;
};
Q_DECLARE_METATYPE(FirmwareUpdate::Start)
Q_DECLARE_METATYPE(UpdateOutcome)
