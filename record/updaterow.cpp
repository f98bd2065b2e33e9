#include "updaterow.h"

#include <QCoreApplication>
#include <QSqlQuery>
#include <QSysInfo>
#include <QUuid>
#include <pwd.h>
#include <unistd.h>

namespace {

// Looked up once: the user database is a file read on every lookup.
const QString& loginName()
{
    static const QString name = [] {
        if (const passwd* entry = getpwuid(geteuid()))
            return QString::fromLocal8Bit(entry->pw_name);
        return QString::fromLocal8Bit(qgetenv("USER"));
    }();
    return name;
}

} // namespace

UpdateRow UpdateRow::beginning(const QString& program, const QString& programVersion,
                               const QString& command)
{
    UpdateRow row;
    row.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    row.host = QSysInfo::machineHostName();
    row.station = row.host;
    row.pid = QCoreApplication::applicationPid();
    row.operatorName = loginName();
    row.program = program;
    row.programVersion = programVersion;
    row.command = command;
    row.startedAt = QDateTime::currentDateTimeUtc();
    return row;
}

void UpdateRow::finish(const QString& endOutcome, int endExitCode, const QString& endReason)
{
    outcome = endOutcome;
    exitCode = endExitCode;
    reason = endReason;
    endedAt = QDateTime::currentDateTimeUtc();
    seconds = startedAt.msecsTo(endedAt) / 1000.0;
}

const QStringList& UpdateRow::columns()
{
    static const QStringList names = {"id",
                                      "station",
                                      "host",
                                      "pid",
                                      "operator",
                                      "program",
                                      "program_version",
                                      "command",
                                      "serial",
                                      "port",
                                      "firmware_file",
                                      "firmware_sha256",
                                      "version_before",
                                      "version_after",
                                      "key_fingerprint",
                                      "outcome",
                                      "exit_code",
                                      "reason",
                                      "started_at",
                                      "ended_at",
                                      "seconds",
                                      "bytes",
                                      "retries",
                                      "resumes"};
    return names;
}

QString UpdateRow::timeText(const QDateTime& time)
{
    return time.toUTC().toString("yyyy-MM-ddTHH:mm:ss.zzzZ");
}

QString UpdateRow::timeText(const QVariant& value)
{
    if (value.isNull())
        return {};
    if (value.type() == QVariant::DateTime)
        return timeText(value.toDateTime());
    return value.toString();
}

QVariantList UpdateRow::values() const
{
    // Qt binds a null string as NULL; the text columns hold '' when unknown.
    const auto text = [](const QString& value) {
        return QVariant(value.isNull() ? QStringLiteral("") : value);
    };
    const bool ended = endedAt.isValid();
    return {id,
            text(station),
            text(host),
            pid,
            text(operatorName),
            text(program),
            text(programVersion),
            text(command),
            text(serial),
            text(port),
            text(firmwareFile),
            text(firmwareSha256),
            text(versionBefore),
            text(versionAfter),
            text(keyFingerprint),
            text(outcome),
            exitCode.isValid() ? exitCode : QVariant(QVariant::Int),
            text(reason),
            timeText(startedAt),
            ended ? QVariant(timeText(endedAt)) : QVariant(QVariant::String),
            ended ? QVariant(seconds) : QVariant(QVariant::Double),
            bytes,
            retries,
            resumes};
}

UpdateRow UpdateRow::read(const QSqlQuery& query)
{
    UpdateRow row;
    int i = 0;
    const auto next = [&] { return query.value(i++); };
    row.id = next().toString();
    row.station = next().toString();
    row.host = next().toString();
    row.pid = next().toLongLong();
    row.operatorName = next().toString();
    row.program = next().toString();
    row.programVersion = next().toString();
    row.command = next().toString();
    row.serial = next().toString();
    row.port = next().toString();
    row.firmwareFile = next().toString();
    row.firmwareSha256 = next().toString();
    row.versionBefore = next().toString();
    row.versionAfter = next().toString();
    row.keyFingerprint = next().toString();
    row.outcome = next().toString();
    const QVariant code = next();
    row.exitCode = code.isNull() ? QVariant() : QVariant(code.toInt());
    row.reason = next().toString();
    row.startedAt = QDateTime::fromString(timeText(next()), Qt::ISODateWithMs);
    const QVariant ended = next();
    row.endedAt =
        ended.isNull() ? QDateTime() : QDateTime::fromString(timeText(ended), Qt::ISODateWithMs);
    row.seconds = next().toDouble();
    row.bytes = next().toLongLong();
    row.retries = next().toInt();
    row.resumes = next().toInt();
    return row;
}
