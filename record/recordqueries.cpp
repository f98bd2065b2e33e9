#include "recordqueries.h"

#include "recordconnection.h"
#include "updaterow.h"

#include <QHash>
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

// One update of a group, as its GCU's first attempt may be: the GCU (by its
// number among the serials read), when the update began (UTC text, whose order
// is time order) and whether it succeeded.
struct Attempt
{
    int gcu;
    QString startedAt;
    bool done;
};

struct Group
{
    QStringList key;
    int done = 0;
    // In the order read.
    std::vector<Attempt> attempts;
    std::vector<double> doneSeconds;
    QHash<QString, int> reasons;
};

// How many of the group's GCUs succeeded at their first attempt, and how many
// GCUs it has. The first attempt is the one that began earliest; of those that
// began together, the first read.
std::pair<int, int> firstPasses(std::vector<Attempt>& attempts)
{
    std::stable_sort(attempts.begin(), attempts.end(), [](const Attempt& a, const Attempt& b) {
        return a.gcu != b.gcu ? a.gcu < b.gcu : a.startedAt < b.startedAt;
    });
    int gcus = 0;
    int passed = 0;
    for (size_t i = 0; i < attempts.size(); ++i) {
        if (i > 0 && attempts[i].gcu == attempts[i - 1].gcu)
            continue;
        ++gcus;
        passed += attempts[i].done;
    }
    return {passed, gcus};
}

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
    // The rows in the table's own order: a scan rather than a walk through the
    // time index, which reads the table's pages out of order. Each GCU's first
    // attempt is the one that began earliest, the first read among those that
    // began together. Only the columns the answer needs are read, and whether an
    // update succeeded as a number: every value read is one more to convert.
    if (!knownGrouping(by)) {
        *problem = QString("no grouping %1").arg(by);
        return false;
    }
    // The columns read, then the key's station or port, if it has one.
    enum Column
    {
        StartedAt,
        Serial,
        Done,
        Seconds,
        Reason,
        Day = -1
    };
    QStringList columns = {"started_at", "serial", "CASE WHEN outcome = 'done' THEN 1 ELSE 0 END",
                           "seconds", "reason"};
    QList<int> keyColumns;
    for (const QString& part : by.split(',')) {
        if (part == "day") {
            keyColumns << Day;
        } else if (part == "reason") {
            keyColumns << Reason;
        } else {
            keyColumns << columns.size();
            columns << part;
        }
    }
    QVariantList values;
    QSqlQuery query(database);
    query.setForwardOnly(true);
    query.prepare("SELECT " + columns.join(", ") + " FROM updates" +
                  where(filter, {"outcome <> 'running'"}, &values));
    for (const QVariant& value : values)
        query.addBindValue(value);
    if (!RecordConnection::run(query, problem))
        return false;
    // Groups by their key's parts, each led by its length so that no two keys
    // run together, made anew in one buffer for each row.
    QHash<QString, Group> groups;
    QHash<QString, int> gcuNumbers;
    QString key;
    while (query.next()) {
        const QString startedAt = UpdateRow::timeText(query.value(StartedAt));
        key.truncate(0);
        for (const int column : keyColumns) {
            const QString value = column == Day ? QString() : query.value(column).toString();
            const QStringRef part = column == Day ? startedAt.leftRef(10) : QStringRef(&value);
            key += QChar(static_cast<ushort>(std::min(part.size(), 0xffff)));
            key += part;
        }
        auto found = groups.find(key);
        if (found == groups.end()) {
            found = groups.insert(key, Group());
            for (const int column : keyColumns)
                found->key << (column == Day ? startedAt.left(10) : query.value(column).toString());
        }
        Group& group = *found;
        const bool done = query.value(Done).toInt() == 1;
        const QString serial = query.value(Serial).toString();
        auto gcu = gcuNumbers.constFind(serial);
        if (gcu == gcuNumbers.constEnd())
            gcu = gcuNumbers.insert(serial, gcuNumbers.size());
        group.attempts.push_back({gcu.value(), startedAt, done});
        if (done) {
            ++group.done;
            group.doneSeconds.push_back(query.value(Seconds).toDouble());
        } else {
            ++group.reasons[query.value(Reason).toString()];
        }
    }
    QList<Group*> ordered;
    for (Group& group : groups)
        ordered << &group;
    std::sort(ordered.begin(), ordered.end(),
              [](const Group* a, const Group* b) { return a->key < b->key; });
    table->columns = by.split(',');
    table->columns << "updates"
                   << "done"
                   << "failed"
                   << "yield_pct"
                   << "first_pass_yield_pct"
                   << "median_s"
                   << "p90_s"
                   << "top_failure_reasons";
    for (Group* group : ordered) {
        std::sort(group->doneSeconds.begin(), group->doneSeconds.end());
        const int updates = static_cast<int>(group->attempts.size());
        const auto [firstPassed, gcus] = firstPasses(group->attempts);
        QVariantList row;
        for (const QString& part : group->key)
            row << part;
        row << updates << group->done << updates - group->done << percent(group->done, updates)
            << percent(firstPassed, gcus) << percentileOrNull(group->doneSeconds, 0.5)
            << percentileOrNull(group->doneSeconds, 0.9) << topReasons(group->reasons);
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
