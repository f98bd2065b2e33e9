#pragma once

#include "updateoutcome.h"
#include "updaterecording.h"

#include <QString>
#include <optional>

class FirmwareFileCheck;
class QCommandLineParser;
class ToolOutput;

// gcutool's options for the fleet record: where it is (--record, ORV_RECORD,
// record= in ~/.config/orv/gcutool.conf, else the default SQLite file), whether
// to write at all (--no-record), whether a run may start without it
// (--record-required) and the station's name (--station).
class RecordOptions
{
public:
    // `updates`: the options of a command that updates GCUs, else a query's.
    static void addOptions(QCommandLineParser& parser, bool updates);
    // Where the options, the environment and the configuration put the record.
    static bool locate(const QCommandLineParser& parser, RecordLocation* location,
                       QString* problem);
    // Before any GCU is touched: starts `recording` as the options say. The
    // exit code when the run must not start (said).
    static std::optional<ExitCode> start(const QCommandLineParser& parser, ToolOutput& output,
                                         UpdateRecording& recording,
                                         const FirmwareFileCheck* firmware = nullptr);
};
