#pragma once

#include "exitcode.h"
#include "updaterecorder.h"
#include "updaterow.h"

#include <QString>
#include <memory>
#include <optional>

class QCommandLineParser;
class ToolOutput;
class UploadRun;

// gcutool's side of the fleet record: where it is (--record, ORV_RECORD,
// record= in ~/.config/orv/gcutool.conf, else the default SQLite file), whether
// to write at all (--no-record), whether a run may start without it
// (--record-required), the station's name (--station), and the row of each
// GCU's update from its beginning to its end.
class UpdateRecording
{
public:
    // `updates`: the options of a command that updates GCUs, else a query's.
    static void addOptions(QCommandLineParser& parser, bool updates);
    // Where the options, the environment and the configuration put the record.
    static bool locate(const QCommandLineParser& parser, RecordLocation* location,
                       QString* problem);

    // Before any GCU is touched: reaches the record. The exit code when the run
    // must not start (said).
    std::optional<ExitCode> start(const QCommandLineParser& parser, ToolOutput& output,
                                  const QString& firmwareFile = {});

    // Where the rows go; none with --no-record.
    std::optional<RecordLocation> location() const;

    // From the GCU's own thread.
    UpdateRow begin(const QString& command, const QString& serial, const QString& port);
    // A GCU turned away before anything was sent to it: one row, already ended.
    void refuse(const QString& command, const QString& serial, const QString& port,
                const QString& reason);
    void end(UpdateRow& row, ExitCode code, const QString& reason);
    void endUpload(UpdateRow& row, const UploadRun& run);

    // The record's outcome for an exit code.
    static QString outcomeName(ExitCode code);

private:
    UpdateRow newRow(const QString& command, const QString& serial, const QString& port) const;

    std::unique_ptr<UpdateRecorder> recorder;
    QString station;
    QString firmwareName;
    QString firmwareSha256;
};
