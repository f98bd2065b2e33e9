#pragma once

#include "dashboard.h"
#include "firmwarefilecheck.h"
#include "firmwareupdate.h"
#include "tooloutput.h"
#include "updateoutcome.h"

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
// device work is handed to the update engine's sessions and reported through
// ToolOutput. The subcommand table is in subcommands.cpp, each family of
// commands in a file of its own.
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

    // A whole number of at least 1 from an option; false (with a message) if not.
    bool positiveNumber(const char* option, int* value);
    // Said on standard error, and with --json as an error event too.
    ExitCode usage(const QString& message);
    // Help or version text: on standard output, or with --json on standard error
    // with an end event.
    ExitCode showText(const QString& text, ExitCode code);
    // The upload's settings and firmware file from the options; the exit code
    // when they cannot be used (said).
    std::optional<ExitCode> uploadSettings(bool secure, FirmwareUpdate::Options* options,
                                           FirmwareFileCheck* file);
    ExitCode interrupted(const QString& serial);
    // False (said) when the file cannot be written.
    bool writeTrace(const QString& path);
    void saveTraceOnInterrupt(InterruptWatcher& interrupts);

    QCommandLineParser parser;
    std::unique_ptr<ToolOutput> output;
};
