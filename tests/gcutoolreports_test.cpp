#include "csvreport.h"
#include "gcusimprocess.h"
#include "terminaltext.h"
#include "testbus.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace {

// gcutool run to its end with standard output and error apart, as a script
// that reads the one and shows the other sees them.
struct SeparateRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

SeparateRun runApart(const QStringList& arguments)
{
    QProcess tool;
    tool.start(QString::fromStdString(ToolProcess::path("gcutool")), arguments);
    SeparateRun run;
    if (!tool.waitForFinished(60000))
        return run;
    run.exitCode = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
    run.out = tool.readAllStandardOutput();
    run.err = tool.readAllStandardError();
    return run;
}

// Standard output holds exactly one JSON object, of this kind.
void expectOneEvent(const SeparateRun& run, const char* kind)
{
    const QList<QByteArray> lines = run.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 1) << run.out.constData();
    const QJsonObject event = QJsonDocument::fromJson(lines[0]).object();
    EXPECT_EQ(event["event"].toString(), kind) << run.out.constData();
    EXPECT_FALSE(run.err.isEmpty()) << "the text for a person goes to standard error";
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::istringstream stream(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

bool logSays(const ToolProcess& process, const std::string& text)
{
    return process.log().find(text) != std::string::npos;
}

const std::string reportHeader =
    "serial,start,end,outcome,version_before,version_after,retries,resumes";

} // namespace

TEST(GcuToolReports, StationReportKeepsItsRowsFailsLoudlyAndShowsDeviceStringsAsText)
{
    const std::string firmware =
        packFirmware(randomImage(8 * 1024, 41), {"--chunk", "2048", "--version", "6.0.0"});
    // A serial number that clears the screen and that a spreadsheet would run.
    const std::string hostile = "=HYPERLINK(1)\x1b[2J";
    GcuSimProcess gcu(hostile, {"--reset-delay", "200"});
    ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();

    // A report of this morning's shift, its last row cut short by a crash.
    const std::string report = temporaryPath("shift.csv");
    const std::string earlier =
        "LINE-7,2026-12-08T06:00:00,2026-12-08T06:01:00,done,1.0.0,6.0.0,0,0";
    std::ofstream(report) << reportHeader << '\n' << earlier << '\n' << "LINE-8,2026-12";

    auto station = startTool("gcutool", {"station", firmware, "--report", report});
    ASSERT_TRUE(spinUntil([&] { return linesOf(readWholeFile(report)).size() == 4; }, 30000))
        << station->log() << readWholeFile(report);
    station->interrupt();
    EXPECT_EQ(station->waitForExit(10000), 0) << station->log();

    const std::vector<std::string> rows = linesOf(readWholeFile(report));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], reportHeader);
    EXPECT_EQ(rows[1], earlier);
    EXPECT_EQ(rows[2], "LINE-8,2026-12");
    EXPECT_EQ(rows[3].rfind("'=HYPERLINK(1)\\x1b[2J,", 0), 0u) << rows[3];
    EXPECT_NE(rows[3].find(",done,1.0.0,6.0.0,"), std::string::npos) << rows[3];
    EXPECT_EQ(readWholeFile(report).find('\x1b'), std::string::npos);
    const std::string shown = station->log();
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << "the escape reached the terminal";
    EXPECT_NE(shown.find("=HYPERLINK(1)\\x1b[2J: Updated"), std::string::npos) << shown;

    SeparateRun listed = runApart({"list"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_EQ(listed.out.indexOf('\x1b'), -1) << listed.out.constData();
    EXPECT_NE(listed.out.indexOf("=HYPERLINK(1)\\x1b[2J"), -1) << listed.out.constData();
    // JSON carries the serial number as it came, escaped by JSON itself.
    listed = runApart({"list", "--json"});
    EXPECT_NE(listed.out.indexOf("\\u001b[2J"), -1) << listed.out.constData();

    // Nowhere to write the rows, or a file that is not a report: refused at once.
    station = startTool("gcutool", {"station", firmware, "--report", "/dev/full"});
    EXPECT_EQ(station->waitForExit(10000), 3) << station->log();
    EXPECT_TRUE(logSays(*station, "Cannot write the report /dev/full")) << station->log();
    const std::string notes = temporaryPath("notes.csv");
    std::ofstream(notes) << "name,phone\nAda,123\n";
    station = startTool("gcutool", {"station", firmware, "--report", notes});
    EXPECT_EQ(station->waitForExit(10000), 3) << station->log();
    EXPECT_EQ(readWholeFile(notes), "name,phone\nAda,123\n");

    // The same rules for every report and line, whoever writes them.
    EXPECT_EQ(CsvReport::line({"a,b", "say \"hi\"", "+1", "-x", "@SUM(A1)", "\tTAB", "\r=1",
                               "two\rlines", "esc\x1b[2J", "plain"}),
              "\"a,b\",\"say \"\"hi\"\"\",'+1,'-x,'@SUM(A1),'\tTAB,\"'\r=1\",\"two\rlines\","
              "esc\\x1b[2J,plain\n");
    EXPECT_EQ(TerminalText::shown(QString("a\u202eb\x7f\r\n") + QChar(0x9b)),
              "a\\u202eb\\x7f\\x0d\\x0a\\x9b");
    EXPECT_EQ(TerminalText::shownLines("one\x1b\ntwo"), "one\\x1b\ntwo");
}

TEST(GcuToolReports, SignalsPipesAndJsonOnEveryPath)
{
    const std::string image = randomImage(64 * 1024, 42);
    const std::string firmware =
        packFirmware(image, {"--chunk", "1024", "--checkpoint-every", "8", "--version", "7.0.0"});
    const std::string gcutool = ToolProcess::path("gcutool");

    // Standard output gone after the first line: both GCUs are still updated
    // and the run ends with its own exit code, not SIGPIPE's 141.
    std::vector<std::string> flashOut = {temporaryPath("flash.bin"), temporaryPath("flash.bin")};
    {
        GcuSimProcess first("PIPE-1", {"--flash-out", flashOut[0], "--reset-delay", "200"});
        GcuSimProcess second("PIPE-2", {"--flash-out", flashOut[1], "--reset-delay", "200"});
        ASSERT_FALSE(first.waitForPort(0xEEF0).isNull()) << first.log();
        ASSERT_FALSE(second.waitForPort(0xEEF0).isNull()) << second.log();
        QProcess pipeline;
        pipeline.start("bash", {"-c",
                                "\"$0\" --json flash --all \"$1\" | head -1 >/dev/null; "
                                "echo \"${PIPESTATUS[0]}\"",
                                QString::fromStdString(gcutool), QString::fromStdString(firmware)});
        ASSERT_TRUE(pipeline.waitForFinished(90000));
        EXPECT_EQ(pipeline.readAllStandardOutput().trimmed(), "0")
            << pipeline.readAllStandardError().constData();
        EXPECT_TRUE(readWholeFile(flashOut[0]) == image);
        EXPECT_TRUE(readWholeFile(flashOut[1]) == image);
    }

    GcuSimProcess slow("SIG-SLOW", {"--bootloader", "--delay", "30", "--reset-delay", "200"});
    ASSERT_FALSE(slow.waitForPort(0xEEEF).isNull()) << slow.log();

    // Progress at most ten times a second, the last one always.
    QElapsedTimer took;
    took.start();
    const SeparateRun flashed = runApart({"--json", "flash", QString::fromStdString(firmware)});
    const double seconds = took.elapsed() / 1000.0;
    ASSERT_EQ(flashed.exitCode, 0) << flashed.out.constData() << flashed.err.constData();
    int progressEvents = 0;
    QJsonObject lastProgress;
    for (const QByteArray& line : flashed.out.trimmed().split('\n')) {
        const QJsonObject event = QJsonDocument::fromJson(line).object();
        if (event["event"].toString() == "progress") {
            ++progressEvents;
            lastProgress = event;
        }
    }
    EXPECT_LE(progressEvents, 10 * seconds + 2) << "68 steps in " << seconds << " s";
    EXPECT_GE(progressEvents, 2);
    EXPECT_EQ(lastProgress["steps_done"].toInt(), 65 + 3);

    // A wrapper that sends SIGINT and SIGTERM together still gets where the run
    // stopped, and the trace saved.
    const std::string trace = temporaryPath("interrupted.trace");
    auto interrupted = startTool("gcutool", {"--trace", trace, "flash", firmware});
    ASSERT_TRUE(spinUntil([&] { return logSays(*interrupted, "0 %"); }, 10000))
        << interrupted->log();
    interrupted->signal(SIGINT);
    interrupted->signal(SIGTERM);
    EXPECT_EQ(interrupted->waitForExit(10000), 130) << interrupted->log();
    EXPECT_TRUE(logSays(*interrupted, "Interrupted at step")) << interrupted->log();
    EXPECT_NE(readWholeFile(trace).find("to-gcu"), std::string::npos);

    // The ssh session of a station drops: its update finishes, its row and the
    // summary are written.
    const std::string report = temporaryPath("hangup.csv");
    auto station = startTool("gcutool", {"station", firmware, "--report", report});
    ASSERT_TRUE(spinUntil([&] { return logSays(*station, "SIG-SLOW: plain update"); }, 10000))
        << station->log();
    station->signal(SIGHUP);
    EXPECT_EQ(station->waitForExit(30000), 0) << station->log();
    const std::vector<std::string> rows = linesOf(readWholeFile(report));
    ASSERT_EQ(rows.size(), 2u) << station->log();
    EXPECT_EQ(rows[1].rfind("SIG-SLOW,", 0), 0u) << rows[1];
    EXPECT_TRUE(logSays(*station, "SERIAL")) << station->log();

    // A server that takes the connection and never says a word.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    ASSERT_FALSE(slow.waitForPort(0xEEF0).isNull()) << slow.log();
    const SeparateRun relay =
        runApart({"relay", "--server", QString("127.0.0.1:%1").arg(silent.serverPort()),
                  "--version", "7.0.0", "--connect-timeout", "1"});
    EXPECT_EQ(relay.exitCode, 2) << relay.err.constData();
    EXPECT_NE(relay.err.indexOf("did not answer within 1 s"), -1) << relay.err.constData();

    // --json holds on every path: one event on standard output, text on error.
    expectOneEvent(runApart({"--json"}), "error");
    expectOneEvent(runApart({"--json", "flash"}), "error");
    expectOneEvent(runApart({"--json", "flash", "--no-such-option", "x.enc"}), "error");
    expectOneEvent(runApart({"udev-rule", "--json"}), "end");
}
