#include "gcutool.h"

#include "dashboardoptions.h"
#include "devicefinder.h"
#include "devicesession.h"
#include "doctor.h"
#include "firmwarefilecheck.h"
#include "frametrace.h"
#include "interruptwatcher.h"
#include "knowndevices.h"
#include "logline.h"
#include "recordcommands.h"
#include "relayrun.h"
#include "runsummary.h"
#include "station.h"
#include "terminaltext.h"
#include "updaterecorder.h"
#include "updaterecording.h"
#include "uploadrun.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>
#include <QSysInfo>
#include <algorithm>
#include <iostream>
#include <map>
#include <sstream>

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
    UpdateRecording::addOptions(parser, true);
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

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

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
             UpdateRecording::addOptions(p, true);
             DashboardOptions::add(p, false);
         },
         &GcuTool::station},
        {"serve",
         "Serve the fleet page: every station's updates from the fleet record, live in a "
         "browser, until Ctrl-C.",
         nullptr,
         [](QCommandLineParser& p) {
             DashboardOptions::add(p, true);
             UpdateRecording::addOptions(p, false);
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
             UpdateRecording::addOptions(p, true);
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

ExitCode GcuTool::interrupted(const QString& serial)
{
    output->error(serial, ExitCode::Interrupted, "Interrupted; the port is closed");
    return ExitCode::Interrupted;
}

ExitCode GcuTool::usage(const QString& message)
{
    std::cerr << "gcutool: " << TerminalText::shownLines(message).toLocal8Bit().constData() << "\n";
    if (output && output->style() == ToolOutput::Style::Json)
        output->error({}, ExitCode::Usage, message);
    return ExitCode::Usage;
}

ExitCode GcuTool::showText(const QString& text, ExitCode code)
{
    // Scripts reading JSON get an event; the text is for a person.
    if (output->style() == ToolOutput::Style::Json) {
        std::cerr << text.toLocal8Bit().constData() << std::flush;
        output->end({}, code, text);
    } else {
        std::cout << text.toLocal8Bit().constData() << std::flush;
    }
    return code;
}

int GcuTool::run(const QStringList& arguments)
{
    const Subcommand* command = findSubcommand(arguments);
    parser.addHelpOption();
    // relay's --version names the firmware the server is asked for.
    const bool versionOption = !command || command->handler != &GcuTool::relay;
    if (versionOption)
        parser.addVersionOption();
    parser.addOption({"json", "JSON Lines on standard output: one object per event."});
    parser.addOption({{"q", "quiet"}, "Print only the outcome."});
    parser.addOption({"verbose", "Print every retry, and the library's diagnostics on standard "
                                 "error."});
    parser.addOption({"trace",
                      "Write the frames to and from the GCUs and the update server to "
                      "FILE, for a bug report.",
                      "FILE"});
    if (command) {
        parser.setApplicationDescription(
            QString("gcutool %1: %2").arg(command->name, command->summary));
        parser.addPositionalArgument(command->name, "The command.");
        if (command->positional)
            parser.addPositionalArgument(command->positional, "The firmware file.");
        command->addOptions(parser);
    } else {
        parser.setApplicationDescription(overview());
        parser.addPositionalArgument("command", "One of the commands above.");
    }
    // Parsed here rather than by the parser's own process(), which would answer
    // a mistake or --help in plain text even under --json.
    const bool parsed = parser.parse(arguments);
    const bool verbose = parser.isSet("verbose");
    output = std::make_unique<ToolOutput>(parser.isSet("json")    ? ToolOutput::Style::Json
                                          : parser.isSet("quiet") ? ToolOutput::Style::Quiet
                                                                  : ToolOutput::Style::Human,
                                          verbose);
    if (!parsed)
        return static_cast<int>(usage(parser.errorText()));
    if (parser.isSet("help") || parser.isSet("help-all"))
        return static_cast<int>(showText(parser.helpText(), ExitCode::Done));
    if (versionOption && parser.isSet("version"))
        return static_cast<int>(
            showText(QString("%1 %2\n").arg(QCoreApplication::applicationName(),
                                            QCoreApplication::applicationVersion()),
                     ExitCode::Done));
    if (!command) {
        const QStringList words = parser.positionalArguments();
        if (!words.isEmpty())
            return static_cast<int>(usage(QString("unknown command %1").arg(words.first())));
        if (output->style() != ToolOutput::Style::Json)
            return static_cast<int>(showText(parser.helpText(), ExitCode::Usage));
        std::cerr << parser.helpText().toLocal8Bit().constData();
        return static_cast<int>(usage("a command is needed"));
    }
    // The library's diagnostics would mix with what scripts read.
    LogLine::redirect(verbose ? &std::cerr : nullptr);
    const int expected = command->positional ? 2 : 1;
    // history's SERIAL may be left out.
    const bool optionalSerial = QString(command->name) == "history";
    if (parser.positionalArguments().size() != expected &&
        !(optionalSerial && parser.positionalArguments().size() == 2))
        return static_cast<int>(usage(
            command->positional ? QString("%1 takes one %2").arg(command->name, command->positional)
                                : QString("%1 takes no arguments").arg(command->name)));
    if (parser.isSet("trace"))
        FrameTrace::process().start();
    const ExitCode code = (this->*command->handler)();
    // A trace that cannot be written fails a command that went well; one that
    // failed, or counted problems, keeps its own code.
    if (parser.isSet("trace") && !writeTrace(parser.value("trace")) && code == ExitCode::Done)
        return static_cast<int>(ExitCode::FileUnusable);
    return static_cast<int>(code);
}

bool GcuTool::writeTrace(const QString& path)
{
    std::ostringstream text;
    FrameTrace::process().write(text);
    const std::string bytes = text.str();
    // A kill while it is written leaves the trace written before, not half of one.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) &&
        file.write(bytes.data(), static_cast<qint64>(bytes.size())) ==
            static_cast<qint64>(bytes.size()) &&
        file.commit())
        return true;
    output->error({}, ExitCode::FileUnusable,
                  QString("Cannot write the trace to %1: %2").arg(path, file.errorString()));
    return false;
}

void GcuTool::saveTraceOnInterrupt(InterruptWatcher& interrupts)
{
    // A second Ctrl-C or a kill may follow: what led up to the first is saved now.
    if (parser.isSet("trace"))
        QObject::connect(&interrupts, &InterruptWatcher::interrupted,
                         [this] { writeTrace(parser.value("trace")); });
}

bool GcuTool::positiveNumber(const char* option, int* value)
{
    // A day is more than any wait or count here needs, and keeps the
    // milliseconds made of it within range.
    constexpr int largest = 24 * 60 * 60;
    bool ok = false;
    *value = parser.value(option).toInt(&ok);
    if (ok && *value > 0 && *value <= largest)
        return true;
    usage(QString("--%1 takes a whole number from 1 to %2").arg(option).arg(largest));
    return false;
}

ExitCode GcuTool::list()
{
    const QList<QSerialPortInfo> gcus = DeviceFinder::attached();
    if (output->style() == ToolOutput::Style::Json) {
        QJsonArray devices;
        for (const QSerialPortInfo& port : gcus)
            devices.append(QJsonObject{{"serial", port.serialNumber()},
                                       {"mode", DeviceFinder::modeName(port)},
                                       {"port", port.systemLocation()},
                                       {"manufacturer", port.manufacturer()},
                                       {"description", port.description()}});
        output->end({}, ExitCode::Done, QString("%1 GCUs attached").arg(gcus.size()),
                    {{"devices", devices}});
        return ExitCode::Done;
    }
    if (gcus.isEmpty()) {
        output->end({}, ExitCode::Done, "No GCU is attached");
        return ExitCode::Done;
    }
    QString table = QString("%1 %2 %3 %4 %5")
                        .arg("SERIAL", -16)
                        .arg("MODE", -12)
                        .arg("PORT", -20)
                        .arg("MANUFACTURER", -16)
                        .arg("DESCRIPTION");
    // The GCU's own strings are shown as text, each within its column.
    for (const QSerialPortInfo& port : gcus)
        table += QString("\n%1 %2 %3 %4 %5")
                     .arg(TerminalText::shown(port.serialNumber()), -16)
                     .arg(DeviceFinder::modeName(port), -12)
                     .arg(TerminalText::shown(port.systemLocation()), -20)
                     .arg(TerminalText::shown(port.manufacturer()), -16)
                     .arg(TerminalText::shown(port.description()));
    output->end({}, ExitCode::Done, table);
    return ExitCode::Done;
}

ExitCode GcuTool::check()
{
    const QString path = parser.positionalArguments().at(1);
    const FirmwareFileCheck file = FirmwareFileCheck::read(path);
    if (!file.usable()) {
        output->error({}, ExitCode::FileUnusable, file.whyNot());
        return ExitCode::FileUnusable;
    }
    output->end({}, ExitCode::Done, file.describe().join('\n'), file.toJson());
    return ExitCode::Done;
}

// The rule lives in this static library's resources, which are not registered
// by themselves. (Outside any namespace, as the macro requires.)
static void registerResources()
{
    Q_INIT_RESOURCE(gcutool);
}

static QByteArray carriedUdevRule()
{
    registerResources();
    QFile rule(":/70-orv-gcu.rules");
    rule.open(QIODevice::ReadOnly);
    return rule.readAll();
}

ExitCode GcuTool::udevRule()
{
    const QString rule = carriedUdevRule();
    if (output->style() != ToolOutput::Style::Json) {
        std::cout << rule.toStdString() << std::flush;
        return ExitCode::Done;
    }
    std::cerr << rule.toStdString() << std::flush;
    output->end({}, ExitCode::Done, "The udev rule that gives the logged-in user access to GCUs",
                {{"rule", rule}});
    return ExitCode::Done;
}

ExitCode GcuTool::doctor()
{
    const QString name = parser.isSet("user") ? parser.value("user") : Doctor::defaultUser();
    const std::optional<Doctor::Account> account = Doctor::account(name);
    if (!account)
        return usage(QString("there is no user %1").arg(name));
    const Doctor doctor(parser.value("root"), *account, carriedUdevRule());
    return Doctor::report(*output, doctor.examine(DeviceFinder::attached()));
}

ExitCode
GcuTool::withDevice(const std::function<ExitCode(DeviceSession&, const QSerialPortInfo&)>& job)
{
    const DeviceFinder::Choice choice =
        DeviceFinder::choose(parser.value("serial"), parser.value("port"));
    if (!choice.problem.isEmpty()) {
        output->error(parser.value("serial"), ExitCode::NoDevice, choice.problem);
        return ExitCode::NoDevice;
    }
    return withDevices({choice.port},
                       [this, &job](DeviceSession& device, const QSerialPortInfo& port) {
                           QString problem;
                           if (const ExitCode opened = device.open(port, &problem);
                               opened != ExitCode::Done) {
                               output->error(device.serialNumber(), opened, problem);
                               return opened;
                           }
                           return job(device, port);
                       })
        .front();
}

std::vector<ExitCode>
GcuTool::withDevices(const QList<QSerialPortInfo>& ports,
                     const std::function<ExitCode(DeviceSession&, const QSerialPortInfo&)>& job)
{
    std::vector<std::unique_ptr<DeviceSession>> sessions;
    InterruptWatcher interrupts;
    saveTraceOnInterrupt(interrupts);
    int running = ports.size();
    for (const QSerialPortInfo& port : ports) {
        auto& session = sessions.emplace_back(std::make_unique<DeviceSession>(port.serialNumber()));
        QObject::connect(
            &interrupts, &InterruptWatcher::interrupted, session.get(),
            [device = session.get()] { device->cancel(); }, Qt::DirectConnection);
        QObject::connect(
            session.get(), &DeviceSession::finished, QCoreApplication::instance(),
            [&running] {
                if (--running == 0)
                    QCoreApplication::quit();
            },
            Qt::QueuedConnection);
        session->start([&job, port](DeviceSession& device) { return job(device, port); });
    }
    QCoreApplication::exec();
    std::vector<ExitCode> codes;
    for (const auto& session : sessions)
        codes.push_back(session->exitCode());
    return codes;
}

bool GcuTool::chooseTargets(QList<QSerialPortInfo>* targets)
{
    const QStringList serials = parser.values("serial");
    if (parser.isSet("all")) {
        *targets = DeviceFinder::attached();
        if (targets->isEmpty())
            output->error({}, ExitCode::NoDevice, "No GCU is attached");
        return !targets->isEmpty();
    }
    if (serials.size() <= 1) {
        const DeviceFinder::Choice choice =
            DeviceFinder::choose(serials.value(0), parser.value("port"));
        if (!choice.problem.isEmpty())
            output->error(serials.value(0), ExitCode::NoDevice, choice.problem);
        *targets = {choice.port};
        return choice.problem.isEmpty();
    }
    const QList<QSerialPortInfo> attached = DeviceFinder::attached();
    for (const QString& serial : serials) {
        const DeviceFinder::Choice choice = DeviceFinder::choose(serial, {});
        if (!choice.problem.isEmpty()) {
            output->error(serial, ExitCode::NoDevice, choice.problem);
            return false;
        }
        // Every GCU with the serial number: one that shares it is turned away
        // with the others, never updated in their place.
        for (const QSerialPortInfo& port : attached) {
            const bool listed =
                std::any_of(targets->begin(), targets->end(), [&](const auto& target) {
                    return target.systemLocation() == port.systemLocation();
                });
            if (port.serialNumber() == serial && !listed)
                targets->append(port);
        }
    }
    return true;
}

ExitCode GcuTool::info()
{
    int count = 0;
    if (!positiveNumber("count", &count))
        return ExitCode::Usage;
    return withDevice([this, count](DeviceSession& session, const QSerialPortInfo& port) {
        const QString serial = session.serialNumber();
        const auto version = session.readFirmwareVersion();
        if (session.cancelled())
            return interrupted(serial);
        if (!version) {
            output->error(serial, ExitCode::Stalled,
                          "The GCU did not answer the request for its firmware version");
            return ExitCode::Stalled;
        }
        std::vector<double> roundTrips;
        for (int sequence = 1; sequence <= count; ++sequence) {
            const auto roundTrip = session.ping(static_cast<uint32_t>(sequence));
            if (session.cancelled())
                return interrupted(serial);
            if (!roundTrip) {
                output->error(serial, ExitCode::Stalled,
                              QString("The GCU did not answer ping %1").arg(sequence));
                return ExitCode::Stalled;
            }
            roundTrips.push_back(*roundTrip);
        }
        const double fastest = *std::min_element(roundTrips.begin(), roundTrips.end());
        const double slowest = *std::max_element(roundTrips.begin(), roundTrips.end());
        const double middle = median(roundTrips);
        output->end(
            serial, ExitCode::Done,
            QString("firmware %1, %2 mode on %3; ping %4 / %5 / %6 ms (min / median / "
                    "max of %7)")
                .arg(*version, DeviceFinder::modeName(port), port.systemLocation())
                .arg(fastest, 0, 'f', 2)
                .arg(middle, 0, 'f', 2)
                .arg(slowest, 0, 'f', 2)
                .arg(count),
            {{"version", *version},
             {"mode", DeviceFinder::modeName(port)},
             {"port", port.systemLocation()},
             {"ping_ms",
              QJsonObject{
                  {"min", fastest}, {"median", middle}, {"max", slowest}, {"count", count}}}});
        return ExitCode::Done;
    });
}

std::optional<ExitCode> GcuTool::uploadSettings(bool secure, UploadRun::Options* options,
                                                FirmwareFileCheck* file)
{
    options->firmwareFile = parser.positionalArguments().at(1);
    options->secure = secure;
    options->expectVersion = parser.value("expect-version");
    if (!positiveNumber("stall-timeout", &options->stallTimeoutS) ||
        !positiveNumber("resume-within", &options->resumeWithinS) ||
        !positiveNumber("reset-timeout", &options->resetTimeoutS))
        return ExitCode::Usage;
    if (secure) {
        options->certFile = parser.value("cert");
        options->keychainFile = parser.value("keychain");
        if (options->certFile.isEmpty() || options->keychainFile.isEmpty())
            return usage("the secure upload needs --cert KEY.pem and --keychain FILE");
        options->acceptNewKey = parser.isSet("accept-new-key");
        options->knownDevicesFile = parser.isSet("known-devices") ? parser.value("known-devices")
                                                                  : KnownDevices::defaultPath();
    }
    // A file that cannot be uploaded is refused before any GCU is touched.
    *file = FirmwareFileCheck::read(options->firmwareFile);
    if (!file->usable()) {
        output->error({}, ExitCode::FileUnusable, file->whyNot());
        return ExitCode::FileUnusable;
    }
    return std::nullopt;
}

ExitCode GcuTool::station()
{
    Station::Settings settings;
    FirmwareFileCheck file;
    if (const auto refused = uploadSettings(parser.isSet("secure"), &settings.upload, &file))
        return *refused;
    settings.serialPrefix = parser.value("serial-prefix");
    settings.repeat = parser.isSet("repeat");
    settings.reportFile = parser.value("report");
    UpdateRecording recording;
    if (const auto refused = recording.start(parser, *output, settings.upload.firmwareFile))
        return *refused;
    settings.recording = &recording;
    std::unique_ptr<Dashboard> dashboard;
    if (parser.isSet("listen")) {
        Dashboard::Settings board;
        board.station =
            parser.isSet("station") ? parser.value("station") : QSysInfo::machineHostName();
        board.firmware = {QFileInfo(settings.upload.firmwareFile).fileName(),
                          settings.upload.expectVersion, file.fileDescription(),
                          FirmwareFileCheck::sha256(settings.upload.firmwareFile)};
        board.record = recording.location();
        if (const auto refused = startDashboard(board, &dashboard))
            return *refused;
    }
    output->showLiveLines(true);
    Station station(settings, file, *output);
    InterruptWatcher interrupts;
    saveTraceOnInterrupt(interrupts);
    const bool stopNow = parser.isSet("stop-now");
    QObject::connect(&interrupts, &InterruptWatcher::interrupted,
                     [&station, stopNow] { station.stop(stopNow); });
    const ExitCode code = station.run();
    output->setListener({});
    return code;
}

std::optional<ExitCode> GcuTool::startDashboard(Dashboard::Settings settings,
                                                std::unique_ptr<Dashboard>* dashboard)
{
    QString problem;
    if (!DashboardOptions::read(parser, &settings.server, &problem))
        return usage(problem);
    *dashboard = std::make_unique<Dashboard>(std::move(settings));
    if (!(*dashboard)->start(&problem)) {
        output->error({}, ExitCode::Usage, problem);
        return ExitCode::Usage;
    }
    StationBoard* board = &(*dashboard)->board();
    output->setListener([board](const QJsonObject& event) { board->take(event); });
    output->log({}, "Dashboard: " + (*dashboard)->pageUrl(), false,
                {{"url", (*dashboard)->pageUrl()}, {"port", (*dashboard)->port()}});
    return std::nullopt;
}

ExitCode GcuTool::serve()
{
    if (!parser.isSet("listen"))
        return usage("serve needs --listen [ADDR:]PORT");
    RecordLocation location;
    QString problem;
    if (!UpdateRecording::locate(parser, &location, &problem))
        return usage(problem);
    // As any run that reaches the record: spooled rows are forwarded and rows of
    // ended processes marked.
    UpdateRecorder recorder(location);
    if (recorder.prepare(&problem) != UpdateRecorder::Readiness::Ready) {
        output->error({}, ExitCode::FileUnusable,
                      QString("The record %1 cannot be used: %2").arg(location.text(), problem));
        return ExitCode::FileUnusable;
    }
    Dashboard::Settings settings;
    settings.fleet = true;
    settings.station = parser.value("station");
    settings.record = location;
    std::unique_ptr<Dashboard> dashboard;
    if (const auto refused = startDashboard(settings, &dashboard))
        return *refused;
    InterruptWatcher interrupts;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    output->setListener({});
    output->end({}, ExitCode::Done, "Stopped serving");
    return ExitCode::Done;
}

ExitCode GcuTool::flash()
{
    UploadRun::Options options;
    FirmwareFileCheck file;
    if (const auto refused =
            uploadSettings(parser.positionalArguments().at(0) == "secure-flash", &options, &file))
        return *refused;
    QList<QSerialPortInfo> chosen;
    if (!chooseTargets(&chosen))
        return ExitCode::NoDevice;
    UpdateRecording recording;
    if (const auto refused = recording.start(parser, *output, options.firmwareFile))
        return *refused;
    // A GCU that could be taken for another after its resets is turned away
    // before anything is sent to it; a lone one without a serial number is not.
    const QList<QSerialPortInfo> attached = DeviceFinder::attached();
    QList<QSerialPortInfo> targets;
    std::map<QString, QString> refusals;
    for (const QSerialPortInfo& port : chosen) {
        const QString why = DeviceFinder::whyNotFollowable(port, attached, true);
        if (why.isEmpty()) {
            targets.append(port);
            continue;
        }
        refusals[port.systemLocation()] = why;
        output->error(port.serialNumber(), ExitCode::NoDevice, why);
        recording.refuse(parser.positionalArguments().at(0), port.serialNumber(),
                         port.systemLocation(), why);
    }
    if (chosen.size() == 1 && targets.isEmpty())
        return ExitCode::NoDevice;
    output->showLiveLines(chosen.size() > 1);
    // One run per GCU, each in a session of its own; they share nothing but the
    // output, and each follows its GCU by serial number through every reset.
    std::vector<std::unique_ptr<UploadRun>> runs;
    for (int i = 0; i < targets.size(); ++i)
        runs.push_back(std::make_unique<UploadRun>(options, file, *output));
    // Ports are told apart by where they are: two GCUs may share a serial number.
    std::map<QString, UploadRun*> runByPort;
    for (int i = 0; i < targets.size(); ++i)
        runByPort[targets[i].systemLocation()] = runs[static_cast<size_t>(i)].get();
    const std::vector<ExitCode> codes =
        targets.isEmpty()
            ? std::vector<ExitCode>{}
            : withDevices(targets, [&](DeviceSession& session, const QSerialPortInfo& port) {
                  UploadRun& run = *runByPort.at(port.systemLocation());
                  UpdateRow row = recording.begin(parser.positionalArguments().at(0),
                                                  session.serialNumber(), port.systemLocation());
                  const ExitCode code = run.run(session, port);
                  recording.endUpload(row, run);
                  return code;
              });
    if (chosen.size() == 1)
        return codes.front();
    // Every GCU asked for has its row: updated, failed or turned away.
    std::vector<RunSummary::Result> results;
    for (const QSerialPortInfo& port : chosen) {
        const auto refused = refusals.find(port.systemLocation());
        results.push_back(
            {port.serialNumber(), refused != refusals.end()
                                      ? UploadRun::refusal(refused->second)
                                      : runByPort.at(port.systemLocation())->outcome()});
    }
    return RunSummary::report(*output, results);
}

ExitCode GcuTool::relay()
{
    RelayRun::Options options;
    const QString server = parser.value("server");
    const int colon = server.lastIndexOf(':');
    bool portOk = false;
    const uint port = colon > 0 ? server.mid(colon + 1).toUInt(&portOk) : 0;
    if (!portOk || port == 0 || port > 65535)
        return usage("relay needs --server HOST:PORT");
    options.host = server.left(colon);
    options.port = static_cast<unsigned short>(port);
    options.version = parser.value("version");
    if (!positiveNumber("stall-timeout", &options.stallTimeoutS) ||
        !positiveNumber("connect-timeout", &options.connectTimeoutS))
        return ExitCode::Usage;
    // Only an update is recorded, not a look at the server's versions.
    UpdateRecording recording;
    if (!options.version.isEmpty())
        if (const auto refused = recording.start(parser, *output))
            return *refused;
    return withDevice([&](DeviceSession& session, const QSerialPortInfo& port) {
        if (options.version.isEmpty())
            return RelayRun(options, *output).run(session);
        UpdateRow row = recording.begin("relay", session.serialNumber(), port.systemLocation());
        RelayRun run(options, *output);
        const ExitCode code = run.run(session);
        recording.end(row, code, run.failure());
        return code;
    });
}

ExitCode GcuTool::recordQuery()
{
    return RecordCommands(parser, *output).run();
}

ExitCode GcuTool::bootloader()
{
    int resetTimeoutS = 0;
    if (!positiveNumber("reset-timeout", &resetTimeoutS))
        return ExitCode::Usage;
    return withDevice([this, resetTimeoutS](DeviceSession& session, const QSerialPortInfo&) {
        const QString serial = session.serialNumber();
        const QSerialPortInfo back = session.resetIntoBootloader(resetTimeoutS * 1000);
        if (session.cancelled())
            return interrupted(serial);
        if (back.isNull()) {
            output->error(serial, ExitCode::Lost,
                          QString("The GCU did not come back in bootloader mode within %1 s")
                              .arg(resetTimeoutS));
            return ExitCode::Lost;
        }
        output->end(serial, ExitCode::Done,
                    QString("In bootloader mode on %1").arg(back.systemLocation()),
                    {{"port", back.systemLocation()}, {"mode", "bootloader"}});
        return ExitCode::Done;
    });
}

ExitCode GcuTool::readKey()
{
    const QString target = parser.value("output");
    if (target.isEmpty())
        return usage("read-key needs -o FILE");
    KnownDevices known(parser.isSet("known-devices") ? parser.value("known-devices")
                                                     : KnownDevices::defaultPath());
    const bool acceptNewKey = parser.isSet("accept-new-key");
    return withDevice([&](DeviceSession& session, const QSerialPortInfo&) {
        const QString serial = session.serialNumber();
        const auto key = session.readPublicKey();
        if (session.cancelled())
            return interrupted(serial);
        if (!key) {
            output->error(serial, ExitCode::Stalled,
                          "The GCU did not answer the request for its public key");
            return ExitCode::Stalled;
        }
        const QString fingerprint = KnownDevices::fingerprint(key->pem);
        QString problem;
        if (!known.readable(&problem)) {
            output->error(serial, ExitCode::FileUnusable, problem);
            return ExitCode::FileUnusable;
        }
        if (!known.admits(serial, key->pem, acceptNewKey, &problem)) {
            output->error(serial, ExitCode::Refused, problem);
            return ExitCode::Refused;
        }
        QSaveFile keychain(target);
        const std::string& bytes = key->keychainEntry;
        if (!keychain.open(QIODevice::WriteOnly) ||
            keychain.write(bytes.data(), static_cast<qint64>(bytes.size())) < 0 ||
            !keychain.commit()) {
            output->error(serial, ExitCode::FileUnusable,
                          QString("Cannot write %1: %2").arg(target, keychain.errorString()));
            return ExitCode::FileUnusable;
        }
        if (!known.remember(serial, key->pem, &problem)) {
            output->error(serial, ExitCode::FileUnusable, problem);
            return ExitCode::FileUnusable;
        }
        output->end(serial, ExitCode::Done,
                    QString("Saved the GCU's key %1 to %2").arg(fingerprint, target),
                    {{"file", target}, {"fingerprint", fingerprint}});
        return ExitCode::Done;
    });
}
