#include "recordqueries.h"

#include "recordconnection.h"
#include "updaterow.h"

#include <QHash>
#include <QMap>
#include <QSqlQuery>
#include <QSqlRecord>
#include <algorithm>
#include <cmath>
#include <vector>

namespace {

const char* const timeColumns[] = {"started_at", "ended_at"};

// The value at `share` (0..1) of sorted values, by the nearest rank; none of none.
QVariant percentileOrNull(const std::vector<double>& sorted, double share)
{
    if (sorted.empty())
        return {};
    const size_t rank = static_cast<size_t>(std::ceil(share * static_cast<double>(sorted.size())));
    return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

struct Group
{
    int updates = 0;
    int done = 0;
    // Each GCU's first attempt in the group: did it succeed?
    QHash<QString, bool> firstAttempt;
    std::vector<double> doneSeconds;
    QHash<QString, int> reasons;
};

QString topReasons(const QHash<QString, int>& reasons)
{
    QList<QPair<int, QString>> counted;
    for (auto it = reasons.begin(); it != reasons.end(); ++it)
        counted << qMakePair(it.value(), it.key());
    std::sort(counted.begin(), counted.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    QStringList shown;
    for (int i = 0; i < std::min(3, static_cast<int>(counted.size())); ++i)
        shown << QString("%1 (%2)").arg(counted[i].second).arg(counted[i].first);
    return shown.join("; ");
}

double percent(int part, int whole)
{
    return whole ? std::round(1000.0 * part / whole) / 10 : 0;
}

} // namespace

RecordQueries::RecordQueries(QSqlDatabase db) : database(std::move(db)) {}

bool RecordQueries::parseTime(const QString& text, bool endOfSpan, QDateTime* time)
{
    const QDate date = QDate::fromString(text, Qt::ISODate);
    if (date.isValid() && text.size() == 10) {
        *time = QDateTime(endOfSpan ? date.addDays(1) : date, QTime(0, 0), Qt::UTC);
        return true;
    }
    QString normalised = text.trimmed();
    normalised.replace(' ', 'T');
    if (normalised.endsWith('Z'))
        normalised.chop(1);
    *time = QDateTime::fromString(normalised, Qt::ISODateWithMs);
    time->setTimeSpec(Qt::UTC);
    return time->isValid();
}

bool RecordQueries::knownGrouping(const QString& by)
{
    static const QStringList groupings = {"station", "day", "station,day", "port", "reason"};
    return groupings.contains(by);
}

QString RecordQueries::where(const Filter& filter, QStringList conditions, QVariantList* values)
{
    if (filter.since.isValid()) {
        conditions << "started_at >= ?";
        *values << UpdateRow::timeText(filter.since);
    }
    if (filter.until.isValid()) {
        conditions << "started_at < ?";
        *values << UpdateRow::timeText(filter.until);
    }
    if (!filter.station.isEmpty()) {
        conditions << "station = ?";
        *values << filter.station;
    }
    return conditions.isEmpty() ? QString() : " WHERE " + conditions.join(" AND ");
}

bool RecordQueries::select(const QString& statement, const QVariantList& values, RecordTable* table,
                           QString* problem)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    query.prepare(statement);
    for (const QVariant& value : values)
        query.addBindValue(value);
    if (!RecordConnection::run(query, problem))
        return false;
    const QSqlRecord record = query.record();
    table->columns.clear();
    QList<int> times;
    for (int c = 0; c < record.count(); ++c) {
        table->columns << record.fieldName(c);
        if (std::find(std::begin(timeColumns), std::end(timeColumns), record.fieldName(c)) !=
            std::end(timeColumns))
            times << c;
    }
    while (query.next()) {
        QVariantList row;
        for (int c = 0; c < record.count(); ++c)
            row << (times.contains(c) ? QVariant(UpdateRow::timeText(query.value(c)))
                                      : query.value(c));
        table->rows << row;
    }
    return true;
}

bool RecordQueries::history(const Filter& filter, const QString& serial, const QString& outcome,
                            int limit, RecordTable* table, QString* problem)
{
    QStringList conditions;
    QVariantList values;
    if (!serial.isEmpty()) {
        conditions << "serial = ?";
        values << serial;
    }
    if (!outcome.isEmpty()) {
        conditions << "outcome = ?";
        values << outcome;
    }
    const QString clause = where(filter, conditions, &values);
    values << limit;
    return select("SELECT started_at, station, command, serial, port, outcome, version_before, "
                  "version_after, seconds, retries, resumes, reason FROM updates" +
                      clause + " ORDER BY started_at DESC LIMIT ?",
                  values, table, problem);
}

bool RecordQueries::fleet(const Filter& filter, const QString& running, const QString& notRunning,
                          RecordTable* table, QString* problem)
{
    QVariantList values;
    const QString clause = where(filter, {"outcome = 'done'"}, &values);
    QStringList versionConditions;
    if (!running.isEmpty()) {
        versionConditions << "version_after = ?";
        values << running;
    }
    if (!notRunning.isEmpty()) {
        versionConditions << "version_after <> ?";
        values << notRunning;
    }
    const QString versionClause =
        versionConditions.isEmpty() ? QString() : " AND " + versionConditions.join(" AND ");
    return select("SELECT serial, version_after AS version, station, ended_at FROM (SELECT "
                  "serial, version_after, station, ended_at, ROW_NUMBER() OVER (PARTITION BY "
                  "serial ORDER BY ended_at DESC) AS newest FROM updates" +
                      clause + ") AS last_done WHERE newest = 1" + versionClause +
                      " ORDER BY serial",
                  values, table, problem);
}

bool RecordQueries::stats(const Filter& filter, const QString& by, RecordTable* table,
                          QString* problem)
{
    QVariantList values;
    QSqlQuery query(database);
    query.setForwardOnly(true);
    query.prepare("SELECT station, started_at, port, reason, serial, outcome, seconds FROM "
                  "updates" +
                  where(filter, {"outcome <> 'running'"}, &values) + " ORDER BY started_at");
    for (const QVariant& value : values)
        query.addBindValue(value);
    if (!RecordConnection::run(query, problem))
        return false;
    const QStringList keys = by.split(',');
    QMap<QStringList, Group> groups;
    while (query.next()) {
        QStringList key;
        for (const QString& part : keys) {
            if (part == "station")
                key << query.value(0).toString();
            else if (part == "day")
                key << UpdateRow::timeText(query.value(1)).left(10);
            else if (part == "port")
                key << query.value(2).toString();
            else
                key << query.value(3).toString();
        }
        Group& group = groups[key];
        const bool done = query.value(5).toString() == "done";
        ++group.updates;
        const QString serial = query.value(4).toString();
        if (!group.firstAttempt.contains(serial))
            group.firstAttempt.insert(serial, done);
        if (done) {
            ++group.done;
            group.doneSeconds.push_back(query.value(6).toDouble());
        } else {
            ++group.reasons[query.value(3).toString()];
        }
    }
    table->columns = keys;
    table->columns << "updates"
                   << "done"
                   << "failed"
                   << "yield_pct"
                   << "first_pass_yield_pct"
                   << "median_s"
                   << "p90_s"
                   << "top_failure_reasons";
    for (auto it = groups.begin(); it != groups.end(); ++it) {
        Group& group = it.value();
        std::sort(group.doneSeconds.begin(), group.doneSeconds.end());
        const int firstPassed = static_cast<int>(
            std::count(group.firstAttempt.begin(), group.firstAttempt.end(), true));
        QVariantList row;
        for (const QString& part : it.key())
            row << part;
        row << group.updates << group.done << group.updates - group.done
            << percent(group.done, group.updates)
            << percent(firstPassed, static_cast<int>(group.firstAttempt.size()))
            << percentileOrNull(group.doneSeconds, 0.5) << percentileOrNull(group.doneSeconds, 0.9)
            << topReasons(group.reasons);
        table->rows << row;
    }
    return true;
}

bool RecordQueries::rows(const Filter& filter, RecordTable* table, QString* problem)
{
    QVariantList values;
    return select("SELECT " + UpdateRow::columns().join(", ") + " FROM updates" +
                      where(filter, {}, &values) + " ORDER BY started_at, id",
                  values, table, problem);
}
