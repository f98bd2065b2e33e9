#include "updaterecorder.h"

#include "recordconnection.h"
#include "recordschema.h"
#include "updatetable.h"

#include <QSysInfo>

UpdateRecorder::UpdateRecorder(RecordLocation location, RecordSpool spool)
    : where(std::move(location)), spoolFile(std::move(spool))
{
}

bool UpdateRecorder::reach(QSqlDatabase* database, QString* problem)
{
    if (!RecordConnection::open(where, database, problem))
        return false;
    std::lock_guard<std::mutex> guard(lock);
    if (schemaChecked)
        return true;
    if (RecordSchema::migrate(*database, where.dialect(), problem) != RecordSchema::State::Current)
        return false;
    schemaChecked = true;
    return true;
}

UpdateRecorder::Readiness UpdateRecorder::prepare(QString* problem)
{
    QSqlDatabase database;
    if (!RecordConnection::open(where, &database, problem))
        return Readiness::Spooling;
    switch (RecordSchema::migrate(database, where.dialect(), problem)) {
    case RecordSchema::State::Newer:
        return Readiness::Refused;
    case RecordSchema::State::Failed:
        RecordConnection::drop(where);
        return Readiness::Spooling;
    case RecordSchema::State::Current:
        break;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        schemaChecked = true;
    }
    // Spooled rows first: a row spooled as running by a process that has ended
    // since is then found among the abandoned ones.
    forwarded = spoolFile.forward(database, where.text(), problem);
    if (forwarded < 0) {
        RecordConnection::drop(where);
        return Readiness::Spooling;
    }
    abandoned = UpdateTable::markAbandoned(database, QSysInfo::machineHostName(), problem);
    if (abandoned < 0) {
        RecordConnection::drop(where);
        return Readiness::Spooling;
    }
    return Readiness::Ready;
}

void UpdateRecorder::begin(const UpdateRow& row)
{
    QSqlDatabase database;
    QString problem;
    if (reach(&database, &problem) && UpdateTable::insert(database, row, &problem))
        return;
    {
        std::lock_guard<std::mutex> guard(lock);
        spooledIds.insert(row.id);
    }
    spool(row, problem);
}

void UpdateRecorder::end(const UpdateRow& row)
{
    QSqlDatabase database;
    QString problem;
    if (reach(&database, &problem) && UpdateTable::complete(database, row, &problem)) {
        bool wasSpooled = false;
        {
            std::lock_guard<std::mutex> guard(lock);
            wasSpooled = spooledIds.remove(row.id);
        }
        // The row's beginning waits in the spool; the record now has all of it.
        QString spoolProblem;
        if (wasSpooled && !spoolFile.discard(row.id, &spoolProblem) && warning)
            warning(QString("Row %1 stays in the spool: %2").arg(row.id, spoolProblem));
        return;
    }
    spool(row, problem);
}

void UpdateRecorder::spool(const UpdateRow& row, const QString& problem)
{
    RecordConnection::drop(where);
    QString spoolProblem;
    const bool stored = spoolFile.store(row, where.text(), &spoolProblem);
    std::lock_guard<std::mutex> guard(lock);
    if (!stored) {
        // Not kept anywhere: said every time.
        if (warning)
            warning(QString("The record %1 cannot be written (%2), nor the spool (%3): the row "
                            "of %4's update is lost")
                        .arg(where.text(), problem, spoolProblem, row.serial));
        return;
    }
    if (!warned && warning)
        warning(QString("The record %1 cannot be written (%2); its rows wait in the spool until "
                        "a later run reaches it, or gcutool record-sync")
                    .arg(where.text(), problem));
    warned = true;
}
