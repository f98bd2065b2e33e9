#include "filedialoguser.h"
#include "firmwarefilecheck.h"
#include "gcusimprocess.h"
#include "gcutoolrun.h"
#include "knowndevices.h"
#include "logpane.h"
#include "recordconnection.h"
#include "recordschema.h"
#include "rsakey.h"
#include "testbus.h"
#include "updaterow.h"
#include "updatetable.h"
#include "uploaderapp.h"

#include <QComboBox>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QSettings>
#include <QSqlQuery>
#include <QUuid>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

namespace {

std::string firmwareFile(const std::string& version, unsigned seed, bool plain = false)
{
    std::vector<std::string> options = {"--chunk", "2048",      "--checkpoint-every",
                                        "4",       "--version", version};
    if (plain)
        options.push_back("--plain");
    return packFirmware(randomImage(16 * 1024, seed), options);
}

// A station's --json end event for this GCU, on a line of its own.
bool endEventOf(const ToolProcess& station, const std::string& serial)
{
    std::istringstream lines(station.log());
    for (std::string line; std::getline(lines, line);)
        if (line.find("\"event\":\"end\"") != std::string::npos &&
            line.find("\"serial\":\"" + serial + "\"") != std::string::npos)
            return true;
    return false;
}

// pg_ctlcluster on the throwaway server that pg_virtualenv made.
bool postgresqlServer(const char* action)
{
    const std::string command = std::string("pg_ctlcluster ") + getenv("PGVERSION") + " regress " +
                                action + " -- -m fast >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

} // namespace

// Each test against an SQLite file of its own, or a PostgreSQL database of its
// own on the server that pg_virtualenv started for the test program.
class Record : public ::testing::TestWithParam<RecordLocation::Dialect>
{
protected:
    void SetUp() override
    {
        // The spool and the default record stay with this test.
        dataHome = temporaryPath("data");
        QDir().mkpath(QString::fromStdString(dataHome));
        setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
        if (GetParam() == RecordLocation::Dialect::Sqlite) {
            url = "sqlite://" + temporaryPath("record") + ".sqlite";
        } else {
            ASSERT_NE(getenv("PGHOST"), nullptr)
                << "no PostgreSQL server: this test runs under pg_virtualenv";
            const QString name = "record_" + QUuid::createUuid().toString(QUuid::Id128).left(12);
            RecordLocation server;
            QString problem;
            ASSERT_TRUE(RecordLocation::parse(
                QString("postgresql:///%1").arg(qgetenv("PGDATABASE").constData()), &server,
                &problem));
            QSqlDatabase admin;
            ASSERT_TRUE(RecordConnection::open(server, &admin, &problem)) << problem.toStdString();
            ASSERT_TRUE(RecordConnection::run(admin, "CREATE DATABASE " + name, &problem))
                << problem.toStdString();
            url = "postgresql:///" + name.toStdString();
        }
        QString problem;
        ASSERT_TRUE(RecordLocation::parse(QString::fromStdString(url), &location, &problem));
    }

    QSqlDatabase database()
    {
        QSqlDatabase connection;
        QString problem;
        EXPECT_TRUE(RecordConnection::open(location, &connection, &problem))
            << problem.toStdString();
        return connection;
    }

    QList<UpdateRow> rows()
    {
        QSqlQuery query(database());
        EXPECT_TRUE(query.exec(QString("SELECT %1 FROM updates ORDER BY started_at")
                                   .arg(UpdateRow::columns().join(", "))));
        QList<UpdateRow> found;
        while (query.next())
            found << UpdateRow::read(query);
        return found;
    }

    std::vector<std::string> withRecord(std::vector<std::string> arguments) const
    {
        arguments.insert(arguments.end(), {"--record", url});
        return arguments;
    }

    std::string dataHome;
    std::string url;
    RecordLocation location;
};

TEST_P(Record, EachUpdateLeavesOneRowWithItsOutcomeAndAKilledOneIsMarkedAbandoned)
{
    const std::string firmware = firmwareFile("2.0.0", 31);
    {
        GcuSimProcess gcu("SIM-DONE", {"--version", "1.0.0", "--reset-delay", "200"});
        ASSERT_FALSE(gcu.waitForPort(0xEEF0).isNull()) << gcu.log();
        const ToolRun run = gcutool(withRecord({"flash", firmware, "--station", "line-1"}));
        ASSERT_EQ(run.exitCode, 0) << run.output;
    }
    {
        GcuSimProcess silent("SIM-STALL", {"--bootloader", "--drop", "1"});
        ASSERT_FALSE(silent.waitForPort(0xEEEF).isNull()) << silent.log();
        {
            const ToolRun stalled =
                gcutool(withRecord({"flash", firmware, "--stall-timeout", "1"}));
            EXPECT_EQ(stalled.exitCode, 4) << stalled.output;
        }
    }
    {
        GcuSimProcess gone("SIM-LOST", {"--bootloader", "--vanish-after", "6"});
        ASSERT_FALSE(gone.waitForPort(0xEEEF).isNull()) << gone.log();
        EXPECT_EQ(gcutool(withRecord({"flash", firmware, "--resume-within", "1"})).exitCode, 5);
    }
    {
        // A GCU whose key is not the one pinned for it.
        const std::string known = temporaryPath("known-gcus.json");
        std::string error;
        QString problem;
        ASSERT_TRUE(
            KnownDevices(QString::fromStdString(known))
                .remember("SIM-REFUSED", RsaKey::generate(1024, &error)->publicPem(), &problem));
        GcuSimProcess impostor("SIM-REFUSED", {"--bootloader"});
        ASSERT_FALSE(impostor.waitForPort(0xEEEF).isNull()) << impostor.log();
        const ToolRun run = gcutool(withRecord(
            {"secure-flash", firmwareFile("2.0.0", 32, true), "--cert", TestKeys::get().signerPem,
             "--keychain", TestKeys::get().keychain, "--known-devices", known}));
        EXPECT_EQ(run.exitCode, 6) << run.output;
    }

    const QList<UpdateRow> found = rows();
    ASSERT_EQ(found.size(), 4);
    EXPECT_EQ(found[0].serial, "SIM-DONE");
    EXPECT_EQ(found[0].command, "flash");
    EXPECT_EQ(found[0].station, "line-1");
    EXPECT_EQ(found[0].outcome, "done");
    EXPECT_EQ(found[0].exitCode.toInt(), 0);
    EXPECT_EQ(found[0].versionBefore, "1.0.0");
    EXPECT_EQ(found[0].versionAfter, "2.0.0");
    EXPECT_EQ(found[0].bytes,
              FirmwareFileCheck::read(QString::fromStdString(firmware)).dataBytes());
    EXPECT_EQ(found[0].firmwareSha256.size(), 64);
    EXPECT_TRUE(found[0].endedAt.isValid() && found[0].seconds > 0);
    EXPECT_EQ(found[1].serial, "SIM-STALL");
    EXPECT_EQ(found[1].outcome, "stalled");
    EXPECT_TRUE(found[1].reason.startsWith("No progress for 1 s")) << found[1].reason.toStdString();
    EXPECT_EQ(found[2].serial, "SIM-LOST");
    EXPECT_EQ(found[2].outcome, "lost");
    EXPECT_EQ(found[2].exitCode.toInt(), 5);
    EXPECT_EQ(found[3].serial, "SIM-REFUSED");
    EXPECT_EQ(found[3].command, "secure-flash");
    EXPECT_EQ(found[3].outcome, "refused");
    EXPECT_FALSE(found[3].keyFingerprint.isEmpty());

    {
        // Two GCUs with one serial number, turned away by flash and by the station:
        // one refused row each time, however long they stay on the bus while the
        // station updates a GCU plugged in beside them.
        GcuSimProcess twin1("SIM-TWIN", {"--bootloader"});
        GcuSimProcess twin2("SIM-TWIN", {"--bootloader"});
        ASSERT_TRUE(spinUntil([] {
            const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
            return std::count_if(ports.begin(), ports.end(), [](const QSerialPortInfo& port) {
                       return port.serialNumber() == "SIM-TWIN";
                   }) == 2;
        }));
        EXPECT_EQ(gcutool(withRecord({"flash", firmware, "--all"})).exitCode, 2);
        auto station = startTool("gcutool", withRecord({"station", firmware, "--json"}));
        GcuSimProcess later("SIM-LATER", {"--bootloader", "--reset-delay", "200"});
        ASSERT_TRUE(spinUntil([&] { return endEventOf(*station, "SIM-LATER"); }, 60000))
            << station->log();
        station->interrupt();
        EXPECT_EQ(station->waitForExit(30000), 2) << station->log();
    }
    std::map<std::string, int> refusedBy;
    for (const UpdateRow& row : rows())
        if (row.serial == "SIM-TWIN" && row.outcome == "refused" && row.exitCode == 2 &&
            row.reason.contains("shares its serial number SIM-TWIN"))
            ++refusedBy[row.command.toStdString()];
    EXPECT_EQ(refusedBy, (std::map<std::string, int>{{"flash", 2}, {"station", 2}}));
    ASSERT_EQ(rows().size(), 9);

    // Killed in the middle of its upload: its row stays running until the next
    // run against the record finds its process gone.
    GcuSimProcess slow("SIM-KILLED", {"--bootloader", "--delay", "100"});
    ASSERT_FALSE(slow.waitForPort(0xEEEF).isNull()) << slow.log();
    auto killed = startTool("gcutool", withRecord({"flash", firmware}));
    ASSERT_TRUE(spinUntil([&] { return killed->log().find("0 %") != std::string::npos; }, 20000))
        << killed->log();
    ASSERT_EQ(rows().size(), 10);
    EXPECT_EQ(rows()[9].outcome, "running");
    ::kill(static_cast<pid_t>(rows()[9].pid), SIGKILL);
    killed->waitForExit(10000);
    const ToolRun history = gcutool(withRecord({"history", "SIM-KILLED", "--json"}));
    ASSERT_EQ(history.exitCode, 0) << history.output;
    ASSERT_EQ(history.events().size(), 1u) << history.output;
    EXPECT_EQ(history.events()[0]["outcome"].toString(), "abandoned");
    EXPECT_EQ(rows()[9].outcome, "abandoned");
}

TEST_P(Record, FourProcessesAtOnceWriteEveryRowExactlyOnce)
{
    const std::string firmware = firmwareFile("3.0.0", 33);
    std::vector<std::unique_ptr<GcuSimProcess>> gcus;
    std::vector<std::unique_ptr<ToolProcess>> tools;
    for (int i = 0; i < 4; ++i) {
        const std::string serial = "SIM-P" + std::to_string(i);
        gcus.push_back(std::make_unique<GcuSimProcess>(
            serial, std::vector<std::string>{"--bootloader", "--reset-delay", "200"}));
        ASSERT_FALSE(gcus.back()->waitForPort(0xEEEF).isNull()) << gcus.back()->log();
    }
    for (int i = 0; i < 4; ++i)
        tools.push_back(startTool(
            "gcutool", withRecord({"flash", firmware, "--serial", "SIM-P" + std::to_string(i)})));
    for (auto& tool : tools)
        EXPECT_EQ(tool->waitForExit(120000), 0) << tool->log();
    const QList<UpdateRow> found = rows();
    ASSERT_EQ(found.size(), 4);
    QSet<QString> serials;
    for (const UpdateRow& row : found) {
        serials << row.serial;
        EXPECT_EQ(row.outcome, "done") << row.serial.toStdString();
    }
    EXPECT_EQ(serials.size(), 4);
}

TEST_P(Record, MigrationsBringAnOldRecordUpToDateAndANewerOneIsRefusedUnchanged)
{
    // One version behind: the program applies what is missing.
    QSqlDatabase old = database();
    QString problem;
    ASSERT_EQ(RecordSchema::migrate(old, location.dialect(), &problem, 1),
              RecordSchema::State::Current)
        << problem.toStdString();
    ASSERT_EQ(RecordSchema::version(old), 1);
    ASSERT_FALSE(RecordSchema::knownVersion() < 2);
    ToolRun run = gcutool(withRecord({"history"}));
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(RecordSchema::version(old), RecordSchema::knownVersion());

    // Newer than this program: refused, and left as it was.
    QSqlQuery later(old);
    ASSERT_TRUE(later.exec("INSERT INTO schema_migrations (version, applied_at) VALUES (999, "
                           "'2030-01-01T00:00:00Z')"));
    const QStringList tables = old.tables();
    run = gcutool(withRecord({"station", firmwareFile("1.0.0", 34)}));
    EXPECT_EQ(run.exitCode, 3) << run.output;
    EXPECT_TRUE(run.says("newer than this program's")) << run.output;
    run = gcutool(withRecord({"fleet"}));
    EXPECT_EQ(run.exitCode, 3) << run.output;
    EXPECT_EQ(old.tables(), tables);
    EXPECT_EQ(RecordSchema::version(old), 999);
}

TEST_P(Record, QueriesAnswerFleetStatsAndExportOverKnownRows)
{
    QSqlDatabase db = database();
    QString problem;
    ASSERT_EQ(RecordSchema::migrate(db, location.dialect(), &problem),
              RecordSchema::State::Current);
    const auto add = [&](const char* station, const char* serial, const char* day,
                         const char* outcome, double seconds, const char* after,
                         const char* reason = "") {
        UpdateRow row = UpdateRow::beginning("gcutool", "0.1.0", "station");
        row.station = station;
        row.serial = serial;
        row.startedAt = QDateTime::fromString(QString(day) + "T10:00:00Z", Qt::ISODate);
        row.finish(outcome, QString(outcome) == "done" ? 0 : 4, reason);
        row.endedAt = row.startedAt.addMSecs(static_cast<qint64>(seconds * 1000));
        row.seconds = seconds;
        row.versionAfter = after;
        ASSERT_TRUE(UpdateTable::complete(db, row, &problem)) << problem.toStdString();
    };
    // GCU 1 failed first then passed; 2 passed at once; 3 failed; 4 on another station.
    add("A", "GCU-1", "2026-03-01", "stalled", 30, "", "=HYPERLINK(\"x\")");
    add("A", "GCU-1", "2026-03-01", "done", 10, "1.5.0");
    add("A", "GCU-2", "2026-03-01", "done", 20, "1.5.0");
    add("A", "GCU-3", "2026-03-01", "lost", 5, "", "unplugged, twice");
    add("B", "GCU-4", "2026-03-02", "done", 40, "1.4.0");
    add("B", "GCU-2", "2026-03-02", "done", 12, "1.4.0");

    ToolRun run = gcutool(withRecord({"fleet", "--running", "1.5.0", "--json"}));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    ASSERT_EQ(run.events().size(), 1u) << run.output;
    EXPECT_EQ(run.events()[0]["serial"].toString(), "GCU-1");
    run = gcutool(withRecord({"fleet", "--not-running", "1.5.0", "--json"}));
    ASSERT_EQ(run.events().size(), 2u) << run.output;
    EXPECT_EQ(run.events()[0]["serial"].toString(), "GCU-2");
    EXPECT_EQ(run.events()[0]["station"].toString(), "B");

    run = gcutool(withRecord({"stats", "--by", "station,day", "--json"}));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    ASSERT_EQ(run.events().size(), 2u) << run.output;
    const QJsonObject a = run.events()[0];
    EXPECT_EQ(a["station"].toString(), "A");
    EXPECT_EQ(a["day"].toString(), "2026-03-01");
    EXPECT_EQ(a["updates"].toInt(), 4);
    EXPECT_EQ(a["done"].toInt(), 2);
    EXPECT_EQ(a["failed"].toInt(), 2);
    EXPECT_DOUBLE_EQ(a["yield_pct"].toDouble(), 50);
    // Of GCU-1, 2 and 3 only GCU-2's first attempt succeeded.
    EXPECT_DOUBLE_EQ(a["first_pass_yield_pct"].toDouble(), 33.3);
    EXPECT_DOUBLE_EQ(a["median_s"].toDouble(), 10);
    EXPECT_DOUBLE_EQ(a["p90_s"].toDouble(), 20);
    EXPECT_DOUBLE_EQ(run.events()[1]["first_pass_yield_pct"].toDouble(), 100);
    run = gcutool(withRecord({"stats", "--by", "station", "--since", "2026-03-02"}));
    EXPECT_TRUE(run.says("B  ")) << run.output;
    EXPECT_FALSE(run.says("A  ")) << run.output;

    const std::string csv = temporaryPath("export.csv");
    run = gcutool(withRecord({"export", "--format", "csv", "-o", csv, "--until", "2026-03-01"}));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string text = readWholeFile(csv);
    EXPECT_NE(text.find(",\"'=HYPERLINK(\"\"x\"\")\","), std::string::npos) << text;
    EXPECT_NE(text.find(",\"unplugged, twice\","), std::string::npos) << text;
    EXPECT_EQ(text.find("GCU-4"), std::string::npos) << text;
}

TEST_P(Record, TheWindowRecordsItsUploadsAndRelayedUpdatesInTheRecordItsSettingsName)
{
    QSettings("Orvane", "Uploader").setValue("record/url", QString::fromStdString(url));
    const std::string firmware = firmwareFile("2.4.6", 36);
    {
        GcuSimProcess gcu("SIM-WINDOW", {"--bootloader", "--reset-delay", "200"});
        ASSERT_FALSE(gcu.waitForPort(0xEEEF).isNull()) << gcu.log();
        UploaderApp window;
        const auto log = [&] {
            LogPane::flushAll();
            return window.findChild<QPlainTextEdit*>("plainTextEdit_2")->toPlainText();
        };
        ASSERT_TRUE(spinUntil(
            [&] { return window.findChild<QComboBox*>("gcuSerialNumber")->count() > 0; }));
        window.findChild<QPushButton*>("pushButton_2")->click();
        FileDialogUser user(QString::fromStdString(firmware));
        window.findChild<QPushButton*>("pushButton_5")->click();
        // The window follows the GCU through its last reset to its new firmware.
        ASSERT_TRUE(spinUntil([&] { return log().contains("Updated: "); }, 60000))
            << log().toStdString() << gcu.log();
    }
    // Updates that an update server drives through the window: one completes, the
    // other's server drops the connection midway.
    const std::string relayed = firmwareFile("2.5.0", 37);
    QSettings("Orvane", "Uploader").setValue("network/host", "127.0.0.1");
    for (const QString serial : {"SIM-RELAYED", "SIM-DROPPED"}) {
        quint16 port = 0;
        auto server = startUpdateServer(
            {"--version", "2.5.0=" + relayed, "--drop-after", serial == "SIM-DROPPED" ? "3" : "99"},
            &port);
        QSettings("Orvane", "Uploader").setValue("network/port", port);
        GcuSimProcess gcu(serial.toStdString(), {"--reset-delay", "200"});
        UploaderApp window;
        auto* gcus = window.findChild<QComboBox*>("gcuSerialNumber");
        ASSERT_TRUE(spinUntil([&] { return gcus->findText(serial + " GCU") >= 0; }));
        gcus->setCurrentIndex(gcus->findText(serial + " GCU"));
        window.findChild<QPushButton*>("pushButton_2")->click();
        ASSERT_TRUE(spinUntil([&] {
            return window.findChild<QComboBox*>("softwareServerVersions")->count() > 0;
        })) << server->log();
        window.findChild<QPushButton*>("softwareServerUpload")->click();
        ASSERT_TRUE(spinUntil(
            [&] { return rows().last().serial == serial && rows().last().outcome != "running"; },
            60000))
            << server->log() << gcu.log();
        LogPane::flushAll();
        const QString shown = window.findChild<QPlainTextEdit*>("plainTextEdit_2")->toPlainText();
        if (serial == "SIM-RELAYED") {
            EXPECT_TRUE(shown.contains(QRegularExpression("^Updated: .* -> 2\\.5\\.0$",
                                                          QRegularExpression::MultilineOption)))
                << shown.toStdString();
        }
    }
    QSettings("Orvane", "Uploader").clear();
    const QList<UpdateRow> found = rows();
    ASSERT_EQ(found.size(), 3);
    EXPECT_EQ(found[0].program, "uploader");
    EXPECT_EQ(found[0].command, "window-upload");
    EXPECT_EQ(found[0].serial, "SIM-WINDOW");
    EXPECT_EQ(found[0].outcome, "done");
    EXPECT_EQ(found[0].firmwareSha256.size(), 64);
    // What the engine found after the GCU's restart, and what it took.
    EXPECT_EQ(found[0].versionAfter, "2.4.6");
    EXPECT_GT(found[0].bytes, 0);
    EXPECT_FALSE(found[0].programVersion.isEmpty());
    EXPECT_EQ(found[1].command, "window-relay");
    EXPECT_EQ(found[1].outcome, "done");
    EXPECT_EQ(found[1].versionAfter, "2.5.0");
    EXPECT_EQ(found[2].command, "window-relay");
    EXPECT_EQ(found[2].outcome, "lost");
    EXPECT_EQ(found[2].exitCode.toInt(), 5);
}

INSTANTIATE_TEST_SUITE_P(Sqlite, Record, ::testing::Values(RecordLocation::Dialect::Sqlite));
INSTANTIATE_TEST_SUITE_P(Postgresql, Record,
                         ::testing::Values(RecordLocation::Dialect::Postgresql));

using RecordPostgresql = Record;

TEST_P(RecordPostgresql, RowsOfAStationRunWhileTheServerWasDownAreForwardedExactlyOnce)
{
    const std::string firmware = firmwareFile("5.0.0", 35);
    auto station = startTool("gcutool", withRecord({"station", firmware, "--json"}));
    const auto updated = [&](const std::string& serial) {
        return spinUntil([&] { return endEventOf(*station, serial); }, 60000);
    };
    {
        GcuSimProcess first("SIM-UP", {"--bootloader", "--reset-delay", "200"});
        ASSERT_TRUE(updated("SIM-UP")) << station->log();
    }
    {
        // Begun while the server is up, ended while it is down: the end waits in
        // the spool and later completes the row the server holds as running.
        GcuSimProcess midway("SIM-MIDWAY",
                             {"--bootloader", "--reset-delay", "200", "--delay", "600"});
        ASSERT_TRUE(
            spinUntil([&] { return rows().size() == 2 && rows()[1].outcome == "running"; }, 30000))
            << station->log();
        ASSERT_TRUE(postgresqlServer("stop"));
        // The test's own link died with the server.
        RecordConnection::drop(location);
        ASSERT_FALSE(endEventOf(*station, "SIM-MIDWAY")) << "ended before the server stopped";
        ASSERT_TRUE(updated("SIM-MIDWAY")) << station->log();
    }
    {
        GcuSimProcess second("SIM-DOWN", {"--bootloader", "--reset-delay", "200"});
        ASSERT_TRUE(updated("SIM-DOWN")) << station->log();
    }
    ASSERT_TRUE(postgresqlServer("start"));
    station->interrupt();
    EXPECT_EQ(station->waitForExit(30000), 0) << station->log();
    EXPECT_NE(station->log().find("wait in the spool"), std::string::npos) << station->log();

    ToolRun sync = gcutool(withRecord({"record-sync"}));
    ASSERT_EQ(sync.exitCode, 0) << sync.output;
    EXPECT_TRUE(sync.says("Forwarded 2 spooled rows")) << sync.output;
    sync = gcutool(withRecord({"record-sync"}));
    EXPECT_TRUE(sync.says("Forwarded 0 spooled rows")) << sync.output;
    const QList<UpdateRow> found = rows();
    ASSERT_EQ(found.size(), 3);
    EXPECT_EQ(found[0].serial, "SIM-UP");
    EXPECT_EQ(found[1].serial, "SIM-MIDWAY");
    EXPECT_EQ(found[2].serial, "SIM-DOWN");
    for (const UpdateRow& row : found) {
        EXPECT_EQ(row.outcome, "done") << row.serial.toStdString();
        EXPECT_EQ(row.versionAfter, "5.0.0") << row.serial.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Postgresql, RecordPostgresql,
                         ::testing::Values(RecordLocation::Dialect::Postgresql));
