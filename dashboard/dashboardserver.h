#pragma once

#include "dashboardaccess.h"

#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QTcpServer>
#include <QTimer>
#include <QWebSocketServer>

class DashboardHistory;
class HttpRequestHead;
class QTcpSocket;
class QWebSocket;
class StationBoard;

// The dashboard's one server: the page and its files, the record's answers,
// and /ws, where each page gets the board's snapshot and then its changes. It
// runs in the program's own event loop, with no thread per connection, and is
// read-only: nothing it serves changes a GCU.
class DashboardServer : public QObject
{
    Q_OBJECT
public:
    struct Settings
    {
        QHostAddress address = QHostAddress::LocalHost;
        quint16 port = 0;
        // Names besides the address that the Host header may give.
        QStringList allowedHosts;
        // Required of every request when not empty.
        QByteArray token;
    };

    static constexpr int headLimitBytes = 8 * 1024;
    static constexpr int maxConnections = 64;
    static constexpr int pageMessageLimitBytes = 4 * 1024;

    DashboardServer(Settings settings, StationBoard& board, const DashboardHistory& history,
                    QObject* parent = nullptr);
    ~DashboardServer() override;

    // False, with the reason, when the address cannot be listened on.
    bool listen(QString* problem);
    quint16 port() const { return server.serverPort(); }
    // The address to open, token included when there is one.
    QString pageUrl() const;

private:
    void accept();
    void readHead(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const HttpRequestHead& head);
    void serveFile(QTcpSocket* socket, const HttpRequestHead& head);
    void upgrade(QTcpSocket* socket);
    void pageConnected();
    void broadcast(const QByteArray& message);
    // A message for one page, unless it is too far behind in reading: then it
    // is let go.
    static void send(QWebSocket* page, const QString& text);
    // Writes a whole response and closes the connection once it is sent.
    void respond(QTcpSocket* socket, int status, const QByteArray& contentType,
                 const QByteArray& body, bool withBody, QList<QByteArray> extraHeaders = {});
    // A refusal in plain text; its body left out (`withBody` false) for a HEAD.
    void refuse(QTcpSocket* socket, int status, const QByteArray& reason, bool withBody = true);

    Settings settings;
    DashboardAccess access;
    StationBoard& board;
    const DashboardHistory& history;
    QTcpServer server;
    QWebSocketServer webSockets;
    QTimer pinger;
    int connections = 0;
    QSet<QWebSocket*> pages;
};
