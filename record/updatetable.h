#pragma once

#include "updaterow.h"

#include <QSqlDatabase>
#include <QString>

// The statements that write the `updates` table (and the spool's copy of it),
// each in a transaction of its own.
class UpdateTable
{
public:
    // A row that begins.
    static bool insert(QSqlDatabase& database, const UpdateRow& row, QString* problem);
    // A row as it ends, or as the spool forwards it: written whole, once per id.
    // A row that has already ended is never overwritten by a later copy of it.
    static bool complete(QSqlDatabase& database, const UpdateRow& row, QString* problem,
                         const QString& table = "updates");
    // Rows left `running` by processes of this host that no longer run become
    // `abandoned`; how many, or -1.
    static int markAbandoned(QSqlDatabase& database, const QString& host, QString* problem);

private:
    static QString placeholders();
};
