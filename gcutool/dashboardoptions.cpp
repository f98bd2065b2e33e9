#include "dashboardoptions.h"

#include "dashboardaccess.h"

#include <QCommandLineParser>

void DashboardOptions::add(QCommandLineParser& parser, bool serving)
{
    parser.addOption({"listen",
                      serving ? "Serve the fleet page on this address and port (the address "
                                "defaults to 127.0.0.1)."
                              : "Serve the station's live page on this address and port while "
                                "it runs (the address defaults to 127.0.0.1).",
                      "[ADDR:]PORT"});
    parser.addOption({"allow-host",
                      "A host name the page may be opened by besides the address listened on "
                      "(repeatable).",
                      "NAME"});
    parser.addOption({"token-file",
                      "The page's access token, the file's first line (default off loopback: a "
                      "random one, printed once).",
                      "FILE"});
}

bool DashboardOptions::read(const QCommandLineParser& parser, DashboardServer::Settings* settings,
                            QString* problem)
{
    if (!Dashboard::parseListen(parser.value("listen"), &settings->address, &settings->port,
                                problem))
        return false;
    settings->allowedHosts = parser.values("allow-host");
    if (parser.isSet("token-file"))
        return Dashboard::readTokenFile(parser.value("token-file"), &settings->token, problem);
    // A loopback address needs no token; anything else does.
    if (!settings->address.isLoopback())
        settings->token = DashboardAccess::randomToken();
    return true;
}
