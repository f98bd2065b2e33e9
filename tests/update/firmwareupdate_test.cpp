// The update engine in this process, against simulated GCUs on the test's
// virtual bus: the same sessions, waits and verdicts that gcutool and the
// window drive.
#include "devicefinder.h"
#include "firmwarefilecheck.h"
#include "firmwareupdate.h"
#include "gcusimprocess.h"
#include "testbus.h"
#include "updatebatch.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {

// What one update said, heard on this thread as a front end hears it.
struct Heard
{
    QStringList gone;
    QStringList back;
    int retries = 0;
    QList<FirmwareUpdate::Stage> stages;
    int progressWithRate = 0;
    bool ended = false;
    UpdateOutcome outcome;
};

class EngineTest : public ::testing::Test
{
protected:
    FirmwareUpdate::Options options(const std::string& firmware) const
    {
        FirmwareUpdate::Options chosen;
        chosen.firmwareFile = QString::fromStdString(firmware);
        chosen.resetTimeoutS = 10;
        return chosen;
    }

    // Updates the GCU on `port` through a batch of one, to its end.
    Heard update(const QSerialPortInfo& port, const FirmwareUpdate::Options& chosen)
    {
        const FirmwareFileCheck file = FirmwareFileCheck::read(chosen.firmwareFile);
        EXPECT_TRUE(file.usable()) << file.whyNot().toStdString();
        UpdateBatch batch({chosen, "flash", nullptr}, file);
        Heard heard;
        QObject::connect(&batch, &UpdateBatch::started, [&](FirmwareUpdate* running) {
            QObject::connect(running, &FirmwareUpdate::gone, &batch,
                             [&](const QString& line) { heard.gone << line; });
            QObject::connect(running, &FirmwareUpdate::back, &batch,
                             [&](const QString& line) { heard.back << line; });
            QObject::connect(running, &FirmwareUpdate::retried, &batch, [&] { ++heard.retries; });
            QObject::connect(running, &FirmwareUpdate::stageChanged, &batch,
                             [&](FirmwareUpdate::Stage stage) { heard.stages << stage; });
            QObject::connect(running, &FirmwareUpdate::progressed, &batch,
                             [&](const UpdateProgress& progress) {
                                 heard.progressWithRate += progress.bytesPerSecond > 0;
                             });
        });
        QObject::connect(&batch, &UpdateBatch::finished,
                         [&](const QString&, const QString&, const UpdateOutcome& outcome) {
                             heard.outcome = outcome;
                             heard.ended = true;
                         });
        EXPECT_TRUE(batch.add(port, DeviceFinder::attached(), true));
        EXPECT_TRUE(spinUntil([&] { return heard.ended; }, 120000));
        return heard;
    }

    const std::string image = randomImage(16 * 1024, 41);
    const std::string flashOut = temporaryPath("flash.bin");
};

} // namespace

TEST_F(EngineTest, AGcuUnpluggedMidUploadIsWaitedForAndResumedFromItsCheckpoint)
{
    const std::string firmware =
        packFirmware(image, {"--chunk", "1024", "--checkpoint-every", "3", "--version", "3.1.0"});
    GcuSimProcess gcu("SIM-RESUME", {"--bootloader", "--flash-out", flashOut, "--reset-delay",
                                     "200", "--vanish-after", "8", "--return-after", "500"});
    const Heard heard = update(gcu.waitForPort(0xEEEF), options(firmware));
    ASSERT_EQ(heard.outcome.code, ExitCode::Done)
        << heard.outcome.message.toStdString() << gcu.log();
    EXPECT_EQ(heard.outcome.resumes, 1);
    EXPECT_EQ(heard.outcome.newVersion, "3.1.0");
    EXPECT_EQ(heard.outcome.bytes,
              FirmwareFileCheck::read(QString::fromStdString(firmware)).dataBytes());
    EXPECT_TRUE(readWholeFile(flashOut) == image);
    ASSERT_EQ(heard.gone.size(), 1);
    ASSERT_EQ(heard.back.size(), 1);
    // While the GCU was away the update said so, and came back to upload again.
    const int away = heard.stages.indexOf(FirmwareUpdate::Stage::Away);
    ASSERT_GE(away, 0);
    EXPECT_GT(heard.stages.indexOf(FirmwareUpdate::Stage::Resumed, away), away);
    EXPECT_EQ(heard.stages.last(), FirmwareUpdate::Stage::Ended);
}

TEST_F(EngineTest, AGcuBackInItsBootloaderDidNotTakeItsNewFirmware)
{
    const std::string firmware = packFirmware(image, {"--chunk", "2048"});
    GcuSimProcess gcu("SIM-STAYS", {"--bootloader", "--stay-in-bootloader", "--flash-out", flashOut,
                                    "--reset-delay", "200"});
    FirmwareUpdate::Options chosen = options(firmware);
    chosen.resetTimeoutS = 3;
    const Heard heard = update(gcu.waitForPort(0xEEEF), chosen);
    EXPECT_TRUE(readWholeFile(flashOut) == image);
    EXPECT_EQ(heard.outcome.code, ExitCode::Lost);
    EXPECT_EQ(heard.outcome.name(), "lost");
    EXPECT_TRUE(heard.outcome.uploaded);
    EXPECT_TRUE(heard.outcome.backInBootloader);
    EXPECT_TRUE(heard.outcome.newVersion.isEmpty());
    EXPECT_TRUE(heard.outcome.message.contains("did not start its new firmware"))
        << heard.outcome.message.toStdString();
}

TEST_F(EngineTest, AGcuThatRefusesEveryCommandIsNotFloodedWithReSends)
{
    const std::string firmware = packFirmware(image, {"--chunk", "2048"});
    GcuSimProcess gcu("SIM-REFUSES", {"--bootloader", "--fail", "1"});
    FirmwareUpdate::Options chosen = options(firmware);
    chosen.stallTimeoutS = 5;
    const Heard heard = update(gcu.waitForPort(0xEEEF), chosen);
    // Refusals alone end as refused; a damaged record among them as stalled.
    EXPECT_TRUE(heard.outcome.code == ExitCode::Refused || heard.outcome.code == ExitCode::Stalled)
        << heard.outcome.message.toStdString();
    EXPECT_TRUE(heard.outcome.message.startsWith("No progress for 5 s"))
        << heard.outcome.message.toStdString();
    // Three at once, then 50 ms doubling up to a second: about a dozen in 5 s,
    // where an answer a re-send would be thousands.
    EXPECT_GE(heard.retries, 4);
    EXPECT_LE(heard.retries, 30);
    EXPECT_EQ(heard.outcome.retries, heard.retries);
}

TEST_F(EngineTest, BatchTurnsAwayGcusThatShareASerialNumberBeforeSendingAnything)
{
    GcuSimProcess first("SIM-TWIN", {"--bootloader"});
    GcuSimProcess second("SIM-TWIN", {"--bootloader"});
    ASSERT_FALSE(first.waitForPort(0xEEEF).isNull()) << first.log();
    ASSERT_TRUE(spinUntil([] { return DeviceFinder::attached().size() == 2; }, 10000));
    const std::string firmware = packFirmware(image, {"--chunk", "2048"});
    FirmwareUpdate::Options chosen = options(firmware);
    UpdateBatch batch({chosen, "flash", nullptr}, FirmwareFileCheck::read(chosen.firmwareFile));
    QStringList refusals;
    int started = 0;
    QObject::connect(&batch, &UpdateBatch::refused,
                     [&](const QSerialPortInfo&, const QString& why) { refusals << why; });
    QObject::connect(&batch, &UpdateBatch::started, [&] { ++started; });
    const QList<QSerialPortInfo> attached = DeviceFinder::attached();
    for (const QSerialPortInfo& port : attached)
        EXPECT_FALSE(batch.add(port, attached, true));
    EXPECT_EQ(started, 0);
    EXPECT_EQ(batch.running(), 0);
    ASSERT_EQ(refusals.size(), 2);
    EXPECT_TRUE(refusals[0].contains("shares its serial number SIM-TWIN"))
        << refusals[0].toStdString();
}
