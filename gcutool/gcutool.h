#pragma once

#include "dashboard.h"
#include "exitcode.h"
#include "firmwarefilecheck.h"
#include "tooloutput.h"
#include "uploadrun.h"

#include <QCommandLineParser>
#include <QSerialPortInfo>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class DeviceSession;
class InterruptWatcher;

// gcutool's command line: which subcommand, with which options, for which GCU;
// device work is handed to a device session and reported through ToolOutput.
class GcuTool
{
public:
    int run(const QStringList& arguments);

private:
    struct Subcommand
    {
        const char* name;
        const char* summary;
        const char* positional;
        void (*addOptions)(QCommandLineParser&);
        ExitCode (GcuTool::*handler)();
    };
    static const std::vector<Subcommand>& subcommands();
    static const Subcommand* findSubcommand(const QStringList& arguments);
    static QString overview();

    ExitCode list();
    ExitCode check();
    ExitCode udevRule();
    ExitCode doctor();
    ExitCode info();
    ExitCode flash();
    ExitCode station();
    ExitCode bootloader();
    ExitCode readKey();
    ExitCode relay();
    ExitCode recordQuery();
    ExitCode serve();
    // Starts the dashboard that --listen asks for and feeds it every event; the
    // exit code when it cannot start (said).
    std::optional<ExitCode> startDashboard(Dashboard::Settings settings,
                                           std::unique_ptr<Dashboard>* dashboard);

    // Picks the GCU, opens its port and runs `job` in a device session until it
    // ends or Ctrl-C has stopped it.
    ExitCode withDevice(const std::function<ExitCode(DeviceSession&, const QSerialPortInfo&)>& job);
    // Runs `job` for several GCUs at once, each in its own session, which the job
    // opens itself; their codes in the order of `ports`.
    std::vector<ExitCode>
    withDevices(const QList<QSerialPortInfo>& ports,
                const std::function<ExitCode(DeviceSession&, const QSerialPortInfo&)>& job);
    // The GCUs an update is for: --all, several --serial, or the one chosen as
    // for every command; false (said) when one is missing.
    bool chooseTargets(QList<QSerialPortInfo>* targets);

    // A whole number of at least 1 from an option; false (with a message) if not.
    bool positiveNumber(const char* option, int* value);
    // Said on standard error, and with --json as an error event too.
    ExitCode usage(const QString& message);
    // Help or version text: on standard output, or with --json on standard error
    // with an end event.
    ExitCode showText(const QString& text, ExitCode code);
    // The upload's settings and firmware file from the options; the exit code
    // when they cannot be used (said).
    std::optional<ExitCode> uploadSettings(bool secure, UploadRun::Options* options,
                                           FirmwareFileCheck* file);
    ExitCode interrupted(const QString& serial);
    // False (said) when the file cannot be written.
    bool writeTrace(const QString& path);
    void saveTraceOnInterrupt(InterruptWatcher& interrupts);

    QCommandLineParser parser;
    std::unique_ptr<ToolOutput> output;
};
