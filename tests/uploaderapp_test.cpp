#include "comport.h"
#include "gcu.pb.h"
#include "testbus.h"
#include "logpane.h"
#include "uploaderapp.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTimer>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

// The real window, with its settings in the test's own store.
class WindowTest : public ::testing::Test
{
protected:
    void SetUp() override { QSettings("Orvane", "Uploader").clear(); }
    void TearDown() override { QSettings("Orvane", "Uploader").clear(); }

    void open(bool offlineLoader)
    {
        QSettings("Orvane", "Uploader").setValue("ui/offlineLoader", offlineLoader);
        window = std::make_unique<UploaderApp>();
    }

    template <typename T = QWidget> T* widget(const char* name) const
    {
        T* found = window->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    QComboBox* combo() const { return widget<QComboBox>("gcuSerialNumber"); }
    QPushButton* connectButton() const { return widget<QPushButton>("pushButton_2"); }

    QStringList log() const
    {
        LogPane::flushAll();
        return widget<QPlainTextEdit>("plainTextEdit_2")->toPlainText().split('\n');
    }
    bool logged(const QString& line) const { return log().contains(line); }
    bool waitForLog(const QString& line, int timeoutMs = 3000) const
    {
        return spinUntil([&] { return logged(line); }, timeoutMs);
    }
    int countInLog(const QString& line) const { return log().count(line); }

    void invoke(const char* slot) { QMetaObject::invokeMethod(window.get(), slot); }
    bool waitForEntries(int count)
    {
        return spinUntil([&] { return combo()->count() == count; });
    }

    std::unique_ptr<UploaderApp> window;
};

} // namespace

TEST_F(WindowTest, WidgetTreeHasItsNamesCaptionsAndSize)
{
    open(true);
    EXPECT_EQ(window->objectName(), "UploaderApp");
    EXPECT_EQ(window->windowTitle(), "UploaderApp");
    EXPECT_EQ(window->size(), QSize(543, 431));
    EXPECT_FALSE(window->windowIcon().isNull());
    const std::vector<std::pair<const char*, const char*>> buttons = {
        {"pushButton", "Refresh"},
        {"pushButton_2", "Connect"},
        {"softwareServerConnect", "Connect to server"},
        {"softwareServerUpload", "Upload firmware"},
        {"readPublicKey", "Read key"},
        {"pushButton_3", "Bootloader"},
        {"pushButton_5", "Upload file"}};
    for (const auto& [name, caption] : buttons)
        EXPECT_EQ(widget<QPushButton>(name)->text(), caption) << name;
    for (const char* name : {"gcuSerialNumber", "softwareServerVersions"})
        widget<QComboBox>(name);
    for (const char* name : {"currentFIrmwareVersion", "lineEdit"})
        widget<QLineEdit>(name);
    EXPECT_TRUE(widget<QLineEdit>("currentFIrmwareVersion")->isReadOnly());
    EXPECT_EQ(widget<QLineEdit>("currentFIrmwareVersion")->maximumWidth(), 50);
    EXPECT_EQ(widget<QProgressBar>("progressBar")->value(), 0);
    widget("fileLoader");
    widget("centralWidget");
}

TEST_F(WindowTest, DefaultModeHidesTheServerButtonAndTheFileRow)
{
    open(false);
    EXPECT_TRUE(widget("pushButton")->isHidden());
    EXPECT_TRUE(widget("softwareServerConnect")->isHidden());
    EXPECT_TRUE(widget("fileLoader")->isHidden());
}

TEST_F(WindowTest, OfflineLoaderModeHidesOnlyRefresh)
{
    open(true);
    EXPECT_TRUE(widget("pushButton")->isHidden());
    EXPECT_FALSE(widget("softwareServerConnect")->isHidden());
    EXPECT_FALSE(widget("fileLoader")->isHidden());
}

TEST_F(WindowTest, PortListShowsOnlyGcusAndIsFilledByTheTimer)
{
    FakeUsbPort application("SN1", 0xEEF0);
    FakeUsbPort other("SN-OTHER", 0x1234);
    FakeUsbPort foreign("SN-FOREIGN", 0xEEF0, 0x1111);
    FakeUsbPort anonymous("", 0, std::nullopt);
    FakeUsbPort bootloader("SN2", 0xEEEF);
    open(true);
    EXPECT_EQ(combo()->count(), 0) << "filled in the constructor";
    ASSERT_TRUE(waitForEntries(2));
    EXPECT_EQ(combo()->itemText(0), "SN1 GCU");
    EXPECT_EQ(combo()->itemText(1), "SN2");
    EXPECT_EQ(combo()->itemData(0).toInt(), 0);
    EXPECT_EQ(combo()->itemData(1).toInt(), 1);
    EXPECT_EQ(countInLog("Port changed"), 1);

    // Unchanged ports keep the user's choice.
    combo()->setCurrentIndex(1);
    spinFor(350);
    EXPECT_EQ(combo()->currentIndex(), 1);
    EXPECT_EQ(countInLog("Port changed"), 1);

    // A port that goes away is a change.
    application.device().withdraw();
    ASSERT_TRUE(waitForEntries(1));
    EXPECT_EQ(combo()->itemText(0), "SN2");
    EXPECT_EQ(countInLog("Port changed"), 2);
}

TEST_F(WindowTest, RefreshListsAllPortsAndTheTimerFiltersThemAgain)
{
    FakeUsbPort other("SN-OTHER", 0x1234);
    FakeUsbPort gcu("SN3", 0xEEF0);
    open(true);
    ASSERT_TRUE(waitForEntries(1));
    const int changes = countInLog("Port changed");
    invoke("on_pushButton_clicked");
    ASSERT_EQ(combo()->count(), 1);
    EXPECT_GE(combo()->itemData(0).toInt(), 1) << "item data indexes the unfiltered list";
    ASSERT_TRUE(spinUntil([&] { return countInLog("Port changed") == changes + 1; }));
    EXPECT_EQ(combo()->itemData(0).toInt(), 0);
}

TEST_F(WindowTest, ConnectDisconnectAndConnectAgainWithOnePingTimer)
{
    FakeUsbPort gcu("SN-CONNECT", 0xEEF0);
    open(true);
    ASSERT_TRUE(waitForEntries(1));
    const int timersBefore = window->findChildren<QTimer*>().size();

    connectButton()->click();
    EXPECT_TRUE(logged("Connected"));
    EXPECT_EQ(connectButton()->text(), "Disconnect");
    EXPECT_FALSE(logged("Connecting to: localhost:7214"))
        << "offline-loader mode makes no server connection";
    const int timersConnected = window->findChildren<QTimer*>().size();
    EXPECT_EQ(timersConnected, timersBefore + 1);

    connectButton()->click();
    EXPECT_TRUE(logged("Disconnected"));
    EXPECT_EQ(connectButton()->text(), "Connect");

    connectButton()->click();
    EXPECT_EQ(countInLog("Connected"), 2);
    EXPECT_EQ(window->findChildren<QTimer*>().size(), timersConnected);
    // The link is really open: the far side sees the first ping a second later.
    auto frame = gcu.takeFrame(2500);
    ASSERT_TRUE(frame.has_value());
    Command command;
    ASSERT_TRUE(command.ParseFromString(*frame));
    EXPECT_TRUE(command.has_ping() || command.has_get_firmware_id());
}

TEST_F(WindowTest, DefaultModeConnectsToTheServerAfterConnecting)
{
    FakeUsbPort gcu("SN-SERVER", 0xEEF0);
    open(false);
    ASSERT_TRUE(waitForEntries(1));
    connectButton()->click();
    EXPECT_TRUE(logged("Connected"));
    EXPECT_TRUE(logged("Connecting to: localhost:7214"));
}

TEST_F(WindowTest, PortThatFailsToOpenReportsTheReason)
{
    auto gcu = std::make_unique<FakeUsbPort>("SN-BROKEN", 0xEEF0);
    open(true);
    ASSERT_TRUE(waitForEntries(1));
    // The device file stays while the terminal behind it is gone.
    gcu->far().close();
    connectButton()->click();
    const QStringList lines = log();
    const auto failure = std::find_if(lines.begin(), lines.end(), [](const QString& line) {
        return line.startsWith("Failed to connect ");
    });
    ASSERT_NE(failure, lines.end());
    EXPECT_GT(failure->size(), QString("Failed to connect ").size()) << "no error text";
    EXPECT_EQ(connectButton()->text(), "Connect");
}

TEST_F(WindowTest, PortWithoutPermissionNamesTheFix)
{
    FakeUsbPort gcu("SN-DENIED", 0xEEF0);
    open(true);
    ASSERT_TRUE(waitForEntries(1));
    // As an ordinary user, who may not open root's terminal.
    ASSERT_EQ(seteuid(65534), 0);
    connectButton()->click();
    ASSERT_EQ(seteuid(0), 0);
    const QStringList lines = log();
    const int failure = lines.indexOf(QRegularExpression("^Failed to connect .+"));
    ASSERT_GE(failure, 0) << lines.join('\n').toStdString();
    ASSERT_LT(failure + 1, lines.size());
    const QString advice = lines[failure + 1];
    EXPECT_TRUE(advice.contains("no permission")) << advice.toStdString();
    EXPECT_TRUE(advice.contains(gcu.systemLocation()));
    EXPECT_TRUE(advice.contains("70-orv-gcu.rules"));
    EXPECT_TRUE(advice.contains("dialout"));
}

TEST_F(WindowTest, ConnectWithoutAnyPortDoesNothing)
{
    open(true);
    connectButton()->click();
    EXPECT_EQ(log(), QStringList{""});
}

TEST_F(WindowTest, ClosingWhileConnectedDisconnects)
{
    FakeUsbPort gcu("SN-CLOSE", 0xEEF0);
    open(true);
    ASSERT_TRUE(waitForEntries(1));
    connectButton()->click();
    ASSERT_TRUE(logged("Connected"));
    window->close();
    EXPECT_TRUE(logged("Disconnected"));
    EXPECT_EQ(connectButton()->text(), "Connect");
}

TEST_F(WindowTest, ClosingWhileDisconnectedDoesNotConnect)
{
    FakeUsbPort gcu("SN-IDLE", 0xEEF0);
    open(true);
    ASSERT_TRUE(waitForEntries(1));
    window->close();
    EXPECT_FALSE(logged("Connected"));
    EXPECT_FALSE(logged("Disconnected"));
}

TEST(PortBySerialNumber, MatchesOnlyTheBootloaderWithTheExactSerial)
{
    FakeUsbPort application("SN-FIND", 0xEEF0);
    FakeUsbPort lowerCase("sn-find", 0xEEEF);
    FakeUsbPort first("SN-FIND", 0xEEEF);
    FakeUsbPort second("SN-FIND", 0xEEEF);
    QString serial = "SN-FIND";
    StdoutCapture log;
    const QSerialPortInfo found = getPortBySerialNumber(serial);
    EXPECT_EQ(found.systemLocation(), first.systemLocation());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Found proper port " +
                                                    first.systemLocation().toStdString()});

    QString missing = "SN-NONE";
    StdoutCapture missingLog;
    EXPECT_TRUE(getPortBySerialNumber(missing).isNull());
    EXPECT_EQ(missingLog.lines(), std::vector<std::string>{"Returning invalid port!"});
}

TEST(PortBySerialNumber, ReconnectWaitsForThePortToComeBack)
{
    FakeUsbPort gcu("SN-RETURN", 0xEEEF);
    ComPort comPort;
    ASSERT_TRUE(comPort.open(gcu.info()));
    gcu.device().withdraw();
    std::thread comesBack([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        gcu.device().publish();
    });
    StdoutCapture log;
    const bool reopened = comPort.reconnect();
    comesBack.join();
    EXPECT_TRUE(reopened);
    const std::string location = gcu.systemLocation().toStdString();
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{
                  "Getting port by serial number", "Returning invalid port!",
                  "Getting port by serial number", "Returning invalid port!",
                  "Getting port by serial number", "Found proper port " + location,
                  "Found serial port " + location, "Opening new port", "Starting worker thread",
                  "Creat new port instance", "save serial number",
                  "Trying to open port " + location, "Worker thread started"}));
}

TEST(PortBySerialNumber, WaitReturnsAtOnceWhenThePortIsThere)
{
    FakeUsbPort gcu("SN-HERE", 0xEEEF);
    ComPort comPort;
    ASSERT_TRUE(comPort.open(gcu.info()));
    StdoutCapture log;
    comPort.waitForPortAvaliable();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Getting port by serial number",
                                                     "Found proper port " +
                                                         gcu.systemLocation().toStdString()}));
}
