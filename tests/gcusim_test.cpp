#include "answerrouter.h"
#include "commandssender.h"
#include "comport.h"
#include "firmwareuploadprocedure.h"
#include "gcu.pb.h"
#include "gcusimprocess.h"
#include "testbus.h"

#include <QElapsedTimer>
#include <fstream>
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
