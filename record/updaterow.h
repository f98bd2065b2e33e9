#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>

class QSqlQuery;

// One GCU's update as the record keeps it: inserted as `running` when the update
// begins, completed when it ends.
struct UpdateRow
{
    QString id;
    QString station;
    QString host;
    qint64 pid = 0;
    QString operatorName;
    QString program;
    QString programVersion;
    // flash, secure-flash, station, relay, window-upload, window-relay.
    QString command;
    QString serial;
    QString port;
    QString firmwareFile;
    QString firmwareSha256;
    QString versionBefore;
    QString versionAfter;
    QString keyFingerprint;
    // running, done, failed, stalled, lost, refused, version-mismatch,
    // interrupted, abandoned.
    QString outcome = "running";
    // Unset while running.
    QVariant exitCode;
    QString reason;
    QDateTime startedAt;
    QDateTime endedAt;
    double seconds = 0;
    qint64 bytes = 0;
    int retries = 0;
    int resumes = 0;

    // A new row for an update beginning now on this host, by this process:
    // a fresh id, the host, pid, login name and start time filled in.
    static UpdateRow beginning(const QString& program, const QString& programVersion,
                               const QString& command);
    // The row's end: its outcome, exit code and time.
    void finish(const QString& endOutcome, int endExitCode, const QString& endReason);

    // The table's columns, in the order values() gives them.
    static const QStringList& columns();
    // The values to store, times as UTC text (ISO 8601, milliseconds, Z).
    QVariantList values() const;
    // The row from a query whose columns are columns(), in that order.
    static UpdateRow read(const QSqlQuery& query);

    // A stored time as UTC text, whether the driver gave text or a QDateTime.
    static QString timeText(const QVariant& value);
    static QString timeText(const QDateTime& time);
};
