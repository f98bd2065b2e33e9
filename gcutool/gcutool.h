#pragma once

#include "exitcode.h"
#include "tooloutput.h"

#include <QCommandLineParser>
#include <QSerialPortInfo>
#include <QStringList>
#include <functional>
#include <memory>

class DeviceSession;

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
    ExitCode info();
    ExitCode flash();
    ExitCode bootloader();
    ExitCode readKey();

    // Picks the GCU and runs `job` in a device session until it ends or Ctrl-C
    // has stopped it.
    ExitCode withDevice(const std::function<ExitCode(DeviceSession&, const QSerialPortInfo&)>& job);
    // A whole number of at least 1 from an option; false (with a message) if not.
    bool positiveNumber(const char* option, int* value);
    ExitCode usage(const QString& message);
    ExitCode interrupted(const QString& serial);

    QCommandLineParser parser;
    std::unique_ptr<ToolOutput> output;
};
