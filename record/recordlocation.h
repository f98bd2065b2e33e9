#pragma once

#include <QString>

// Where the fleet record is: an SQLite file (`sqlite:///path/file.sqlite` or a
// plain path) or a PostgreSQL database (`postgresql://[user@]host[:port]/dbname`,
// `postgresql:///dbname?service=NAME`). A password is never part of it: libpq
// takes it from ~/.pgpass, PGPASSWORD or the service file.
class RecordLocation
{
public:
    enum class Dialect
    {
        Sqlite,
        Postgresql
    };

    // False, with the reason, for a text that names no record.
    static bool parse(const QString& text, RecordLocation* location, QString* problem);
    // $XDG_DATA_HOME/orv/record.sqlite.
    static RecordLocation defaultLocation();
    // Where rows wait while their record is out of reach.
    static QString spoolPath();

    Dialect dialect() const { return kind; }
    // The location as a user gave it, and as the spool keys its rows.
    const QString& text() const { return written; }
    const QString& sqlitePath() const { return path; }
    const QString& host() const { return hostName; }
    int port() const { return portNumber; }
    const QString& user() const { return userName; }
    const QString& database() const { return databaseName; }
    // libpq's further connection settings (service=..., sslmode=...), space-separated.
    const QString& options() const { return connectOptions; }

private:
    static QString dataDirectory();

    Dialect kind = Dialect::Sqlite;
    QString written;
    QString path;
    QString hostName;
    int portNumber = -1;
    QString userName;
    QString databaseName;
    QString connectOptions;
};
