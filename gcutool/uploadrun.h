#pragma once

#include "exitcode.h"
#include "firmwarefilecheck.h"
#include "iprocedure.h"
#include "uploadstallwatch.h"

#include <QElapsedTimer>
#include <QSerialPortInfo>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>

class DeviceSession;
class DhUploadProcedure;
class ToolOutput;
class UploadProcedure;

// One firmware update of one GCU, run on its device session's thread: into the
// bootloader, the upload (plain or secure) with stall detection and a resume
// from the last checkpoint when the GCU drops off the bus and comes back, then
// the GCU's return and its new firmware version.
class UploadRun : public IProcedureFeedback
{
public:
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
    };

    // How the run ended, for a summary of many. Until a run has ended it is a
    // failure: a GCU that was not updated never reads as done.
    struct Outcome
    {
        ExitCode code = ExitCode::Stalled;
        QString message = "The update did not begin";
        QString oldVersion;
        QString newVersion;
        double seconds = 0;
        int retries = 0;
        int resumes = 0;
        // Turned away before anything was sent to it.
        bool refused = false;
    };
    // The outcome of a GCU that was turned away before anything was sent to it.
    static Outcome refusal(const QString& reason);

    UploadRun(Options options, FirmwareFileCheck file, ToolOutput& output);
    ~UploadRun() override;

    // Opens the port and updates the GCU; every way it can end, the port not
    // opening included, is in outcome().
    ExitCode run(DeviceSession& session, QSerialPortInfo port);
    // Once run has returned.
    const Outcome& outcome() const { return result; }
    qint64 bytesUploaded() const { return bytesDone; }
    // The GCU's key, for a secure upload that has read it.
    const QString& keyFingerprint() const { return fingerprint; }

private:
    void updateProgress(int done, int total) override;
    void procedureDone() override {}

    ExitCode makeProcedure(DeviceSession& session);
    ExitCode checkPinnedKey(DeviceSession& session);
    ExitCode keyNotProven();
    ExitCode enterBootloader(DeviceSession& session, QSerialPortInfo& port);
    ExitCode upload(DeviceSession& session);
    ExitCode resumeAfterLoss(DeviceSession& session);
    ExitCode stall();
    ExitCode awaitNewFirmware(DeviceSession& session);
    void noteResult(uint32_t result);
    QString stepName(int step) const;
    ExitCode fail(ExitCode code, const QString& message);
    ExitCode interrupted(const QString& where);

    Options options;
    FirmwareFileCheck file;
    ToolOutput& output;
    QString serial;
    std::unique_ptr<UploadProcedure> procedure;
    DhUploadProcedure* secureProcedure = nullptr;

    int stepsDone = 0;
    int stepsTotal = 0;
    qint64 bytesDone = 0;
    QString fingerprint;
    UploadStallWatch stallWatch;
    QElapsedTimer sinceStart;
    int retries = 0;
    int resumes = 0;
    QString oldVersion;
    // The key pinned for the GCU, which it must prove it holds (secure upload).
    std::string pinnedKey;
    QString claimedKeyFingerprint;
    Outcome result;
};
