#include "recordspool.h"

#include "recordconnection.h"
#include "updatetable.h"

#include <QFile>
#include <QSqlQuery>

RecordSpool::RecordSpool(QString path)
{
    QString ignored;
    RecordLocation::parse(path, &location, &ignored);
}

bool RecordSpool::open(QSqlDatabase* database, QString* problem)
{
    if (!RecordConnection::open(location, database, problem))
        return false;
    if (database->tables().contains("spooled"))
        return true;
    QStringList columns;
    for (const QString& column : UpdateRow::columns())
        columns << (column == "id" ? "id TEXT PRIMARY KEY" : column);
    return RecordConnection::run(
        *database,
        QString("CREATE TABLE IF NOT EXISTS spooled (target TEXT NOT NULL, %1)")
            .arg(columns.join(", ")),
        problem);
}

bool RecordSpool::store(const UpdateRow& row, const QString& target, QString* problem)
{
    QSqlDatabase database;
    if (!open(&database, problem))
        return false;
    QStringList marks;
    for (int i = 0; i <= UpdateRow::columns().size(); ++i)
        marks << "?";
    return RecordConnection::write(
        database,
        QString("INSERT OR REPLACE INTO spooled (target, %1) VALUES (%2)")
            .arg(UpdateRow::columns().join(", "), marks.join(", ")),
        QVariantList{target} + row.values(), problem);
}

bool RecordSpool::discard(const QString& id, QString* problem)
{
    // Nothing spooled, nothing to take out: the spool file is made only when needed.
    if (!QFile::exists(location.sqlitePath()))
        return true;
    QSqlDatabase database;
    return open(&database, problem) &&
           RecordConnection::write(database, "DELETE FROM spooled WHERE id = ?", {id}, problem);
}

int RecordSpool::waiting(const QString& target, QString* problem)
{
    if (!QFile::exists(location.sqlitePath()))
        return 0;
    QSqlDatabase database;
    if (!open(&database, problem))
        return -1;
    QSqlQuery query(database);
    query.prepare("SELECT COUNT(*) FROM spooled WHERE target = ?");
    query.addBindValue(target);
    if (!RecordConnection::run(query, problem) || !query.next())
        return -1;
    return query.value(0).toInt();
}

int RecordSpool::forward(QSqlDatabase& record, const QString& target, QString* problem)
{
    if (!QFile::exists(location.sqlitePath()))
        return 0;
    QSqlDatabase database;
    if (!open(&database, problem))
        return -1;
    QSqlQuery query(database);
    query.prepare(QString("SELECT %1 FROM spooled WHERE target = ? ORDER BY started_at")
                      .arg(UpdateRow::columns().join(", ")));
    query.addBindValue(target);
    if (!RecordConnection::run(query, problem))
        return -1;
    QList<UpdateRow> rows;
    while (query.next())
        rows << UpdateRow::read(query);
    query.finish();
    int forwarded = 0;
    for (const UpdateRow& row : rows) {
        if (!UpdateTable::complete(record, row, problem) || !discard(row.id, problem))
            return -1;
        ++forwarded;
    }
    return forwarded;
}
