#include "dashboardserver.h"

#include "dashboardhistory.h"
#include "httprequesthead.h"
#include "stationboard.h"

#include <QFile>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>
#include <sys/socket.h>

// The page's files live in a static library and are not registered by themselves.
// (Outside any namespace, as the macro requires.)
static void registerDashboardResources()
{
    Q_INIT_RESOURCE(dashboard);
}

namespace {

// A client that has not sent its request head by then is let go.
constexpr int headTimeoutMs = 10 * 1000;
// A client gets this long to read its answer.
constexpr int answerTimeoutMs = 30 * 1000;
// A page that reads less than this behind is closed; it reconnects and starts
// from a fresh snapshot.
constexpr qint64 pageBacklogLimit = 4 * 1024 * 1024;
// Every page is pinged this often; one that has answered nothing (a pong, or
// its own ping) for twice as long is gone without a word, a phone that left
// the network, and does not keep its connection.
constexpr int pagePingIntervalMs = 30 * 1000;

const char* reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 303:
        return "See Other";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 421:
        return "Misdirected Request";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

struct StaticFile
{
    const char* path;
    const char* resource;
    const char* contentType;
};

const StaticFile staticFiles[] = {
    {"/", ":/dashboard/index.html", "text/html; charset=utf-8"},
    {"/dashboard.js", ":/dashboard/dashboard.js", "text/javascript; charset=utf-8"},
    {"/dashboard.css", ":/dashboard/dashboard.css", "text/css; charset=utf-8"},
    {"/favicon.svg", ":/dashboard/favicon.svg", "image/svg+xml"},
};

// Every response says: only this server's own files run here, nothing is
// sniffed, no address leaks to another site, and no other site frames it.
const QByteArray securityHeaders =
    "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; object-src 'none'; base-uri 'none'; "
    "form-action 'self'; frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "X-Frame-Options: DENY\r\n"
    "Cache-Control: no-store\r\n";

QString hostText(const QHostAddress& address)
{
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QString("[%1]").arg(address.toString())
               : address.toString();
}

} // namespace

DashboardServer::DashboardServer(Settings serverSettings, StationBoard& stationBoard,
                                 const DashboardHistory& record, QObject* parent)
    : QObject(parent), settings(std::move(serverSettings)),
      access(settings.address, settings.port, settings.allowedHosts, settings.token),
      board(stationBoard), history(record), webSockets("gcutool", QWebSocketServer::NonSecureMode)
{
    registerDashboardResources();
    connect(&server, &QTcpServer::newConnection, this, &DashboardServer::accept);
    connect(&webSockets, &QWebSocketServer::newConnection, this, &DashboardServer::pageConnected);
    connect(&board, &StationBoard::changed, this, &DashboardServer::broadcast);
    connect(&pinger, &QTimer::timeout, this, [this] {
        for (QWebSocket* page : qAsConst(pages))
            page->ping();
    });
    pinger.start(pagePingIntervalMs);
}

DashboardServer::~DashboardServer()
{
    for (QWebSocket* page : pages)
        page->disconnect(this);
}

bool DashboardServer::listen(QString* problem)
{
    if (!server.listen(settings.address, settings.port)) {
        *problem = QString("Cannot listen on %1:%2: %3")
                       .arg(hostText(settings.address))
                       .arg(settings.port)
                       .arg(server.errorString());
        return false;
    }
    access.setPort(server.serverPort());
    return true;
}

QString DashboardServer::pageUrl() const
{
    QHostAddress shown = settings.address;
    if (shown == QHostAddress::Any || shown == QHostAddress::AnyIPv4 ||
        shown == QHostAddress::AnyIPv6) {
        shown = QHostAddress::LocalHost;
        for (const QHostAddress& own : QNetworkInterface::allAddresses())
            if (!own.isLoopback() && own.protocol() == QAbstractSocket::IPv4Protocol) {
                shown = own;
                break;
            }
    }
    QString url = QString("http://%1:%2/").arg(hostText(shown)).arg(server.serverPort());
    if (!settings.token.isEmpty())
        // A token from a file may hold '+', '%', '&' or '#', which an address
        // would read otherwise.
        url += "?token=" + QString::fromLatin1(QUrl::toPercentEncoding(settings.token));
    return url;
}

void DashboardServer::accept()
{
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        // The place is given back when the socket goes. It is watched through a
        // child of the socket, not the socket's own signal: a page, when it goes,
        // cuts every connection its socket has, and a place would be lost for
        // good with each page that has come and gone.
        ++connections;
        auto* place = new QObject(socket);
        connect(place, &QObject::destroyed, this, [this] { --connections; });
        connect(socket, &QAbstractSocket::disconnected, this, [socket] { socket->deleteLater(); });
        if (connections > maxConnections) {
            refuse(socket, 503, "Too many connections");
            continue;
        }
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readHead(socket); });
        auto* deadline = new QTimer(socket);
        deadline->setObjectName("headDeadline");
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, this,
                [this, socket] { refuse(socket, 408, "The request head did not arrive in time"); });
        deadline->start(headTimeoutMs);
    }
}

void DashboardServer::readHead(QTcpSocket* socket)
{
    // Peeked, not read: a WebSocket's handshake is read again by its server.
    const HttpRequestHead head =
        HttpRequestHead::parse(socket->peek(headLimitBytes + 1), headLimitBytes);
    switch (head.status()) {
    case HttpRequestHead::Status::Incomplete:
        return;
    case HttpRequestHead::Status::TooLarge:
        refuse(socket, 431, "The request head is larger than 8 KiB");
        return;
    case HttpRequestHead::Status::Malformed:
        refuse(socket, 400, "Malformed request: " + head.problem());
        return;
    case HttpRequestHead::Status::Complete:
        break;
    }
    delete socket->findChild<QTimer*>("headDeadline");
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    answer(socket, head);
}

void DashboardServer::answer(QTcpSocket* socket, const HttpRequestHead& head)
{
    const DashboardAccess::Verdict verdict = access.check(head);
    // A HEAD is answered with the head alone, a refusal too.
    const bool withBody = head.method() != "HEAD";
    if (verdict.status == 405) {
        respond(socket, 405, "text/plain; charset=utf-8", verdict.reason + "\n", true,
                {"Allow: GET, HEAD"});
        return;
    }
    if (verdict.status == 401) {
        respond(socket, 401, "text/plain; charset=utf-8", verdict.reason + "\n", withBody,
                {"WWW-Authenticate: Bearer"});
        return;
    }
    if (verdict.status == 303) {
        respond(socket, 303, "text/plain; charset=utf-8", verdict.reason + "\n", withBody,
                {"Set-Cookie: " + verdict.setCookie, "Location: " + verdict.location});
        return;
    }
    if (verdict.status != 0) {
        refuse(socket, verdict.status, verdict.reason, withBody);
        return;
    }
    if (head.path() == "/ws") {
        if (!head.headerHasToken("upgrade", "websocket") ||
            !head.headerHasToken("connection", "upgrade"))
            refuse(socket, 400, "Only a WebSocket is served at /ws", withBody);
        else
            upgrade(socket);
        return;
    }
    if (DashboardHistory::asks(head)) {
        const DashboardHistory::Answer found = history.answer(head);
        QList<QByteArray> headers;
        if (!found.fileName.isEmpty())
            headers << "Content-Disposition: attachment; filename=\"" + found.fileName + "\"";
        respond(socket, found.status, found.contentType, found.body, withBody, headers);
        return;
    }
    serveFile(socket, head);
}

void DashboardServer::serveFile(QTcpSocket* socket, const HttpRequestHead& head)
{
    for (const StaticFile& file : staticFiles) {
        if (head.path() != file.path)
            continue;
        QFile resource(file.resource);
        if (!resource.open(QIODevice::ReadOnly))
            break;
        respond(socket, 200, file.contentType, resource.readAll(), head.method() == "GET");
        return;
    }
    refuse(socket, 404, "Nothing is served at this path", head.method() == "GET");
}

void DashboardServer::upgrade(QTcpSocket* socket)
{
    // From here the WebSocket server owns the socket; its place among the
    // connections is given back through the child that accept() gave it.
    socket->disconnect(this);
    webSockets.handleConnection(socket);
}

void DashboardServer::pageConnected()
{
    while (QWebSocket* page = webSockets.nextPendingConnection()) {
        page->setParent(this);
        page->setMaxAllowedIncomingFrameSize(pageMessageLimitBytes);
        page->setMaxAllowedIncomingMessageSize(pageMessageLimitBytes);
        pages.insert(page);
        connect(page, &QWebSocket::disconnected, this, [this, page] {
            pages.remove(page);
            page->deleteLater();
        });
        auto* silence = new QTimer(page);
        silence->setSingleShot(true);
        connect(silence, &QTimer::timeout, page, &QWebSocket::abort);
        connect(page, &QWebSocket::pong, silence, [silence] { silence->start(); });
        silence->start(2 * pagePingIntervalMs);
        // A page has nothing to say but that it is still there.
        connect(page, &QWebSocket::textMessageReceived, this, [page, silence](const QString& text) {
            if (text != "ping") {
                page->close(QWebSocketProtocol::CloseCodePolicyViolated, "Pages only ping");
                return;
            }
            silence->start();
            send(page, "pong");
        });
        connect(page, &QWebSocket::binaryMessageReceived, this, [page] {
            page->close(QWebSocketProtocol::CloseCodePolicyViolated, "Pages only ping");
        });
        send(page, QString::fromUtf8(board.snapshot()));
    }
}

void DashboardServer::send(QWebSocket* page, const QString& text)
{
    // Aborted, not closed: a close waits for the backlog to be read, which a
    // page that does not read never does, and its memory and connection stay.
    if (page->bytesToWrite() > pageBacklogLimit)
        page->abort();
    else
        page->sendTextMessage(text);
}

void DashboardServer::broadcast(const QByteArray& message)
{
    const QString text = QString::fromUtf8(message);
    // A copy: an aborted page leaves the set as it goes.
    const QSet<QWebSocket*> open = pages;
    for (QWebSocket* page : open)
        send(page, text);
}

void DashboardServer::refuse(QTcpSocket* socket, int status, const QByteArray& reason,
                             bool withBody)
{
    respond(socket, status, "text/plain; charset=utf-8", reason + "\n", withBody);
}

void DashboardServer::respond(QTcpSocket* socket, int status, const QByteArray& contentType,
                              const QByteArray& body, bool withBody, QList<QByteArray> extraHeaders)
{
    delete socket->findChild<QTimer*>("headDeadline");
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
    // What the client sends from now on is read and dropped: unread bytes at the
    // close would reset the connection before it has read this answer.
    socket->readAll();
    connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    // Nor may a client that does not read the answer hold its connection.
    QTimer::singleShot(answerTimeoutMs, socket, [socket] { socket->abort(); });
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) +
                          "\r\nContent-Type: " + contentType +
                          "\r\nContent-Length: " + QByteArray::number(body.size()) +
                          "\r\nConnection: close\r\n" + securityHeaders;
    for (const QByteArray& header : extraHeaders)
        response += header + "\r\n";
    response += "\r\n";
    if (withBody)
        response += body;
    socket->write(response);
    // Once the answer is out, only our side is closed: a client still sending
    // (a head over the limit) would otherwise be reset and lose the answer
    // unread. The socket goes when the client closes too, or at the time-out.
    connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0)
            ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
    });
}
