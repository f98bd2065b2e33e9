#include "gcu.pb.h"
#include "gcusimprocess.h"
#include "logpane.h"
#include "server.pb.h"
#include "testbus.h"
#include "uploaderapp.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <stdexcept>

namespace {

std::string packed(const std::string& image, const std::string& version)
{
    return packFirmware(image,
                        {"--chunk", "2048", "--checkpoint-every", "4", "--version", version});
}

// An update server in the test's own event loop, for requests that
// update-server-sim would never send: it sends what the test says and keeps
// every response the window sends back.
class ScriptedServer
{
public:
    ScriptedServer()
    {
        if (!listener.listen(QHostAddress::LocalHost))
            throw std::runtime_error("cannot listen: " + listener.errorString().toStdString());
        QObject::connect(&listener, &QTcpServer::newConnection, [this] {
            peer = listener.nextPendingConnection();
            QObject::connect(peer, &QTcpSocket::readyRead, [this] { cutResponses(); });
        });
    }

    bool waitForWindow()
    {
        return spinUntil([&] { return peer != nullptr; }, 5000);
    }
    void send(const SoftwareServerRequest& request) { sendRaw(request.SerializeAsString()); }
    void sendRaw(const std::string& payload)
    {
        peer->write(QByteArray::fromStdString(frameOf(payload)));
    }
    QTcpSocket& socket() { return *peer; }
    quint16 port() const { return listener.serverPort(); }
    // The GCU's answers that the window relayed.
    std::vector<Response> relayedAnswers() const
    {
        std::vector<Response> answers;
        for (const auto& response : responses)
            if (response.resp_case() == SoftwareServerResponse::kReceivePacketFromGcu)
                answers.emplace_back().ParseFromString(response.receive_packet_from_gcu().packet());
        return answers;
    }
    int count(SoftwareServerResponse::RespCase kind) const
    {
        return static_cast<int>(
            std::count_if(responses.begin(), responses.end(),
                          [&](const auto& r) { return r.resp_case() == kind; }));
    }

private:
    void cutResponses()
    {
        pending += peer->readAll().toStdString();
        while (pending.size() >= 4) {
            const uint32_t length = uint8_t(pending[0]) | uint8_t(pending[1]) << 8 |
                                    uint8_t(pending[2]) << 16 | uint32_t(uint8_t(pending[3])) << 24;
            if (pending.size() < 4 + length)
                return;
            responses.emplace_back().ParseFromString(pending.substr(4, length));
            pending.erase(0, 4 + length);
        }
    }

    QTcpServer listener;
    QTcpSocket* peer = nullptr;
    std::string pending;
    std::vector<SoftwareServerResponse> responses;
};

SoftwareServerRequest packetForGcu(const std::string& packet, int done, int total)
{
    SoftwareServerRequest request;
    request.mutable_send_packet_to_gcu()->set_packet(packet);
    request.mutable_send_packet_to_gcu()->set_steps_done(done);
    request.mutable_send_packet_to_gcu()->set_steps_total(total);
    return request;
}

SoftwareServerRequest reconnectRequest()
{
    SoftwareServerRequest request;
    request.mutable_reconnect();
    return request;
}

// The real window relaying between update-server-sim and gcu-sim.
class RelayTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QSettings settings("Orvane", "Uploader");
        settings.clear();
        settings.setValue("network/host", "127.0.0.1");
    }
    void TearDown() override
    {
        window.reset();
        QSettings("Orvane", "Uploader").clear();
    }

    void startServer(std::vector<std::string> arguments)
    {
        server = startUpdateServer(std::move(arguments), &port);
        useServerOn(port);
    }
    void useServerOn(quint16 serverPort)
    {
        port = serverPort;
        QSettings("Orvane", "Uploader").setValue("network/port", port);
    }

    void openWindow(bool offlineLoader)
    {
        QSettings("Orvane", "Uploader").setValue("ui/offlineLoader", offlineLoader);
        window = std::make_unique<UploaderApp>();
        ASSERT_TRUE(spinUntil([&] { return combo("gcuSerialNumber")->count() > 0; }));
    }

    QComboBox* combo(const char* name) const { return window->findChild<QComboBox*>(name); }
    void click(const char* name) { window->findChild<QPushButton*>(name)->click(); }
    QStringList log() const
    {
        LogPane::flushAll();
        return window->findChild<QPlainTextEdit*>("plainTextEdit_2")->toPlainText().split('\n');
    }
    bool waitForLog(const QString& line, int timeoutMs = 5000) const
    {
        return spinUntil([&] { return log().contains(line); }, timeoutMs);
    }
    QStringList versions() const
    {
        QStringList names;
        for (int i = 0; i < combo("softwareServerVersions")->count(); ++i)
            names << combo("softwareServerVersions")->itemText(i);
        return names;
    }

    quint16 port = 0;
    std::unique_ptr<ToolProcess> server;
    std::unique_ptr<UploaderApp> window;
};

} // namespace

TEST_F(RelayTest, ServerDrivesAWholeUpdateThroughTheWindow)
{
    const std::string image = randomImage(40 * 1024, 3);
    const std::string chosen = packed(image, "2.0.0");
    const std::string other = packed(randomImage(4096, 4), "1.0.0");
    const std::string flashOut = temporaryPath("flash.bin");
    GcuSimProcess gcu("SIM-RELAY", {"--flash-out", flashOut, "--reset-delay", "300"});
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();
    startServer({"--version", "1.0.0=" + other, "--version", "2.0.0=" + chosen, "--version",
                 "3.0.0=" + other});

    openWindow(false);
    QMetaObject::invokeMethod(window.get(), "insertVersionItem", Q_ARG(QString, "stale"));
    click("pushButton_2");
    EXPECT_TRUE(log().contains(QString("Connecting to: 127.0.0.1:%1").arg(port)));
    ASSERT_TRUE(waitForLog("Type GetSerialNumber")) << server->log();
    ASSERT_TRUE(spinUntil([&] { return versions().size() == 3; })) << server->log();
    EXPECT_EQ(versions(), (QStringList{"1.0.0", "2.0.0", "3.0.0"}));
    EXPECT_EQ(combo("softwareServerVersions")->currentIndex(), 0);
    for (const char* version :
         {"Added version 1.0.0", "Added version 2.0.0", "Added version 3.0.0"})
        EXPECT_TRUE(log().contains(version));

    combo("softwareServerVersions")->setCurrentIndex(1);
    click("softwareServerUpload");
    ASSERT_TRUE(waitForLog("Type ReconnectReq", 5000)) << server->log();
    EXPECT_EQ(server->waitForExit(60000), 0) << server->log() << gcu.log();
    ASSERT_TRUE(spinUntil([&] { return readWholeFile(flashOut).size() == image.size(); }))
        << gcu.log();
    EXPECT_TRUE(readWholeFile(flashOut) == image);

    auto* bar = window->findChild<QProgressBar*>("progressBar");
    const int total = 2 + 21 + 1;
    EXPECT_TRUE(spinUntil([&] { return bar->maximum() == total && bar->value() == total; }));
    EXPECT_TRUE(log().contains("Sending GCU response to server"));
    EXPECT_GE(log().count("Connected"), 2) << "the reconnect request re-opened the link";
    // The server hangs up once it is done: that is said as it is, not as a failure.
    EXPECT_TRUE(waitForLog("Server closed the connection"));
    EXPECT_TRUE(log().filter(QRegularExpression("^Server connection failed")).isEmpty());
}

TEST_F(RelayTest, OfflineLoaderModeConnectsOnlyOnTheButton)
{
    GcuSimProcess gcu("SIM-OFFLINE");
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();
    startServer({"--version", "1.0.0=/nonexistent"});
    openWindow(true);
    click("pushButton_2");
    spinFor(300);
    EXPECT_TRUE(log().filter(QRegularExpression("^Connecting to:")).isEmpty());
    click("softwareServerConnect");
    EXPECT_TRUE(log().contains(QString("Connecting to: 127.0.0.1:%1").arg(port)));
    EXPECT_TRUE(spinUntil([&] { return versions() == QStringList{"1.0.0"}; })) << server->log();
}

TEST_F(RelayTest, ServerButtonWithoutAGcuListedDoesNothing)
{
    QSettings("Orvane", "Uploader").setValue("ui/offlineLoader", true);
    window = std::make_unique<UploaderApp>();
    click("softwareServerConnect");
    spinFor(150);
    EXPECT_TRUE(log().filter(QRegularExpression("^Connecting to:")).isEmpty());
    // Nor can a version be sent without a server: nothing happens, nothing is said.
    const QStringList before = log();
    click("softwareServerUpload");
    spinFor(100);
    EXPECT_EQ(log(), before);
}

TEST_F(RelayTest, MisbehavingServerIsAnsweredAndTheRelayGoesOn)
{
    GcuSimProcess gcu("SIM-MISBEHAVE");
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();
    startServer(
        {"--version", "9.9.9=/nonexistent", "--misbehave", "garbage,unknown,empty,oversize"});
    openWindow(false);
    click("pushButton_2");
    ASSERT_TRUE(spinUntil([&] { return versions() == QStringList{"9.9.9"}; }, 8000))
        << server->log();
    EXPECT_TRUE(log().contains("Failed to parse command from server"));
    // A member the program does not know parses as no member at all: case 0,
    // like the empty request.
    EXPECT_EQ(log().count("Type UNKNOWN 0"), 2);
    EXPECT_NE(server->log().find("every misbehaviour was answered as unserved"), std::string::npos);
}

TEST_F(RelayTest, DroppedServerConnectionIsShown)
{
    const std::string firmware = packed(randomImage(8192, 5), "1.0.0");
    GcuSimProcess gcu("SIM-DROP", {"--reset-delay", "200"});
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();
    startServer({"--version", "1.0.0=" + firmware, "--drop-after", "3"});
    openWindow(false);
    click("pushButton_2");
    ASSERT_TRUE(spinUntil([&] { return versions().size() == 1; })) << server->log();
    click("softwareServerUpload");
    EXPECT_TRUE(spinUntil(
        [&] {
            return !log().filter(QRegularExpression("^Server connection failed: .+")).isEmpty();
        },
        10000))
        << server->log();
    // The window still works: the link to the GCU answers pings.
    EXPECT_TRUE(spinUntil(
        [&] { return !log().filter(QRegularExpression("^ReceivedPong \\d+ after")).isEmpty(); },
        3000));
}

TEST_F(RelayTest, HostileServerInputStaysBounded)
{
    FakeUsbPort gcu("SN-HOSTILE");
    ScriptedServer server;
    useServerOn(server.port());
    openWindow(false);
    const long before = residentKiB();
    click("pushButton_2");
    ASSERT_TRUE(server.waitForWindow());

    SoftwareServerRequest offer;
    offer.mutable_get_firmware_versions()->add_versions()->set_name(std::string(1 << 20, 'n'));
    for (int i = 1; i < 200000; ++i)
        offer.mutable_get_firmware_versions()->add_versions()->set_name("v" + std::to_string(i));
    const std::string offerBytes = offer.SerializeAsString();
    // The window stays responsive while the flood comes in: a timer armed before
    // any of it arrives keeps firing close to its time.
    QTimer ticker;
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    ticker.start(50);
    sinceTick.start();
    server.sendRaw(std::string(15 * 1024 * 1024, '\xff'));
    server.sendRaw(offerBytes);
    ASSERT_TRUE(waitForLog(
        "The server offered 199000 more versions; only the first 1000 are listed", 20000));
    ticker.stop();
    EXPECT_LT(longestGap, 2000) << "the event loop was held up while the flood came in";
    ASSERT_TRUE(spinUntil([&] { return versions().size() == 1000; }));
    EXPECT_EQ(versions().front(), QString(256, 'n')) << "a name is cut to 256 characters";
    EXPECT_EQ(versions()[1], "v1");
    EXPECT_EQ(versions().back(), "v999");

    // The unreadable request is shown as its first 256 bytes and a count of the rest.
    EXPECT_TRUE(log().contains("Failed to parse command from server"));
    EXPECT_TRUE(log().contains(QString("... %1 more bytes not shown").arg(15 * 1024 * 1024 - 256)));
    auto* pane = window->findChild<QPlainTextEdit*>("plainTextEdit_2");
    EXPECT_LE(pane->blockCount(), 5000);
    // The offer was logged in one turn and reached the pane in one append: each
    // line whole, in its place.
    QStringList offered{"Added version " + QString(256, 'n')};
    for (int i = 1; i < 1000; ++i)
        offered << QString("Added version v%1").arg(i);
    offered << "The server offered 199000 more versions; only the first 1000 are listed";
    const QStringList lines = log();
    const int first = lines.indexOf(offered.front());
    ASSERT_GE(first, 0);
    EXPECT_EQ(lines.mid(first, offered.size()), offered);
    // Turns that take the pane past its bound push out the oldest lines, as many
    // as came in.
    QStringList bulk;
    for (int turn = 0; turn < 2; ++turn) {
        for (int i = 0; i < 3000; ++i) {
            bulk << QString("bulk %1").arg(turn * 3000 + i);
            emit window->addLog(bulk.back());
        }
        LogPane::flushAll();
    }
    EXPECT_EQ(log(), bulk.mid(1000));

#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer holds freed memory back: resident memory says nothing there.
    EXPECT_LT(residentKiB() - before, 100 * 1024);
#else
    (void)before;
#endif
}

TEST_F(RelayTest, FastServerIsHeldBackWhileTheGcuIsBehind)
{
    FakeUsbPort gcu("SN-SLOW");
    ScriptedServer server;
    useServerOn(server.port());
    openWindow(false);
    click("pushButton_2");
    ASSERT_TRUE(server.waitForWindow());

    // 16 MiB for a GCU that reads nothing for now.
    constexpr int packets = 256;
    for (int i = 0; i < packets; ++i)
        server.send(
            packetForGcu(std::string(64 * 1024, static_cast<char>('a' + i % 26)), i + 1, packets));
    // A server done sending hangs up while the window still holds its last packets.
    server.socket().disconnectFromHost();
    // The window takes packets until the GCU's side is full, then no more.
    const int relayedWhileStuck = spinUntilSteady(
        [&] { return static_cast<int>(log().count("Type SendPacketToGcu")); }, 1000, 20000);
    EXPECT_GT(relayedWhileStuck, 0);
    EXPECT_LE(relayedWhileStuck, 24) << "the window kept taking packets it could not write";

    // Once the GCU reads, everything arrives, whole and in order.
    int arrived = 0;
    while (arrived < packets) {
        std::optional<std::string> frame = gcu.takeFrame(5000);
        if (!frame)
            break;
        // Pings and the firmware identity request go out meanwhile; they are small.
        if (frame->size() == 64 * 1024) {
            EXPECT_EQ(frame->front(), static_cast<char>('a' + arrived % 26))
                << "packet " << arrived;
            ++arrived;
        }
    }
    EXPECT_EQ(arrived, packets);
    EXPECT_TRUE(waitForLog("Server closed the connection"));
    EXPECT_TRUE(log().filter(QRegularExpression("^Server connection failed")).isEmpty())
        << "the hang-up was taken for one in the middle of the update";
}

TEST_F(RelayTest, EveryReconnectRequestIsAnsweredOnceTheGcuIsBack)
{
    GcuSimProcess gcu("SIM-RECONNECT", {"--reset-delay", "300"});
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();
    ScriptedServer server;
    useServerOn(server.port());
    openWindow(false);
    click("pushButton_2");
    ASSERT_TRUE(server.waitForWindow());

    Command reset;
    reset.mutable_reset_to_bootloader();
    server.send(packetForGcu(reset.SerializeAsString(), 1, 3));
    server.send(reconnectRequest());
    server.send(reconnectRequest());
    ASSERT_TRUE(
        spinUntil([&] { return server.count(SoftwareServerResponse::kReconnect) == 2; }, 10000))
        << gcu.log();
    ASSERT_TRUE(spinUntil([&] { return log().count("Connected") == 2; }));

    // The user presses Bootloader while the server waits for the GCU: the GCU is
    // already in its bootloader, so its old port has to leave before it counts.
    server.send(reconnectRequest());
    ASSERT_TRUE(spinUntil([&] { return log().count("Type ReconnectReq") == 3; }));
    spinFor(100);
    click("pushButton_3");
    ASSERT_TRUE(
        spinUntil([&] { return server.count(SoftwareServerResponse::kReconnect) == 3; }, 10000))
        << gcu.log();
    ASSERT_TRUE(spinUntil([&] { return log().count("Connected") == 3; }));
    // The link that was opened is the GCU that came back: it answers.
    const int pongs = log().filter(QRegularExpression("^ReceivedPong")).size();
    EXPECT_TRUE(spinUntil(
        [&] { return log().filter(QRegularExpression("^ReceivedPong")).size() > pongs; }, 3000));
    spinFor(300);
    EXPECT_EQ(server.count(SoftwareServerResponse::kReconnect), 3);
    // The window asked for the firmware version after each reconnection; the
    // answers are the window's, not the server's.
    for (const Response& answer : server.relayedAnswers())
        EXPECT_NE(answer.resp_case(), Response::kFirmwareId);
}
