#pragma once

#include "recordlocation.h"

#include <QByteArray>
#include <QString>
#include <optional>

class HttpRequestHead;
struct RecordTable;

// The dashboard's questions to the fleet record: the recent history (of one
// GCU, of one outcome), the stations' stats by day, and today's rows as CSV or
// JSON Lines, with the same rules as `gcutool export`. A station's page sees
// its own station's rows; the fleet page sees every station's, or those of the
// one station it was given.
class DashboardHistory
{
public:
    struct Answer
    {
        int status = 404;
        QByteArray contentType;
        QByteArray body;
        // For a download: the file name a browser saves it under.
        QByteArray fileName;
    };

    // Without a location there is no record to ask (--no-record).
    DashboardHistory(std::optional<RecordLocation> location, QString station);

    // Whether the request's path is one of these questions.
    static bool asks(const HttpRequestHead& head);
    Answer answer(const HttpRequestHead& head) const;

private:
    Answer history(const HttpRequestHead& head) const;
    Answer stats(const HttpRequestHead& head) const;
    Answer report(bool csv) const;
    static Answer table(bool answered, const RecordTable& rows, const QString& problem);
    static Answer failure(int status, const QString& problem);

    std::optional<RecordLocation> location;
    QString station;
};
