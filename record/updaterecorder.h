#pragma once

#include "recordlocation.h"
#include "recordspool.h"
#include "updaterow.h"

#include <QSet>
#include <QString>
#include <functional>
#include <mutex>

// Writes each GCU's update into the record: a `running` row when it begins, the
// whole row when it ends, each in its own transaction, from whichever thread
// runs that GCU (each on its own connection). A record out of reach never
// stops an update: its rows go to the spool, with one warning, and are
// forwarded by a later run that reaches the record.
class UpdateRecorder
{
public:
    enum class Readiness
    {
        Ready,
        // The record cannot be reached now; rows are spooled.
        Spooling,
        // The record's schema is newer than this program's: nothing is written.
        Refused
    };

    explicit UpdateRecorder(RecordLocation location, RecordSpool spool = RecordSpool());

    // Before the first update: reaches the record, brings its schema up to date,
    // forwards the rows spooled for it and marks as abandoned the rows left
    // running by this host's processes that have ended.
    Readiness prepare(QString* problem);
    // How a failure to write is told (once per run); by default not at all.
    void setWarning(std::function<void(const QString&)> warn) { warning = std::move(warn); }
    // Rows the last prepare forwarded from the spool, and marked abandoned.
    int forwardedRows() const { return forwarded; }
    int abandonedRows() const { return abandoned; }

    void begin(const UpdateRow& row);
    void end(const UpdateRow& row);

    const RecordLocation& location() const { return where; }

private:
    // This thread's connection, with the schema checked once per run.
    bool reach(QSqlDatabase* database, QString* problem);
    void spool(const UpdateRow& row, const QString& problem);

    RecordLocation where;
    RecordSpool spoolFile;
    std::function<void(const QString&)> warning;
    std::mutex lock;
    bool schemaChecked = false;
    bool warned = false;
    // Rows whose beginning went to the spool: their end takes them out again.
    QSet<QString> spooledIds;
    int forwarded = 0;
    int abandoned = 0;
};
