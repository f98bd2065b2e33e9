#include "doctor.h"

#include "devicefinder.h"
#include "terminaltext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QStringList>
#include <QtEndian>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

const QString ruleName = "70-orv-gcu.rules";
// Where udev reads rules, the one that overrides the others first.
const QStringList ruleDirectories = {"etc/udev/rules.d", "run/udev/rules.d", "usr/lib/udev/rules.d",
                                     "lib/udev/rules.d"};
const QStringList programDirectories = {"usr/bin", "usr/sbin", "bin", "sbin"};
const QString installRule = "gcutool udev-rule | sudo tee /etc/udev/rules.d/70-orv-gcu.rules && "
                            "sudo udevadm control --reload && sudo udevadm trigger";

// Tags of the entries of a POSIX ACL (linux/posix_acl.h).
enum AclTag : quint16
{
    AclUser = 0x02,
    AclGroupObject = 0x04,
    AclGroup = 0x08,
    AclMask = 0x10,
};

struct AclEntry
{
    quint16 tag;
    quint16 permissions;
    quint32 id;
};

// The file's access ACL from its system.posix_acl_access attribute, which the
// kernel hands out as a little-endian version word (2), then entries of tag,
// permissions and id. Empty when the file has none: udev's uaccess tag gives the
// user at the seat an entry there.
std::vector<AclEntry> accessAcl(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    const ssize_t size = getxattr(name.constData(), "system.posix_acl_access", nullptr, 0);
    if (size < 4)
        return {};
    QByteArray bytes(static_cast<int>(size), '\0');
    if (getxattr(name.constData(), "system.posix_acl_access", bytes.data(),
                 static_cast<size_t>(size)) != size ||
        qFromLittleEndian<quint32>(bytes.constData()) != 2)
        return {};
    std::vector<AclEntry> entries;
    for (int offset = 4; offset + 8 <= bytes.size(); offset += 8) {
        const char* entry = bytes.constData() + offset;
        entries.push_back({qFromLittleEndian<quint16>(entry), qFromLittleEndian<quint16>(entry + 2),
                           qFromLittleEndian<quint32>(entry + 4)});
    }
    return entries;
}

bool readWrite(unsigned permissions)
{
    return (permissions & 6u) == 6u;
}

QString userName(uid_t uid)
{
    const passwd* entry = getpwuid(uid);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(uid);
}

QString groupName(gid_t gid)
{
    const group* entry = getgrgid(gid);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(gid);
}

// Whether the user may read and write the file, and how, or why not with the
// command that would change that; the kernel's order of checks: owner, named
// user, the groups, everyone else.
struct Verdict
{
    bool granted;
    QString reason;
    QString fix;
};

Verdict decide(const QString& path, const struct stat& file, const Doctor::Account& user)
{
    if (user.uid == 0)
        return {true, "as root", {}};
    if (file.st_uid == user.uid)
        return readWrite(file.st_mode >> 6) ? Verdict{true, "as its owner", {}}
                                            : Verdict{false, "its mode denies its owner",
                                                      QString("sudo chmod u+rw %1").arg(path)};
    const std::vector<AclEntry> acl = accessAcl(path);
    // With an ACL the mode's group bits are its mask, and the owning group's
    // permissions are an entry of their own.
    unsigned mask = 7;
    unsigned owningGroup = (file.st_mode >> 3) & 7;
    for (const AclEntry& entry : acl) {
        if (entry.tag == AclMask)
            mask = entry.permissions;
        if (entry.tag == AclGroupObject)
            owningGroup = entry.permissions;
    }
    for (const AclEntry& entry : acl)
        if (entry.tag == AclUser && entry.id == user.uid)
            return readWrite(entry.permissions & mask)
                       ? Verdict{true, "through its ACL", {}}
                       : Verdict{false, "its ACL entry for the user does not allow it",
                                 installRule};
    const auto member = [&user](gid_t gid) {
        return std::find(user.groups.begin(), user.groups.end(), gid) != user.groups.end();
    };
    std::vector<std::pair<gid_t, unsigned>> groups = {{file.st_gid, owningGroup}};
    for (const AclEntry& entry : acl)
        if (entry.tag == AclGroup)
            groups.emplace_back(entry.id, entry.permissions);
    bool inAGroup = false;
    for (const auto& [gid, permissions] : groups) {
        if (!member(gid))
            continue;
        if (readWrite(permissions & mask))
            return {true, QString("through group %1").arg(groupName(gid)), {}};
        inAGroup = true;
    }
    if (inAGroup)
        return {false,
                QString("%1 is in group %2, which may not").arg(user.name, groupName(file.st_gid)),
                installRule};
    if (readWrite(file.st_mode))
        return {true, "as everyone may", {}};
    const QString group = groupName(file.st_gid);
    return {false, QString("%1 is not in its group %2").arg(user.name, group),
            QString("sudo usermod -aG %1 %2 (then log out and in again)").arg(group, user.name)};
}

QString pidList(const QStringList& pids)
{
    return QString(pids.size() == 1 ? "pid %1" : "pids %1").arg(pids.join(", "));
}

} // namespace

std::optional<Doctor::Account> Doctor::account(const QString& name)
{
    const QByteArray encoded = name.toLocal8Bit();
    const passwd* entry = getpwnam(encoded.constData());
    if (!entry)
        return std::nullopt;
    const gid_t primary = entry->pw_gid;
    Account found{name, entry->pw_uid, std::vector<gid_t>(32)};
    int count = static_cast<int>(found.groups.size());
    // Too small a list is refused with the size it needs.
    while (getgrouplist(encoded.constData(), primary, found.groups.data(), &count) < 0)
        found.groups.resize(static_cast<size_t>(count));
    found.groups.resize(static_cast<size_t>(count));
    return found;
}

QString Doctor::defaultUser()
{
    const QByteArray sudoUser = qgetenv("SUDO_USER");
    if (geteuid() == 0 && !sudoUser.isEmpty())
        return QString::fromLocal8Bit(sudoUser);
    return userName(getuid());
}

Doctor::Doctor(QString root, Account user, QByteArray carriedRule)
    : root(root.isEmpty() ? "/" : std::move(root)), user(std::move(user)),
      carriedRule(std::move(carriedRule))
{
}

QString Doctor::systemPath(const QString& path) const
{
    return QDir(root).filePath(path);
}

std::vector<Doctor::Process> Doctor::processes() const
{
    std::vector<Process> found;
    const QDir proc(systemPath("proc"));
    for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        entry.toLongLong(&numeric);
        QFile comm(proc.filePath(entry + "/comm"));
        // A process that ended meanwhile is passed over.
        if (numeric && comm.open(QIODevice::ReadOnly))
            found.push_back({entry, QString::fromLocal8Bit(comm.readAll()).trimmed()});
    }
    return found;
}

std::optional<Doctor::InstalledRule> Doctor::installedRule() const
{
    for (const QString& directory : ruleDirectories) {
        QFile file(systemPath(directory + "/" + ruleName));
        if (file.open(QIODevice::ReadOnly))
            return InstalledRule{"/" + directory + "/" + ruleName, file.readAll()};
    }
    return std::nullopt;
}

std::vector<Doctor::Finding> Doctor::examine(const QList<QSerialPortInfo>& gcus) const
{
    const std::vector<Process> running = processes();
    const std::optional<InstalledRule> rule = installedRule();
    std::vector<Finding> findings = {ruleFinding(rule), modemManagerFinding(running, rule),
                                     brlttyFinding(running)};
    if (gcus.isEmpty())
        findings.push_back(
            {"gcus", false, "No GCU is attached, so no port was checked", {}, {}, {}});
    for (const QSerialPortInfo& port : gcus) {
        for (Finding finding :
             {modeFinding(port), accessFinding(port, rule), heldOpenFinding(port, running)}) {
            finding.port = port.systemLocation();
            finding.serial = port.serialNumber();
            findings.push_back(finding);
        }
    }
    const std::vector<Finding> shared = sameSerialFindings(gcus);
    findings.insert(findings.end(), shared.begin(), shared.end());
    return findings;
}

Doctor::Finding Doctor::ruleFinding(const std::optional<InstalledRule>& rule) const
{
    if (!rule)
        return {"udev-rule",
                true,
                QString("The GCU's udev rule is not installed (no %1 in /%2): only root and the "
                        "port's group may open a GCU, and ModemManager probes it")
                    .arg(ruleName, ruleDirectories.join(", /")),
                installRule,
                {},
                {}};
    if (rule->content != carriedRule)
        return {"udev-rule",
                true,
                QString("The udev rule %1 differs from the one this gcutool carries: it is out "
                        "of date or was edited")
                    .arg(rule->path),
                installRule,
                {},
                {}};
    return {
        "udev-rule", false, QString("The udev rule %1 is installed and current").arg(rule->path),
        {},          {},    {}};
}

Doctor::Finding Doctor::modemManagerFinding(const std::vector<Process>& running,
                                            const std::optional<InstalledRule>& rule)
{
    QStringList pids;
    for (const Process& process : running)
        if (process.name == "ModemManager")
            pids << process.pid;
    if (pids.isEmpty())
        return {"modemmanager", false, "ModemManager is not running", {}, {}, {}};
    if (rule && rule->content.contains("ID_MM_DEVICE_IGNORE"))
        return {"modemmanager",
                false,
                QString("ModemManager is running (%1); the udev rule tells it to leave GCUs alone")
                    .arg(pidList(pids)),
                {},
                {},
                {}};
    return {"modemmanager",
            true,
            QString("ModemManager is running (%1) and no udev rule tells it to leave GCUs alone: "
                    "it probes a new port with AT commands, which garble the GCU's first "
                    "seconds")
                .arg(pidList(pids)),
            "sudo systemctl stop ModemManager (or install the udev rule)",
            {},
            {}};
}

Doctor::Finding Doctor::brlttyFinding(const std::vector<Process>& running) const
{
    QStringList pids;
    for (const Process& process : running)
        if (process.name == "brltty")
            pids << process.pid;
    QString program;
    for (const QString& directory : programDirectories)
        if (program.isEmpty() && QFileInfo::exists(systemPath(directory + "/brltty")))
            program = "/" + directory + "/brltty";
    QStringList found;
    if (!program.isEmpty())
        found << QString("installed (%1)").arg(program);
    if (!pids.isEmpty())
        found << QString("running (%1)").arg(pidList(pids));
    if (found.isEmpty())
        return {"brltty", false, "brltty is neither installed nor running", {}, {}, {}};
    return {"brltty",
            true,
            QString("brltty is %1: it claims USB serial adapters as braille displays, and a "
                    "GCU's port may vanish as soon as it appears")
                .arg(found.join(" and ")),
            "sudo apt remove brltty",
            {},
            {}};
}

Doctor::Finding Doctor::modeFinding(const QSerialPortInfo& port)
{
    const QString where = QString("%1 on %2").arg(port.serialNumber(), port.systemLocation());
    if (DeviceFinder::modeName(port) != "bootloader")
        return {"mode", false, QString("%1 is in application mode").arg(where), {}, {}, {}};
    return {"mode",
            true,
            QString("%1 is in bootloader mode: an update did not finish, or it was left there")
                .arg(where),
            QString("gcutool flash FILE --port %1 (or unplug it and plug it in again)")
                .arg(port.systemLocation()),
            {},
            {}};
}

Doctor::Finding Doctor::accessFinding(const QSerialPortInfo& port,
                                      const std::optional<InstalledRule>& rule) const
{
    const QString path = port.systemLocation();
    struct stat file
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &file) != 0)
        return {"access", true, QString("%1 cannot be looked at: %2").arg(path, strerror(errno)),
                {},       {},   {}};
    const Verdict verdict = decide(path, file, user);
    if (verdict.granted)
        return {"access",
                false,
                QString("%1 may read and write %2 %3").arg(user.name, path, verdict.reason),
                {},
                {},
                {}};
    const QString seat =
        !rule ? "; the udev rule would let the user logged in at this computer's seat open it"
        : rule->content.contains("uaccess")
            ? QString("; the udev rule's uaccess tag lets only a user logged in at this "
                      "computer's seat open it, and %1 is not granted it now")
                  .arg(user.name)
            : QString();
    return {"access",
            true,
            QString("%1 may not read and write %2 (owner %3, group %4, mode %5): %6%7")
                .arg(user.name, path, userName(file.st_uid), groupName(file.st_gid))
                .arg(file.st_mode & 0777, 4, 8, QChar('0'))
                .arg(verdict.reason, seat),
            verdict.fix,
            {},
            {}};
}

Doctor::Finding Doctor::heldOpenFinding(const QSerialPortInfo& port,
                                        const std::vector<Process>& running) const
{
    const QString path = port.systemLocation();
    const QString canonical = QFileInfo(path).canonicalFilePath();
    QStringList holders;
    QStringList pids;
    for (const Process& process : running) {
        const QDir descriptors(systemPath("proc/" + process.pid + "/fd"));
        const QStringList entries =
            descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        const bool holds = std::any_of(entries.begin(), entries.end(), [&](const QString& fd) {
            const QString target = QFileInfo(descriptors.filePath(fd)).symLinkTarget();
            return target == path || target == canonical;
        });
        if (holds) {
            holders << QString("%1 (pid %2)").arg(process.name, process.pid);
            pids << process.pid;
        }
    }
    if (holders.isEmpty())
        return {"held-open",
                false,
                QString("No other program has %1 open%2")
                    .arg(path, geteuid() == 0 ? QString()
                                              : " (of those whose files this user may look into)"),
                {},
                {},
                {}};
    return {"held-open",
            true,
            QString("%1 is held open by %2: what it reads is taken from the GCU's answers")
                .arg(path, holders.join(", ")),
            QString("kill %1 (or close the program)").arg(pids.join(' ')),
            {},
            {}};
}

std::vector<Doctor::Finding> Doctor::sameSerialFindings(const QList<QSerialPortInfo>& gcus)
{
    QMap<QString, QStringList> portsBySerial;
    for (const QSerialPortInfo& port : gcus)
        portsBySerial[port.serialNumber()] << port.systemLocation();
    std::vector<Finding> findings;
    for (auto shared = portsBySerial.cbegin(); shared != portsBySerial.cend(); ++shared)
        if (shared->size() > 1)
            findings.push_back(
                {"same-serial",
                 true,
                 QString("The GCUs on %1 share the serial number %2: --serial %2 cannot tell "
                         "them apart")
                     .arg(shared->join(" and "), shared.key()),
                 QString("gcutool info --port %1 (choose each by its port, or attach one at a "
                         "time)")
                     .arg(shared->first()),
                 {},
                 shared.key()});
    if (findings.empty() && gcus.size() > 1)
        findings.push_back({"same-serial",
                            false,
                            "Every attached GCU has a serial number of its own",
                            {},
                            {},
                            {}});
    return findings;
}

ExitCode Doctor::report(ToolOutput& output, const std::vector<Finding>& findings)
{
    const auto problems = static_cast<int>(std::count_if(
        findings.begin(), findings.end(), [](const Finding& f) { return f.problem; }));
    // Exit statuses above 125 mean a signal or a shell's own failure, and wrap
    // round at 256: more problems than that are still said in the summary.
    const auto code = static_cast<ExitCode>(std::min(problems, 125));
    const QString summary = problems == 0   ? QString("No problems found")
                            : problems == 1 ? QString("1 problem found")
                                            : QString("%1 problems found").arg(problems);
    if (output.style() == ToolOutput::Style::Json) {
        QJsonArray objects;
        for (const Finding& finding : findings)
            objects.append(QJsonObject{{"check", finding.check},
                                       {"problem", finding.problem},
                                       {"message", finding.message},
                                       {"fix", finding.fix},
                                       {"port", finding.port},
                                       {"serial", finding.serial}});
        output.end({}, code, summary, {{"findings", objects}, {"problems", problems}});
        return code;
    }
    QStringList lines;
    if (output.style() == ToolOutput::Style::Human) {
        // Findings name processes and GCUs by what they call themselves: each
        // stays on its line.
        for (const Finding& finding : findings) {
            lines << QString("%1 %2")
                         .arg(finding.problem ? "PROBLEM" : "ok", -7)
                         .arg(TerminalText::shown(finding.message));
            if (!finding.fix.isEmpty())
                lines << QString("        fix: %1").arg(TerminalText::shown(finding.fix));
        }
    }
    lines << summary;
    output.end({}, code, lines.join('\n'));
    return code;
}
