#pragma once

#include "dashboard.h"

#include <QString>

class QCommandLineParser;

// gcutool's options for its dashboard: where it listens (--listen), which host
// names besides that address the page may be asked for by (--allow-host), and
// its token (--token-file, else a random one off loopback).
class DashboardOptions
{
public:
    // `serving`: the fleet page's own command, where --listen is required.
    static void add(QCommandLineParser& parser, bool serving);
    // The server's settings from the options; false, with the reason, if they
    // cannot be used.
    static bool read(const QCommandLineParser& parser, DashboardServer::Settings* settings,
                     QString* problem);
};
