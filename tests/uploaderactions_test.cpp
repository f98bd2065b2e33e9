#include "filedialoguser.h"
#include "gcu.pb.h"
#include "gcusimprocess.h"
#include "knowndevices.h"
#include "logpane.h"
#include "testbus.h"
#include "uploaderapp.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <fstream>
#include <gtest/gtest.h>
#include <random>

namespace {

class ActionsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QSettings settings("Orvane", "Uploader");
        settings.clear();
        settings.setValue("ui/offlineLoader", true);
    }
    void TearDown() override
    {
        window.reset();
        QSettings("Orvane", "Uploader").clear();
    }

    template <typename T = QWidget> T* widget(const char* name) const
    {
        return window->findChild<T*>(name);
    }
    void click(const char* button) { widget<QPushButton>(button)->click(); }
    QStringList log() const
    {
        LogPane::flushAll();
        return widget<QPlainTextEdit>("plainTextEdit_2")->toPlainText().split('\n');
    }
    bool waitForLog(const QString& line, int timeoutMs = 5000) const
    {
        return spinUntil([&] { return log().contains(line); }, timeoutMs);
    }
    int count(const QString& line) const { return log().count(line); }

    // Opens the window and connects it to the first GCU listed.
    void connectWindow()
    {
        window = std::make_unique<UploaderApp>();
        ASSERT_TRUE(spinUntil([&] { return widget<QComboBox>("gcuSerialNumber")->count() > 0; }));
        click("pushButton_2");
        ASSERT_TRUE(log().contains("Connected"));
    }

    std::unique_ptr<UploaderApp> window;
};

std::string responseWith(const std::function<void(Response&)>& fill)
{
    Response response;
    fill(response);
    return response.SerializeAsString();
}

std::string firmwareIdFrame(uint32_t version, uint32_t revision, uint32_t flags)
{
    return responseWith([&](Response& r) {
        r.mutable_firmware_id()->set_version_word(version);
        r.mutable_firmware_id()->set_revision_word(revision);
        r.mutable_firmware_id()->set_flags_word(flags);
    });
}

} // namespace

TEST_F(ActionsTest, EveryFrameIsLoggedAndResultsAreShown)
{
    FakeUsbPort gcu("SN-FRAMES");
    connectWindow();
    gcu.writeFrame(std::string("\x18\x07\x00\x00\x00", 5));
    ASSERT_TRUE(waitForLog("Receiced 5 bytes from GCU"));
    gcu.writeFrame(responseWith([](Response& r) { r.set_result(7); }));
    EXPECT_TRUE(waitForLog("Received command response 7"));
    gcu.writeFrame(responseWith([](Response& r) { r.set_result(0xFFFFFFFF); }));
    EXPECT_TRUE(waitForLog("Received command response -1"));
    gcu.writeFrame(std::string("\xff", 1));
    EXPECT_TRUE(waitForLog("Receiced 1 bytes from GCU"));
}

TEST_F(ActionsTest, FirmwareIdentityBecomesTheVersionText)
{
    FakeUsbPort gcu("SN-VERSION");
    connectWindow();
    auto* version = widget<QLineEdit>("currentFIrmwareVersion");
    const std::vector<std::tuple<uint32_t, uint32_t, uint32_t, const char*>> cases = {
        {0x0102, 0x0300, 0x0000, "1.2.3"},
        {0x0102, 0x0300, 0x3005, "test-1.2.3b-5"},
        {0x0102, 0x0300, 0x1000, "1.2.3b"},
        {0x0102, 0x0300, 0x0fff, "1.2.3-4095"},
        {0xFFFF0102, 0xFFFF03FF, 0xFFFFC000, "1.2.3"},
        {0xFFFF, 0xFF00, 0x2000, "test-255.255.255"},
    };
    for (const auto& [versionWord, revisionWord, flagsWord, text] : cases) {
        version->clear();
        gcu.writeFrame(firmwareIdFrame(versionWord, revisionWord, flagsWord));
        EXPECT_TRUE(spinUntil([&] { return version->text() == text; })) << text;
    }
}

TEST_F(ActionsTest, FirstTickOfEachConnectionPingsAndAsksForTheFirmwareIdentityOnce)
{
    FakeUsbPort gcu("SN-PING");
    connectWindow();
    std::vector<Command> sent;
    for (int i = 0; i < 3; ++i) {
        auto frame = gcu.takeFrame(2500);
        ASSERT_TRUE(frame.has_value()) << "frame " << i;
        ASSERT_TRUE(sent.emplace_back().ParseFromString(*frame));
    }
    EXPECT_EQ(sent[0].ping().sequenceno(), 1u);
    EXPECT_TRUE(sent[1].has_get_firmware_id());
    EXPECT_EQ(sent[2].ping().sequenceno(), 2u);
    EXPECT_TRUE(log().contains("sending ping 1"));
    EXPECT_TRUE(log().contains("sending ping 2"));

    gcu.writeFrame(responseWith([](Response& r) { r.mutable_pong()->set_sequenceno(2); }));
    ASSERT_TRUE(spinUntil([&] {
        return log().filter(QRegularExpression("^ReceivedPong 2 after \\d+ ms$")).size() == 1;
    }));

    // After Disconnect and Connect the GCU may run other firmware: asked again.
    click("pushButton_2");
    click("pushButton_2");
    ASSERT_EQ(count("Connected"), 2);
    gcu.drain(50);
    int identityRequests = 0;
    for (int i = 0; i < 3; ++i) {
        auto frame = gcu.takeFrame(2500);
        ASSERT_TRUE(frame.has_value()) << "frame " << i;
        Command command;
        ASSERT_TRUE(command.ParseFromString(*frame));
        identityRequests += command.has_get_firmware_id();
    }
    EXPECT_EQ(identityRequests, 1);
}

TEST_F(ActionsTest, ProgressFollowsEveryReport)
{
    window = std::make_unique<UploaderApp>();
    auto* bar = widget<QProgressBar>("progressBar");
    QMetaObject::invokeMethod(window.get(), "updateProgress", Q_ARG(int, 1), Q_ARG(int, 13));
    EXPECT_EQ(bar->maximum(), 13);
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->value(), 1);
    QMetaObject::invokeMethod(window.get(), "updateProgress", Q_ARG(int, 4), Q_ARG(int, 3));
    EXPECT_EQ(bar->maximum(), 3);
}

TEST_F(ActionsTest, UploadFileFlashesTheImageThroughTheWindow)
{
    const std::string image = randomImage(48 * 1024, 5);
    const std::string firmware = packFirmware(image, {"--chunk", "2048", "--version", "2.4.6b"});
    const std::string flashOut = temporaryPath("flash.bin");
    GcuSimProcess gcu("SIM-WINDOW",
                      {"--bootloader", "--flash-out", flashOut, "--reset-delay", "200"});
    ASSERT_FALSE(gcu.waitForPort(0xEEEF).isNull()) << gcu.log();
    connectWindow();

    FileDialogUser user(QString::fromStdString(firmware));
    click("pushButton_5");
    EXPECT_EQ(user.titles, QStringList{"Open firmware file"});
    EXPECT_EQ(user.filters, QStringList{"Enc Files (*.enc)"});
    EXPECT_EQ(widget<QLineEdit>("lineEdit")->text(), QString::fromStdString(firmware));
    auto* bar = widget<QProgressBar>("progressBar");
    ASSERT_TRUE(spinUntil([&] { return bar->maximum() == 28 && bar->value() == 28; }, 30000))
        << gcu.log();
    ASSERT_TRUE(spinUntil([&] { return readWholeFile(flashOut).size() == image.size(); }))
        << gcu.log();
    EXPECT_TRUE(readWholeFile(flashOut) == image);
    // The GCU's last reset is the upload's end, not a loss: the window follows
    // it to its new firmware, says so and has its link again.
    const QRegularExpression updated("^Updated: .* -> 2\\.4\\.6b$");
    ASSERT_TRUE(spinUntil([&] { return !log().filter(updated).isEmpty(); }, 30000))
        << log().join('\n').toStdString();
    EXPECT_TRUE(log().filter(QRegularExpression("^Lost the GCU")).isEmpty());
    EXPECT_GT(log().lastIndexOf("Connected"), log().indexOf(updated));
    EXPECT_TRUE(spinUntil(
        [&] { return widget<QStatusBar>("statusBar")->currentMessage().startsWith("Updated: "); }));
}

TEST_F(ActionsTest, UploadOnAGcuInApplicationModeResetsItIntoItsBootloaderFirst)
{
    const std::string image = randomImage(16 * 1024, 6);
    const std::string firmware = packFirmware(image, {"--chunk", "2048", "--version", "2.5.0"});
    const std::string flashOut = temporaryPath("flash.bin");
    GcuSimProcess gcu("SIM-APP",
                      {"--version", "2.4.0", "--flash-out", flashOut, "--reset-delay", "200"});
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();
    connectWindow();
    FileDialogUser user(QString::fromStdString(firmware));
    click("pushButton_5");
    ASSERT_TRUE(waitForLog("Updated: 2.4.0 -> 2.5.0", 60000)) << log().join('\n').toStdString();
    EXPECT_TRUE(readWholeFile(flashOut) == image);
    // Nothing of the upload went to the application: every answer to a step came
    // from the bootloader.
    const QStringList lines = log();
    const int reset = lines.indexOf("Resetting the GCU into its bootloader");
    const int inBootloader = lines.indexOf(QRegularExpression("In the bootloader on .*"));
    ASSERT_GE(reset, 0);
    ASSERT_GT(inBootloader, reset);
    EXPECT_GT(lines.indexOf(QRegularExpression("Received command response .*")), inBootloader);
}

TEST_F(ActionsTest, AGcuUnpluggedMidUploadIsResumedFromTheLastCheckpoint)
{
    const std::string image = randomImage(24 * 1024, 8);
    const std::string firmware =
        packFirmware(image, {"--chunk", "1024", "--checkpoint-every", "3", "--version", "2.6.0"});
    const std::string flashOut = temporaryPath("flash.bin");
    GcuSimProcess gcu("SIM-UNPLUG", {"--bootloader", "--flash-out", flashOut, "--reset-delay",
                                     "200", "--vanish-after", "8", "--return-after", "500"});
    ASSERT_FALSE(gcu.waitForPort(0xEEEF).isNull()) << gcu.log();
    connectWindow();
    FileDialogUser user(QString::fromStdString(firmware));
    click("pushButton_5");
    ASSERT_TRUE(
        spinUntil([&] { return !log().filter(QRegularExpression("^Updated: ")).isEmpty(); }, 60000))
        << log().join('\n').toStdString() << gcu.log();
    EXPECT_TRUE(readWholeFile(flashOut) == image);
    const QStringList lines = log();
    const int away = lines.indexOf(
        QRegularExpression("^The GCU went away at command [0-9]+ of [0-9]+; waiting for it$"));
    ASSERT_GE(away, 0) << lines.join('\n').toStdString();
    EXPECT_GT(lines.indexOf(QRegularExpression("^The GCU is back: going on from command [0-9]+$")),
              away);
}

TEST_F(ActionsTest, UnreadableFirmwareFileIsRefusedAndNothingIsSent)
{
    FakeUsbPort gcu("SN-BADFILE");
    connectWindow();
    const std::string garbage = temporaryPath("garbage.enc");
    std::ofstream(garbage, std::ios::binary) << std::string("\xff\xff\xff\xff", 4);
    FileDialogUser user(QString::fromStdString(garbage));
    click("pushButton_5");
    EXPECT_TRUE(log().contains(QString("Cannot upload %1: the file is not a firmware file")
                                   .arg(QString::fromStdString(garbage))));
    EXPECT_EQ(gcu.drain(300), "") << "something was sent for a bad file";
}

TEST_F(ActionsTest, CancelledDialogsDoNothing)
{
    FakeUsbPort gcu("SN-CANCEL");
    connectWindow();
    FileDialogUser user("");
    click("pushButton_5");
    EXPECT_EQ(user.dialogs, 1);
    EXPECT_EQ(widget<QLineEdit>("lineEdit")->text(), "");
    EXPECT_EQ(gcu.drain(300), "");
}

TEST_F(ActionsTest, BootloaderResetsTheGcuAndReconnectsToIt)
{
    GcuSimProcess gcu("SIM-BOOT", {"--reset-delay", "400"});
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();
    connectWindow();
    click("pushButton_3");
    ASSERT_TRUE(waitForLog("Disconnected"));
    ASSERT_TRUE(spinUntil([&] { return count("Connected") == 2; }, 8000)) << gcu.log();
    EXPECT_EQ(widget<QPushButton>("pushButton_2")->text(), "Disconnect");
    EXPECT_TRUE(log().filter(QRegularExpression("^Connecting to:")).isEmpty());
}

TEST_F(ActionsTest, BootloaderFromTheBootloaderWaitsForTheOldPortToLeave)
{
    GcuSimProcess gcu("SIM-REBOOT", {"--bootloader", "--reset-delay", "400"});
    const QString before = gcu.waitForPort(0xEEEF).systemLocation();
    ASSERT_FALSE(before.isEmpty()) << gcu.log();
    connectWindow();
    click("pushButton_3");
    ASSERT_TRUE(spinUntil([&] { return count("Connected") == 2; }, 8000)) << gcu.log();
    // The link is on the GCU that came back, not on the port that was going away.
    const QStringList opened = log().filter(QRegularExpression("^ReceivedPong"));
    EXPECT_TRUE(spinUntil(
        [&] { return log().filter(QRegularExpression("^ReceivedPong")).size() > opened.size(); },
        3000))
        << gcu.log();
    EXPECT_TRUE(log().filter(QRegularExpression("^Lost the GCU")).isEmpty());
}

TEST_F(ActionsTest, BootloaderOnAGcuThatNeverLeavesReopensItsPort)
{
    FakeUsbPort gcu("SN-STAYS", 0xEEEF);
    connectWindow();
    QElapsedTimer waited;
    waited.start();
    click("pushButton_3");
    ASSERT_TRUE(spinUntil([&] { return count("Connected") == 2; }, 8000));
    EXPECT_GE(waited.elapsed(), 2900) << "it did not give the GCU its time to leave";
    EXPECT_EQ(widget<QPushButton>("pushButton_2")->text(), "Disconnect");
    gcu.drain(100);
    EXPECT_TRUE(gcu.takeFrame(2500).has_value()) << "the re-opened link sends nothing";
}

TEST_F(ActionsTest, BootloaderWhileDisconnectedDoesNothing)
{
    FakeUsbPort gcu("SN-NOBOOT");
    window = std::make_unique<UploaderApp>();
    click("pushButton_3");
    spinFor(100);
    EXPECT_FALSE(log().contains("Disconnected"));
    EXPECT_EQ(gcu.drain(100), "");
}

TEST_F(ActionsTest, ClosingDuringAResetWaitEndsPromptly)
{
    GcuSimProcess gcu("SIM-GONE", {"--reset-delay", "60000"});
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();
    connectWindow();
    click("pushButton_3");
    ASSERT_TRUE(waitForLog("Disconnected"));
    QElapsedTimer closing;
    closing.start();
    window.reset();
    EXPECT_LT(closing.elapsed(), 1000);
}

TEST_F(ActionsTest, ReadKeySavesTheDeviceKeychain)
{
    GcuSimProcess gcu("SIM-KEY");
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();
    connectWindow();
    const std::string saved = temporaryPath("device.orvkc");
    FileDialogUser user(QString::fromStdString(saved));
    click("readPublicKey");
    click("readPublicKey");
    ASSERT_TRUE(spinUntil([&] { return !readWholeFile(saved).empty(); })) << gcu.log();
    spinFor(300);
    EXPECT_EQ(user.dialogs, 1) << "the second answer found no request";
    EXPECT_EQ(user.titles, QStringList{"Save device keychain"});
    EXPECT_EQ(user.filters, QStringList{"Enc Files (*.orvkc)"});
    ModulePublicKey key;
    ASSERT_TRUE(key.ParseFromString(readWholeFile(saved)));
    EXPECT_EQ(readWholeFile(saved), readWholeFile(TestKeys::get().deviceOrvkc));
}

TEST_F(ActionsTest, AKeyThatDiffersFromItsPinIsSavedOnlyOnceTheUserAgrees)
{
    GcuSimProcess gcu("SIM-REKEYED");
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();
    KnownDevices known;
    QString problem;
    ASSERT_TRUE(known.pin("SIM-REKEYED", "an older key", &problem)) << problem.toStdString();
    const QString oldPrint = KnownDevices::fingerprint("an older key");
    connectWindow();
    const std::string saved = temporaryPath("rekeyed.orvkc");
    FileDialogUser user(QString::fromStdString(saved));
    // Answers the question about the key as the user would, from inside the
    // question's own event loop.
    QMessageBox::StandardButton reply = QMessageBox::No;
    int questions = 0;
    QTimer answering;
    QObject::connect(&answering, &QTimer::timeout, [&] {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(top); box && box->isVisible()) {
                ++questions;
                box->button(reply)->click();
            }
    });
    answering.start(20);

    click("readPublicKey");
    ASSERT_TRUE(waitForLog("The key pinned for SIM-REKEYED stays; nothing was saved"));
    const QStringList warnings = log().filter("presents the key");
    ASSERT_EQ(warnings.size(), 1);
    EXPECT_TRUE(warnings[0].contains(oldPrint)) << warnings[0].toStdString();
    EXPECT_EQ(user.dialogs, 0);
    EXPECT_EQ(known.pinnedKey("SIM-REKEYED"), std::optional<std::string>("an older key"));

    reply = QMessageBox::Yes;
    click("readPublicKey");
    ASSERT_TRUE(spinUntil([&] { return !readWholeFile(saved).empty(); })) << gcu.log();
    EXPECT_EQ(questions, 2);
    EXPECT_EQ(readWholeFile(saved), readWholeFile(TestKeys::get().deviceOrvkc));
    ModulePublicKey key;
    ASSERT_TRUE(key.ParseFromString(readWholeFile(saved)));
    EXPECT_EQ(known.pinnedKey("SIM-REKEYED"), key.key());
}

TEST_F(ActionsTest, FramesArrivingWhileTheSaveDialogIsOpenAreNotLost)
{
    FakeUsbPort gcu("SN-DIALOG");
    connectWindow();
    const std::string saved = temporaryPath("dialog.orvkc");
    FileDialogUser user(QString::fromStdString(saved));
    user.onOpen = [&] {
        for (uint32_t code : {11u, 12u, 13u})
            gcu.writeFrame(responseWith([&](Response& r) { r.set_result(code); }));
        spinFor(200);
    };
    click("readPublicKey");
    gcu.writeFrame(responseWith([](Response& r) { r.mutable_public_key()->set_key("pem"); }));
    ASSERT_TRUE(spinUntil([&] { return user.dialogs == 1; }));
    for (const char* line : {"Received command response 11", "Received command response 12",
                             "Received command response 13"})
        EXPECT_TRUE(waitForLog(line)) << line;
    ModulePublicKey key;
    ASSERT_TRUE(
        spinUntil([&] { return key.ParseFromString(readWholeFile(saved)) && key.key() == "pem"; }));
}

TEST_F(ActionsTest, PublicKeyWithoutRequestIsIgnored)
{
    FakeUsbPort gcu("SN-UNASKED");
    connectWindow();
    FileDialogUser user("/tmp/never-written.orvkc");
    gcu.writeFrame(responseWith([](Response& r) { r.mutable_public_key()->set_key("pem"); }));
    ASSERT_TRUE(waitForLog("Receiced 7 bytes from GCU"));
    spinFor(200);
    EXPECT_EQ(user.dialogs, 0);
}

TEST_F(ActionsTest, StatusBarStallLineAndSavedLogSayWhatTheWindowIsDoing)
{
    FakeUsbPort gcu("SN-STATUS", 0xEEEF);
    window = std::make_unique<UploaderApp>();
    auto* status = widget<QStatusBar>("statusBar");
    const auto statusSays = [&](const QString& text) {
        return spinUntil([&] { return status->currentMessage() == text; });
    };
    EXPECT_TRUE(statusSays("Disconnected")) << status->currentMessage().toStdString();
    ASSERT_TRUE(spinUntil([&] { return widget<QComboBox>("gcuSerialNumber")->count() > 0; }));
    click("pushButton_2");
    const QString connected = "Connected to SN-STATUS on " + gcu.info().portName();
    EXPECT_TRUE(statusSays(connected)) << status->currentMessage().toStdString();
    gcu.writeFrame(firmwareIdFrame(0x00020304, 0, 0));
    ASSERT_TRUE(
        spinUntil([&] { return !widget<QLineEdit>("currentFIrmwareVersion")->text().isEmpty(); }));
    EXPECT_TRUE(statusSays(connected + " · firmware " +
                           widget<QLineEdit>("currentFIrmwareVersion")->text()));

    // Two steps accepted, then every step refused: the upload gets nowhere and
    // says so once, naming the step, the answers and where it starts over.
    const std::string firmware =
        packFirmware(randomImage(8 * 2048, 7), {"--chunk", "2048", "--checkpoint-every", "4"});
    {
        FileDialogUser opener(QString::fromStdString(firmware));
        click("pushButton_5");
    }
    const std::string accepted = responseWith([](Response& r) { r.set_result(0); });
    const std::string refused = responseWith([](Response& r) { r.set_result(1); });
    // Pings and version requests are left unanswered; upload steps get `answer`.
    const auto answerUploadStep = [&](const std::string& answer, int timeoutMs) {
        const std::optional<std::string> frame = gcu.takeFrame(timeoutMs);
        Command command;
        if (!frame || !command.ParseFromString(*frame) ||
            !(command.has_rsa_public_key() || command.has_aes_key() || command.has_command_data()))
            return false;
        gcu.writeFrame(answer);
        return true;
    };
    for (int accepted_steps = 0; accepted_steps < 2;)
        accepted_steps += answerUploadStep(accepted, 2000);
    EXPECT_TRUE(spinUntil([&] {
        return QRegularExpression(
                   "^Uploading: [0-9]+ % · [0-9.]+ commands/s · ([0-9]+:[0-9]{2}|--:--) "
                   "left$")
            .match(status->currentMessage())
            .hasMatch();
    })) << status->currentMessage().toStdString();
    const QRegularExpression stallLine(
        "^No progress for 15 s at step [0-9]+ of [0-9]+ \\(command [0-9]+\\): the GCU answered 1 "
        "\\(key or "
        "command refused\\) [0-9]+ times; still retrying from command [0-9]+, the last "
        "checkpoint$");
    // Answered at a GCU's pace, so that the pane still holds the whole session,
    // until the stall has been told and a while has passed without its telling again.
    const int told = spinUntilSteady(
        [&] { return static_cast<int>(log().filter(stallLine).size()); }, 2500, 40000,
        [&] {
            if (answerUploadStep(refused, 100))
                spinFor(50);
        });
    EXPECT_EQ(told, 1) << log().join('\n').toStdString();

    // The saved log holds the pane and the frames, newest last.
    const std::string saved = temporaryPath("saved.log");
    FileDialogUser saver(QString::fromStdString(saved));
    widget<QAction>("saveLog")->trigger();
    const QStringList lines = QString::fromStdString(readWholeFile(saved)).split('\n');
    ASSERT_TRUE(lines.contains("Connected")) << readWholeFile(saved);
    const QRegularExpression traceLine("^[0-9T:.-]+Z (to|from)-(gcu|server) ([0-9]+) ([a-z_]+)((?: "
                                       "[0-9a-f]{2})*)$");
    QStringList kinds;
    QString lastAnswer;
    for (const QString& line : lines)
        if (const auto match = traceLine.match(line); match.hasMatch()) {
            kinds << match.captured(1) + " " + match.captured(4);
            if (match.captured(1) == "from")
                lastAnswer = match.captured(5);
        }
    EXPECT_TRUE(kinds.contains("to rsa_public_key")) << kinds.join(", ").toStdString();
    EXPECT_TRUE(kinds.contains("to aes_key"));
    EXPECT_TRUE(kinds.contains("to command_data"));
    EXPECT_TRUE(kinds.contains("from firmware_id"));
    EXPECT_TRUE(kinds.contains("from result"));
    EXPECT_EQ(lastAnswer.remove(' ').toStdString(),
              QByteArray::fromStdString(refused).toHex().toStdString());

    // A reset into the bootloader waits for the GCU; closing the link says so.
    click("pushButton_3");
    EXPECT_TRUE(statusSays("Waiting for the GCU to come back"))
        << status->currentMessage().toStdString();
    window.reset();
}
