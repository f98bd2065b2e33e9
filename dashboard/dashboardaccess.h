#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QStringList>

class HttpRequestHead;

// Who may read the dashboard, on a factory network: GET and HEAD only; a Host
// header naming the address listened on (or a name allowed by the user), so
// that a rebound DNS name cannot reach it; the token, when there is one, from
// its cookie, an Authorization: Bearer header or once from `?token=`; and a
// WebSocket only from the page's own origin.
class DashboardAccess
{
public:
    struct Verdict
    {
        // 0 when the request may be answered.
        int status = 0;
        QByteArray reason;
        // A token that came in the query: set as a cookie, and the page asked
        // for again without it.
        QByteArray setCookie;
        QByteArray location;
    };

    static constexpr const char* cookieName = "orv_dashboard_token";

    DashboardAccess(QHostAddress address, quint16 port, QStringList allowedHosts, QByteArray token);

    // 32 random bytes, in hexadecimal.
    static QByteArray randomToken();

    Verdict check(const HttpRequestHead& head) const;
    // The address and port the server ended up on (port 0 picks one).
    void setPort(quint16 listening) { port = listening; }

private:
    bool hostAllowed(const QByteArray& host) const;
    bool tokenMatches(const QByteArray& offered) const;

    QHostAddress address;
    quint16 port;
    QStringList allowedHosts;
    QByteArray token;
};
