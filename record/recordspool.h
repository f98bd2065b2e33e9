#pragma once

#include "recordlocation.h"
#include "updaterow.h"

#include <QSqlDatabase>
#include <QString>

// Rows that could not reach their record wait here (an SQLite file of this
// machine), each kept under its id with the record it is for, until a run
// reaches that record and forwards them. A row is taken out of the spool only
// after the record has committed it, and the record keeps one row per id, so a
// row forwarded twice after a crash is still there once.
class RecordSpool
{
public:
    explicit RecordSpool(QString path = RecordLocation::spoolPath());

    bool store(const UpdateRow& row, const QString& target, QString* problem);
    // The row no longer waits (its record has it).
    bool discard(const QString& id, QString* problem);
    // Forwards the rows for `target` to `record`; how many went, or -1 with the
    // reason (rows forwarded before the failure stay forwarded).
    int forward(QSqlDatabase& record, const QString& target, QString* problem);
    // How many rows wait for `target`; -1 when the spool cannot be read.
    int waiting(const QString& target, QString* problem);

private:
    bool open(QSqlDatabase* database, QString* problem);

    RecordLocation location;
};
