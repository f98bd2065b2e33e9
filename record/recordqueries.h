#pragma once

#include "recordtable.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// What a production line asks of its record: a GCU's history, the fleet's
// versions, the stations' yields, and every row for export. Each query takes
// the rows whose update began in [since, until) (either may be unset), and of
// one station when one is named.
class RecordQueries
{
public:
    struct Filter
    {
        QDateTime since;
        QDateTime until;
        QString station;
    };

    explicit RecordQueries(QSqlDatabase database);

    // A date (2026-12-01) or a time (2026-12-01T10:30, 2026-12-01 10:30:00),
    // UTC. A date that ends a span takes in its whole day.
    static bool parseTime(const QString& text, bool endOfSpan, QDateTime* time);
    // The groupings stats accepts: station, day, station,day, port, reason.
    static bool knownGrouping(const QString& by);

    // Rows newest first; of one GCU and one outcome when they are given.
    bool history(const Filter& filter, const QString& serial, const QString& outcome, int limit,
                 RecordTable* table, QString* problem);
    // Every GCU with the version of its last successful update, where and when;
    // only those that run `running` now, or only those that do not run
    // `notRunning`, when given.
    bool fleet(const Filter& filter, const QString& running, const QString& notRunning,
               RecordTable* table, QString* problem);
    // Per group: updates, done, failed, yield, first-pass yield (GCUs whose first
    // attempt succeeded), median and 90th-percentile seconds of the successful
    // updates, and the most frequent failure reasons. Rows still running are left out.
    bool stats(const Filter& filter, const QString& by, RecordTable* table, QString* problem);
    // Every column of every row, oldest first.
    bool rows(const Filter& filter, RecordTable* table, QString* problem);

private:
    // The filter as a WHERE clause over `updates`, with its values.
    static QString where(const Filter& filter, QStringList conditions, QVariantList* values);
    bool select(const QString& statement, const QVariantList& values, RecordTable* table,
                QString* problem);

    QSqlDatabase database;
};
