#include "recordschema.h"

#include "recordconnection.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QStringList>

// The resources live in a static library and are not registered by themselves.
// (Outside any namespace, as the macro requires.)
static void registerRecordResources()
{
    Q_INIT_RESOURCE(record);
}

namespace {

const char* const migrationsFolder = ":/record/migrations";
// Any number will do, as long as it is the same in every program that migrates.
const char* const migrationLockKey = "7231550291";

QString dialectSuffix(RecordLocation::Dialect dialect)
{
    return dialect == RecordLocation::Dialect::Sqlite ? "sqlite" : "postgresql";
}

// The statements of a migration file: comments dropped, cut at the ; that ends a line.
QStringList statements(const QString& text)
{
    QString code;
    for (const QString& line : text.split('\n'))
        if (!line.trimmed().startsWith("--"))
            code += line + '\n';
    QStringList result;
    for (const QString& statement : code.split(QRegularExpression(";\\s*\n")))
        if (!statement.trimmed().isEmpty())
            result << statement.trimmed();
    return result;
}

int migrationNumber(const QString& fileName)
{
    return fileName.section('_', 0, 0).toInt();
}

} // namespace

int RecordSchema::knownVersion()
{
    registerRecordResources();
    int latest = 0;
    for (const QString& name : QDir(migrationsFolder).entryList(QDir::Files))
        latest = std::max(latest, migrationNumber(name));
    return latest;
}

QString RecordSchema::migrationText(int number, RecordLocation::Dialect dialect)
{
    registerRecordResources();
    const QString prefix = QString("%1_").arg(number, 4, 10, QChar('0'));
    QString generic;
    for (const QString& name : QDir(migrationsFolder).entryList({prefix + "*"}, QDir::Files)) {
        const QStringList parts = name.split('.');
        if (parts.size() == 3 && parts[1] != dialectSuffix(dialect))
            continue;
        QFile file(QString("%1/%2").arg(migrationsFolder, name));
        file.open(QIODevice::ReadOnly);
        if (parts.size() == 3)
            return QString::fromUtf8(file.readAll());
        generic = QString::fromUtf8(file.readAll());
    }
    return generic;
}

int RecordSchema::version(QSqlDatabase& database)
{
    if (!database.tables().contains("schema_migrations"))
        return 0;
    QSqlQuery query(database);
    if (!query.exec("SELECT COALESCE(MAX(version), 0) FROM schema_migrations") || !query.next())
        return -1;
    return query.value(0).toInt();
}

RecordSchema::State RecordSchema::migrate(QSqlDatabase& database, RecordLocation::Dialect dialect,
                                          QString* problem, int upTo)
{
    const bool postgresql = dialect == RecordLocation::Dialect::Postgresql;
    if (postgresql &&
        !RecordConnection::run(
            database, QString("SELECT pg_advisory_lock(%1)").arg(migrationLockKey), problem))
        return State::Failed;
    const State state = applyEach(database, dialect, upTo, problem);
    if (postgresql) {
        QString ignored;
        RecordConnection::run(
            database, QString("SELECT pg_advisory_unlock(%1)").arg(migrationLockKey), &ignored);
    }
    return state;
}

RecordSchema::State RecordSchema::applyEach(QSqlDatabase& database, RecordLocation::Dialect dialect,
                                            int upTo, QString* problem)
{
    const int known = knownVersion();
    const int present = version(database);
    if (present < 0) {
        *problem = "the record's schema_migrations table cannot be read";
        return State::Failed;
    }
    if (present > known) {
        *problem = QString("the record's schema is version %1, newer than this program's %2; "
                           "it is left as it is: use a newer program")
                       .arg(present)
                       .arg(known);
        return State::Newer;
    }
    for (int number = present + 1; number <= std::min(upTo, known); ++number)
        if (!apply(database, number, dialect, problem))
            return State::Failed;
    return State::Current;
}

bool RecordSchema::apply(QSqlDatabase& database, int number, RecordLocation::Dialect dialect,
                         QString* problem)
{
    const bool sqlite = dialect == RecordLocation::Dialect::Sqlite;
    if (!RecordConnection::beginWrite(database, problem))
        return false;
    // Within the transaction: another station may have migrated meanwhile.
    const bool made = database.tables().contains("schema_migrations") ||
                      RecordConnection::run(
                          database,
                          sqlite ? "CREATE TABLE schema_migrations (version INTEGER PRIMARY KEY, "
                                   "applied_at TEXT NOT NULL)"
                                 : "CREATE TABLE schema_migrations (version integer PRIMARY KEY, "
                                   "applied_at timestamptz NOT NULL)",
                          problem);
    if (!made) {
        RecordConnection::rollback(database);
        return false;
    }
    if (version(database) >= number) {
        RecordConnection::rollback(database);
        return true;
    }
    for (const QString& statement : statements(migrationText(number, dialect))) {
        if (!RecordConnection::run(database, statement, problem)) {
            *problem = QString("migration %1: %2").arg(number).arg(*problem);
            RecordConnection::rollback(database);
            return false;
        }
    }
    QSqlQuery noted(database);
    noted.prepare(sqlite ? "INSERT INTO schema_migrations (version, applied_at) VALUES (?, "
                           "strftime('%Y-%m-%dT%H:%M:%fZ', 'now'))"
                         : "INSERT INTO schema_migrations (version, applied_at) VALUES (?, now())");
    noted.addBindValue(number);
    if (!RecordConnection::run(noted, problem)) {
        RecordConnection::rollback(database);
        return false;
    }
    return RecordConnection::commit(database, problem);
}
