#include "updatetable.h"

#include "recordconnection.h"

#include <QSqlQuery>
#include <cerrno>
#include <csignal>

namespace {

bool processRuns(qint64 pid)
{
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

} // namespace

QString UpdateTable::placeholders()
{
    QStringList marks;
    for (int i = 0; i < UpdateRow::columns().size(); ++i)
        marks << "?";
    return marks.join(", ");
}

bool UpdateTable::insert(QSqlDatabase& database, const UpdateRow& row, QString* problem)
{
    return RecordConnection::write(database,
                                   QString("INSERT INTO updates (%1) VALUES (%2)")
                                       .arg(UpdateRow::columns().join(", "), placeholders()),
                                   row.values(), problem);
}

bool UpdateTable::complete(QSqlDatabase& database, const UpdateRow& row, QString* problem,
                           const QString& table)
{
    QStringList assignments;
    for (const QString& column : UpdateRow::columns().mid(1))
        assignments << QString("%1 = excluded.%1").arg(column);
    return RecordConnection::write(
        database,
        QString("INSERT INTO %1 (%2) VALUES (%3) ON CONFLICT (id) DO UPDATE SET %4 "
                "WHERE %1.outcome IN ('running', 'abandoned')")
            .arg(table, UpdateRow::columns().join(", "), placeholders(), assignments.join(", ")),
        row.values(), problem);
}

int UpdateTable::markAbandoned(QSqlDatabase& database, const QString& host, QString* problem)
{
    QSqlQuery running(database);
    running.prepare("SELECT id, pid FROM updates WHERE host = ? AND outcome = 'running'");
    running.addBindValue(host);
    if (!RecordConnection::run(running, problem))
        return -1;
    QVariantList gone;
    while (running.next())
        if (!processRuns(running.value(1).toLongLong()))
            gone << running.value(0);
    running.finish();
    int marked = 0;
    for (const QVariant& id : gone) {
        const QString now = UpdateRow::timeText(QDateTime::currentDateTimeUtc());
        if (!RecordConnection::write(
                database,
                "UPDATE updates SET outcome = 'abandoned', ended_at = ?, reason = "
                "'the process that ran the update ended before it' WHERE id = ? AND "
                "outcome = 'running'",
                {now, id}, problem))
            return -1;
        ++marked;
    }
    return marked;
}
