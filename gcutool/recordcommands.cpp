#include "recordcommands.h"

#include "recordconnection.h"
#include "recordoptions.h"
#include "tooloutput.h"
#include "updaterecorder.h"

#include <QCommandLineParser>
#include <QSaveFile>
#include <iostream>

void RecordCommands::addCommonOptions(QCommandLineParser& parser)
{
    RecordOptions::addOptions(parser, false);
    parser.addOption({"since", "Only updates begun at or after this date or time (UTC).", "WHEN"});
    parser.addOption({"until",
                      "Only updates begun before this time, or up to the end of this "
                      "date (UTC).",
                      "WHEN"});
}

void RecordCommands::addHistoryOptions(QCommandLineParser& parser)
{
    addCommonOptions(parser);
    parser.addPositionalArgument("SERIAL", "Only this GCU's updates.", "[SERIAL]");
    parser.addOption({"outcome",
                      "Only updates with this outcome (done, failed, stalled, lost, "
                      "refused, version-mismatch, interrupted, abandoned, running).",
                      "O"});
    parser.addOption({"limit", "At most N rows (default 50).", "N", "50"});
}

void RecordCommands::addFleetOptions(QCommandLineParser& parser)
{
    addCommonOptions(parser);
    parser.addOption({"running", "Only the GCUs that run version V now.", "V"});
    parser.addOption({"not-running", "Only the GCUs that do not run version V now.", "V"});
}

void RecordCommands::addStatsOptions(QCommandLineParser& parser)
{
    addCommonOptions(parser);
    parser.addOption({"by", "Group by station, day, station,day, port or reason (default station).",
                      "GROUPS", "station"});
}

void RecordCommands::addExportOptions(QCommandLineParser& parser)
{
    addCommonOptions(parser);
    parser.addOption({"format", "csv or json (JSON Lines; default csv).", "FORMAT", "csv"});
    parser.addOption({{"o", "output"}, "Write to FILE rather than standard output.", "FILE"});
}

void RecordCommands::addSyncOptions(QCommandLineParser& parser)
{
    RecordOptions::addOptions(parser, false);
}

RecordCommands::RecordCommands(const QCommandLineParser& commandLine, ToolOutput& out)
    : parser(commandLine), output(out)
{
}

ExitCode RecordCommands::usage(const QString& message)
{
    std::cerr << "gcutool: " << message.toStdString() << "\n";
    return ExitCode::Usage;
}

ExitCode RecordCommands::run()
{
    const QString command = parser.positionalArguments().at(0);
    if (command == "history")
        return history();
    if (command == "fleet")
        return fleet();
    if (command == "stats")
        return stats();
    if (command == "export")
        return exportRows();
    return sync();
}

std::optional<ExitCode> RecordCommands::reach(RecordQueries::Filter* filter)
{
    if (filter) {
        if (parser.isSet("since") &&
            !RecordQueries::parseTime(parser.value("since"), false, &filter->since))
            return usage(QString("--since %1 is not a date or time").arg(parser.value("since")));
        if (parser.isSet("until") &&
            !RecordQueries::parseTime(parser.value("until"), true, &filter->until))
            return usage(QString("--until %1 is not a date or time").arg(parser.value("until")));
        filter->station = parser.value("station");
    }
    RecordLocation location;
    QString problem;
    if (!RecordOptions::locate(parser, &location, &problem))
        return usage(problem);
    // As any run that reaches the record: spooled rows are forwarded and rows of
    // ended processes marked, so that the answer holds them.
    UpdateRecorder recorder(location);
    if (recorder.prepare(&problem) != UpdateRecorder::Readiness::Ready ||
        !RecordConnection::open(location, &database, &problem)) {
        output.error({}, ExitCode::FileUnusable,
                     QString("The record %1 cannot be used: %2").arg(location.text(), problem));
        return ExitCode::FileUnusable;
    }
    if (!filter)
        output.end({}, ExitCode::Done,
                   QString("Forwarded %1 spooled rows to %2")
                       .arg(recorder.forwardedRows())
                       .arg(location.text()),
                   {{"forwarded", recorder.forwardedRows()}, {"record", location.text()}});
    return std::nullopt;
}

ExitCode RecordCommands::show(bool answered, const RecordTable& table, const QString& problem)
{
    if (!answered) {
        output.error({}, ExitCode::FileUnusable, "The record cannot be read: " + problem);
        return ExitCode::FileUnusable;
    }
    if (output.style() == ToolOutput::Style::Json)
        std::cout << table.jsonLines().toStdString() << std::flush;
    else if (table.rows.isEmpty())
        std::cout << "No updates in the record match\n" << std::flush;
    else
        std::cout << table.text().toStdString() << "\n" << std::flush;
    return ExitCode::Done;
}

ExitCode RecordCommands::history()
{
    RecordQueries::Filter filter;
    if (const auto refused = reach(&filter))
        return *refused;
    bool ok = false;
    const int limit = parser.value("limit").toInt(&ok);
    if (!ok || limit < 1)
        return usage("--limit takes a whole number of at least 1");
    RecordTable table;
    QString problem;
    const bool answered =
        RecordQueries(database).history(filter, parser.positionalArguments().value(1),
                                        parser.value("outcome"), limit, &table, &problem);
    return show(answered, table, problem);
}

ExitCode RecordCommands::fleet()
{
    RecordQueries::Filter filter;
    if (const auto refused = reach(&filter))
        return *refused;
    RecordTable table;
    QString problem;
    const bool answered = RecordQueries(database).fleet(
        filter, parser.value("running"), parser.value("not-running"), &table, &problem);
    return show(answered, table, problem);
}

ExitCode RecordCommands::stats()
{
    if (!RecordQueries::knownGrouping(parser.value("by")))
        return usage("--by takes station, day, station,day, port or reason");
    RecordQueries::Filter filter;
    if (const auto refused = reach(&filter))
        return *refused;
    RecordTable table;
    QString problem;
    const bool answered =
        RecordQueries(database).stats(filter, parser.value("by"), &table, &problem);
    return show(answered, table, problem);
}

ExitCode RecordCommands::exportRows()
{
    const QString format = parser.value("format");
    if (format != "csv" && format != "json")
        return usage("--format takes csv or json");
    RecordQueries::Filter filter;
    if (const auto refused = reach(&filter))
        return *refused;
    RecordTable table;
    QString problem;
    if (!RecordQueries(database).rows(filter, &table, &problem)) {
        output.error({}, ExitCode::FileUnusable, "The record cannot be read: " + problem);
        return ExitCode::FileUnusable;
    }
    const QByteArray bytes = format == "csv" ? table.csv() : table.jsonLines();
    if (!parser.isSet("output")) {
        std::cout << bytes.toStdString() << std::flush;
        return ExitCode::Done;
    }
    QSaveFile file(parser.value("output"));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        output.error(
            {}, ExitCode::FileUnusable,
            QString("Cannot write %1: %2").arg(parser.value("output"), file.errorString()));
        return ExitCode::FileUnusable;
    }
    output.end({}, ExitCode::Done,
               QString("Wrote %1 rows to %2").arg(table.rows.size()).arg(parser.value("output")),
               {{"rows", table.rows.size()}, {"file", parser.value("output")}});
    return ExitCode::Done;
}

ExitCode RecordCommands::sync()
{
    if (const auto refused = reach(nullptr))
        return *refused;
    return ExitCode::Done;
}
