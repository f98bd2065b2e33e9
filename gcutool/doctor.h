#pragma once

#include "tooloutput.h"
#include "updateoutcome.h"

#include <QByteArray>
#include <QList>
#include <QSerialPortInfo>
#include <QString>
#include <optional>
#include <sys/types.h>
#include <vector>

// Looks for what keeps GCUs from working on this computer: ModemManager or
// brltty taking their ports, a missing or outdated udev rule, a port the user may
// not open or that another program holds, a GCU left in its bootloader, two GCUs
// with one serial number.
//
// The system's files (processes, udev rules, programs) are read below a root
// directory, "/" but for tests, which stage a system of their own there.
class Doctor
{
public:
    struct Finding
    {
        // Which check: udev-rule, modemmanager, brltty, gcus, mode, access,
        // held-open, same-serial.
        QString check;
        bool problem = false;
        QString message;
        // The command that puts the problem right; empty when there is none.
        QString fix;
        // The GCU's port and serial number, for the checks of one GCU.
        QString port;
        QString serial;
    };

    // The user whose access to the GCUs' ports is checked.
    struct Account
    {
        QString name;
        uid_t uid = 0;
        // Every group the user is in, from the group database: what a new login
        // would get.
        std::vector<gid_t> groups;
    };

    // The user's account; none if there is no such user.
    static std::optional<Account> account(const QString& name);
    // The one who ran sudo when run under it, so that `sudo gcutool doctor` checks
    // for that person; else the user running gcutool.
    static QString defaultUser();

    // `carriedRule`: the udev rule this gcutool carries, to which an installed
    // one is compared.
    Doctor(QString root, Account user, QByteArray carriedRule);

    std::vector<Finding> examine(const QList<QSerialPortInfo>& gcus) const;
    // Says the findings and a summary; the exit code is the number of problems.
    static ExitCode report(ToolOutput& output, const std::vector<Finding>& findings);

private:
    struct Process
    {
        QString pid;
        QString name;
    };
    struct InstalledRule
    {
        QString path;
        QByteArray content;
    };

    QString systemPath(const QString& path) const;
    std::vector<Process> processes() const;
    // The rule file udev uses: /etc overrides /run, which overrides the
    // distribution's.
    std::optional<InstalledRule> installedRule() const;

    Finding ruleFinding(const std::optional<InstalledRule>& rule) const;
    static Finding modemManagerFinding(const std::vector<Process>& running,
                                       const std::optional<InstalledRule>& rule);
    Finding brlttyFinding(const std::vector<Process>& running) const;
    static Finding modeFinding(const QSerialPortInfo& port);
    Finding accessFinding(const QSerialPortInfo& port,
                          const std::optional<InstalledRule>& rule) const;
    Finding heldOpenFinding(const QSerialPortInfo& port, const std::vector<Process>& running) const;
    static std::vector<Finding> sameSerialFindings(const QList<QSerialPortInfo>& gcus);

    QString root;
    Account user;
    QByteArray carriedRule;
};
