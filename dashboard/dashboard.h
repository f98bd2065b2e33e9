#pragma once

#include "dashboardhistory.h"
#include "dashboardserver.h"
#include "stationboard.h"

#include <memory>
#include <optional>

// A dashboard as a program runs it: the board of what its GCUs are doing, the
// record's answers and the server that shows both.
class Dashboard
{
public:
    struct Settings
    {
        DashboardServer::Settings server;
        // The station's name; for the fleet page, the one station it shows
        // (`serve --station`), or none for every station.
        QString station;
        // The fleet page alone, with no GCUs of its own.
        bool fleet = false;
        StationBoard::Firmware firmware;
        // None: no record to show (--no-record).
        std::optional<RecordLocation> record;
    };

    // "[ADDR:]PORT"; the address defaults to 127.0.0.1. False, with the reason,
    // for anything else.
    static bool parseListen(const QString& text, QHostAddress* address, quint16* port,
                            QString* problem);
    // A token file: its first line, of at least 16 characters.
    static bool readTokenFile(const QString& path, QByteArray* token, QString* problem);

    explicit Dashboard(Settings settings);
    ~Dashboard();

    // False, with the reason, when the server cannot listen.
    bool start(QString* problem);
    StationBoard& board() { return *stationBoard; }
    QString pageUrl() const { return server->pageUrl(); }
    quint16 port() const { return server->port(); }

private:
    std::unique_ptr<StationBoard> stationBoard;
    std::unique_ptr<DashboardHistory> history;
    std::unique_ptr<DashboardServer> server;
};
