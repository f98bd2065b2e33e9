#include "gcusimprocess.h"
#include "testbus.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <cerrno>
#include <cstring>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What one staging leaves running until gcutool doctor has looked.
struct Stage
{
    std::string root;
    QString port;
    QString pid;
    std::unique_ptr<GcuSimProcess> other;
    std::unique_ptr<QProcess> holder;
    // A port with a GCU's identity; simulators are told apart by serial number.
    std::unique_ptr<FakeUsbPort> twin;

    ~Stage()
    {
        if (holder) {
            holder->kill();
            holder->waitForFinished();
        }
    }

    void write(const QString& path, const QByteArray& content) const
    {
        const QString file = QDir(QString::fromStdString(root)).filePath(path);
        QDir().mkpath(QFileInfo(file).path());
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly) || out.write(content) != content.size())
            throw std::runtime_error("cannot stage " + file.toStdString());
    }
};

// Root may give a port to anyone, as udev would.
void setAccess(const QString& port, gid_t group, mode_t mode)
{
    const QByteArray path = QFile::encodeName(port);
    ASSERT_EQ(::chown(path.constData(), 0, group), 0) << strerror(errno);
    ASSERT_EQ(::chmod(path.constData(), mode), 0) << strerror(errno);
}

// Another GCU's port is open to everyone, as the first one's is, so that only
// what a case stages is a problem.
void openToAll(const QString& port)
{
    setAccess(port, 0, 0666);
}

struct Case
{
    const char* what;
    std::function<void(Stage&)> stage;
    // The checks that find a problem, each with a part of its fix.
    std::map<QString, QString> problems;
    // A part of some finding's message; %pid and %port stand for the staged ones.
    QString says;
};

QJsonObject lastJsonLine(const std::string& log)
{
    const QByteArray text = QByteArray::fromStdString(log).trimmed();
    return QJsonDocument::fromJson(text.mid(text.lastIndexOf('\n') + 1)).object();
}

} // namespace

TEST(Doctor, FindsEachStagedProblemWithItsFixAndCountsThemInTheExitCode)
{
    // The cases give the port to groups, as udev would: that takes root and the groups.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to give the GCU's port to another owner and group";
    gid_t dialout = 0;
    gid_t nogroup = 0;
    for (const auto& [name, id] :
         {std::pair{"dialout", &dialout}, std::pair{"nogroup", &nogroup}}) {
        const group* found = getgrnam(name);
        if (!found)
            GTEST_SKIP() << "needs the group " << name;
        *id = found->gr_gid;
    }

    auto carried = startTool("gcutool", {"udev-rule"});
    ASSERT_EQ(carried->waitForExit(10000), 0);
    const QByteArray rule = QByteArray::fromStdString(carried->log());
    ASSERT_TRUE(rule.contains("ID_MM_DEVICE_IGNORE"));

    GcuSimProcess gcu("SIM-DOC");
    const QSerialPortInfo base = gcu.waitForPort(0xEEF0);
    ASSERT_FALSE(base.isNull()) << gcu.log();

    const std::vector<Case> cases = {
        {"a healthy system", [](Stage&) {}, {}, "SIM-DOC on %port is in application mode"},
        {"no udev rule, and ModemManager running",
         [](Stage& s) {
             QFile::remove(QString::fromStdString(s.root + "/etc/udev/rules.d/70-orv-gcu.rules"));
         },
         {{"udev-rule", "sudo tee /etc/udev/rules.d/70-orv-gcu.rules"},
          {"modemmanager", "sudo systemctl stop ModemManager"}},
         "ModemManager is running (pid 700) and no udev rule"},
        {"an edited rule",
         [&](Stage& s) { s.write("etc/udev/rules.d/70-orv-gcu.rules", rule + "# edited\n"); },
         {{"udev-rule", "sudo udevadm trigger"}},
         "/etc/udev/rules.d/70-orv-gcu.rules differs from the one this gcutool carries"},
        {"the rule in /etc overriding an old one of the distribution's",
         [&](Stage& s) { s.write("usr/lib/udev/rules.d/70-orv-gcu.rules", "# old\n"); },
         {},
         "/etc/udev/rules.d/70-orv-gcu.rules is installed and current"},
        {"the rule only in /lib",
         [&](Stage& s) {
             QFile::remove(QString::fromStdString(s.root + "/etc/udev/rules.d/70-orv-gcu.rules"));
             s.write("lib/udev/rules.d/70-orv-gcu.rules", rule);
         },
         {},
         "/lib/udev/rules.d/70-orv-gcu.rules is installed and current"},
        {"brltty installed",
         [](Stage& s) { s.write("usr/sbin/brltty", "#!/bin/sh\n"); },
         {{"brltty", "sudo apt remove brltty"}},
         "brltty is installed (/usr/sbin/brltty)"},
        {"brltty running",
         [](Stage& s) { s.write("proc/701/comm", "brltty\n"); },
         {{"brltty", "sudo apt remove brltty"}},
         "brltty is running (pid 701)"},
        {"the port closed to the user who ran sudo",
         [&](Stage& s) {
             setenv("SUDO_USER", "nobody", 1);
             setAccess(s.port, dialout, 0660);
         },
         {{"access", "sudo usermod -aG dialout nobody"}},
         "nobody may not read and write %port (owner root, group dialout, mode 0660): nobody is "
         "not in its group dialout; the udev rule's uaccess tag"},
        {"the port open to the user's group",
         [&](Stage& s) { setAccess(s.port, nogroup, 0660); },
         {},
         "nobody may read and write %port through group nogroup"},
        {"the port held open by another program",
         [](Stage& s) {
             s.holder = std::make_unique<QProcess>();
             s.holder->setStandardInputFile(s.port);
             s.holder->start("sleep", {"60"});
             ASSERT_TRUE(s.holder->waitForStarted());
             s.pid = QString::number(s.holder->processId());
             // The staged process list shows this one process as it is.
             QDir().mkpath(QString::fromStdString(s.root + "/proc"));
             ASSERT_TRUE(
                 QFile::link("/proc/" + s.pid, QString::fromStdString(s.root + "/proc/") + s.pid));
         },
         {{"held-open", "kill %pid"}},
         "%port is held open by sleep (pid %pid)"},
        {"a GCU left in its bootloader",
         [](Stage& s) {
             s.other = std::make_unique<GcuSimProcess>("SIM-DOC-BOOT",
                                                       std::vector<std::string>{"--bootloader"});
             const QSerialPortInfo port = s.other->waitForPort(0xEEEF);
             ASSERT_FALSE(port.isNull()) << s.other->log();
             openToAll(port.systemLocation());
         },
         {{"mode", "gcutool flash FILE --port"}},
         "SIM-DOC-BOOT on "},
        {"two GCUs with one serial number",
         [](Stage& s) {
             s.twin = std::make_unique<FakeUsbPort>("SIM-DOC");
             openToAll(s.twin->systemLocation());
         },
         {{"same-serial", "gcutool info --port"}},
         "share the serial number SIM-DOC"},
    };

    for (const Case& staged : cases) {
        SCOPED_TRACE(staged.what);
        // Each case starts from a healthy system: the current rule in /etc, and
        // ModemManager running, which the rule makes harmless.
        unsetenv("SUDO_USER");
        openToAll(base.systemLocation());
        Stage stage;
        stage.root = temporaryPath("root");
        stage.port = base.systemLocation();
        stage.write("etc/udev/rules.d/70-orv-gcu.rules", rule);
        stage.write("proc/700/comm", "ModemManager\n");
        staged.stage(stage);
        std::vector<std::string> arguments = {"doctor", "--json", "--root", stage.root};
        if (!getenv("SUDO_USER"))
            arguments.insert(arguments.end(), {"--user", "nobody"});

        auto doctor = startTool("gcutool", arguments);
        const int exitCode = doctor->waitForExit(20000);
        const QJsonObject end = lastJsonLine(doctor->log());
        EXPECT_EQ(exitCode, static_cast<int>(staged.problems.size())) << doctor->log();
        EXPECT_EQ(end["event"].toString(), "end") << doctor->log();
        EXPECT_EQ(end["problems"].toInt(), static_cast<int>(staged.problems.size()));

        const auto fill = [&stage](QString text) {
            return text.replace("%pid", stage.pid).replace("%port", stage.port);
        };
        std::map<QString, QString> found;
        bool said = false;
        for (const QJsonValue& value : end["findings"].toArray()) {
            const QJsonObject finding = value.toObject();
            said = said || finding["message"].toString().contains(fill(staged.says));
            if (finding["problem"].toBool())
                found[finding["check"].toString()] = finding["fix"].toString();
        }
        EXPECT_TRUE(said) << fill(staged.says).toStdString() << "\n" << doctor->log();
        EXPECT_EQ(found.size(), staged.problems.size()) << doctor->log();
        for (const auto& [check, fix] : staged.problems)
            EXPECT_TRUE(found[check].contains(fill(fix)))
                << check.toStdString() << ": " << found[check].toStdString();
        QDir(QString::fromStdString(stage.root)).removeRecursively();
    }
    unsetenv("SUDO_USER");

    // For people: each finding on a line of its own, its fix below, then the count.
    const std::string root = temporaryPath("root");
    auto doctor = startTool("gcutool", {"doctor", "--root", root, "--user", "root"});
    EXPECT_EQ(doctor->waitForExit(20000), 1);
    const QString text = QString::fromStdString(doctor->log());
    EXPECT_TRUE(text.contains("PROBLEM The GCU's udev rule is not installed")) << doctor->log();
    EXPECT_TRUE(text.contains("\n        fix: gcutool udev-rule | sudo tee")) << doctor->log();
    EXPECT_TRUE(
        text.contains("ok      root may read and write " + base.systemLocation() + " as root"))
        << doctor->log();
    EXPECT_TRUE(text.endsWith("\n1 problem found\n")) << doctor->log();
}
