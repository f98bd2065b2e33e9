#include "answerrouter.h"
#include "bootloadersession.h"
#include "commandssender.h"
#include "comport.h"
#include "dhuploadprocedure.h"
#include "firmware.pb.h"
#include "gcu.pb.h"
#include "gcusimprocess.h"
#include "rsakey.h"
#include "testbus.h"

#include <QElapsedTimer>
#include <fstream>
#include <gtest/gtest.h>
#include <mbedtls/bignum.h>
#include <mbedtls/dhm.h>
#include <random>

namespace {

class Feedback : public IProcedureFeedback
{
public:
    void updateProgress(int done, int total) override { progress.emplace_back(done, total); }
    void procedureDone() override {}
    std::vector<std::pair<int, int>> progress;
};

std::string writeFirmware(const std::vector<std::string>& payloads,
                          std::vector<int> checkpoints = {})
{
    FirmwareFile file;
    for (size_t i = 0; i < payloads.size(); ++i) {
        FirmwareCommand* command = file.add_commands();
        command->set_data(payloads[i]);
        command->set_checkpoint(std::count(checkpoints.begin(), checkpoints.end(), int(i)) > 0);
    }
    const std::string path = temporaryPath("secure.enc");
    std::ofstream(path, std::ios::binary) << file.SerializeAsString();
    return path;
}

std::string bigEndian(const mbedtls_mpi& value)
{
    std::string bytes(mbedtls_mpi_size(&value), '\0');
    mbedtls_mpi_write_binary(&value, reinterpret_cast<unsigned char*>(bytes.data()), bytes.size());
    return bytes;
}

std::string group14Prime()
{
    static const unsigned char prime[] = MBEDTLS_DHM_RFC3526_MODP_2048_P_BIN;
    return std::string(reinterpret_cast<const char*>(prime), sizeof prime);
}

// The secure upload against a GCU played by the test itself, with the simulator's
// own bootloader logic.
class SecureUploadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        deviceKey = RsaKey::fromPrivateFile(TestKeys::get().devicePem, &error);
        ASSERT_TRUE(deviceKey) << error;
        session = std::make_unique<BootloaderSession>(*deviceKey);
        ASSERT_TRUE(comPort.open(gcu.info()));
    }
    void TearDown() override { procedure.reset(); }

    void create(const std::string& firmware)
    {
        procedure = std::make_unique<DhUploadProcedure>(firmware, TestKeys::get().signerPem,
                                                        TestKeys::get().keychain, sender, feedback);
    }

    std::optional<Command> next(int timeoutMs = 1000)
    {
        auto frame = gcu.takeFrame(timeoutMs);
        if (!frame)
            return std::nullopt;
        Command command;
        if (!command.ParseFromString(*frame))
            return std::nullopt;
        return command;
    }

    // Takes the introduction and the key exchange as the GCU would, and returns
    // the GCU's answer to the key exchange.
    std::string introduceAndExchange()
    {
        procedure->start();
        auto introduction = next();
        EXPECT_TRUE(introduction && introduction->has_rsa_public_key());
        EXPECT_EQ(session->introduce(introduction->rsa_public_key().data()).result, 0u);
        procedure->commandRsult(FirmwareCommandAccepted);
        auto exchange = next();
        EXPECT_TRUE(exchange && exchange->has_key_exchange());
        std::string note;
        auto answer = session->exchangeKeys(exchange ? exchange->key_exchange().data() : "", &note);
        EXPECT_TRUE(answer) << note;
        return answer ? answer->key_exchange().SerializeAsString() : std::string();
    }

    // The payload a command frame carries, decrypted by the GCU side.
    std::string decrypted(const Command& command)
    {
        std::string note;
        auto plain = session->openCommand(command.command_data().data(), &note);
        EXPECT_TRUE(plain) << note;
        return plain.value_or("");
    }

    static AesEncryptedData encryptedPart(const Command& command)
    {
        SignedData signedData;
        signedData.ParseFromString(command.command_data().data());
        AesEncryptedData encrypted;
        encrypted.ParseFromString(signedData.data());
        return encrypted;
    }

    FakeUsbPort gcu{"SN-SECURE", 0xEEEF};
    ComPort comPort;
    CommandsSender sender{comPort};
    Feedback feedback;
    std::unique_ptr<RsaKey> deviceKey;
    std::unique_ptr<BootloaderSession> session;
    std::unique_ptr<DhUploadProcedure> procedure;
};

} // namespace

TEST_F(SecureUploadTest, ParametersAreServerDhParamsOfGroup14)
{
    create(writeFirmware({"a", "b"}));
    const std::string params = procedure->diffieHellmanParameters();
    auto field = [&, at = size_t(0)]() mutable {
        const size_t length = size_t(uint8_t(params[at])) << 8 | uint8_t(params[at + 1]);
        const std::string value = params.substr(at + 2, length);
        at += 2 + length;
        EXPECT_EQ(value.size(), length) << "truncated";
        return value;
    };
    const std::string p = field(), g = field(), gx = field();
    EXPECT_EQ(p, group14Prime());
    EXPECT_EQ(g, std::string("\x02", 1));
    EXPECT_GE(gx.size(), 250u);
    EXPECT_LE(gx.size(), 256u);
    EXPECT_LT(gx, p);
    EXPECT_EQ(2 + p.size() + 2 + g.size() + 2 + gx.size(), params.size());

    DhUploadProcedure other(writeFirmware({"a"}), TestKeys::get().signerPem,
                            TestKeys::get().keychain, sender, feedback);
    EXPECT_NE(other.diffieHellmanParameters(), params) << "two procedures, one key pair";
}

TEST_F(SecureUploadTest, CommandsAreEncryptedWithFreshIvsAndFiller)
{
    const std::string seventeen(17, 's'), thirtyTwo(32, 't');
    create(writeFirmware({"first", "", seventeen, thirtyTwo}, {3}));
    procedure->keyExchangeResult(FirmwareCommandAccepted, introduceAndExchange());

    auto empty = next();
    ASSERT_TRUE(empty && empty->has_command_data());
    EXPECT_EQ(encryptedPart(*empty).iv().size(), 16u);
    EXPECT_EQ(encryptedPart(*empty).data().size(), 0u);
    EXPECT_EQ(decrypted(*empty), "");

    procedure->commandRsult(FirmwareCommandAccepted);
    auto seventeenBytes = next();
    ASSERT_TRUE(seventeenBytes);
    EXPECT_EQ(encryptedPart(*seventeenBytes).data().size(), 32u);
    EXPECT_EQ(decrypted(*seventeenBytes).substr(0, 17), seventeen);

    procedure->commandRsult(FirmwareCommandAccepted);
    auto first = next();
    ASSERT_TRUE(first);
    EXPECT_EQ(encryptedPart(*first).data().size(), 32u);
    EXPECT_EQ(decrypted(*first), thirtyTwo);

    // A failure of the checkpoint command sends it again, encrypted afresh.
    procedure->commandRsult(FirmwareCommandCorrupted);
    auto again = next();
    ASSERT_TRUE(again);
    EXPECT_NE(encryptedPart(*again).iv(), encryptedPart(*first).iv());
    EXPECT_NE(encryptedPart(*again).data(), encryptedPart(*first).data());
    EXPECT_EQ(decrypted(*again), thirtyTwo);

    procedure->commandRsult(FirmwareCommandAccepted);
    auto reset = next();
    ASSERT_TRUE(reset && reset->has_reset());
    EXPECT_EQ(feedback.progress.back(), (std::pair<int, int>{7, 7}));
}

TEST_F(SecureUploadTest, HandshakeStepsAreRepeatedOnFailuresAndTimeouts)
{
    create(writeFirmware({"a", "b", "c"}));
    procedure->start();
    auto introduction = next();
    ASSERT_TRUE(introduction && introduction->has_rsa_public_key());

    procedure->commandRsult(FirmwareCommandRejected);
    auto repeated = next();
    ASSERT_TRUE(repeated && repeated->has_rsa_public_key()) << "failure before any key";
    auto afterTimeout = next(1500);
    ASSERT_TRUE(afterTimeout && afterTimeout->has_rsa_public_key()) << "time-out before any key";

    procedure->commandRsult(FirmwareCommandAccepted);
    auto exchange = next();
    ASSERT_TRUE(exchange && exchange->has_key_exchange());
    procedure->commandRsult(FirmwareCommandWriteFailed);
    auto exchangeAgain = next();
    ASSERT_TRUE(exchangeAgain && exchangeAgain->has_key_exchange());
    SignedData firstParams, secondParams;
    firstParams.ParseFromString(exchange->key_exchange().data());
    secondParams.ParseFromString(exchangeAgain->key_exchange().data());
    EXPECT_NE(firstParams.data(), secondParams.data()) << "a key pair reused for a new exchange";
    EXPECT_EQ(secondParams.data(), procedure->diffieHellmanParameters());

    // Success before the GCU's public value: nothing to send yet, and the long
    // key-exchange wait is not cut short.
    procedure->commandRsult(FirmwareCommandAccepted);
    EXPECT_FALSE(next(1500).has_value());
}

TEST_F(SecureUploadTest, PublicValuesOutsideTheGroupGiveNoSessionKey)
{
    create(writeFirmware({"a", "payload"}));
    const std::string good = introduceAndExchange();
    mbedtls_mpi p, value;
    mbedtls_mpi_init(&p);
    mbedtls_mpi_init(&value);
    const std::string prime = group14Prime();
    mbedtls_mpi_read_binary(&p, reinterpret_cast<const unsigned char*>(prime.data()), prime.size());
    mbedtls_mpi_sub_int(&value, &p, 1);
    const std::string pMinusOne = bigEndian(value);
    mbedtls_mpi_free(&p);
    mbedtls_mpi_free(&value);

    for (const std::string& bad : {std::string(1, '\0'), std::string(1, '\1'), pMinusOne, prime,
                                   std::string(300, '\xff'), std::string()}) {
        SignedData answer;
        answer.set_data(bad);
        procedure->keyExchangeResult(FirmwareCommandAccepted, answer.SerializeAsString());
        EXPECT_FALSE(next(150).has_value()) << "a command went out under a bad key";
    }
    procedure->keyExchangeResult(FirmwareCommandAccepted, "not a SignedData \xff\xff");
    EXPECT_FALSE(next(150).has_value());

    procedure->keyExchangeResult(FirmwareCommandAccepted, good);
    auto command = next();
    ASSERT_TRUE(command && command->has_command_data());
    EXPECT_EQ(decrypted(*command).substr(0, 7), "payload");
}

TEST_F(SecureUploadTest, SingleCommandFileResetsRightAfterTheKeyExchange)
{
    create(writeFirmware({"only"}));
    procedure->keyExchangeResult(FirmwareCommandRejected, introduceAndExchange());
    auto reset = next();
    ASSERT_TRUE(reset && reset->has_reset());
    EXPECT_EQ(feedback.progress, (std::vector<std::pair<int, int>>{{1, 4}, {4, 4}}));
}

TEST_F(SecureUploadTest, UnusableKeysFailConstructionClearly)
{
    const std::string firmware = writeFirmware({"a"});
    try {
        DhUploadProcedure missing(firmware, "/nonexistent/signer.pem", TestKeys::get().keychain,
                                  sender, feedback);
        ADD_FAILURE() << "constructed without a signing key";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("/nonexistent/signer.pem"), std::string::npos);
    }
    // A keychain that lacks the signer's key: the device's keychain file is not one.
    const std::string foreign = temporaryPath("foreign.keychain");
    ASSERT_EQ(runTool("gcu-keytool", {"keychain", foreign, TestKeys::get().devicePem}), 0);
    EXPECT_THROW(DhUploadProcedure(firmware, TestKeys::get().signerPem, foreign, sender, feedback),
                 std::runtime_error);
    EXPECT_THROW(DhUploadProcedure(firmware, TestKeys::get().signerPem, firmware, sender, feedback),
                 std::runtime_error);

    // An entry filed under the signer's selector that holds another key: the GCU
    // would be introduced to a key that cannot check any signature.
    const auto signer = RsaKey::fromPrivateFile(TestKeys::get().signerPem, nullptr);
    Keychain misfiled;
    misfiled.add_keys()->set_key_id(signer->selector());
    misfiled.mutable_keys(0)->set_key(deviceKey->publicPem());
    const std::string misfiledPath = temporaryPath("misfiled.keychain");
    std::ofstream(misfiledPath, std::ios::binary) << misfiled.SerializeAsString();
    try {
        DhUploadProcedure refused(firmware, TestKeys::get().signerPem, misfiledPath, sender,
                                  feedback);
        ADD_FAILURE() << "constructed with a misfiled keychain";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(misfiledPath), std::string::npos) << error.what();
    }
}

TEST_F(SecureUploadTest, NothingUnsignedGoesOutWhenSigningFails)
{
    // A 384-bit key parses, but a SHA-256 signature does not fit into it.
    std::string error;
    const auto tiny = RsaKey::generate(384, &error);
    ASSERT_TRUE(tiny) << error;
    const std::string signerPath = temporaryPath("tiny-signer.pem");
    std::ofstream(signerPath, std::ios::binary) << tiny->privatePem();
    Keychain keychain;
    keychain.add_keys()->set_key_id(tiny->selector());
    keychain.mutable_keys(0)->set_key(tiny->publicPem());
    const std::string keychainPath = temporaryPath("tiny.keychain");
    std::ofstream(keychainPath, std::ios::binary) << keychain.SerializeAsString();

    StdoutCapture log;
    procedure = std::make_unique<DhUploadProcedure>(writeFirmware({"a", "b"}), signerPath,
                                                    keychainPath, sender, feedback);
    procedure->start();
    auto introduction = next();
    ASSERT_TRUE(introduction && introduction->has_rsa_public_key());
    procedure->commandRsult(FirmwareCommandAccepted);
    EXPECT_EQ(next(300), std::nullopt) << "an unsigned key exchange went out";
    // The watchdog logs too: it is stopped before its lines are read.
    procedure.reset();
    EXPECT_TRUE(log.contains("> Signing failed, nothing sent"));
}

TEST(SecureUploadEndToEnd, FlashesThePlainImageExactlyThroughTheSimulator)
{
    const std::string image = randomImage(64 * 1024, 9);
    const std::string firmware =
        packFirmware(image, {"--plain", "--chunk", "4096", "--checkpoint-every", "4"});
    const std::string flashOut = temporaryPath("flash.bin");
    GcuSimProcess gcu("SIM-SECURE", {"--bootloader", "--flash-out", flashOut, "--fail", "0.05",
                                     "--seed", "3", "--reset-delay", "200"});
    const QSerialPortInfo port = gcu.waitForPort(0xEEEF);
    ASSERT_FALSE(port.isNull()) << gcu.log();

    ComPort comPort;
    CommandsSender sender(comPort);
    Feedback feedback;
    DhUploadProcedure procedure(firmware, TestKeys::get().signerPem, TestKeys::get().keychain,
                                sender, feedback);
    // The owner hands result answers and the key-exchange answer to the procedure.
    routeAnswers(comPort, procedure, &procedure);
    ASSERT_TRUE(comPort.open(port));
    procedure.start();
    ASSERT_TRUE(spinUntil([&] { return readWholeFile(flashOut).size() == image.size(); }, 60000))
        << gcu.log();
    EXPECT_TRUE(readWholeFile(flashOut) == image);
    EXPECT_EQ(feedback.progress.back().first, feedback.progress.back().second);
}
