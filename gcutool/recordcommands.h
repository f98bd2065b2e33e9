#pragma once

#include "recordqueries.h"
#include "updateoutcome.h"

#include <QSqlDatabase>
#include <optional>

class QCommandLineParser;
class ToolOutput;

// gcutool's questions to the fleet record: history, fleet, stats, export, and
// record-sync, which forwards the spooled rows. Each answers with a table, or
// JSON Lines with --json; each takes --record, --since, --until and --station.
class RecordCommands
{
public:
    static void addHistoryOptions(QCommandLineParser& parser);
    static void addFleetOptions(QCommandLineParser& parser);
    static void addStatsOptions(QCommandLineParser& parser);
    static void addExportOptions(QCommandLineParser& parser);
    static void addSyncOptions(QCommandLineParser& parser);

    RecordCommands(const QCommandLineParser& parser, ToolOutput& output);

    // The command named first among the arguments.
    ExitCode run();

private:
    static void addCommonOptions(QCommandLineParser& parser);
    ExitCode history();
    ExitCode fleet();
    ExitCode stats();
    ExitCode exportRows();
    ExitCode sync();

    // The record, reached and up to date, or the exit code (said).
    std::optional<ExitCode> reach(RecordQueries::Filter* filter);
    ExitCode show(bool answered, const RecordTable& table, const QString& problem);
    ExitCode usage(const QString& message);

    const QCommandLineParser& parser;
    ToolOutput& output;
    QSqlDatabase database;
};
