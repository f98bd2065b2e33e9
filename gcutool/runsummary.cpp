#include "runsummary.h"

#include "terminaltext.h"
#include "tooloutput.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

ExitCode RunSummary::report(ToolOutput& output, const std::vector<Result>& results)
{
    output.keepLiveLines();
    ExitCode worst = ExitCode::Done;
    QJsonArray rows;
    QString table = QString("%1 %2 %3 %4 %5 %6 %7")
                        .arg("SERIAL", -16)
                        .arg("OUTCOME", -8)
                        .arg("OLD", -10)
                        .arg("NEW", -10)
                        .arg("SECONDS", 8)
                        .arg("RETRIES", 8)
                        .arg("RESUMES", 8);
    QStringList failures;
    for (const Result& result : results) {
        const UpdateOutcome& outcome = result.outcome;
        // The table is text: a serial number stays within its cell.
        const QString serial = TerminalText::shown(result.serial);
        worst = UpdateOutcome::worse(worst, outcome.code);
        const QString verdict = outcome.code == ExitCode::Done
                                    ? "done"
                                    : QString("exit %1").arg(static_cast<int>(outcome.code));
        table += QString("\n%1 %2 %3 %4 %5 %6 %7")
                     .arg(serial, -16)
                     .arg(verdict, -8)
                     .arg(outcome.oldVersion.isEmpty() ? "?" : outcome.oldVersion, -10)
                     .arg(outcome.newVersion.isEmpty() ? "-" : outcome.newVersion, -10)
                     .arg(outcome.seconds, 8, 'f', 1)
                     .arg(outcome.retries, 8)
                     .arg(outcome.resumes, 8);
        if (outcome.code != ExitCode::Done)
            failures << QString("%1: %2").arg(serial, outcome.message);
        rows.append(QJsonObject{{"serial", result.serial},
                                {"exit_code", static_cast<int>(outcome.code)},
                                {"message", outcome.message},
                                {"old_version", outcome.oldVersion},
                                {"new_version", outcome.newVersion},
                                {"seconds", outcome.seconds},
                                {"retries", outcome.retries},
                                {"resumes", outcome.resumes}});
    }
    if (!failures.isEmpty())
        table += "\n\nFailed:\n" + failures.join('\n');
    output.end({}, worst, table, {{"results", rows}});
    return worst;
}
