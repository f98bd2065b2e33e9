#pragma once

#include "recordlocation.h"

#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

class QSqlQuery;

// The calling thread's connection to a record, as Qt's SQL module requires one
// per thread: opened on first use, opened again after a failure has dropped it,
// removed when the thread ends. SQLite runs in WAL mode with a busy time-out of
// 5 s; PostgreSQL is given up on after 5 s.
class RecordConnection
{
public:
    // False, with libpq's or SQLite's reason, when the record cannot be reached.
    static bool open(const RecordLocation& location, QSqlDatabase* database, QString* problem);
    // Closes this thread's connection after a failure, so that the next use
    // connects afresh rather than trying a dead link.
    static void drop(const RecordLocation& location);

    // A transaction that writes: on SQLite it takes the write lock at once
    // (BEGIN IMMEDIATE), so two writers wait for each other rather than fail.
    static bool beginWrite(QSqlDatabase& database, QString* problem);
    static bool commit(QSqlDatabase& database, QString* problem);
    static void rollback(QSqlDatabase& database);
    // Runs a prepared query; false with the database's reason.
    static bool run(QSqlQuery& query, QString* problem);
    static bool run(QSqlDatabase& database, const QString& statement, QString* problem);
    // One statement with its values, as a write transaction of its own.
    static bool write(QSqlDatabase& database, const QString& statement, const QVariantList& values,
                      QString* problem);

private:
    static QString connectionName(const RecordLocation& location);
    static bool configure(const RecordLocation& location, QSqlDatabase& database, QString* problem);
};
