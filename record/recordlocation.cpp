#include "recordlocation.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>
#include <QUrlQuery>

QString RecordLocation::dataDirectory()
{
    const QByteArray data = qgetenv("XDG_DATA_HOME");
    const QString base = data.isEmpty() ? QDir::homePath() + "/.local/share" : QString(data);
    return base + "/orv";
}

RecordLocation RecordLocation::defaultLocation()
{
    RecordLocation location;
    location.path = dataDirectory() + "/record.sqlite";
    location.written = location.path;
    return location;
}

QString RecordLocation::spoolPath()
{
    return dataDirectory() + "/spool.sqlite";
}

bool RecordLocation::parse(const QString& text, RecordLocation* location, QString* problem)
{
    RecordLocation parsed;
    parsed.written = text;
    if (text.isEmpty()) {
        *problem = "the record's location is empty";
        return false;
    }
    if (!text.contains("://")) {
        parsed.path = QFileInfo(text).absoluteFilePath();
        *location = parsed;
        return true;
    }
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid()) {
        *problem = QString("%1 is not a record's location: %2").arg(text, url.errorString());
        return false;
    }
    if (url.scheme() == "sqlite") {
        if (!url.host().isEmpty() || url.path().isEmpty()) {
            *problem = QString("%1: an SQLite record is sqlite:///path/file.sqlite").arg(text);
            return false;
        }
        parsed.path = url.path();
        *location = parsed;
        return true;
    }
    if (url.scheme() != "postgresql" && url.scheme() != "postgres") {
        *problem = QString("%1: the record is sqlite:// or postgresql://").arg(text);
        return false;
    }
    if (!url.password().isEmpty()) {
        *problem = "a password is not given in the record's location; libpq reads it from "
                   "~/.pgpass, PGPASSWORD or the service file";
        return false;
    }
    const QUrlQuery query(url);
    QStringList options;
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == "password") {
            *problem = "a password is not given in the record's location; libpq reads it from "
                       "~/.pgpass, PGPASSWORD or the service file";
            return false;
        }
        // The values go into libpq's key=value string: no spaces or quotes to
        // break out of it.
        if (key.contains(QRegExp("[^a-z_]")) || value.contains(QRegExp("[\\s'\\\\]"))) {
            *problem = QString("%1: the setting %2 cannot be used").arg(text, key);
            return false;
        }
        options << key + '=' + value;
    }
    parsed.kind = Dialect::Postgresql;
    parsed.hostName = url.host();
    parsed.portNumber = url.port();
    parsed.userName = url.userName();
    parsed.databaseName = url.path().mid(1);
    parsed.connectOptions = options.join(' ');
    if (parsed.databaseName.isEmpty() && !query.hasQueryItem("service")) {
        *problem = QString("%1 names no database").arg(text);
        return false;
    }
    *location = parsed;
    return true;
}
