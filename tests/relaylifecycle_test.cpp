#include "filedialoguser.h"
#include "framecodec.h"
#include "gcu.pb.h"
#include "gcusimprocess.h"
#include "logpane.h"
#include "server.pb.h"
#include "testbus.h"
#include "toolprocess.h"
#include "uploaderapp.h"
#include "virtualusbdevice.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

// What becomes of a relayed update when the serial link closes, re-opens or
// cannot be opened, when a side stops reading, and when a local upload was left
// running: in the window and in gcutool relay.

namespace {

// An update server run by the test: it sends what the test says, keeps every
// response and, if asked to, reads nothing at all.
class ServerScript
{
public:
    explicit ServerScript(bool reads = true) : reads(reads)
    {
        listener.listen(QHostAddress::LocalHost, 0);
        if (!reads) {
            // The system's own buffer kept small (and so the window it offers):
            // what piles up is the relay's.
            const int size = 64 * 1024;
            ::setsockopt(static_cast<int>(listener.socketDescriptor()), SOL_SOCKET, SO_RCVBUF,
                         &size, sizeof size);
        }
        QObject::connect(&listener, &QTcpServer::newConnection, [this] {
            peer = listener.nextPendingConnection();
            if (this->reads)
                startReading();
            else
                // Qt's socket would otherwise take everything into its own buffer.
                peer->setReadBufferSize(64 * 1024);
        });
    }

    quint16 port() const { return listener.serverPort(); }
    bool waitForClient()
    {
        return spinUntil([&] { return peer != nullptr; }, 10000);
    }
    void send(const SoftwareServerRequest& request)
    {
        peer->write(QByteArray::fromStdString(frameOf(request.SerializeAsString())));
    }
    void startReading()
    {
        peer->setReadBufferSize(0);
        QObject::connect(peer, &QTcpSocket::readyRead, [this] { take(); });
        take();
    }
    void hangUp() { peer->disconnectFromHost(); }
    QTcpSocket& socket() { return *peer; }
    int count(SoftwareServerResponse::RespCase kind) const
    {
        return static_cast<int>(
            std::count_if(responses.begin(), responses.end(),
                          [&](const auto& r) { return r.resp_case() == kind; }));
    }
    // Called with each response as it comes.
    std::function<void(const SoftwareServerResponse&)> onResponse;

private:
    void take()
    {
        reader.readFrames(*peer, [this](std::string payload) {
            responses.emplace_back().ParseFromString(payload);
            if (onResponse)
                onResponse(responses.back());
            return true;
        });
    }

    bool reads;
    QTcpServer listener;
    QTcpSocket* peer = nullptr;
    FrameCodec reader;
    std::vector<SoftwareServerResponse> responses;
};

// A server packet that the GCU can tell apart: a command carrying `data`.
SoftwareServerRequest serverPacket(const std::string& data, int done, int total)
{
    Command command;
    command.mutable_command_data()->set_data(data);
    SoftwareServerRequest request;
    request.mutable_send_packet_to_gcu()->set_packet(command.SerializeAsString());
    request.mutable_send_packet_to_gcu()->set_steps_done(done);
    request.mutable_send_packet_to_gcu()->set_steps_total(total);
    return request;
}

// What the GCU was sent next, leaving out the window's pings: the data of a
// command, or the kind of anything else.
std::string nextForGcu(FakeUsbPort& gcu, int timeoutMs = 5000)
{
    for (;;) {
        const std::optional<std::string> frame = gcu.takeFrame(timeoutMs);
        if (!frame)
            return "nothing";
        Command command;
        command.ParseFromString(*frame);
        if (command.req_case() == Command::kPing)
            continue;
        if (command.req_case() == Command::kCommandData)
            return command.command_data().data();
        return "case " + std::to_string(command.req_case());
    }
}

// Fills the serial link of a GCU that reads nothing past the mark at which the
// relay holds the server back, then sends a small packet that must wait behind them.
void overfillSerialLink(ServerScript& server, int done, int total)
{
    for (int i = 0; i < 4; ++i)
        server.send(serverPacket(std::string(300 * 1024, 'f'), done, total));
    server.send(serverPacket("after", done, total));
}

// How often `line` is in a log, once that count holds still for a second: the
// relay has taken all it will.
int steadyCount(const std::function<std::string()>& log, const std::string& line,
                int timeoutMs = 20000)
{
    const auto count = [&] {
        const std::string text = log();
        int n = 0;
        for (size_t at = 0; (at = text.find(line, at)) != std::string::npos; at += line.size())
            ++n;
        return n;
    };
    return spinUntilSteady(count, 1000, timeoutMs, [] { spinFor(200); });
}

// With the library's diagnostics, for a failure's log.
std::unique_ptr<ToolProcess> startRelayTool(const ServerScript& server, int stallTimeoutS)
{
    return startTool("gcutool", {"relay", "--server", "127.0.0.1:" + std::to_string(server.port()),
                                 "--version", "1.0.0", "--json", "--verbose", "--stall-timeout",
                                 std::to_string(stallTimeoutS)});
}

// Offers the version gcutool asks for; true once it has asked for it.
bool offerVersion(ServerScript& server)
{
    bool asked = false;
    server.onResponse = [&](const SoftwareServerResponse& response) {
        asked = asked || response.resp_case() == SoftwareServerResponse::kGetFirmwareVersions;
    };
    SoftwareServerRequest offer;
    offer.mutable_get_firmware_versions()->add_versions()->set_name("1.0.0");
    server.send(offer);
    const bool done = spinUntil([&] { return asked; }, 10000);
    server.onResponse = nullptr;
    return done;
}

// Whether gcutool's JSON output holds an event of this kind saying `text`.
bool toolSaid(const std::string& log, const std::string& kind, const std::string& text)
{
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.find("\"event\":\"" + kind + "\"") != std::string::npos &&
            line.find(text) != std::string::npos)
            return true;
    return false;
}

// The GCU leaves, as it does when it resets, and comes back with its serial
// number on a port that will not open.
std::unique_ptr<VirtualUsbDevice> bringBackUnopenable(FakeUsbPort& gcu, const std::string& serial,
                                                      uint16_t productId)
{
    gcu.device().withdraw();
    // A GCU that resets is off the bus for a while.
    spinFor(500);
    UsbIdentity identity;
    identity.sysname = "ttyGONE" + std::to_string(::getpid());
    identity.devnode = "/dev/orv-test-no-such-port";
    identity.vendorId = 0x04D8;
    identity.productId = productId;
    identity.serialNumber = serial;
    auto unopenable = std::make_unique<VirtualUsbDevice>(TestBus::directory(), identity);
    return unopenable->publish() ? std::move(unopenable) : nullptr;
}

// Far more small requests than a server that reads nothing can have answered.
constexpr int floodRequests = 200000;
void floodWithRequests(ServerScript& server)
{
    SoftwareServerRequest ask;
    ask.mutable_get_serial_number();
    const QByteArray frame = QByteArray::fromStdString(frameOf(ask.SerializeAsString()));
    for (int i = 0; i < floodRequests; ++i)
        server.socket().write(frame);
}

// Once the server reads, every request of the flood is answered.
void expectFloodAnswered(ServerScript& server)
{
    server.startReading();
    EXPECT_TRUE(spinUntil(
        [&] { return server.count(SoftwareServerResponse::kGetSerialNumber) == floodRequests; },
        90000))
        << server.count(SoftwareServerResponse::kGetSerialNumber);
}

void expectResidentWithin50MB(long beforeKiB, pid_t process = 0)
{
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(residentKiB(process) - beforeKiB, 50 * 1024);
#else
    // AddressSanitizer holds freed memory back: resident memory says nothing there.
    (void)beforeKiB;
    (void)process;
#endif
}

class RelayLifecycleTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        window.reset();
        QSettings("Orvane", "Uploader").clear();
    }

    // In offline-loader mode: connecting the GCU leaves the server alone.
    void openWindow(quint16 serverPort)
    {
        QSettings settings("Orvane", "Uploader");
        settings.clear();
        settings.setValue("ui/offlineLoader", true);
        settings.setValue("network/host", "127.0.0.1");
        settings.setValue("network/port", serverPort);
        window = std::make_unique<UploaderApp>();
        ASSERT_TRUE(spinUntil([&] { return widget<QComboBox>("gcuSerialNumber")->count() > 0; }));
    }
    template <typename T = QWidget> T* widget(const char* name) const
    {
        return window->findChild<T*>(name);
    }
    void click(const char* name) { widget<QPushButton>(name)->click(); }
    QStringList log() const
    {
        LogPane::flushAll();
        return widget<QPlainTextEdit>("plainTextEdit_2")->toPlainText().split('\n');
    }
    bool waitForLog(const QString& line, int timeoutMs = 5000) const
    {
        return spinUntil([&] { return log().contains(line); }, timeoutMs);
    }
    int progress() const { return widget<QProgressBar>("progressBar")->value(); }
    QString status() const { return window->statusBar()->currentMessage(); }

    std::unique_ptr<UploaderApp> window;
};

} // namespace

TEST_F(RelayLifecycleTest, WindowHoldsPacketsForAClosedLinkAndIsLostIfTheServerLeavesMeanwhile)
{
    FakeUsbPort gcu("SN-LIFECYCLE");
    ServerScript server;
    openWindow(server.port());
    click("pushButton_2");
    click("softwareServerConnect");
    ASSERT_TRUE(server.waitForClient());
    server.send(serverPacket("first", 1, 4));
    EXPECT_EQ(nextForGcu(gcu), "first");
    ASSERT_TRUE(spinUntil([&] { return progress() == 1; }));

    // Disconnected: the next packet waits for the link, and nothing after it is read.
    click("pushButton_2");
    server.send(serverPacket("second", 2, 4));
    server.send(serverPacket("third", 3, 4));
    EXPECT_EQ(steadyCount([&] { return log().join('\n').toStdString(); }, "Type SendPacketToGcu"),
              2)
        << "read on past a packet it could not write";
    EXPECT_EQ(progress(), 1) << "a packet that went nowhere was counted";

    // Connected again: the held packet goes out, then the server is read again.
    click("pushButton_2");
    EXPECT_EQ(nextForGcu(gcu), "second");
    EXPECT_EQ(nextForGcu(gcu), "third");
    ASSERT_TRUE(spinUntil([&] { return progress() == 3; }));

    // Disconnected again, and the server leaves with its last packet undelivered.
    click("pushButton_2");
    server.send(serverPacket("fourth", 4, 4));
    ASSERT_TRUE(spinUntil([&] { return log().count("Type SendPacketToGcu") == 4; }));
    server.hangUp();
    EXPECT_TRUE(waitForLog("Lost the GCU during the server's update"));
    EXPECT_FALSE(log().contains("Server closed the connection"));
    EXPECT_NE(progress(), 4);
    EXPECT_FALSE(widget<QPushButton>("softwareServerUpload")->isEnabled())
        << "the upload button would write into a dead connection";
    EXPECT_FALSE(status().startsWith("Uploading"));
}

TEST_F(RelayLifecycleTest, WindowIsLostWhenTheGcuComesBackButCannotBeOpened)
{
    auto gcu = std::make_unique<FakeUsbPort>("SN-REOPEN", 0xEEEF);
    ServerScript server;
    openWindow(server.port());
    click("pushButton_2");
    click("softwareServerConnect");
    ASSERT_TRUE(server.waitForClient());
    server.send(serverPacket("reset", 1, 3));
    EXPECT_EQ(nextForGcu(*gcu), "reset");

    SoftwareServerRequest reconnect;
    reconnect.mutable_reconnect();
    server.send(reconnect);
    ASSERT_TRUE(waitForLog("Type ReconnectReq"));
    const auto unopenable = bringBackUnopenable(*gcu, "SN-REOPEN", 0xEEEF);
    ASSERT_TRUE(unopenable);

    // The answer goes out as the port is found, as ever; the failure follows the
    // tries of the next seconds.
    ASSERT_TRUE(
        spinUntil([&] { return server.count(SoftwareServerResponse::kReconnect) == 1; }, 10000));
    EXPECT_TRUE(waitForLog("Lost the GCU during the server's update", 10000));
    EXPECT_FALSE(log().filter(QRegularExpression("^Failed to connect ")).isEmpty());
    EXPECT_FALSE(widget<QPushButton>("softwareServerUpload")->isEnabled());
    EXPECT_EQ(status(), "Disconnected");
}

TEST_F(RelayLifecycleTest, WindowLiftsAPauseWhenTheLinkClosesAndEndsAStalledOneAsStalled)
{
    for (const bool disconnected : {true, false}) {
        SCOPED_TRACE(disconnected ? "disconnected during the pause" : "the GCU reads nothing");
        // Reads nothing: the serial link fills.
        FakeUsbPort gcu(disconnected ? "SN-PAUSE-CLOSED" : "SN-PAUSE-STALLED");
        ServerScript server;
        openWindow(server.port());
        click("pushButton_2");
        click("softwareServerConnect");
        ASSERT_TRUE(server.waitForClient());
        // Step counts at the ends of their range: the status bar's rate and
        // percentage do not overflow on them.
        server.send(serverPacket("first", INT32_MIN + 1, INT32_MAX));
        overfillSerialLink(server, INT32_MAX - 1, INT32_MAX);
        server.hangUp();
        ASSERT_EQ(
            steadyCount([&] { return log().join('\n').toStdString(); }, "Type SendPacketToGcu"), 5);
        EXPECT_TRUE(spinUntil([&] { return status().startsWith("Uploading: 99 % · "); }))
            << status().toStdString();
        if (disconnected) {
            // The pause ends with the link: the last packet is taken, cannot be
            // delivered, and the server has gone.
            click("pushButton_2");
            EXPECT_TRUE(waitForLog("Lost the GCU during the server's update"));
            EXPECT_EQ(log().count("Type SendPacketToGcu"), 6);
        } else {
            EXPECT_TRUE(waitForLog("The GCU took nothing of the server's update for 30 s", 60000));
        }
        EXPECT_FALSE(log().contains("Server closed the connection"));
        EXPECT_FALSE(status().startsWith("Uploading"));
        window.reset();
    }
}

TEST(RelayLifecycleTool, GcutoolIsLostWhenTheGcuGoesAwayUnderAHeldPacket)
{
    auto gcu = std::make_unique<FakeUsbPort>("SN-TOOL-GONE");
    ServerScript server;
    auto tool = startRelayTool(server, 20);
    ASSERT_TRUE(server.waitForClient()) << tool->log();
    ASSERT_TRUE(offerVersion(server)) << tool->log();
    server.send(serverPacket("first", 1, 3));
    ASSERT_EQ(nextForGcu(*gcu, 10000), "first") << tool->log();

    // Unplugged: the link is gone, the next packet waits for it, and the server
    // leaves before it could be written.
    gcu.reset();
    ASSERT_TRUE(spinUntil([&] { return toolSaid(tool->log(), "lost", "went away"); }, 20000))
        << tool->log();
    server.send(serverPacket("second", 2, 3));
    server.hangUp();
    EXPECT_EQ(tool->waitForExit(20000), 5) << tool->log();
    EXPECT_TRUE(toolSaid(tool->log(), "error", "Lost the GCU during the server's update"))
        << tool->log();
    EXPECT_EQ(tool->log().find("\"steps_done\":2"), std::string::npos)
        << "a packet that went nowhere was counted";
}

TEST(RelayLifecycleTool, GcutoolLiftsAPauseWhenTheGcuGoesAndEndsAStalledOneAsStalled)
{
    for (const bool unplugged : {true, false}) {
        SCOPED_TRACE(unplugged ? "unplugged during the pause" : "the GCU reads nothing");
        // Reads nothing: the serial link fills.
        auto gcu = std::make_unique<FakeUsbPort>("SN-TOOL-PAUSE");
        ServerScript server;
        auto tool = startRelayTool(server, 5);
        ASSERT_TRUE(server.waitForClient()) << tool->log();
        ASSERT_TRUE(offerVersion(server)) << tool->log();
        overfillSerialLink(server, 1, 3);
        server.hangUp();
        ASSERT_EQ(steadyCount([&] { return tool->log(); }, "Type SendPacketToGcu"), 4)
            << tool->log();
        if (unplugged) {
            // The pause ends with the link: the last packet is taken, cannot be
            // delivered, and the server has gone.
            gcu.reset();
            EXPECT_EQ(tool->waitForExit(20000), 5) << tool->log();
            EXPECT_TRUE(toolSaid(tool->log(), "error", "Lost the GCU during the server's update"))
                << tool->log();
        } else {
            EXPECT_EQ(tool->waitForExit(20000), 4) << tool->log();
            EXPECT_TRUE(toolSaid(tool->log(), "error", "for 5 s")) << tool->log();
        }
    }
}

TEST(RelayLifecycleTool, GcutoolIsLostWhenTheGcuComesBackButCannotBeOpened)
{
    FakeUsbPort gcu("SN-TOOL-REOPEN", 0xEEEF);
    ServerScript server;
    auto tool = startRelayTool(server, 20);
    ASSERT_TRUE(server.waitForClient()) << tool->log();
    ASSERT_TRUE(offerVersion(server)) << tool->log();
    server.send(serverPacket("reset", 1, 3));
    ASSERT_EQ(nextForGcu(gcu, 10000), "reset") << tool->log();
    SoftwareServerRequest reconnect;
    reconnect.mutable_reconnect();
    server.send(reconnect);
    ASSERT_TRUE(spinUntil(
        [&] { return tool->log().find("Type ReconnectReq") != std::string::npos; }, 10000));
    const auto unopenable = bringBackUnopenable(gcu, "SN-TOOL-REOPEN", 0xEEEF);
    ASSERT_TRUE(unopenable);

    EXPECT_EQ(tool->waitForExit(20000), 5) << tool->log();
    EXPECT_EQ(server.count(SoftwareServerResponse::kReconnect), 1);
    EXPECT_TRUE(toolSaid(tool->log(), "error", "The GCU's port came back but could not be opened"))
        << tool->log();
}

TEST_F(RelayLifecycleTest, ServerThatNeverReadsHoldsTheGcuBackAndStaysBounded)
{
    // A long serial number makes each answer many times the request.
    const std::string serial = "SN-NEVER-READS-" + std::string(100, 'x');
    FakeUsbPort gcu(serial);
    ServerScript server(false);
    openWindow(server.port());
    const long before = residentKiB();
    click("pushButton_2");
    click("softwareServerConnect");
    ASSERT_TRUE(server.waitForClient());

    floodWithRequests(server);
    // The window takes what it can, then holds still: a second passes without a
    // request taken.
    int round = 0;
    ASSERT_TRUE(spinUntil(
        [&] {
            const QString mark = QString("-- quiet? %1").arg(++round);
            emit window->addLog(mark);
            spinFor(1000);
            const QStringList lines = log();
            return !lines.mid(lines.lastIndexOf(mark)).contains("Type GetSerialNumber");
        },
        90000));

    // Held back: what the GCU sends now is not read while the server reads nothing.
    // (Watched as it is said: the pane keeps only its last lines.)
    bool pongShown = false;
    QObject::connect(window.get(), &UploaderApp::addLog, [&](const QString& line) {
        pongShown = pongShown || line.startsWith("ReceivedPong 4242 ");
    });
    Response pong;
    pong.mutable_pong()->set_sequenceno(4242);
    gcu.writeFrame(pong.SerializeAsString());
    spinFor(1500);
    EXPECT_FALSE(pongShown) << "the window went on reading the GCU for a server that reads nothing";
    expectResidentWithin50MB(before);

    // Once the server reads, every request is answered and the GCU is read again.
    expectFloodAnswered(server);
    EXPECT_TRUE(pongShown);
}

TEST(RelayLifecycleTool, ServerThatNeverReadsKeepsGcutoolBounded)
{
    FakeUsbPort gcu("SN-TOOL-NEVER-READS-" + std::string(100, 'x'));
    ServerScript server(false);
    auto tool = startRelayTool(server, 600);
    ASSERT_TRUE(server.waitForClient()) << tool->log();
    const long before = residentKiB(tool->pid());

    floodWithRequests(server);
    // gcutool takes what it can, then holds still.
    EXPECT_LT(steadyCount([&] { return tool->log(); }, "Type GetSerialNumber", 90000),
              floodRequests);
    expectResidentWithin50MB(before, tool->pid());
    expectFloodAnswered(server);
}

TEST_F(RelayLifecycleTest, AbandonedLocalUploadLeavesTheGcuToTheServer)
{
    const std::string firmware =
        packFirmware(randomImage(16 * 1024, 9), {"--chunk", "2048", "--version", "1.2.3"});
    FakeUsbPort gcu("SN-ABANDONED", 0xEEEF);
    ServerScript server;
    openWindow(server.port());
    click("pushButton_2");
    FileDialogUser user(QString::fromStdString(firmware));
    click("pushButton_5");
    // The local upload began (asking the GCU's version first, left unanswered)
    // and gets no answer: its watchdog repeats its first step every 750 ms.
    const std::string versionRequest = "case " + std::to_string(Command::kGetFirmwareId);
    std::string sent = nextForGcu(gcu);
    while (sent == versionRequest)
        sent = nextForGcu(gcu);
    const std::string introduction = "case " + std::to_string(Command::kRsaPublicKey);
    EXPECT_EQ(sent, introduction);
    EXPECT_EQ(nextForGcu(gcu), introduction);

    click("softwareServerConnect");
    ASSERT_TRUE(server.waitForClient());
    server.send(serverPacket("server-1", 1, 3));
    ASSERT_TRUE(waitForLog("Type SendPacketToGcu"));
    // Whatever the local upload had queued before the server's packet is taken.
    std::vector<std::string> before;
    for (std::string sent; (sent = nextForGcu(gcu, 1000)) != "server-1";) {
        ASSERT_NE(sent, "nothing");
        before.push_back(sent);
    }
    // An answer to the server's packet goes to the server and draws nothing local.
    Response accepted;
    accepted.set_result(0);
    gcu.writeFrame(accepted.SerializeAsString());
    ASSERT_TRUE(spinUntil(
        [&] { return server.count(SoftwareServerResponse::kReceivePacketFromGcu) == 1; }));
    server.send(serverPacket("server-2", 2, 3));
    EXPECT_EQ(nextForGcu(gcu), "server-2");
    // Three watchdog periods: only pings may come, and the window asks nothing else.
    QElapsedTimer watched;
    watched.start();
    while (watched.elapsed() < 2500) {
        const std::optional<std::string> frame = gcu.takeFrame(2500 - int(watched.elapsed()));
        Command command;
        if (frame && command.ParseFromString(*frame)) {
            EXPECT_EQ(command.req_case(), Command::kPing);
        }
    }
}
