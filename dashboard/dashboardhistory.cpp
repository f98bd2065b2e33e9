#include "dashboardhistory.h"

#include "httprequesthead.h"
#include "recordconnection.h"
#include "recordqueries.h"
#include "recordtable.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr int historyRows = 100;
// The stats cover this many days up to today.
constexpr int statsDays = 30;

QDateTime startOfTodayUtc()
{
    return QDateTime(QDateTime::currentDateTimeUtc().date(), QTime(0, 0), Qt::UTC);
}

} // namespace

DashboardHistory::DashboardHistory(std::optional<RecordLocation> where, QString stationName)
    : location(std::move(where)), station(std::move(stationName))
{
}

bool DashboardHistory::asks(const HttpRequestHead& head)
{
    return head.path() == "/api/history" || head.path() == "/api/stats" ||
           head.path() == "/report.csv" || head.path() == "/report.json";
}

DashboardHistory::Answer DashboardHistory::failure(int status, const QString& problem)
{
    return {status,
            "application/json",
            QJsonDocument(QJsonObject{{"error", problem}}).toJson(QJsonDocument::Compact),
            {}};
}

DashboardHistory::Answer DashboardHistory::answer(const HttpRequestHead& head) const
{
    if (!location)
        return failure(404, "This station keeps no fleet record (--no-record)");
    if (head.path() == "/api/history")
        return history(head);
    if (head.path() == "/api/stats")
        return stats(head);
    return report(head.path() == "/report.csv");
}

DashboardHistory::Answer DashboardHistory::table(bool answered, const RecordTable& rows,
                                                 const QString& problem)
{
    if (!answered)
        return failure(503, "The record cannot be read: " + problem);
    QJsonArray lines;
    for (const QVariantList& row : rows.rows) {
        QJsonArray cells;
        for (const QVariant& value : row)
            cells.append(QJsonValue::fromVariant(value));
        lines.append(cells);
    }
    const QJsonObject body{{"columns", QJsonArray::fromStringList(rows.columns)}, {"rows", lines}};
    return {200, "application/json", QJsonDocument(body).toJson(QJsonDocument::Compact), {}};
}

DashboardHistory::Answer DashboardHistory::history(const HttpRequestHead& head) const
{
    QSqlDatabase database;
    QString problem;
    if (!RecordConnection::open(*location, &database, &problem))
        return failure(503, "The record cannot be reached: " + problem);
    RecordTable rows;
    const bool answered = RecordQueries(database).history(
        {{}, {}, station}, QString::fromUtf8(head.queryItem("serial")),
        QString::fromUtf8(head.queryItem("outcome")), historyRows, &rows, &problem);
    return table(answered, rows, problem);
}

DashboardHistory::Answer DashboardHistory::stats(const HttpRequestHead& head) const
{
    const QString by =
        head.queryItem("by").isEmpty() ? "station,day" : QString::fromUtf8(head.queryItem("by"));
    if (!RecordQueries::knownGrouping(by))
        return failure(400, "by takes station, day, station,day, port or reason");
    QSqlDatabase database;
    QString problem;
    if (!RecordConnection::open(*location, &database, &problem))
        return failure(503, "The record cannot be reached: " + problem);
    RecordTable rows;
    const RecordQueries::Filter filter{startOfTodayUtc().addDays(1 - statsDays), {}, station};
    const bool answered = RecordQueries(database).stats(filter, by, &rows, &problem);
    return table(answered, rows, problem);
}

DashboardHistory::Answer DashboardHistory::report(bool csv) const
{
    QSqlDatabase database;
    QString problem;
    RecordTable rows;
    if (!RecordConnection::open(*location, &database, &problem) ||
        !RecordQueries(database).rows({startOfTodayUtc(), {}, station}, &rows, &problem))
        return failure(503, "The record cannot be read: " + problem);
    const QByteArray day = startOfTodayUtc().date().toString(Qt::ISODate).toLatin1();
    if (csv)
        return {200, "text/csv; charset=utf-8", rows.csv(), "updates-" + day + ".csv"};
    return {200, "application/x-ndjson", rows.jsonLines(), "updates-" + day + ".jsonl"};
}
