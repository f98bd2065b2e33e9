#pragma once

#include "recordlocation.h"

#include <QSqlDatabase>
#include <QString>

// The record's tables, made and brought up to date by numbered migrations
// carried in the resources (:/record/migrations/NNNN_name.sql, or
// NNNN_name.sqlite.sql and NNNN_name.postgresql.sql where the dialects differ).
// Each migration is applied in one transaction and noted in
// schema_migrations(version, applied_at). Two stations starting at once do not
// both migrate: PostgreSQL holds an advisory lock meanwhile, SQLite's writes wait
// for each other.
class RecordSchema
{
public:
    enum class State
    {
        Current,
        // The record was made by a later program: left as it is.
        Newer,
        Failed
    };

    // The latest migration this program carries.
    static int knownVersion();
    // Applies the migrations the record lacks, up to `upTo`.
    static State migrate(QSqlDatabase& database, RecordLocation::Dialect dialect, QString* problem,
                         int upTo = knownVersion());
    // The latest migration applied to the record; 0 for an empty one, -1 if unreadable.
    static int version(QSqlDatabase& database);

private:
    static State applyEach(QSqlDatabase& database, RecordLocation::Dialect dialect, int upTo,
                           QString* problem);
    static bool apply(QSqlDatabase& database, int number, RecordLocation::Dialect dialect,
                      QString* problem);
    static QString migrationText(int number, RecordLocation::Dialect dialect);
};
