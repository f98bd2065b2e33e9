#include "dashboardaccess.h"

#include "httprequesthead.h"

#include <QNetworkInterface>
#include <QRandomGenerator>

namespace {

// Splits a Host header into its name and port; the port is -1 when absent and
// -2 when it is not a port. An IPv6 literal keeps its brackets off.
void splitHost(const QByteArray& host, QString* name, int* port)
{
    int colon = host.lastIndexOf(':');
    if (host.startsWith('[') && colon < host.indexOf(']'))
        colon = -1;
    *port = -1;
    if (colon >= 0) {
        bool ok = false;
        const int number = host.mid(colon + 1).toInt(&ok);
        *port = ok && number > 0 && number < 65536 ? number : -2;
    }
    QByteArray bare = colon >= 0 ? host.left(colon) : host;
    if (bare.startsWith('[') && bare.endsWith(']'))
        bare = bare.mid(1, bare.size() - 2);
    *name = QString::fromLatin1(bare).toLower();
}

} // namespace

DashboardAccess::DashboardAccess(QHostAddress listenAddress, quint16 listenPort, QStringList hosts,
                                 QByteArray accessToken)
    : address(std::move(listenAddress)), port(listenPort), allowedHosts(std::move(hosts)),
      token(std::move(accessToken))
{
}

QByteArray DashboardAccess::randomToken()
{
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes.toHex();
}

bool DashboardAccess::hostAllowed(const QByteArray& host) const
{
    QString name;
    int hostPort = 0;
    splitHost(host, &name, &hostPort);
    if (name.isEmpty() || hostPort == -2 || (hostPort == -1 ? 80 : hostPort) != port)
        return false;
    for (const QString& allowed : allowedHosts)
        if (allowed.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    // An address written as such is safe from rebinding: no name is resolved.
    const QHostAddress named(name);
    if (named.isNull())
        return name == "localhost" && address.isLoopback();
    if (named.isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
        return true;
    if (address.isLoopback())
        return named.isLoopback() && address.protocol() == named.protocol();
    if (address == QHostAddress::Any || address == QHostAddress::AnyIPv4 ||
        address == QHostAddress::AnyIPv6)
        return named.isLoopback() || QNetworkInterface::allAddresses().contains(named);
    return false;
}

bool DashboardAccess::tokenMatches(const QByteArray& offered) const
{
    // Every byte is compared, so the time taken does not tell how much matched.
    if (offered.size() != token.size())
        return false;
    unsigned char difference = 0;
    for (int i = 0; i < token.size(); ++i)
        difference |= static_cast<unsigned char>(offered.at(i) ^ token.at(i));
    return difference == 0;
}

DashboardAccess::Verdict DashboardAccess::check(const HttpRequestHead& head) const
{
    if (head.method() != "GET" && head.method() != "HEAD")
        return {405, "Only GET and HEAD are served here", {}, {}};
    const QByteArray host = head.header("host");
    if (!hostAllowed(host))
        return {421, "This server does not answer for that host name; see --allow-host", {}, {}};
    const bool webSocket = head.path() == "/ws";
    Verdict verdict;
    if (!token.isEmpty()) {
        const QByteArray bearer = head.header("authorization");
        const QByteArray queried = head.queryItem("token");
        if (!webSocket && !queried.isEmpty() && tokenMatches(queried)) {
            verdict.setCookie =
                QByteArray(cookieName) + '=' + token + "; Path=/; HttpOnly; SameSite=Strict";
            verdict.status = 303;
            // Never a path that starts "//" or "/\": a browser takes either for
            // another site's address.
            const bool ownPath = !head.path().startsWith("//") && !head.path().startsWith("/\\");
            verdict.location = ownPath ? head.path() : QByteArray("/");
            verdict.reason = "The token is kept in a cookie";
            return verdict;
        }
        const bool allowed =
            tokenMatches(head.cookie(cookieName)) ||
            (bearer.startsWith("Bearer ") && tokenMatches(bearer.mid(7).trimmed()));
        if (!allowed)
            return {401,
                    "This dashboard needs its token: open the address printed at its start",
                    {},
                    {}};
    }
    if (webSocket && head.header("origin") != "http://" + host)
        return {403, "A WebSocket is served only to this dashboard's own page", {}, {}};
    return verdict;
}
