// What gcutool's outcome promises: a GCU that was not updated never reads as
// done, and a GCU that only repeats the pinned key is not taken for the GCU.
#include "gcusimprocess.h"
#include "gcutoolrun.h"
#include "knowndevices.h"
#include "rsakey.h"
#include "testbus.h"
#include "virtualusbdevice.h"

#include <QJsonArray>
#include <QLockFile>
#include <QSerialPortInfo>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

namespace {

std::string firmwareOf(size_t size, unsigned seed, const std::string& version,
                       std::vector<std::string> options = {})
{
    options.insert(options.end(),
                   {"--chunk", "2048", "--checkpoint-every", "4", "--version", version});
    return packFirmware(randomImage(size, seed), options);
}

// The outcome of each GCU in a run's closing `results`: exit code and message.
std::map<QString, std::pair<int, QString>> resultsOf(const ToolRun& run)
{
    std::map<QString, std::pair<int, QString>> outcomes;
    const std::vector<QJsonObject> events = run.events();
    if (events.empty())
        return outcomes;
    for (const QJsonValue& value : events.back()["results"].toArray()) {
        const QJsonObject result = value.toObject();
        outcomes[result["serial"].toString()] = {result["exit_code"].toInt(),
                                                 result["message"].toString()};
    }
    return outcomes;
}

int portsWithSerial(const QString& serial)
{
    int count = 0;
    for (const QSerialPortInfo& port : QSerialPortInfo::availablePorts())
        count += port.serialNumber() == serial;
    return count;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

// The frames to the GCU in a trace, by message kind, in order.
std::vector<std::string> framesToGcu(const std::string& trace)
{
    std::vector<std::string> kinds;
    for (const std::string& line : linesOf(trace)) {
        std::istringstream fields(line);
        std::string time, direction, length, kind;
        fields >> time >> direction >> length >> kind;
        if (direction == "to-gcu")
            kinds.push_back(kind);
    }
    return kinds;
}

bool heardFrom(const GcuSimProcess& gcu)
{
    const std::string log = gcu.log();
    return log.find("introduced") != std::string::npos ||
           log.find("leaving the bus") != std::string::npos;
}

} // namespace

TEST(GcuToolOutcomes, AGcuNotUpdatedNeverReadsAsDone)
{
    const std::string firmware = firmwareOf(12 * 1024, 41, "6.0.0");
    {
        // Among --all: one updated, one whose port cannot be opened, one that comes
        // back in its bootloader after the upload.
        const std::string goodOut = temporaryPath("flash.bin");
        GcuSimProcess good("SIM-GOOD", {"--flash-out", goodOut, "--reset-delay", "200"});
        GcuSimProcess stuck("SIM-STUCK",
                            {"--bootloader", "--stay-in-bootloader", "--reset-delay", "200"});
        VirtualUsbDevice dead(TestBus::directory(), {"ttyACM77", temporaryPath("no-such-tty"),
                                                     0x04D8, 0xEEF0, "SIM-DEAD"});
        ASSERT_TRUE(dead.publish());
        ASSERT_FALSE(good.waitForPort(0xEEF0).isNull()) << good.log();
        ASSERT_FALSE(stuck.waitForPort(0xEEEF).isNull()) << stuck.log();

        const ToolRun run = gcutool({"flash", firmware, "--all", "--reset-timeout", "3", "--json"});
        EXPECT_EQ(run.exitCode, 2) << run.output;
        const auto results = resultsOf(run);
        ASSERT_EQ(results.size(), 3u) << run.output;
        EXPECT_EQ(results.at("SIM-GOOD").first, 0) << run.output;
        EXPECT_EQ(results.at("SIM-DEAD").first, 2) << run.output;
        EXPECT_TRUE(results.at("SIM-DEAD").second.startsWith("Cannot open ")) << run.output;
        EXPECT_EQ(results.at("SIM-STUCK").first, 5) << run.output;
        EXPECT_TRUE(results.at("SIM-STUCK")
                        .second.contains("did not start its new firmware (back in its bootloader)"))
            << run.output;
        EXPECT_EQ(run.events().back()["exit_code"].toInt(), 2);

        // The table for people says the same.
        const ToolRun table = gcutool({"flash", firmware, "--serial", "SIM-GOOD", "--serial",
                                       "SIM-DEAD", "--reset-timeout", "3"});
        EXPECT_EQ(table.exitCode, 2) << table.output;
        EXPECT_TRUE(table.says("SIM-DEAD         exit 2")) << table.output;
        EXPECT_TRUE(table.says("SIM-GOOD         done")) << table.output;
    }
    {
        // Two GCUs with one serial number are turned away before anything is sent
        // to them, with --all and by --serial; the GCU beside them is updated.
        const std::string soloOut = temporaryPath("flash.bin");
        GcuSimProcess twin1("SIM-TWIN", {"--bootloader"});
        GcuSimProcess twin2("SIM-TWIN", {"--bootloader"});
        auto solo = std::make_unique<GcuSimProcess>(
            "SIM-SOLO", std::vector<std::string>{"--flash-out", soloOut, "--reset-delay", "200"});
        ASSERT_TRUE(spinUntil([] { return portsWithSerial("SIM-TWIN") == 2; }, 5000));
        ASSERT_FALSE(solo->waitForPort(0xEEF0).isNull()) << solo->log();
        ToolRun run = gcutool({"flash", firmware, "--all", "--json"});
        EXPECT_EQ(run.exitCode, 2) << run.output;
        int refusals = 0;
        for (const QJsonObject& event : run.events())
            refusals += event["event"].toString() == "error" &&
                        event["serial"].toString() == "SIM-TWIN" &&
                        event["message"].toString().contains("shares its serial number SIM-TWIN");
        EXPECT_EQ(refusals, 2) << run.output;
        EXPECT_EQ(resultsOf(run).at("SIM-SOLO").first, 0) << run.output;
        EXPECT_FALSE(readWholeFile(soloOut).empty());
        run = gcutool({"flash", firmware, "--serial", "SIM-TWIN"});
        EXPECT_EQ(run.exitCode, 2) << run.output;
        EXPECT_TRUE(run.says("one at a time, each alone on the bus")) << run.output;
        EXPECT_FALSE(heardFrom(twin1)) << twin1.log();
        EXPECT_FALSE(heardFrom(twin2)) << twin2.log();

        // The station gives each one line and one row, once while it stays plugged
        // in, and updates a GCU plugged in after them.
        solo.reset();
        ASSERT_TRUE(spinUntil([] { return portsWithSerial("SIM-SOLO") == 0; }, 5000));
        const std::string report = temporaryPath("report.csv");
        auto station = startTool("gcutool", {"station", firmware, "--report", report});
        ASSERT_TRUE(spinUntil([&] { return linesOf(readWholeFile(report)).size() == 3; }, 10000))
            << station->log();
        GcuSimProcess later("SIM-LATER", {"--reset-delay", "200"});
        ASSERT_TRUE(spinUntil(
            [&] { return readWholeFile(report).find("SIM-LATER,") != std::string::npos; }, 20000))
            << station->log();
        station->interrupt();
        EXPECT_EQ(station->waitForExit(10000), 2) << station->log();
        const std::vector<std::string> rows = linesOf(readWholeFile(report));
        ASSERT_EQ(rows.size(), 4u) << readWholeFile(report);
        for (size_t i = 1; i <= 2; ++i) {
            EXPECT_EQ(rows[i].rfind("SIM-TWIN,", 0), 0u) << rows[i];
            EXPECT_NE(rows[i].find(",\"refused (exit 2): The GCU on "), std::string::npos)
                << rows[i];
        }
        EXPECT_NE(rows[3].find(",done,"), std::string::npos) << rows[3];
        EXPECT_FALSE(heardFrom(twin1)) << twin1.log();
        EXPECT_FALSE(heardFrom(twin2)) << twin2.log();
    }
    {
        // A GCU without a serial number: turned away beside another, updated alone.
        GcuSimProcess nameless("", {"--bootloader", "--reset-delay", "200"});
        auto other = std::make_unique<GcuSimProcess>(
            "SIM-OTHER", std::vector<std::string>{"--reset-delay", "200"});
        ASSERT_FALSE(nameless.waitForPort(0xEEEF).isNull()) << nameless.log();
        ASSERT_FALSE(other->waitForPort(0xEEF0).isNull()) << other->log();
        ToolRun run = gcutool({"flash", firmware, "--all", "--json"});
        EXPECT_EQ(run.exitCode, 2) << run.output;
        const auto results = resultsOf(run);
        ASSERT_EQ(results.count(""), 1u) << run.output;
        EXPECT_EQ(results.at("").first, 2) << run.output;
        EXPECT_TRUE(results.at("").second.contains("has no USB serial number")) << run.output;
        EXPECT_EQ(results.at("SIM-OTHER").first, 0) << run.output;
        EXPECT_FALSE(heardFrom(nameless)) << nameless.log();
        const std::string port = nameless.waitForPort(0xEEEF).systemLocation().toStdString();
        run = gcutool({"flash", firmware, "--port", port});
        EXPECT_EQ(run.exitCode, 2) << run.output;
        EXPECT_TRUE(run.says("has no USB serial number")) << run.output;
        EXPECT_FALSE(heardFrom(nameless)) << nameless.log();

        other.reset();
        ASSERT_TRUE(spinUntil([] { return portsWithSerial("SIM-OTHER") == 0; }, 5000));
        run = gcutool({"flash", firmware, "--port", port, "--expect-version", "6.0.0"});
        EXPECT_EQ(run.exitCode, 0) << run.output << nameless.log();
    }
}

TEST(GcuToolOutcomes, AnUploadIsPausedWhileItsGcuIsAway)
{
    // Away for four of the watchdog's periods: nothing is re-sent meanwhile, and
    // nothing reaches the GCU ahead of the repeated handshake.
    const std::string firmware = firmwareOf(40 * 1024, 42, "6.1.0");
    const std::string trace = temporaryPath("trace.txt");
    constexpr int vanishAfter = 12;
    GcuSimProcess gcu("SIM-AWAY", {"--bootloader", "--reset-delay", "200", "--vanish-after",
                                   std::to_string(vanishAfter), "--return-after", "3000"});
    ASSERT_FALSE(gcu.waitForPort(0xEEEF).isNull()) << gcu.log();
    const ToolRun run = gcutool({"flash", firmware, "--json", "--verbose", "--trace", trace});
    ASSERT_EQ(run.exitCode, 0) << run.output << gcu.log();
    const std::vector<QJsonObject> events = run.events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["resumes"].toInt(), 1) << run.output;
    EXPECT_EQ(events.back()["retries"].toInt(), 0) << run.output;
    EXPECT_FALSE(run.says("< fallback to checkpoint and retry")) << run.output;

    // The GCU took `vanishAfter` frames and left; the next frame traced is the
    // first to the GCU that came back: its version asked, then the handshake.
    const std::vector<std::string> frames = framesToGcu(readWholeFile(trace));
    ASSERT_GT(frames.size(), static_cast<size_t>(vanishAfter + 2)) << readWholeFile(trace);
    EXPECT_EQ(frames[vanishAfter - 1], "command_data");
    EXPECT_EQ(frames[vanishAfter], "get_firmware_id") << readWholeFile(trace);
    EXPECT_EQ(frames[vanishAfter + 1], "rsa_public_key") << readWholeFile(trace);
}

TEST(GcuToolOutcomes, SecureFlashHasTheGcuProveItHoldsThePinnedKey)
{
    const std::string firmware = firmwareOf(24 * 1024, 43, "7.0.0", {"--plain"});
    const std::string known = temporaryPath("known-gcus.json");
    std::string error;
    const std::string pinnedFingerprint =
        KnownDevices::fingerprint(
            RsaKey::fromPrivateFile(TestKeys::get().devicePem, &error)->publicPem())
            .toStdString();
    const auto secureFlash = [&](const std::string& trace) {
        return std::vector<std::string>{"secure-flash",    firmware,
                                        "--cert",          TestKeys::get().signerPem,
                                        "--keychain",      TestKeys::get().keychain,
                                        "--known-devices", known,
                                        "--trace",         trace,
                                        "--resume-within", "20"};
    };
    // Whatever follows the GCU's answer to the key exchange in a trace.
    const auto framesAfterAnswer = [](const std::string& trace) {
        const std::vector<std::string> lines = linesOf(trace);
        size_t answer = lines.size();
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].find(" from-gcu ") != std::string::npos &&
                lines[i].find(" key_exchange") != std::string::npos)
                answer = i;
        std::string after;
        for (size_t i = answer + 1; i < lines.size(); ++i)
            if (lines[i].find(" to-gcu ") != std::string::npos)
                after += lines[i] + "\n";
        return std::make_pair(answer < lines.size(), after);
    };
    {
        // The key is pinned from the GCU itself; an impostor then sends that key
        // but cannot sign with it.
        GcuSimProcess genuine("SIM-PROOF", {"--bootloader"});
        ASSERT_FALSE(genuine.waitForPort(0xEEEF).isNull()) << genuine.log();
        const ToolRun pinned =
            gcutool({"read-key", "-o", temporaryPath("key.orvkc"), "--known-devices", known});
        ASSERT_EQ(pinned.exitCode, 0) << pinned.output;
    }
    {
        GcuSimProcess impostor("SIM-PROOF", {"--bootloader", "--impostor"});
        ASSERT_FALSE(impostor.waitForPort(0xEEEF).isNull()) << impostor.log();
        const std::string trace = temporaryPath("trace.txt");
        const ToolRun run = gcutool(secureFlash(trace));
        EXPECT_EQ(run.exitCode, 6) << run.output << impostor.log();
        EXPECT_TRUE(
            run.says("The GCU could not prove it holds the pinned key " + pinnedFingerprint))
            << run.output;
        const auto [answered, after] = framesAfterAnswer(readWholeFile(trace));
        EXPECT_TRUE(answered) << readWholeFile(trace);
        EXPECT_EQ(after, "") << "sent after the impostor's answer";
    }
    {
        // The genuine GCU goes away mid-upload and an impostor comes back under its
        // serial number: the repeated handshake proves nothing, the run ends.
        GcuSimProcess genuine("SIM-RESUMED", {"--bootloader", "--vanish-after", "10"});
        ASSERT_FALSE(genuine.waitForPort(0xEEEF).isNull()) << genuine.log();
        const std::string trace = temporaryPath("trace.txt");
        auto flash = startTool("gcutool", secureFlash(trace));
        ASSERT_TRUE(spinUntil(
            [&] { return genuine.log().find("fault: vanishing") != std::string::npos; }, 20000))
            << genuine.log() << flash->log();
        ASSERT_TRUE(genuine.waitUntilGone());
        GcuSimProcess impostor("SIM-RESUMED", {"--bootloader", "--impostor"});
        EXPECT_EQ(flash->waitForExit(30000), 6) << flash->log() << impostor.log();
        EXPECT_NE(flash->log().find("going on from command"), std::string::npos) << flash->log();
        EXPECT_NE(flash->log().find("could not prove it holds the pinned key"), std::string::npos)
            << flash->log();
        const auto [answered, after] = framesAfterAnswer(readWholeFile(trace));
        EXPECT_TRUE(answered) << readWholeFile(trace);
        EXPECT_EQ(after, "") << "sent after the impostor's answer";
    }
}

TEST(GcuToolOutcomes, PinsAreChangedOnlyUnderTheirLockFile)
{
    // Another gcutool holds the pins' lock: nothing is read, changed or written
    // until it lets go, and a lock held too long is said, not overridden.
    const QString path = QString::fromStdString(temporaryPath("known-gcus.json"));
    KnownDevices known(path);
    QLockFile other(path + ".lock");
    ASSERT_TRUE(other.tryLock(0));
    QString problem;
    EXPECT_FALSE(known.remember("SIM-LOCKED", "key one", &problem));
    EXPECT_TRUE(problem.contains("stayed locked by another program")) << problem.toStdString();
    EXPECT_FALSE(known.pinnedKey("SIM-LOCKED"));
    other.unlock();
    EXPECT_TRUE(known.remember("SIM-LOCKED", "key one", &problem)) << problem.toStdString();
    EXPECT_TRUE(known.pin("SIM-OTHER", "key two", &problem)) << problem.toStdString();
    EXPECT_EQ(known.pinnedKey("SIM-LOCKED").value_or(""), "key one");
    EXPECT_EQ(known.pinnedKey("SIM-OTHER").value_or(""), "key two");
}
