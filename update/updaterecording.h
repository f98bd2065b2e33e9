#pragma once

#include "updateoutcome.h"
#include "updaterecorder.h"
#include "updaterow.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>

// The updates of a program in the fleet record, whichever front end runs them:
// a running row when an update begins, the whole row from its outcome when it
// ends, one ended row for a GCU turned away. A record that cannot be reached
// never stops an update: its rows are spooled.
class FirmwareFileCheck;

class UpdateRecording
{
public:
    struct Setup
    {
        RecordLocation location;
        // gcutool or uploader, and the program's version.
        QString program;
        QString programVersion;
        // The station's name; the host name when empty.
        QString station;
        // The firmware every update of this run sends; none for a relay.
        const FirmwareFileCheck* firmware = nullptr;
        // How a record that cannot be written is told (once).
        std::function<void(const QString&)> warn;
    };

    // Before any GCU is touched: reaches the record; why not in `problem`. A
    // refused record is written nothing.
    UpdateRecorder::Readiness start(Setup setup, QString* problem);
    // Where the rows go; none before start.
    std::optional<RecordLocation> location() const;

    // From the GCU's own thread.
    // `firmware`: the file of an update that brings its own (the window's).
    UpdateRow begin(const QString& command, const QString& serial, const QString& port,
                    const QString& versionBefore = {}, const FirmwareFileCheck* firmware = nullptr);
    // A GCU turned away before anything was sent to it: one row, already ended.
    void refuse(const QString& command, const QString& serial, const QString& port,
                const QString& reason);
    void end(UpdateRow& row, const UpdateOutcome& outcome);

private:
    UpdateRow newRow(const QString& command, const QString& serial, const QString& port) const;

    std::unique_ptr<UpdateRecorder> recorder;
    Setup setup;
    QString firmwareName;
    QString firmwareSha256;
};
