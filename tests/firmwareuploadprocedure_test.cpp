#include "commandssender.h"
#include "comport.h"
#include "firmware.pb.h"
#include "firmwareuploadprocedure.h"
#include "gcu.pb.h"
#include "testbus.h"

#include <QElapsedTimer>
#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <thread>

namespace {

using Progress = std::pair<int, int>;

class RecordingFeedback : public IProcedureFeedback
{
public:
    void updateProgress(int done, int total) override { progress.emplace_back(done, total); }
    void procedureDone() override { ++doneCalls; }

    std::vector<Progress> progress;
    int doneCalls = 0;
};

std::string writeFile(const std::string& bytes)
{
    char path[] = "/tmp/orv-firmware-XXXXXX";
    const int fd = mkstemp(path);
    ::close(fd);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path;
}

// A firmware file with commands "cmd0".."cmd<count-1>" and the given checkpoints.
std::string writeFirmware(int count, std::vector<int> checkpoints = {})
{
    FirmwareFile file;
    file.set_rsa_public_key("key-blob");
    file.set_aes_key("aes-key");
    for (int i = 0; i < count; ++i) {
        FirmwareCommand* command = file.add_commands();
        command->set_data("cmd" + std::to_string(i));
        command->set_checkpoint(std::find(checkpoints.begin(), checkpoints.end(), i) !=
                                checkpoints.end());
    }
    return writeFile(file.SerializeAsString());
}

// What a frame the procedure sent carries, in short form: "rsa:key-blob",
// "aes:aes-key", "cmd:cmd3", "reset".
std::string describe(const std::optional<std::string>& frame)
{
    if (!frame)
        return "nothing";
    Command command;
    if (!command.ParseFromString(*frame))
        return "garbage";
    switch (command.req_case()) {
    case Command::kRsaPublicKey:
        return "rsa:" + command.rsa_public_key().data();
    case Command::kAesKey:
        return "aes:" + command.aes_key().data();
    case Command::kCommandData:
        return command.command_data().data();
    case Command::kReset:
        return "reset";
    default:
        return "case " + std::to_string(command.req_case());
    }
}

class UploadTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(comPort.open(gcu.info())); }
    void TearDown() override
    {
        procedure.reset();
        for (const std::string& path : files)
            std::remove(path.c_str());
    }

    void create(const std::string& path)
    {
        files.push_back(path);
        procedure = std::make_unique<FirmwareUploadProcedure>(path, sender, feedback);
    }

    std::string next(int timeoutMs = 500) { return describe(gcu.takeFrame(timeoutMs)); }
    std::string answer(uint32_t result, int timeoutMs = 500)
    {
        procedure->commandRsult(static_cast<FirmwareCommandResult>(result));
        return next(timeoutMs);
    }

    FakeUsbPort gcu{"SN-UPLOAD"};
    ComPort comPort;
    CommandsSender sender{comPort};
    RecordingFeedback feedback;
    std::unique_ptr<FirmwareUploadProcedure> procedure;
    std::vector<std::string> files;
};

} // namespace

TEST_F(UploadTest, WholeUploadSendsKeysThenCommandsFromIndexOneThenReset)
{
    create(writeFirmware(10, {0, 4, 8}));
    ASSERT_TRUE(procedure->firmwareFileLoaded());
    procedure->start();
    EXPECT_EQ(next(), "rsa:key-blob");
    EXPECT_EQ(answer(0), "aes:aes-key");
    for (int i = 1; i < 10; ++i)
        EXPECT_EQ(answer(0), "cmd" + std::to_string(i));
    EXPECT_EQ(answer(0), "reset");
    EXPECT_EQ(next(200), "nothing");
    // The GCU answering someone else's update afterwards (a relayed one) does not
    // wake the finished upload: no second reset, no fall-back, no progress.
    for (uint32_t later : {0u, 1u, 0u, 3u})
        EXPECT_EQ(answer(later, 100), "nothing") << "answer " << later;

    const std::vector<Progress> expected = {{1, 13}, {3, 13}, {4, 13},  {5, 13},  {6, 13}, {7, 13},
                                            {8, 13}, {9, 13}, {10, 13}, {11, 13}, {13, 13}};
    EXPECT_EQ(feedback.progress, expected);
    EXPECT_EQ(feedback.doneCalls, 0);
}

TEST_F(UploadTest, ResumeRepeatsTheHandshakeAndGoesOnFromTheLastCheckpoint)
{
    create(writeFirmware(10, {0, 4, 8}));
    procedure->start();
    EXPECT_EQ(next(), "rsa:key-blob");
    EXPECT_EQ(answer(0), "aes:aes-key");
    for (int i = 1; i <= 6; ++i)
        EXPECT_EQ(answer(0), "cmd" + std::to_string(i));
    // The GCU went away while commands[6] was in flight.
    EXPECT_EQ(procedure->lastCheckpoint(), 4);
    procedure->startFrom(procedure->lastCheckpoint());
    EXPECT_EQ(next(), "rsa:key-blob");
    EXPECT_EQ(answer(0), "aes:aes-key");
    EXPECT_EQ(answer(0), "cmd4");
    EXPECT_EQ(answer(2), "cmd4") << "a failure falls back to the restart point";
    for (int i = 5; i < 10; ++i)
        EXPECT_EQ(answer(0), "cmd" + std::to_string(i));
    EXPECT_EQ(answer(0), "reset");
    EXPECT_EQ(feedback.progress.back(), (Progress{13, 13}));
}

TEST_F(UploadTest, EmptyCommandListEndsWithResetAndFourOfThree)
{
    FirmwareFile empty;
    create(writeFile(empty.SerializeAsString()));
    EXPECT_FALSE(procedure->firmwareFileLoaded());
    procedure->start();
    EXPECT_EQ(next(), "rsa:");
    EXPECT_EQ(answer(0), "aes:");
    EXPECT_EQ(answer(0), "reset");
    EXPECT_EQ(feedback.progress, (std::vector<Progress>{{1, 3}, {4, 3}}));
}

TEST_F(UploadTest, SingleCommandIsNeverSentInTheNormalCourse)
{
    create(writeFirmware(1));
    procedure->start();
    EXPECT_EQ(next(), "rsa:key-blob");
    EXPECT_EQ(answer(0), "aes:aes-key");
    EXPECT_EQ(answer(0), "reset");
    EXPECT_EQ(feedback.progress, (std::vector<Progress>{{1, 4}, {4, 4}}));
}

TEST_F(UploadTest, FailuresFallBackToTheLastCheckpointSent)
{
    create(writeFirmware(6, {3}));
    procedure->start();
    next();
    EXPECT_EQ(answer(0), "aes:aes-key");
    EXPECT_EQ(answer(0), "cmd1");
    // No checkpoint has been sent yet: the restart point is commands[0].
    EXPECT_EQ(answer(1), "cmd0");
    EXPECT_EQ(answer(0), "cmd1");
    EXPECT_EQ(answer(0), "cmd2");
    EXPECT_EQ(answer(0), "cmd3");
    // The checkpoint counts from the moment it is sent, also for its own failure.
    EXPECT_EQ(answer(3), "cmd3");
    EXPECT_EQ(answer(0), "cmd4");
    EXPECT_EQ(answer(2), "cmd3");
    EXPECT_EQ(answer(0), "cmd4");
    EXPECT_EQ(answer(0), "cmd5");
    EXPECT_EQ(answer(0), "reset");
    EXPECT_EQ(feedback.progress.back(), (Progress{9, 9}));
}

TEST_F(UploadTest, ResultsOfFourAndAboveChangeNothing)
{
    create(writeFirmware(4));
    procedure->start();
    next();
    answer(0);
    EXPECT_EQ(answer(0), "cmd1");
    const size_t reports = feedback.progress.size();
    EXPECT_EQ(answer(4, 300), "nothing");
    EXPECT_EQ(answer(0xFFFFFFFF, 300), "nothing");
    EXPECT_EQ(feedback.progress.size(), reports);
    EXPECT_EQ(answer(0), "cmd2");

    // Such an answer still counts for the watchdog: the cycle it ends would
    // otherwise have fallen back 750 ms after cmd2 went out.
    spinFor(400);
    procedure->commandRsult(static_cast<FirmwareCommandResult>(9));
    EXPECT_EQ(next(550), "nothing");
    EXPECT_EQ(next(1000), "cmd0");
}

TEST_F(UploadTest, MissingAnswerMakesTheWatchdogResendFromTheCheckpoint)
{
    create(writeFirmware(4));
    StdoutCapture log;
    procedure->start();
    next();
    answer(0);
    EXPECT_EQ(answer(0), "cmd1");
    QElapsedTimer waited;
    waited.start();
    EXPECT_EQ(next(2000), "cmd0");
    EXPECT_GE(waited.elapsed(), 600);
    EXPECT_LE(waited.elapsed(), 1700);
    procedure.reset();
    // The log is read only once the watchdog, which writes it too, has ended.
    for (const char* line : {"<starting TO handler", "<got mutex", "<timeout!",
                             "< fallback to checkpoint and retry", "<release", "<done!"})
        EXPECT_TRUE(log.contains(line)) << line;
}

TEST_F(UploadTest, AnswerRightAtTheTimeOutKeepsTheWireInTheProceduresOrder)
{
    create(writeFirmware(6, {0}));
    procedure->start();
    next();
    answer(0);
    EXPECT_EQ(answer(0), "cmd1");
    // This thread is busy past the watchdog's time-out and only then delivers the
    // answer to cmd1: the fall-back was decided first, the next command after.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    procedure->commandRsult(FirmwareCommandAccepted);
    std::vector<std::string> wire;
    for (std::string frame; (frame = next(400)) != "nothing";)
        wire.push_back(frame);
    const auto cmd2 = std::find(wire.begin(), wire.end(), "cmd2");
    ASSERT_NE(cmd2, wire.end());
    EXPECT_EQ(std::find(cmd2, wire.end(), "cmd0"), wire.end())
        << "the re-send went out after the next command: its answer would be taken for cmd2's";
}

TEST_F(UploadTest, AesKeyStepWaitsLongerBeforeFallingBack)
{
    create(writeFirmware(3));
    procedure->start();
    next();
    EXPECT_EQ(answer(0), "aes:aes-key");
    QElapsedTimer waited;
    waited.start();
    // Without the key a command could only fail: the key itself goes again.
    EXPECT_EQ(next(9000), "aes:aes-key");
    EXPECT_GE(waited.elapsed(), 7000);
    EXPECT_EQ(answer(0), "cmd1");
}

TEST_F(UploadTest, HandshakeStepsAreRepeatedUntilAnswered)
{
    create(writeFirmware(3, {0}));
    procedure->start();
    EXPECT_EQ(next(), "rsa:key-blob");
    // A lost or failed answer to the key blob repeats the key blob...
    EXPECT_EQ(next(1500), "rsa:key-blob");
    EXPECT_EQ(answer(2), "rsa:key-blob");
    EXPECT_EQ(answer(0), "aes:aes-key");
    // ...and one to the AES key repeats the AES key.
    EXPECT_EQ(answer(1), "aes:aes-key");
    EXPECT_EQ(answer(0), "cmd1");
    EXPECT_EQ(answer(3), "cmd0");
}

TEST_F(UploadTest, UnreadableFilesAreReportedAndRunEmpty)
{
    create("/nonexistent/firmware.enc");
    EXPECT_FALSE(procedure->firmwareFileLoaded());
    EXPECT_EQ(procedure->firmwareFileProblem(), "cannot be opened");
    procedure->start();
    EXPECT_EQ(next(), "rsa:");

    create(writeFile(std::string("\xff\xff\xff", 3)));
    EXPECT_EQ(procedure->firmwareFileProblem(), "is not a firmware file");

    create(writeFile(""));
    EXPECT_EQ(procedure->firmwareFileProblem(), "holds no firmware commands");
}

TEST_F(UploadTest, DestructionEndsPromptlyInEveryState)
{
    std::mt19937 random(1234);
    for (int round = 0; round < 12; ++round) {
        create(writeFirmware(8, {2, 5}));
        procedure->start();
        // Answers come from a thread of their own, as a tool without a GUI might
        // deliver them, while the watchdog falls back on the ones left out.
        std::atomic<bool> stop{false};
        FirmwareUploadProcedure* target = procedure.get();
        std::thread answers([&, seed = random()] {
            std::mt19937 local(seed);
            while (!stop) {
                const uint32_t result = local() % 6;
                if (local() % 3 != 0)
                    target->commandRsult(static_cast<FirmwareCommandResult>(result));
                std::this_thread::sleep_for(std::chrono::milliseconds(local() % 40));
            }
        });
        spinFor(static_cast<int>(random() % 900));
        stop = true;
        answers.join();
        QElapsedTimer destroying;
        destroying.start();
        procedure.reset();
        EXPECT_LT(destroying.elapsed(), 250) << "round " << round;
        gcu.drain(10);
    }
}

TEST_F(UploadTest, DestructionDuringTheLongAesWaitDoesNotWaitItOut)
{
    create(writeFirmware(3));
    procedure->start();
    next();
    answer(0);
    QElapsedTimer destroying;
    destroying.start();
    procedure.reset();
    EXPECT_LT(destroying.elapsed(), 250);
}
