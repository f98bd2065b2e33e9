#include "updaterecording.h"

#include "firmwarefilecheck.h"

UpdateRecorder::Readiness UpdateRecording::start(Setup recordSetup, QString* problem)
{
    setup = std::move(recordSetup);
    if (setup.firmware) {
        firmwareName = setup.firmware->fileName();
        firmwareSha256 = setup.firmware->sha256();
    }
    recorder = std::make_unique<UpdateRecorder>(setup.location);
    if (setup.warn)
        recorder->setWarning(setup.warn);
    const UpdateRecorder::Readiness readiness = recorder->prepare(problem);
    if (readiness == UpdateRecorder::Readiness::Refused)
        recorder.reset();
    return readiness;
}

std::optional<RecordLocation> UpdateRecording::location() const
{
    if (!recorder)
        return std::nullopt;
    return recorder->location();
}

UpdateRow UpdateRecording::newRow(const QString& command, const QString& serial,
                                  const QString& port) const
{
    UpdateRow row = UpdateRow::beginning(setup.program, setup.programVersion, command);
    if (!setup.station.isEmpty())
        row.station = setup.station;
    row.serial = serial;
    row.port = port;
    row.firmwareFile = firmwareName;
    row.firmwareSha256 = firmwareSha256;
    return row;
}

UpdateRow UpdateRecording::begin(const QString& command, const QString& serial, const QString& port,
                                 const QString& versionBefore, const FirmwareFileCheck* firmware)
{
    UpdateRow row = newRow(command, serial, port);
    row.versionBefore = versionBefore;
    if (firmware) {
        row.firmwareFile = firmware->fileName();
        row.firmwareSha256 = firmware->sha256();
    }
    if (recorder)
        recorder->begin(row);
    return row;
}

void UpdateRecording::refuse(const QString& command, const QString& serial, const QString& port,
                             const QString& reason)
{
    UpdateRow row = newRow(command, serial, port);
    end(row, UpdateOutcome::refusal(reason));
}

void UpdateRecording::end(UpdateRow& row, const UpdateOutcome& outcome)
{
    if (!outcome.oldVersion.isEmpty())
        row.versionBefore = outcome.oldVersion;
    row.versionAfter = outcome.newVersion;
    row.retries = outcome.retries;
    row.resumes = outcome.resumes;
    row.bytes = outcome.bytes;
    row.keyFingerprint = outcome.keyFingerprint;
    row.finish(outcome.name(), static_cast<int>(outcome.code),
               outcome.done() ? QString() : outcome.message);
    if (recorder)
        recorder->end(row);
}
