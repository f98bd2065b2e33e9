#include "gcutool.h"

#include "dashboardoptions.h"
#include "recordcommands.h"
#include "recordoptions.h"

// The subcommands, their summaries and their options: the table that parsing,
// --help and the man page follow.

namespace {

void addDeviceOptions(QCommandLineParser& parser)
{
    parser.addOption({"serial", "The GCU with this USB serial number.", "SN"});
    parser.addOption({"port", "The GCU on this serial port.", "PATH"});
}

void addResetOption(QCommandLineParser& parser)
{
    parser.addOption({"reset-timeout",
                      "How long the GCU may take to come back after a reset (default 30).", "S",
                      "30"});
}

void addUploadTimeouts(QCommandLineParser& parser);

void addUploadOptions(QCommandLineParser& parser)
{
    addDeviceOptions(parser);
    parser.addOption({"all", "Every attached GCU, all at once (--serial may also be given "
                             "several times)."});
    addUploadTimeouts(parser);
    RecordOptions::addOptions(parser, true);
}

void addUploadTimeouts(QCommandLineParser& parser)
{
    addResetOption(parser);
    parser.addOption(
        {"expect-version", "Fail (exit 7) unless the GCU then runs this version.", "V"});
    parser.addOption({"stall-timeout",
                      "End the run (exit 4) after this long without progress "
                      "(default 30).",
                      "S", "30"});
    parser.addOption({"resume-within",
                      "Wait this long for a GCU that vanished mid-upload, then "
                      "go on from the last checkpoint (default 60).",
                      "S", "60"});
}

void addKeyOptions(QCommandLineParser& parser)
{
    parser.addOption({"accept-new-key", "Replace the key pinned for this GCU with its present "
                                        "key."});
    parser.addOption({"known-devices",
                      "The file of pinned keys (default "
                      "~/.config/orv/known-gcus.json or $ORV_KNOWN_DEVICES).",
                      "FILE"});
}

void noOptions(QCommandLineParser&) {}

} // namespace

const std::vector<GcuTool::Subcommand>& GcuTool::subcommands()
{
    static const std::vector<Subcommand> all = {
        {"list", "List every attached GCU: serial number, mode, port, manufacturer, description.",
         nullptr, noOptions, &GcuTool::list},
        {"info", "Show the GCU's firmware version and ping round trip.", nullptr,
         [](QCommandLineParser& p) {
             addDeviceOptions(p);
             p.addOption({"count", "Pings to time (default 5).", "N", "5"});
         },
         &GcuTool::info},
        {"flash",
         "Upload a firmware file (plain upload). A GCU in application mode is reset into its "
         "bootloader first; afterwards its new firmware version is read back.",
         "FILE", addUploadOptions, &GcuTool::flash},
        {"secure-flash",
         "Upload a firmware file with the secure upload (key exchange, encryption and signing "
         "by this computer). The GCU's public key is pinned on first use.",
         "FILE",
         [](QCommandLineParser& p) {
             addUploadOptions(p);
             addKeyOptions(p);
             p.addOption({"cert", "The signing key (PEM RSA private key).", "KEY.pem"});
             p.addOption(
                 {"keychain", "The keychain holding the signing key's public key.", "FILE"});
         },
         &GcuTool::flash},
        {"station",
         "Update every GCU that appears on the bus, until Ctrl-C: a production line's station. "
         "A GCU updated once is left alone until it is re-plugged with --repeat.",
         "FILE",
         [](QCommandLineParser& p) {
             addUploadTimeouts(p);
             addKeyOptions(p);
             p.addOption({"secure", "The secure upload (needs --cert and --keychain)."});
             p.addOption({"cert", "The signing key (PEM RSA private key).", "KEY.pem"});
             p.addOption(
                 {"keychain", "The keychain holding the signing key's public key.", "FILE"});
             p.addOption({"serial-prefix", "Only GCUs whose serial number begins with P.", "P"});
             p.addOption({"report", "A CSV row for every GCU dealt with.", "FILE.csv"});
             p.addOption({"repeat", "Update a GCU again after it has been re-plugged."});
             p.addOption({"stop-now", "Ctrl-C stops running updates too, rather than letting "
                                      "them finish."});
             RecordOptions::addOptions(p, true);
             DashboardOptions::add(p, false);
         },
         &GcuTool::station},
        {"serve",
         "Serve the fleet page: every station's updates from the fleet record, live in a "
         "browser, until Ctrl-C.",
         nullptr,
         [](QCommandLineParser& p) {
             DashboardOptions::add(p, true);
             RecordOptions::addOptions(p, false);
         },
         &GcuTool::serve},
        {"bootloader", "Reset the GCU into its bootloader and wait for it to come back.", nullptr,
         [](QCommandLineParser& p) {
             addDeviceOptions(p);
             addResetOption(p);
         },
         &GcuTool::bootloader},
        {"read-key", "Save the GCU's public key as a device keychain file (.orvkc) and pin it.",
         nullptr,
         [](QCommandLineParser& p) {
             addDeviceOptions(p);
             addKeyOptions(p);
             p.addOption({{"o", "output"}, "The keychain file to write.", "FILE"});
         },
         &GcuTool::readKey},
        {"relay",
         "Let a remote update server update the GCU, as the window's relay does: list the "
         "server's versions, or relay the one chosen.",
         nullptr,
         [](QCommandLineParser& p) {
             addDeviceOptions(p);
             p.addOption({"server", "The update server.", "HOST:PORT"});
             p.addOption({"version",
                          "The version to ask the server for; without it the "
                          "server's versions are listed.",
                          "NAME"});
             p.addOption({"stall-timeout",
                          "End the run (exit 4) after this long without a frame either way "
                          "(default 30).",
                          "S", "30"});
             p.addOption({"connect-timeout",
                          "End the run (exit 2) when the server has not answered this long "
                          "after the connection was asked for (default 10).",
                          "S", "10"});
             RecordOptions::addOptions(p, true);
         },
         &GcuTool::relay},
        {"history", "The fleet record's updates, newest first; of one GCU when SERIAL is given.",
         nullptr, RecordCommands::addHistoryOptions, &GcuTool::recordQuery},
        {"fleet",
         "Every GCU in the fleet record with the version of its last successful update, where "
         "and when.",
         nullptr, RecordCommands::addFleetOptions, &GcuTool::recordQuery},
        {"stats",
         "Updates, yield, first-pass yield, median and 90th-percentile seconds and the most "
         "frequent failure reasons, per station, day, port or reason.",
         nullptr, RecordCommands::addStatsOptions, &GcuTool::recordQuery},
        {"export", "Every row of the fleet record as CSV or JSON Lines.", nullptr,
         RecordCommands::addExportOptions, &GcuTool::recordQuery},
        {"record-sync", "Forward the rows spooled while the fleet record was out of reach.",
         nullptr, RecordCommands::addSyncOptions, &GcuTool::recordQuery},
        {"check",
         "Read a firmware file without a GCU and say what it holds, or why it is not "
         "one (a dry run).",
         "FILE", noOptions, &GcuTool::check},
        {"udev-rule", "Print the udev rule that gives the logged-in user access to GCUs.", nullptr,
         noOptions, &GcuTool::udevRule},
        {"doctor",
         "Look for what keeps GCUs from working here: ModemManager, brltty, the udev rule, "
         "each port's permissions and other programs holding it, a GCU left in its bootloader, "
         "shared serial numbers. Exits with the number of problems.",
         nullptr,
         [](QCommandLineParser& p) {
             p.addOption({"user",
                          "Check access for this user (default: the one who ran sudo, "
                          "else the current user).",
                          "NAME"});
             // Where the system's files are read; tests stage a system there.
             QCommandLineOption root("root", "Read the system's files below DIR.", "DIR", "/");
             root.setFlags(QCommandLineOption::HiddenFromHelp);
             p.addOption(root);
         },
         &GcuTool::doctor},
    };
    return all;
}

QString GcuTool::overview()
{
    QString text = "Service tool for GCUs on USB: list them, read them, update their "
                   "firmware.\n\nCommands:\n";
    for (const Subcommand& command : subcommands())
        text += QString("  %1%2\n").arg(command.name, -14).arg(command.summary);
    text += "\nRun gcutool COMMAND --help for a command's options. Exit codes: 0 done, 1 usage, "
            "2 no such device or several, 3 file unusable, 4 stalled, 5 GCU lost, 6 refused, "
            "7 version differs, 8 no permission, 130 interrupted.";
    return text;
}

const GcuTool::Subcommand* GcuTool::findSubcommand(const QStringList& arguments)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        // The options that take a value, given before the command.
        if (argument == "--serial" || argument == "--port" || argument == "--trace") {
            ++i;
            continue;
        }
        if (argument.startsWith('-'))
            continue;
        for (const Subcommand& command : subcommands())
            if (argument == command.name)
                return &command;
        return nullptr;
    }
    return nullptr;
}
