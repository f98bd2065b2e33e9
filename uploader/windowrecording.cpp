#include "windowrecording.h"

WindowRecording::WindowRecording(QSettings& store, std::function<void(const QString&)> logLine)
    : settings(store), log(std::move(logLine))
{
}

bool WindowRecording::prepared()
{
    if (usable)
        return *usable;
    usable = false;
    const QString url =
        settings.value("record/url", RecordLocation::defaultLocation().text()).toString();
    UpdateRecording::Setup setup;
    QString problem;
    if (!RecordLocation::parse(url, &setup.location, &problem)) {
        log(QString("Updates are not recorded: %1").arg(problem));
        return false;
    }
    setup.program = "uploader";
    setup.programVersion = ORV_VERSION;
    setup.warn = log;
    if (recording.start(std::move(setup), &problem) == UpdateRecorder::Readiness::Refused) {
        log(QString("Updates are not recorded: the record %1 is refused: %2").arg(url, problem));
        return false;
    }
    usable = true;
    return true;
}

void WindowRecording::begin(const QString& command, const QString& serial, const QString& port,
                            const QString& versionBefore, const FirmwareFileCheck* firmware)
{
    if (row) {
        UpdateOutcome interrupted;
        interrupted.code = ExitCode::Interrupted;
        interrupted.message = "another update began in the window";
        end(interrupted);
    }
    if (!prepared())
        return;
    row = recording.begin(command, serial, port, versionBefore, firmware);
}

void WindowRecording::end(const UpdateOutcome& outcome)
{
    if (!row)
        return;
    recording.end(*row, outcome);
    row.reset();
}
