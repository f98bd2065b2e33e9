// Whole updates under every fault the simulators can inject. Each run must end
// in bounded time in one of two ways: the image flashed byte for byte, or a clear
// message; never a crash, a hung window, or an image that differs silently.
#include "answerrouter.h"
#include "commandssender.h"
#include "comport.h"
#include "dhuploadprocedure.h"
#include "filedialoguser.h"
#include "gcu.pb.h"
#include "gcusimprocess.h"
#include "testbus.h"
#include "uploaderapp.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <gtest/gtest.h>

namespace {

enum class Scenario
{
    WindowUpload,
    RelayUpdate,
    SecureUpload
};

struct Fault
{
    const char* name;
    std::vector<std::string> simulator;
    std::vector<std::string> server;
    // Faults the update must ride out; the others may end in a clear message.
    bool mustFlash;
};

const std::vector<Fault> faults = {
    {"Drop10Percent", {"--drop", "0.1", "--seed", "11"}, {}, true},
    {"Fail5Percent", {"--fail", "0.05", "--seed", "12"}, {}, true},
    {"Delay200ms", {"--delay", "200"}, {}, true},
    {"GarbageFrames", {"--garbage", "0.1", "--seed", "13"}, {}, true},
    {"OversizeHeader", {"--oversize", "0.05", "--seed", "14"}, {}, true},
    {"UnpluggedAndBack", {"--vanish-after", "8", "--return-after", "500"}, {}, false},
    {"UnpluggedForGood", {"--vanish-after", "8"}, {}, false},
};

const std::vector<Fault> serverFaults = {
    {"ServerGarbageAndUnknown", {}, {"--misbehave", "garbage,unknown,empty"}, true},
    {"ServerDropsConnection", {}, {"--drop-after", "5"}, false},
};

struct Case
{
    Scenario scenario;
    Fault fault;
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.fault.name;
}

std::string caseName(const ::testing::TestParamInfo<Case>& info)
{
    const char* scenario = info.param.scenario == Scenario::WindowUpload  ? "Window"
                           : info.param.scenario == Scenario::RelayUpdate ? "Relay"
                                                                          : "Secure";
    return std::string(scenario) + "_" + info.param.fault.name;
}

std::vector<Case> allCases()
{
    std::vector<Case> cases;
    for (Scenario scenario :
         {Scenario::WindowUpload, Scenario::RelayUpdate, Scenario::SecureUpload})
        for (const Fault& fault : faults)
            cases.push_back({scenario, fault});
    for (const Fault& fault : serverFaults)
        cases.push_back({Scenario::RelayUpdate, fault});
    return cases;
}

class FaultMatrix : public ::testing::TestWithParam<Case>
{
protected:
    void SetUp() override { QSettings("Orvane", "Uploader").clear(); }
    void TearDown() override { QSettings("Orvane", "Uploader").clear(); }

    std::vector<std::string> simulatorArguments(bool bootloader) const
    {
        std::vector<std::string> arguments = {"--flash-out", flashOut, "--reset-delay", "300"};
        if (bootloader)
            arguments.push_back("--bootloader");
        const auto& extra = GetParam().fault.simulator;
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }

    bool flashed() const { return readWholeFile(flashOut).size() == image.size(); }

    // The outcome once the run has ended one way or the other.
    void expectOutcome(bool ended, bool clearMessage, const std::string& logs)
    {
        ASSERT_TRUE(ended) << "neither flashed nor a clear message in time\n" << logs;
        if (flashed())
            EXPECT_TRUE(readWholeFile(flashOut) == image) << "the flashed image differs";
        else
            EXPECT_FALSE(GetParam().fault.mustFlash) << "gave up on a fault it must ride out\n"
                                                     << logs;
        EXPECT_TRUE(flashed() || clearMessage);
    }

    const std::string image = randomImage(16 * 1024, 21);
    const std::string flashOut = temporaryPath("flash.bin");
};

QStringList logPane(UploaderApp& window)
{
    return window.findChild<QPlainTextEdit*>("plainTextEdit_2")->toPlainText().split('\n');
}

bool anyLine(const QStringList& lines, const QStringList& starts)
{
    for (const QString& line : lines)
        for (const QString& start : starts)
            if (line.startsWith(start))
                return true;
    return false;
}

} // namespace

TEST_P(FaultMatrix, EndsFlashedOrWithAClearMessage)
{
    const Scenario scenario = GetParam().scenario;
    const std::string firmware =
        scenario == Scenario::SecureUpload
            ? packFirmware(image, {"--plain", "--chunk", "2048", "--checkpoint-every", "3"})
            : packFirmware(image, {"--chunk", "2048", "--checkpoint-every", "3"});
    GcuSimProcess gcu("SIM-MATRIX", simulatorArguments(scenario != Scenario::RelayUpdate));
    const uint16_t product = scenario == Scenario::RelayUpdate ? 0xEEF0 : 0xEEEF;
    ASSERT_FALSE(gcu.waitForPort(product).isNull()) << gcu.log();

    if (scenario == Scenario::SecureUpload) {
        ComPort comPort;
        CommandsSender sender(comPort);
        class : public IProcedureFeedback
        {
        public:
            void updateProgress(int, int) override {}
            void procedureDone() override {}
        } feedback;
        DhUploadProcedure procedure(firmware, TestKeys::get().signerPem, TestKeys::get().keychain,
                                    sender, feedback);
        bool lost = false;
        QObject::connect(&comPort, &ComPort::portLost, [&] { lost = true; });
        routeAnswers(comPort, procedure, &procedure);
        ASSERT_TRUE(comPort.open(gcu.waitForPort(product)));
        procedure.start();
        const bool ended = spinUntil([&] { return flashed() || lost; }, 40000);
        expectOutcome(ended, lost, gcu.log());
        return;
    }

    QSettings settings("Orvane", "Uploader");
    std::unique_ptr<ToolProcess> server;
    if (scenario == Scenario::RelayUpdate) {
        quint16 port = 0;
        std::vector<std::string> arguments = {"--version", "1.0.0=" + firmware, "--give-up-after",
                                              "60000"};
        const auto& extra = GetParam().fault.server;
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        server = startUpdateServer(arguments, &port);
        settings.setValue("ui/offlineLoader", false);
        settings.setValue("network/host", "127.0.0.1");
        settings.setValue("network/port", port);
    } else {
        settings.setValue("ui/offlineLoader", true);
    }

    UploaderApp window;
    ASSERT_TRUE(
        spinUntil([&] { return window.findChild<QComboBox*>("gcuSerialNumber")->count() > 0; }));
    window.findChild<QPushButton*>("pushButton_2")->click();
    FileDialogUser user(QString::fromStdString(firmware));
    if (scenario == Scenario::WindowUpload) {
        window.findChild<QPushButton*>("pushButton_5")->click();
    } else {
        auto* versions = window.findChild<QComboBox*>("softwareServerVersions");
        ASSERT_TRUE(spinUntil([&] { return versions->count() == 1; }, 15000)) << server->log();
        window.findChild<QPushButton*>("softwareServerUpload")->click();
    }
    // The relayed update resets the GCU into its bootloader on purpose: that first
    // loss of the GCU is part of the plan, not an end. The window's own upload
    // is the engine's: it ends in a line that says why, after waiting up to a
    // minute for a GCU that went away.
    const int plannedLosses = scenario == Scenario::RelayUpdate ? 1 : 0;
    auto clearMessage = [&] {
        const QStringList lines = logPane(window);
        return anyLine(lines, {"Server connection failed: ", "The GCU did not come back within",
                               "No progress for 30 s"}) ||
               lines.filter(QRegularExpression("^Lost the GCU: ")).size() > plannedLosses;
    };
    bool ended = spinUntil([&] { return flashed() || clearMessage(); }, 90000);
    // A server that has sent everything closes the connection: the GCU may still
    // be busy with the last packets.
    ended = ended && (spinUntil([&] { return flashed(); }, 3000) || clearMessage());
    expectOutcome(ended, clearMessage(), gcu.log() + (server ? server->log() : std::string()));
}

INSTANTIATE_TEST_SUITE_P(EveryFault, FaultMatrix, ::testing::ValuesIn(allCases()), caseName);
