#include "gcusimprocess.h"
#include "gcutoolrun.h"
#include "knowndevices.h"
#include "refusingport.h"
#include "rsakey.h"
#include "testbus.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

namespace {

std::string packed(const std::string& image, const std::string& version, bool plain = false)
{
    std::vector<std::string> options = {"--chunk", "2048",      "--checkpoint-every",
                                        "4",       "--version", version};
    if (plain)
        options.push_back("--plain");
    return packFirmware(image, options);
}

// How many image records the simulated GCU wrote after it came back.
int writesAfterVanishing(const std::string& simulatorLog)
{
    const size_t vanished = simulatorLog.find("fault: vanishing");
    int writes = 0;
    std::istringstream lines(simulatorLog.substr(vanished == std::string::npos ? 0 : vanished));
    for (std::string line; std::getline(lines, line);)
        writes += line.find("] wrote ") != std::string::npos ||
                  line.find(": wrote ") != std::string::npos;
    return writes;
}

} // namespace

TEST(GcuTool, FlashIsByteExactReportsItsEventsInOrderAndChecksTheVersion)
{
    const std::string image = randomImage(48 * 1024, 21);
    const std::string firmware = packed(image, "2.1.0");
    const std::string flashOut = temporaryPath("flash.bin");
    GcuSimProcess gcu("SIM-TOOL",
                      {"--version", "1.0.0", "--flash-out", flashOut, "--reset-delay", "200"});
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();

    const ToolRun run = gcutool({"flash", firmware, "--expect-version", "2.1.0", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.output << gcu.log();
    EXPECT_TRUE(readWholeFile(flashOut) == image);

    const std::vector<QJsonObject> events = run.events();
    ASSERT_GE(events.size(), 3u) << run.output;
    EXPECT_EQ(events.front()["event"].toString(), "begin");
    EXPECT_EQ(events.front()["commands"].toInt(), 25);
    EXPECT_EQ(events.back()["event"].toString(), "end");
    EXPECT_EQ(events.back()["old_version"].toString(), "1.0.0");
    EXPECT_EQ(events.back()["new_version"].toString(), "2.1.0");
    EXPECT_EQ(events.back()["exit_code"].toInt(), 0);
    int lastStep = 0;
    size_t lines = 0;
    for (const QJsonObject& event : events) {
        EXPECT_EQ(event["serial"].toString(), "SIM-TOOL");
        EXPECT_FALSE(event["time"].toString().isEmpty());
        if (event["event"].toString() == "progress") {
            EXPECT_GE(event["steps_done"].toInt(), lastStep);
            lastStep = event["steps_done"].toInt();
        }
    }
    std::istringstream all(run.output);
    for (std::string line; std::getline(all, line);)
        ++lines;
    EXPECT_EQ(lines, events.size()) << "something other than JSON on standard output";
    EXPECT_EQ(lastStep, 25 + 3);

    // Again, on the GCU that now runs 2.1.0, expecting another version.
    const ToolRun mismatch = gcutool({"flash", firmware, "--expect-version", "3.0.0"});
    EXPECT_EQ(mismatch.exitCode, 7) << mismatch.output;
    EXPECT_TRUE(mismatch.says("The GCU runs firmware 2.1.0, not the expected 3.0.0"));
}

TEST(GcuTool, UploadResumesFromTheLastCheckpointWhenTheGcuComesBack)
{
    const std::string image = randomImage(80 * 1024, 22);
    const std::string firmware = packed(image, "2.2.0");
    const std::string flashOut = temporaryPath("flash.bin");
    // Unplugged after 30 commands, plugged in again 800 ms later, flash kept.
    GcuSimProcess gcu("SIM-UNPLUG", {"--bootloader", "--flash-out", flashOut, "--reset-delay",
                                     "200", "--vanish-after", "30", "--return-after", "800"});
    ASSERT_FALSE(gcu.waitForPort(0xEEEF).isNull()) << gcu.log();

    const ToolRun run = gcutool({"flash", firmware, "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.output << gcu.log();
    EXPECT_TRUE(readWholeFile(flashOut) == image);
    std::vector<QString> kinds;
    int resumedFrom = -1;
    for (const QJsonObject& event : run.events()) {
        if (event["event"].toString() != "progress" && event["event"].toString() != "log")
            kinds.push_back(event["event"].toString());
        if (event["event"].toString() == "resumed")
            resumedFrom = event["from_command"].toInt();
    }
    EXPECT_EQ(kinds, (std::vector<QString>{"begin", "lost", "resumed", "end"})) << run.output;
    EXPECT_GT(resumedFrom, 0);
    // 41 commands: a data-less restart point, then 40 records. A restart would
    // write all 40 again; a resume only those from the checkpoint on.
    const int rewritten = writesAfterVanishing(gcu.log());
    EXPECT_GT(rewritten, 0) << gcu.log();
    EXPECT_EQ(rewritten, 41 - resumedFrom) << gcu.log();
    EXPECT_LT(rewritten, 40);
}

TEST(GcuTool, ExitCodesSayWhatWentWrong)
{
    const std::string garbage = temporaryPath("garbage.enc");
    std::ofstream(garbage, std::ios::binary) << std::string("\xff\xff\xff\xff", 4);
    const std::string firmware = packed(randomImage(8 * 1024, 23), "1.0.1");

    ToolRun run = gcutool({"info"});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_TRUE(run.says("No GCU is attached"));
    run = gcutool({"frobnicate"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    run = gcutool({"check", garbage});
    EXPECT_EQ(run.exitCode, 3) << run.output;
    EXPECT_TRUE(run.says(garbage + " is not a firmware file"));
    run = gcutool({"flash", "/nonexistent/firmware.enc"});
    EXPECT_EQ(run.exitCode, 3) << run.output;
    EXPECT_TRUE(run.says("cannot be opened"));
    run = gcutool({"check", firmware, "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    ASSERT_EQ(run.events().size(), 1u);
    EXPECT_EQ(run.events()[0]["commands"].toInt(), 5);

    {
        // A GCU that never answers: the tool gives up where the procedure would not.
        GcuSimProcess silent("SIM-SILENT", {"--bootloader", "--drop", "1"});
        ASSERT_FALSE(silent.waitForPort(0xEEEF).isNull()) << silent.log();
        run = gcutool({"flash", firmware, "--stall-timeout", "1"});
        EXPECT_EQ(run.exitCode, 4) << run.output;
        EXPECT_TRUE(run.says("No progress for 1 s at step 1 of 8 (the key blob): the GCU did not "
                             "answer"))
            << run.output;
        FakeUsbPort modem("MODEM-1", 0x1234, 0x0403);
        run = gcutool({"info", "--port", modem.systemLocation().toStdString()});
        EXPECT_EQ(run.exitCode, 2) << run.output;
        EXPECT_TRUE(run.says("is not a GCU's port")) << run.output;

        GcuSimProcess second("SIM-SECOND");
        ASSERT_FALSE(second.waitForPort(0xEEF0).isNull()) << second.log();
        run = gcutool({"info"});
        EXPECT_EQ(run.exitCode, 2) << run.output;
        EXPECT_TRUE(run.says("Several GCUs are attached")) << run.output;
        EXPECT_TRUE(run.says("SIM-SILENT (bootloader mode") && run.says("SIM-SECOND (application"));
        run = gcutool({"info", "--serial", "SIM-SECOND", "--count", "3", "--json"});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        ASSERT_FALSE(run.events().empty());
        EXPECT_EQ(run.events().back()["ping_ms"].toObject()["count"].toInt(), 3);
        run = gcutool({"info", "--serial", "SIM-THIRD"});
        EXPECT_EQ(run.exitCode, 2) << run.output;
    }

    {
        // Garbage between the answers is passed over.
        GcuSimProcess noisy("SIM-NOISY", {"--garbage", "1", "--oversize", "0.5"});
        ASSERT_FALSE(noisy.waitForPort(0xEEF0).isNull()) << noisy.log();
        run = gcutool({"info"});
        EXPECT_EQ(run.exitCode, 0) << run.output << noisy.log();
    }

    // A GCU that refuses every step: the stall names the step and the codes. The
    // seed fixes the codes: seed 12852 answers only 1 and 3 (refusals) for two dozen
    // answers, more than come at 150 ms each within the stall time-out; seed 1
    // answers 1, 2 (a damaged record), 3, ...
    struct Refusing
    {
        const char* serial;
        const char* seed;
        const char* delayMs;
        int exitCode;
        bool damaged;
    };
    for (const Refusing& refusing : {Refusing{"SIM-REFUSING", "12852", "150", 6, false},
                                     Refusing{"SIM-MIXED", "1", "0", 4, true}}) {
        SCOPED_TRACE(refusing.serial);
        GcuSimProcess gcu(refusing.serial, {"--bootloader", "--fail", "1", "--seed", refusing.seed,
                                            "--delay", refusing.delayMs});
        ASSERT_FALSE(gcu.waitForPort(0xEEEF).isNull()) << gcu.log();
        run = gcutool({"flash", firmware, "--stall-timeout", "1"});
        EXPECT_EQ(run.exitCode, refusing.exitCode) << run.output << gcu.log();
        EXPECT_TRUE(run.says("No progress for 1 s at step 1 of 8 (the key blob): the GCU "
                             "answered 1 (key or command refused) "))
            << run.output;
        EXPECT_EQ(run.says(", 2 (record damaged) "), refusing.damaged) << run.output;
    }

    // Ctrl-C in the middle of an upload: the run says where it stopped. At half a
    // second an answer, seconds of upload are left after the first progress line.
    GcuSimProcess slow("SIM-SLOW", {"--bootloader", "--delay", "500"});
    ASSERT_FALSE(slow.waitForPort(0xEEEF).isNull()) << slow.log();
    auto interrupted = startTool("gcutool", {"flash", firmware});
    const QRegularExpression partlyDone("^SIM-SLOW: [0-9]{1,2} % \\(",
                                        QRegularExpression::MultilineOption);
    ASSERT_TRUE(spinUntil(
        [&] { return partlyDone.match(QString::fromStdString(interrupted->log())).hasMatch(); },
        10000))
        << interrupted->log();
    interrupted->interrupt();
    EXPECT_EQ(interrupted->waitForExit(10000), 130) << interrupted->log();
    EXPECT_NE(interrupted->log().find("Interrupted at step"), std::string::npos)
        << interrupted->log();
}

TEST(GcuTool, SecureFlashPinsTheGcuKeyAndRefusesAChangedOne)
{
    const std::string image = randomImage(24 * 1024, 24);
    const std::string firmware = packed(image, "3.0.0", true);
    const std::string known = temporaryPath("known-gcus.json");
    const std::string flashOut = temporaryPath("flash.bin");
    const std::vector<std::string> secure = {"secure-flash",    firmware,
                                             "--cert",          TestKeys::get().signerPem,
                                             "--keychain",      TestKeys::get().keychain,
                                             "--known-devices", known};
    {
        GcuSimProcess gcu("SIM-PINNED",
                          {"--bootloader", "--flash-out", flashOut, "--reset-delay", "200"});
        ASSERT_FALSE(gcu.waitForPort(0xEEEF).isNull()) << gcu.log();
        const std::string keychainFile = temporaryPath("device.orvkc");
        ToolRun run = gcutool({"read-key", "-o", keychainFile, "--known-devices", known});
        ASSERT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(readWholeFile(keychainFile), readWholeFile(TestKeys::get().deviceOrvkc))
            << "not the keychain file the window's Read key writes";
        run = gcutool(secure);
        ASSERT_EQ(run.exitCode, 0) << run.output << gcu.log();
        EXPECT_TRUE(readWholeFile(flashOut) == image);
    }

    // The same serial number with another key: nothing is sent to it.
    const std::string otherKey = temporaryPath("other.pem");
    std::string error;
    std::ofstream(otherKey) << RsaKey::generate(1024, &error)->privatePem();
    GcuSimProcess impostor("SIM-PINNED", {"--bootloader", "--device-key", otherKey});
    ASSERT_FALSE(impostor.waitForPort(0xEEEF).isNull()) << impostor.log();
    ToolRun run = gcutool(secure);
    EXPECT_EQ(run.exitCode, 6) << run.output;
    const auto pinned = RsaKey::fromPrivateFile(TestKeys::get().devicePem, &error)->publicPem();
    const auto present = RsaKey::fromPrivateFile(otherKey, &error)->publicPem();
    EXPECT_TRUE(run.says(KnownDevices::fingerprint(pinned).toStdString())) << run.output;
    EXPECT_TRUE(run.says(KnownDevices::fingerprint(present).toStdString())) << run.output;
    EXPECT_EQ(impostor.log().find("introduced"), std::string::npos) << impostor.log();

    std::vector<std::string> accepting = secure;
    accepting.push_back("--accept-new-key");
    run = gcutool(accepting);
    EXPECT_EQ(run.exitCode, 0) << run.output << impostor.log();
}

TEST(GcuTool, SeveralGcusAreUpdatedAtOnceEachFollowedByItsSerialNumber)
{
    const std::string image = randomImage(32 * 1024, 25);
    const std::string firmware = packed(image, "4.0.0");
    std::vector<std::string> flashOut;
    std::vector<std::unique_ptr<GcuSimProcess>> gcus;
    for (const char* serial : {"SIM-A", "SIM-B", "SIM-C"}) {
        flashOut.push_back(temporaryPath("flash.bin"));
        gcus.push_back(std::make_unique<GcuSimProcess>(
            serial, std::vector<std::string>{"--flash-out", flashOut.back(), "--reset-delay", "300",
                                             "--delay", "2"}));
        ASSERT_FALSE(gcus.back()->waitForPort(0xEEF0).isNull()) << gcus.back()->log();
    }

    // Two of the three, chosen by serial number; the third is left alone.
    ToolRun run = gcutool({"flash", firmware, "--serial", "SIM-A", "--serial", "SIM-C"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(readWholeFile(flashOut[0]) == image);
    EXPECT_TRUE(readWholeFile(flashOut[1]).empty()) << "SIM-B was not chosen";
    EXPECT_TRUE(readWholeFile(flashOut[2]) == image);
    EXPECT_TRUE(run.says("SIM-A            done")) << run.output;

    // Eight at once (the three above and five more), of which one vanishes for
    // good and one rejects a third of its steps: the others are not held up, and
    // the run ends with the lost one's code.
    const std::vector<std::string> more = {"SIM-D", "SIM-E", "SIM-F", "SIM-GONE", "SIM-FLAKY"};
    for (const std::string& serial : more) {
        flashOut.push_back(temporaryPath("flash.bin"));
        std::vector<std::string> arguments = {"--flash-out", flashOut.back(), "--reset-delay",
                                              "300",         "--delay",       "2"};
        if (serial == "SIM-GONE")
            arguments.insert(arguments.end(), {"--bootloader", "--vanish-after", "6"});
        if (serial == "SIM-FLAKY")
            arguments.insert(arguments.end(), {"--fail", "0.33", "--seed", "7"});
        gcus.push_back(std::make_unique<GcuSimProcess>(serial, arguments));
        ASSERT_FALSE(gcus.back()->waitForPort(serial == "SIM-GONE" ? 0xEEEF : 0xEEF0).isNull())
            << gcus.back()->log();
    }
    std::remove(flashOut[0].c_str());
    std::remove(flashOut[2].c_str());
    run = gcutool({"flash", firmware, "--all", "--resume-within", "2", "--json"});
    EXPECT_EQ(run.exitCode, 5) << run.output;
    for (size_t i = 0; i < flashOut.size(); ++i) {
        if (i != 6) {
            EXPECT_TRUE(readWholeFile(flashOut[i]) == image) << "GCU " << i;
        }
    }
    const std::vector<QJsonObject> events = run.events();
    ASSERT_FALSE(events.empty());
    const QJsonObject summary = events.back();
    EXPECT_EQ(summary["event"].toString(), "end");
    EXPECT_EQ(summary["exit_code"].toInt(), 5);
    std::map<QString, int> outcomes;
    for (const QJsonValue& value : summary["results"].toArray()) {
        const QJsonObject result = value.toObject();
        outcomes[result["serial"].toString()] = result["exit_code"].toInt();
        if (result["exit_code"].toInt() == 0) {
            EXPECT_EQ(result["new_version"].toString(), "4.0.0")
                << result["serial"].toString().toStdString();
        }
        if (result["serial"].toString() == "SIM-FLAKY") {
            EXPECT_GT(result["retries"].toInt(), 0);
        }
    }
    EXPECT_EQ(outcomes, (std::map<QString, int>{{"SIM-A", 0},
                                                {"SIM-B", 0},
                                                {"SIM-C", 0},
                                                {"SIM-D", 0},
                                                {"SIM-E", 0},
                                                {"SIM-F", 0},
                                                {"SIM-GONE", 5},
                                                {"SIM-FLAKY", 0}}));
    for (size_t i = 0; i + 1 < events.size(); ++i)
        EXPECT_FALSE(events[i]["serial"].toString().isEmpty()) << "event " << i;
    // At once: every GCU's update began before the first one ended.
    std::vector<QDateTime> begins;
    QDateTime firstEnd;
    for (const QJsonObject& event : events) {
        const QDateTime time = QDateTime::fromString(event["time"].toString(), Qt::ISODateWithMs);
        ASSERT_TRUE(time.isValid()) << event["time"].toString().toStdString();
        if (event["event"].toString() == "begin")
            begins.push_back(time);
        else if (event["event"].toString() == "end" && !firstEnd.isValid())
            firstEnd = time;
    }
    ASSERT_EQ(begins.size(), 8u) << run.output;
    ASSERT_TRUE(firstEnd.isValid()) << run.output;
    for (const QDateTime& begin : begins)
        EXPECT_LT(begin, firstEnd) << run.output;
}

TEST(GcuTool, StationUpdatesEveryGcuThatAppearsOnceAndReportsEachInCsv)
{
    const std::string image = randomImage(16 * 1024, 26);
    const std::string firmware = packed(image, "5.0.0");
    const std::string report = temporaryPath("report.csv");
    const std::string firstOut = temporaryPath("flash.bin");
    const std::string laterOut = temporaryPath("flash.bin");
    const std::string otherOut = temporaryPath("flash.bin");
    const std::string lastOut = temporaryPath("flash.bin");
    // Slow enough that the next GCU is plugged in, and updated, while this one uploads.
    GcuSimProcess first("LINE-1",
                        {"--flash-out", firstOut, "--reset-delay", "300", "--delay", "300"});
    GcuSimProcess other("BENCH-1", {"--flash-out", otherOut, "--reset-delay", "300"});
    ASSERT_FALSE(first.waitForPort(0xEEF0).isNull()) << first.log();
    ASSERT_FALSE(other.waitForPort(0xEEF0).isNull()) << other.log();

    auto station = startTool("gcutool", {"station", firmware, "--serial-prefix", "LINE-",
                                         "--expect-version", "5.0.0", "--report", report});
    auto rows = [&] {
        std::istringstream lines(readWholeFile(report));
        std::vector<std::string> found;
        for (std::string line; std::getline(lines, line);)
            found.push_back(line);
        return found;
    };
    ASSERT_TRUE(spinUntil(
        [&] { return station->log().find("LINE-1: plain update") != std::string::npos; }, 10000))
        << station->log();
    // One plugged in while the first uploads is updated as well.
    GcuSimProcess later("LINE-2", {"--flash-out", laterOut, "--reset-delay", "300"});
    ASSERT_TRUE(spinUntil([&] { return rows().size() == 3; }, 30000)) << station->log();
    EXPECT_EQ(rows()[1].rfind("LINE-2,", 0), 0u) << "the later, faster GCU ended first";
    // The first, back after its reset, is not updated again: the station has taken
    // up one plugged in after that, so it has looked at the first since its return,
    // and an update of the first begun by then would be let finish and reported.
    GcuSimProcess last("LINE-3", {"--flash-out", lastOut, "--reset-delay", "300"});
    ASSERT_TRUE(spinUntil([&] { return rows().size() == 4; }, 20000)) << station->log();
    station->interrupt();
    EXPECT_EQ(station->waitForExit(10000), 0) << station->log();

    const std::vector<std::string> lines = rows();
    ASSERT_EQ(lines.size(), 4u) << station->log();
    EXPECT_EQ(lines[0], "serial,start,end,outcome,version_before,version_after,retries,resumes");
    EXPECT_EQ(lines[2].rfind("LINE-1,", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("LINE-3,", 0), 0u) << lines[3];
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_NE(lines[i].find(",done,1.0.0,5.0.0,0,0"), std::string::npos) << lines[i];
    EXPECT_TRUE(readWholeFile(firstOut) == image);
    EXPECT_TRUE(readWholeFile(laterOut) == image);
    EXPECT_TRUE(readWholeFile(lastOut) == image);
    EXPECT_TRUE(readWholeFile(otherOut).empty()) << "a GCU without the prefix was updated";
}

TEST(GcuTool, RelayListsTheServersVersionsAndRelaysTheChosenUpdate)
{
    const std::string image = randomImage(40 * 1024, 31);
    const std::string chosen = packed(image, "2.0.0");
    const std::string other = packed(randomImage(4096, 32), "1.0.0");
    const std::string flashOut = temporaryPath("flash.bin");
    GcuSimProcess gcu("SIM-RELAY", {"--flash-out", flashOut, "--reset-delay", "300"});
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();
    const auto startServer = [&](quint16* port) {
        return startUpdateServer({"--version", "1.0.0=" + other, "--version", "2.0.0=" + chosen},
                                 port);
    };
    const auto serverOption = [](quint16 port) { return "127.0.0.1:" + std::to_string(port); };

    quint16 port = 0;
    auto server = startServer(&port);
    ToolRun run = gcutool({"relay", "--server", serverOption(port), "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.events().back()["versions"].toArray(), (QJsonArray{"1.0.0", "2.0.0"}));
    server.reset();

    server = startServer(&port);
    run = gcutool({"relay", "--server", serverOption(port), "--version", "3.0.0"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(run.says("The server does not offer version 3.0.0; it offers: 1.0.0, 2.0.0"));
    server.reset();

    server = startServer(&port);
    const std::string trace = temporaryPath("relay.trace");
    run = gcutool({"relay", "--server", serverOption(port), "--version", "2.0.0", "--json",
                   "--trace", trace});
    ASSERT_EQ(run.exitCode, 0) << run.output << server->log() << gcu.log();
    EXPECT_EQ(server->waitForExit(10000), 0) << server->log();
    EXPECT_TRUE(readWholeFile(flashOut) == image);
    int lastStep = 0;
    int total = 0;
    for (const QJsonObject& event : run.events())
        if (event["event"].toString() == "progress") {
            EXPECT_GE(event["steps_done"].toInt(), lastStep);
            lastStep = event["steps_done"].toInt();
            total = event["steps_total"].toInt();
        }
    EXPECT_EQ(lastStep, 2 + 21 + 1);
    EXPECT_EQ(total, lastStep);

    // The trace has every frame both ways on both links: each server packet goes
    // to the GCU as it came, each answer goes back to the server inside a packet.
    const QRegularExpression traceLine(
        "^[0-9T:.-]+Z (to|from)-(gcu|server) ([0-9]+) ([a-z_]+)((?: [0-9a-f]{2})*)$");
    std::map<std::string, int> frames;
    std::istringstream lines(readWholeFile(trace));
    for (std::string line; std::getline(lines, line);) {
        const auto match = traceLine.match(QString::fromStdString(line));
        ASSERT_TRUE(match.hasMatch()) << line;
        EXPECT_EQ(match.captured(5).size() / 3, std::min(match.captured(3).toInt(), 64)) << line;
        ++frames[(match.captured(1) + "-" + match.captured(2) + " " + match.captured(4))
                     .toStdString()];
    }
    EXPECT_EQ(frames["from-server get_serial_number"], 1);
    EXPECT_EQ(frames["to-server get_serial_number"], 1);
    EXPECT_EQ(frames["from-server send_packet_to_gcu"], lastStep + 1)
        << "the update and the reset into the bootloader before it";
    EXPECT_EQ(frames["to-gcu rsa_public_key"], 1);
    EXPECT_EQ(frames["to-gcu command_data"], 21);
    EXPECT_EQ(frames["from-gcu result"], frames["to-server receive_packet_from_gcu"]);
    EXPECT_GE(frames["from-gcu result"], lastStep - 1);

    // Nobody listens: the server cannot be reached.
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();
    const RefusingPort unserved;
    run = gcutool({"relay", "--server", serverOption(unserved.number()), "--version", "2.0.0"});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_TRUE(run.says("No update from the server at 127.0.0.1:")) << run.output;
    run = gcutool({"relay", "--server", "nowhere"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
}
