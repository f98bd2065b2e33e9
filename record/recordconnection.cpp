#include "recordconnection.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QThread>
#include <QThreadStorage>

namespace {

// The connections a thread has made, and the writes prepared on each, kept
// for the next row rather than parsed again; removed with the thread.
struct ThreadConnections
{
    QStringList names;
    QHash<QString, QHash<QString, QSqlQuery>> preparedWrites;
    ~ThreadConnections()
    {
        // A connection is removed only once no query uses it.
        preparedWrites.clear();
        for (const QString& name : names)
            QSqlDatabase::removeDatabase(name);
    }
};

QThreadStorage<ThreadConnections*> threadConnections;

ThreadConnections& thisThreadsConnections()
{
    if (!threadConnections.hasLocalData())
        threadConnections.setLocalData(new ThreadConnections);
    return *threadConnections.localData();
}

} // namespace

QString RecordConnection::connectionName(const RecordLocation& location)
{
    return QString("orv-record-%1-%2")
        .arg(reinterpret_cast<quintptr>(QThread::currentThread()))
        .arg(location.text());
}

bool RecordConnection::open(const RecordLocation& location, QSqlDatabase* database,
                            QString* problem)
{
    const QString name = connectionName(location);
    if (QSqlDatabase::contains(name)) {
        *database = QSqlDatabase::database(name, false);
        if (database->isOpen())
            return true;
    } else {
        const bool sqlite = location.dialect() == RecordLocation::Dialect::Sqlite;
        *database = QSqlDatabase::addDatabase(sqlite ? "QSQLITE" : "QPSQL", name);
        thisThreadsConnections().names << name;
        if (sqlite) {
            database->setDatabaseName(location.sqlitePath());
            database->setConnectOptions("QSQLITE_BUSY_TIMEOUT=5000");
        } else {
            database->setHostName(location.host());
            database->setPort(location.port());
            database->setUserName(location.user());
            database->setDatabaseName(location.database());
            QString options = location.options();
            if (!options.contains("connect_timeout="))
                options = (options + " connect_timeout=5").trimmed();
            database->setConnectOptions(options);
        }
    }
    if (!database->isValid()) {
        *problem = QString("Qt's %1 driver is not installed").arg(database->driverName());
        return false;
    }
    if (location.dialect() == RecordLocation::Dialect::Sqlite &&
        !QDir().mkpath(QFileInfo(location.sqlitePath()).absolutePath())) {
        *problem = QString("cannot make the folder of %1").arg(location.sqlitePath());
        return false;
    }
    if (!database->open()) {
        *problem = database->lastError().text().trimmed();
        return false;
    }
    if (!configure(location, *database, problem)) {
        database->close();
        return false;
    }
    return true;
}

bool RecordConnection::configure(const RecordLocation& location, QSqlDatabase& database,
                                 QString* problem)
{
    if (location.dialect() == RecordLocation::Dialect::Postgresql)
        return run(database, "SET TIME ZONE 'UTC'", problem);
    // WAL lets the queries read while stations write.
    return run(database, "PRAGMA journal_mode=WAL", problem);
}

void RecordConnection::drop(const RecordLocation& location)
{
    const QString name = connectionName(location);
    thisThreadsConnections().preparedWrites.remove(name);
    if (QSqlDatabase::contains(name))
        QSqlDatabase::database(name, false).close();
}

bool RecordConnection::beginWrite(QSqlDatabase& database, QString* problem)
{
    return run(database, database.driverName() == "QSQLITE" ? "BEGIN IMMEDIATE" : "BEGIN", problem);
}

bool RecordConnection::commit(QSqlDatabase& database, QString* problem)
{
    if (run(database, "COMMIT", problem))
        return true;
    rollback(database);
    return false;
}

void RecordConnection::rollback(QSqlDatabase& database)
{
    QString ignored;
    run(database, "ROLLBACK", &ignored);
}

bool RecordConnection::run(QSqlQuery& query, QString* problem)
{
    if (query.exec())
        return true;
    *problem = query.lastError().text().trimmed();
    return false;
}

bool RecordConnection::run(QSqlDatabase& database, const QString& statement, QString* problem)
{
    QSqlQuery query(database);
    if (query.exec(statement))
        return true;
    *problem = query.lastError().text().trimmed();
    return false;
}

bool RecordConnection::write(QSqlDatabase& database, const QString& statement,
                             const QVariantList& values, QString* problem)
{
    if (!beginWrite(database, problem))
        return false;
    // On SQLite the statement stays prepared for this thread's next row rather
    // than parsed again. A PostgreSQL statement is freed on the server when let
    // go, which a lost link cannot do: it is prepared anew each time.
    const bool kept = database.driverName() == "QSQLITE";
    QHash<QString, QSqlQuery>& prepared =
        thisThreadsConnections().preparedWrites[database.connectionName()];
    const auto found = kept ? prepared.constFind(statement) : prepared.constEnd();
    QSqlQuery query = found != prepared.constEnd() ? *found : QSqlQuery(database);
    if (found == prepared.constEnd()) {
        if (!query.prepare(statement)) {
            *problem = query.lastError().text().trimmed();
            rollback(database);
            return false;
        }
        if (kept)
            prepared.insert(statement, query);
    }
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values[i]);
    if (!run(query, problem)) {
        // Prepared afresh next time, in case the failure has spoilt it.
        prepared.remove(statement);
        rollback(database);
        return false;
    }
    query.finish();
    return commit(database, problem);
}
