#include "answerrouter.h"
#include "commandssender.h"
#include "comport.h"
#include "firmwareuploadprocedure.h"
#include "gcu.pb.h"
#include "gcusimprocess.h"
#include "testbus.h"

#include <QElapsedTimer>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <random>

namespace {

constexpr uint16_t applicationProduct = 0xEEF0;
constexpr uint16_t bootloaderProduct = 0xEEEF;

class CountingFeedback : public IProcedureFeedback
{
public:
    void updateProgress(int done, int total) override
    {
        lastDone = done;
        lastTotal = total;
    }
    void procedureDone() override {}
    int lastDone = 0;
    int lastTotal = 0;
};

// Drives a plain upload as the program does: every result answer from the GCU
// goes to the procedure.
class SimulatedUpload
{
public:
    SimulatedUpload(const QSerialPortInfo& port, const std::string& firmware)
    {
        opened = comPort.open(port);
        procedure = std::make_unique<FirmwareUploadProcedure>(firmware, sender, feedback);
        routeAnswers(comPort, *procedure);
    }

    bool finishes(int timeoutMs)
    {
        procedure->start();
        return spinUntil(
            [this] { return feedback.lastTotal > 0 && feedback.lastDone == feedback.lastTotal; },
            timeoutMs);
    }

    ComPort comPort;
    CommandsSender sender{comPort};
    CountingFeedback feedback;
    std::unique_ptr<FirmwareUploadProcedure> procedure;
    bool opened = false;
};

bool waitForFile(const std::string& path, size_t size, int timeoutMs)
{
    return spinUntil([&] { return readWholeFile(path).size() == size; }, timeoutMs);
}

} // namespace

TEST(GcuSimulator, PlainUploadFlashesThePackedImageExactly)
{
    const std::string image = randomImage(256 * 1024, 1);
    const std::string firmware =
        packFirmware(image, {"--chunk", "4096", "--checkpoint-every", "8"});
    const std::string flashOut = temporaryPath("flash.bin");
    GcuSimProcess gcu("SIM-UPLOAD",
                      {"--bootloader", "--flash-out", flashOut, "--reset-delay", "200"});
    const QSerialPortInfo port = gcu.waitForPort(bootloaderProduct);
    ASSERT_FALSE(port.isNull()) << gcu.log();

    SimulatedUpload upload(port, firmware);
    ASSERT_TRUE(upload.opened);
    ASSERT_TRUE(upload.procedure->firmwareFileLoaded());
    ASSERT_TRUE(upload.finishes(30000)) << gcu.log();
    EXPECT_EQ(upload.feedback.lastTotal, 65 + 3);
    ASSERT_TRUE(waitForFile(flashOut, image.size(), 5000)) << gcu.log();
    EXPECT_TRUE(readWholeFile(flashOut) == image) << "flashed image differs";
    // After the reset the GCU comes back in application mode.
    EXPECT_FALSE(gcu.waitForPort(applicationProduct).isNull());
    std::remove(flashOut.c_str());
    std::remove(firmware.c_str());
}

TEST(GcuSimulator, UploadSurvivesDroppedAndRejectedAnswers)
{
    const std::string image = randomImage(256 * 1024, 2);
    const std::string firmware =
        packFirmware(image, {"--chunk", "4096", "--checkpoint-every", "4"});
    const std::string flashOut = temporaryPath("flash.bin");
    GcuSimProcess gcu("SIM-FAULTS", {"--bootloader", "--flash-out", flashOut, "--drop", "0.1",
                                     "--fail", "0.05", "--seed", "7", "--reset-delay", "200"});
    const QSerialPortInfo port = gcu.waitForPort(bootloaderProduct);
    ASSERT_FALSE(port.isNull()) << gcu.log();

    SimulatedUpload upload(port, firmware);
    ASSERT_TRUE(upload.finishes(120000)) << gcu.log();
    ASSERT_TRUE(waitForFile(flashOut, image.size(), 5000)) << gcu.log();
    EXPECT_TRUE(readWholeFile(flashOut) == image) << "flashed image differs";
    const std::string log = gcu.log();
    EXPECT_NE(log.find("fault: dropping"), std::string::npos);
    EXPECT_NE(log.find("fault: rejecting"), std::string::npos);
    std::remove(flashOut.c_str());
    std::remove(firmware.c_str());
}

TEST(GcuSimulator, ResetToBootloaderLeavesTheBusAndReturnsAsBootloader)
{
    GcuSimProcess gcu("SIM-RESET", {"--reset-delay", "300"});
    const QSerialPortInfo application = gcu.waitForPort(applicationProduct);
    ASSERT_FALSE(application.isNull()) << gcu.log();

    ComPort comPort;
    CommandsSender sender(comPort);
    ASSERT_TRUE(comPort.open(application));
    sender.sendResetToBootloader();
    EXPECT_TRUE(gcu.waitUntilGone(3000)) << gcu.log();
    const QSerialPortInfo bootloader = gcu.waitForPort(bootloaderProduct);
    ASSERT_FALSE(bootloader.isNull()) << gcu.log();
    EXPECT_EQ(bootloader.serialNumber(), "SIM-RESET");
    EXPECT_EQ(bootloader.vendorIdentifier(), 0x04D8);
}

TEST(GcuSimulator, AnswersPingFirmwareIdAndPublicKey)
{
    GcuSimProcess gcu("SIM-ANSWERS", {"--version", "test-1.2.3b-5"});
    const QSerialPortInfo port = gcu.waitForPort(applicationProduct);
    ASSERT_FALSE(port.isNull()) << gcu.log();
    ComPort comPort;
    CommandsSender sender(comPort);
    std::vector<Response> answers;
    QObject::connect(&comPort, &ComPort::commandRead, [&](std::string payload) {
        Response response;
        ASSERT_TRUE(response.ParseFromString(payload));
        answers.push_back(response);
    });
    ASSERT_TRUE(comPort.open(port));
    sender.sendPing(41);
    sender.sendGetFirmwareId();
    sender.sendModuleKeyPublicKeyRequest();
    ASSERT_TRUE(spinUntil([&] { return answers.size() == 3; })) << gcu.log();
    EXPECT_EQ(answers[0].pong().sequenceno(), 41u);
    EXPECT_EQ(answers[1].firmware_id().version_word(), 0x0102u);
    EXPECT_EQ(answers[1].firmware_id().revision_word(), 0x0300u);
    EXPECT_EQ(answers[1].firmware_id().flags_word(), 0x3005u);
    EXPECT_EQ(answers[2].public_key().SerializeAsString(),
              readWholeFile(TestKeys::get().deviceOrvkc));
}

// A paced link can only be slower than its wire: every exchange takes at least
// the time its bytes need on it. (How close a client gets is a benchmark figure.)
TEST(GcuSimulator, PacedLinksTakeAtLeastTheTimeTheirBytesNeed)
{
    constexpr double usbPacketSeconds = 0.001 / 19;
    auto packets = [](size_t bytes) { return static_cast<double>((bytes + 63) / 64); };
    struct Case
    {
        std::vector<std::string> link;
        size_t payloadBytes;
        int exchanges;
        // The least time one exchange of these many bytes out and in can take.
        std::function<double(size_t out, size_t in)> leastSeconds;
    };
    const std::vector<Case> cases = {
        {{"--baud", "9600"},
         200,
         2,
         [](size_t out, size_t in) { return (out + in) * 10 / 9600.0; }},
        {{"--usb-full-speed"},
         4000,
         5,
         [&](size_t out, size_t in) { return (packets(out) + packets(in)) * usbPacketSeconds; }},
        // Small frames: the answer waits for the frame after the command's.
        {{"--usb-full-speed"}, 1, 10, [](size_t, size_t) { return 0.001; }},
    };
    int run = 0;
    for (const Case& paced : cases) {
        SCOPED_TRACE(paced.link[0]);
        GcuSimProcess gcu("SIM-PACED" + std::to_string(run++), paced.link);
        const QSerialPortInfo port = gcu.waitForPort(applicationProduct);
        ASSERT_FALSE(port.isNull()) << gcu.log();
        ComPort comPort;
        CommandsSender sender(comPort);
        size_t answerBytes = 0;
        int answers = 0;
        QObject::connect(&comPort, &ComPort::commandRead, [&](std::string payload) {
            answerBytes = FrameCodec::headerSize + payload.size();
            ++answers;
        });
        ASSERT_TRUE(comPort.open(port));
        const std::string data(paced.payloadBytes, 'd');
        Command command;
        command.set_headervalue(1);
        command.mutable_command_data()->set_data(data);
        const size_t commandBytes = FrameCodec::headerSize + command.ByteSizeLong();

        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < paced.exchanges; ++i) {
            sender.sendCommand(data);
            ASSERT_TRUE(spinUntil([&] { return answers == i + 1; }, 10000)) << gcu.log();
        }
        const double seconds = clock.nsecsElapsed() / 1e9;
        EXPECT_GE(seconds, paced.exchanges * paced.leastSeconds(commandBytes, answerBytes));
    }
}
