// The dashboard's server over plain HTTP and its WebSocket, as a factory
// network's other machines and browsers would reach it: `gcutool serve` on
// every address, so that it takes a token, in front of a real SQLite record.
#include "dashboard.h"
#include "gcusimprocess.h"
#include "stationboard.h"
#include "testbus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QTcpSocket>
#include <QUrl>
#include <QUrlQuery>
#include <QWebSocket>
#include <array>
#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

namespace {

// A whole request on a connection of its own, and the whole answer.
std::string exchange(quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(10000))
        return "no connection";
    socket.write(request);
    QByteArray answer;
    spinUntil(
        [&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        20000);
    return (answer + socket.readAll()).toStdString();
}

std::string statusLine(const std::string& answer)
{
    return answer.substr(0, answer.find("\r\n"));
}

class ServedFleetPage : public ::testing::Test
{
protected:
    void SetUp() override { serve({}); }

    // `gcutool serve` on every address; its address, port and token once it listens.
    void serve(std::vector<std::string> more)
    {
        const std::string record = "sqlite://" + temporaryPath("dashboard-record.sqlite");
        std::vector<std::string> arguments = {"--json",    "serve",    "--listen",
                                              "0.0.0.0:0", "--record", record};
        arguments.insert(arguments.end(), more.begin(), more.end());
        server = startTool("gcutool", arguments);
        ASSERT_TRUE(spinUntil(
            [&] {
                std::istringstream lines(server->log());
                for (std::string line; std::getline(lines, line);) {
                    const QJsonObject event =
                        QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
                    if (event.contains("url")) {
                        url = QUrl(event.value("url").toString());
                        return true;
                    }
                }
                return false;
            },
            30000))
            << server->log();
        port = static_cast<quint16>(url.port());
        host = "127.0.0.1:" + QByteArray::number(port);
        token = QUrlQuery(url).queryItemValue("token", QUrl::FullyDecoded).toLatin1();
    }

    QByteArray get(const QByteArray& path, const QByteArray& headers) const
    {
        return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + headers + "\r\n";
    }

    std::unique_ptr<ToolProcess> server;
    QUrl url;
    quint16 port = 0;
    QByteArray host;
    QByteArray token;
};

TEST_F(ServedFleetPage, ServesOnlyReadsForItsOwnHostWithItsTokenAndItsOwnPage)
{
    // Off loopback a token is made, printed once, and asked for.
    ASSERT_EQ(token.size(), 64) << url.toString().toStdString();
    EXPECT_EQ(statusLine(exchange(port, get("/", ""))), "HTTP/1.1 401 Unauthorized");
    // A HEAD gets the head alone, refused or not.
    const std::string headOnly = exchange(port, "HEAD / HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    EXPECT_EQ(statusLine(headOnly), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(headOnly.substr(headOnly.find("\r\n\r\n") + 4), "") << headOnly;

    // The token given once in the address becomes a strict, script-proof cookie
    // and the address is asked for again without it.
    const std::string kept = exchange(port, get("/?token=" + token, ""));
    EXPECT_EQ(statusLine(kept), "HTTP/1.1 303 See Other");
    EXPECT_NE(kept.find("Set-Cookie: orv_dashboard_token=" + token.toStdString() +
                        "; Path=/; HttpOnly; SameSite=Strict\r\n"),
              std::string::npos)
        << kept;
    EXPECT_NE(kept.find("Location: /\r\n"), std::string::npos) << kept;
    // Never to another site, whatever the path it came with.
    for (const QByteArray& path : {QByteArray("//evil.example/"), QByteArray("/\\evil.example/")})
        EXPECT_NE(exchange(port, get(path + "?token=" + token, "")).find("Location: /\r\n"),
                  std::string::npos)
            << path.toStdString();
    const QByteArray cookie = "Cookie: orv_dashboard_token=" + token + "\r\n";
    const std::string page = exchange(port, get("/", cookie));
    EXPECT_EQ(statusLine(page), "HTTP/1.1 200 OK");
    for (const char* header :
         {"Content-Security-Policy: default-src 'self'; script-src 'self';",
          "X-Content-Type-Options: nosniff\r\n", "Referrer-Policy: no-referrer\r\n"})
        EXPECT_NE(page.find(header), std::string::npos) << header;
    EXPECT_EQ(page.find("Access-Control-"), std::string::npos);
    EXPECT_NE(page.find("<script src=\"/dashboard.js\" defer></script>"), std::string::npos);
    EXPECT_EQ(
        statusLine(exchange(port, get("/api/history", "Authorization: Bearer " + token + "\r\n"))),
        "HTTP/1.1 200 OK");
    EXPECT_EQ(statusLine(exchange(port, get("/", "Authorization: Bearer " + token.left(63) +
                                                     (token.endsWith('0') ? "1" : "0") + "\r\n"))),
              "HTTP/1.1 401 Unauthorized");

    // Nothing but reads; a name the server does not answer for (DNS rebinding).
    const std::string posted = exchange(port, "POST / HTTP/1.1\r\nHost: " + host + "\r\n" + cookie +
                                                  "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(statusLine(posted), "HTTP/1.1 405 Method Not Allowed");
    EXPECT_NE(posted.find("Allow: GET, HEAD\r\n"), std::string::npos);
    EXPECT_EQ(statusLine(exchange(port, "GET / HTTP/1.1\r\nHost: rebound.example:" +
                                            QByteArray::number(port) + "\r\n" + cookie + "\r\n")),
              "HTTP/1.1 421 Misdirected Request");

    // A head over 8 KiB is refused, and answered, not cut off.
    EXPECT_EQ(statusLine(exchange(
                  port, get("/", cookie + "X-Padding: " + QByteArray(8200, 'a') + "\r\n"))),
              "HTTP/1.1 431 Request Header Fields Too Large");
    EXPECT_EQ(
        statusLine(exchange(port, "GET / HTTP/1.1\r\nHost: " + host + "\r\n\tfolded\r\n\r\n")),
        "HTTP/1.1 400 Bad Request");

    // A WebSocket from another site's page is refused, even with the cookie.
    const QByteArray upgrade = "Connection: Upgrade\r\nUpgrade: websocket\r\n"
                               "Sec-WebSocket-Version: 13\r\n"
                               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    EXPECT_EQ(statusLine(
                  exchange(port, get("/ws", cookie + upgrade + "Origin: http://evil.example\r\n"))),
              "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(statusLine(exchange(port, get("/ws", upgrade + "Origin: http://" + host + "\r\n"))),
              "HTTP/1.1 401 Unauthorized");
}

TEST_F(ServedFleetPage, GivesAPageItsSnapshotAndLetsItSayNothingButPings)
{
    QWebSocket page("http://" + QString::fromLatin1(host));
    QStringList received;
    QObject::connect(&page, &QWebSocket::textMessageReceived,
                     [&](const QString& text) { received << text; });
    QNetworkRequest request(QUrl("ws://" + QString::fromLatin1(host) + "/ws"));
    request.setRawHeader("Cookie", "orv_dashboard_token=" + token);
    page.open(request);
    ASSERT_TRUE(spinUntil([&] { return !received.isEmpty(); }, 20000))
        << page.errorString().toStdString();
    const QJsonObject snapshot = QJsonDocument::fromJson(received.first().toUtf8()).object();
    EXPECT_EQ(snapshot.value("type").toString(), "snapshot");
    EXPECT_EQ(snapshot.value("mode").toString(), "fleet");

    page.sendTextMessage("ping");
    ASSERT_TRUE(spinUntil([&] { return received.contains("pong"); }, 20000));
    // More than 4 KiB from a page ends its socket.
    page.sendTextMessage(QString(5000, 'x'));
    EXPECT_TRUE(
        spinUntil([&] { return page.state() == QAbstractSocket::UnconnectedState; }, 20000));

    // At most 64 connections: the 65th is turned away at once. The page's and
    // every answered one's are given back, each once: with 63 held the 64th is
    // still served.
    std::vector<std::unique_ptr<QTcpSocket>> held;
    const auto hold = [&] {
        held.push_back(std::make_unique<QTcpSocket>());
        held.back()->connectToHost(QHostAddress::LocalHost, port);
        return held.back()->waitForConnected(10000);
    };
    for (int i = 0; i < 63; ++i)
        ASSERT_TRUE(hold());
    EXPECT_TRUE(spinUntil(
        [&] { return statusLine(exchange(port, get("/", ""))) == "HTTP/1.1 401 Unauthorized"; },
        20000));
    ASSERT_TRUE(hold());
    // Connections are taken in the order they came: by the 65th, all 64 count.
    EXPECT_EQ(statusLine(exchange(port, get("/", ""))), "HTTP/1.1 503 Service Unavailable");
    held.clear();
    EXPECT_TRUE(spinUntil(
        [&] { return statusLine(exchange(port, get("/", ""))) == "HTTP/1.1 401 Unauthorized"; },
        20000));
}

TEST(StationBoardLive, SendsEachGcusLastStateAndAtMostTenMessagesASecond)
{
    // Four GCUs report, each from its own thread, as device sessions do.
    Dashboard dashboard(Dashboard::Settings{});
    QString problem;
    ASSERT_TRUE(dashboard.start(&problem)) << problem.toStdString();
    std::array<std::unique_ptr<FirmwareUpdate>, 4> updates;
    for (int gcu = 0; gcu < 4; ++gcu) {
        updates[gcu] =
            std::make_unique<FirmwareUpdate>(FirmwareUpdate::Options{}, FirmwareFileCheck{});
        dashboard.board().follow(*updates[gcu], QString("LIVE%1").arg(gcu));
    }

    const QString host = QString("127.0.0.1:%1").arg(dashboard.port());
    QWebSocket page("http://" + host);
    std::map<QString, std::vector<QJsonObject>> tiles;
    // When each GCU's messages arrived, ms.
    std::map<QString, std::vector<qint64>> arrivals;
    QElapsedTimer clock;
    clock.start();
    bool snapshot = false;
    QObject::connect(&page, &QWebSocket::textMessageReceived, [&](const QString& text) {
        const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
        snapshot = snapshot || message.value("type").toString() == "snapshot";
        if (message.value("type").toString() == "gcu") {
            const QString serial = message.value("gcu").toObject().value("serial").toString();
            tiles[serial].push_back(message.value("gcu").toObject());
            arrivals[serial].push_back(clock.elapsed());
        }
    });
    page.open(QUrl("ws://" + host + "/ws"));
    ASSERT_TRUE(spinUntil([&] { return snapshot; }, 20000));

    // Each GCU reports a step a millisecond, its session's pace, until the page
    // has had a dozen messages of it: more than one second's worth, whatever
    // the machine's load makes of the pace.
    constexpr int steps = 1000000;
    constexpr size_t wanted = 12;
    std::array<std::atomic<size_t>, 4> messagesSeen{};
    std::vector<std::thread> sessions;
    std::atomic<int> finished{0};
    for (int gcu = 0; gcu < 4; ++gcu)
        sessions.emplace_back([&updates, &finished, &messagesSeen, gcu] {
            FirmwareUpdate& update = *updates[gcu];
            FirmwareUpdate::Start start;
            start.port = "/dev/ttyACM" + QString::number(gcu);
            emit update.began("update", start);
            emit update.stageChanged(FirmwareUpdate::Stage::Uploading);
            const auto progress = [](int step) {
                UpdateProgress reported;
                reported.stepsDone = step;
                reported.stepsTotal = steps;
                reported.bytesDone = step * 100LL;
                reported.bytesTotal = steps * 100LL;
                return reported;
            };
            for (int step = 1; step < steps && messagesSeen[gcu] < wanted; ++step) {
                emit update.progressed(progress(step));
                // A retry each step, as a GCU refusing its commands brings.
                emit update.retried(QString("Step %1 refused; again").arg(step), step, 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            emit update.progressed(progress(steps));
            UpdateOutcome outcome;
            outcome.code = ExitCode::Done;
            outcome.message = "Updated";
            outcome.newVersion = "1.3.0";
            emit update.ended(outcome);
            ++finished;
        });
    // The board and the page are served by this thread's event loop meanwhile.
    const bool allEnded = spinUntil(
        [&] {
            for (int gcu = 0; gcu < 4; ++gcu)
                messagesSeen[gcu] = tiles[QString("LIVE%1").arg(gcu)].size();
            return finished == 4;
        },
        120000);
    // Sessions still reporting when time ran out end now.
    for (auto& seen : messagesSeen)
        seen = wanted;
    for (std::thread& session : sessions)
        session.join();
    ASSERT_TRUE(allEnded);
    ASSERT_TRUE(spinUntil(
        [&] {
            for (int gcu = 0; gcu < 4; ++gcu) {
                const auto& seen = tiles[QString("LIVE%1").arg(gcu)];
                if (seen.empty() || seen.back().value("outcome").toString() != "done")
                    return false;
            }
            return true;
        },
        20000));
    for (int gcu = 0; gcu < 4; ++gcu) {
        const auto& seen = tiles[QString("LIVE%1").arg(gcu)];
        // The last state is sent, whole: every step, the outcome, the version.
        EXPECT_EQ(seen.back().value("steps_done").toInt(), steps);
        EXPECT_EQ(seen.back().value("percent").toInt(), 100);
        EXPECT_EQ(seen.back().value("version_after").toString(), "1.3.0");
        EXPECT_EQ(seen.back().value("port").toString(), "/dev/ttyACM" + QString::number(gcu));
        // Coalesced: never eleven within a second (800 ms as they arrive, for the
        // delay each may have on its way).
        const std::vector<qint64>& at = arrivals[QString("LIVE%1").arg(gcu)];
        for (size_t i = 0; i + 10 < at.size(); ++i)
            EXPECT_GE(at[i + 10] - at[i], 800) << "messages " << i << " to " << i + 10;
    }
}

// A token from a file may hold what an address would read otherwise: the
// address printed at the start still gets the page.
TEST_F(ServedFleetPage, PrintsAnAddressThatCarriesAnyTokenFromAFile)
{
    const std::string tokenFile = temporaryPath("dashboard-token");
    std::ofstream(tokenFile) << "a+b&c%d#e=f0123456789\n";
    serve({"--token-file", tokenFile});
    ASSERT_EQ(token, "a+b&c%d#e=f0123456789");
    const std::string kept =
        exchange(port, get(url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority), ""));
    EXPECT_EQ(statusLine(kept), "HTTP/1.1 303 See Other") << url.toString().toStdString();
}

// What a station's page counts: a GCU without a serial number, turned away,
// re-plugged and turned away again, is a visit each time.
TEST(StationBoardCounters, CountEachRefusalOfARepluggedGcu)
{
    StationBoard board("line-1", {}, false);
    board.refuse("", "/dev/ttyACM3", "No serial number");
    board.refuse("", "/dev/ttyACM3", "No serial number");
    QJsonObject snapshot;
    EXPECT_TRUE(spinUntil(
        [&] {
            snapshot = QJsonDocument::fromJson(board.snapshot()).object();
            return snapshot.value("counters").toObject().value("failed").toInt() == 2;
        },
        10000))
        << board.snapshot().toStdString();
    const QJsonArray gcus = snapshot.value("gcus").toArray();
    ASSERT_EQ(gcus.size(), 1);
    EXPECT_EQ(gcus.at(0).toObject().value("key").toString(), "/dev/ttyACM3");
    EXPECT_EQ(gcus.at(0).toObject().value("outcome").toString(), "refused");
}

} // namespace
