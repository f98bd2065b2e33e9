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
    ASSERT_TRUE(waitForLog("Type SendPacketToGcu"));
    spinFor(500);
    EXPECT_EQ(log().count("Type SendPacketToGcu"), 2) << "read on past a packet it could not write";
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
    // The GCU leaves and comes back on a port that will not open.
    gcu->device().withdraw();
    // A GCU that resets is off the bus for a while.
    spinFor(500);
    UsbIdentity identity;
    identity.sysname = "ttyGONE" + std::to_string(::getpid());
    identity.devnode = "/dev/orv-test-no-such-port";
    identity.vendorId = 0x04D8;
    identity.productId = 0xEEEF;
    identity.serialNumber = "SN-REOPEN";
    VirtualUsbDevice unopenable(TestBus::directory(), identity);
    ASSERT_TRUE(unopenable.publish());

    // The answer goes out as the port is found, as ever; the failure follows the
    // tries of the next seconds.
    ASSERT_TRUE(
        spinUntil([&] { return server.count(SoftwareServerResponse::kReconnect) == 1; }, 10000));
    EXPECT_TRUE(waitForLog("Lost the GCU during the server's update", 10000));
    EXPECT_FALSE(log().filter(QRegularExpression("^Failed to connect ")).isEmpty());
    EXPECT_FALSE(widget<QPushButton>("softwareServerUpload")->isEnabled());
    EXPECT_EQ(status(), "Disconnected");
}

TEST(RelayLifecycleTool, GcutoolIsLostWhenTheGcuGoesAwayUnderAHeldPacket)
{
    auto gcu = std::make_unique<FakeUsbPort>("SN-TOOL-GONE");
    ServerScript server;
    bool secondSent = false;
    server.onResponse = [&](const SoftwareServerResponse& response) {
        if (response.resp_case() == SoftwareServerResponse::kGetFirmwareVersions)
            server.send(serverPacket("first", 1, 3));
    };
    auto tool =
        startTool("gcutool", {"relay", "--server", "127.0.0.1:" + std::to_string(server.port()),
                              "--version", "1.0.0", "--json", "--stall-timeout", "20"});
    ASSERT_TRUE(server.waitForClient()) << tool->log();
    SoftwareServerRequest offer;
    offer.mutable_get_firmware_versions()->add_versions()->set_name("1.0.0");
    server.send(offer);
    ASSERT_EQ(nextForGcu(*gcu, 10000), "first") << tool->log();

    // Unplugged: the link is gone, the next packet waits for it, and the server
    // leaves before it could be written.
    gcu.reset();
    spinFor(300);
    server.send(serverPacket("second", 2, 3));
    secondSent = true;
    spinFor(300);
    server.hangUp();
    EXPECT_EQ(tool->waitForExit(20000), 5) << tool->log();
    EXPECT_TRUE(secondSent);
    EXPECT_NE(tool->log().find("Lost the GCU during the server's update"), std::string::npos)
        << tool->log();
    EXPECT_EQ(tool->log().find("\"steps_done\":2"), std::string::npos)
        << "a packet that went nowhere was counted";
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

    constexpr int requests = 200000;
    SoftwareServerRequest ask;
    ask.mutable_get_serial_number();
    const QByteArray frame = QByteArray::fromStdString(frameOf(ask.SerializeAsString()));
    for (int i = 0; i < requests; ++i)
        server.socket().write(frame);
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
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer holds freed memory back: resident memory says nothing there.
    EXPECT_LT(residentKiB() - before, 50 * 1024);
#else
    (void)before;
#endif

    // Once the server reads, every request is answered and the GCU is read again.
    server.startReading();
    EXPECT_TRUE(spinUntil(
        [&] { return server.count(SoftwareServerResponse::kGetSerialNumber) == requests; }, 90000))
        << server.count(SoftwareServerResponse::kGetSerialNumber);
    EXPECT_TRUE(pongShown);
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
    // The local upload began and gets no answer: its watchdog repeats its first
    // step every 750 ms.
    const std::string introduction = "case " + std::to_string(Command::kRsaPublicKey);
    EXPECT_EQ(nextForGcu(gcu), introduction);
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
