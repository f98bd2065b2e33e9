#include "gcusimprocess.h"
#include "testbus.h"
#include "uploaderapp.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTcpServer>
#include <fstream>
#include <gtest/gtest.h>
#include <random>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

std::string packed(const std::string& image, const std::string& version)
{
    return packFirmware(image,
                        {"--chunk", "2048", "--checkpoint-every", "4", "--version", version});
}

// The real window relaying between update-server-sim and gcu-sim.
class RelayTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        port = freePort();
        QSettings settings("Orvane", "Uploader");
        settings.clear();
        settings.setValue("network/host", "127.0.0.1");
        settings.setValue("network/port", port);
    }
    void TearDown() override
    {
        window.reset();
        QSettings("Orvane", "Uploader").clear();
    }

    void startServer(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.end(), {"--port", std::to_string(port)});
        server = startTool("update-server-sim", arguments);
        // Until it listens, a connection would be refused.
        ASSERT_TRUE(spinUntil(
            [&] { return server->log().find("listening on") != std::string::npos; }, 5000))
            << server->log();
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
