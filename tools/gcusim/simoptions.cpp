#include "simoptions.h"

#include <QCommandLineParser>
#include <QStringList>
#include <cstdlib>
#include <stdexcept>

namespace {

// gcu-sim's options, with the texts that --help shows.
void describeOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription(
        "A simulated GCU on the virtual USB bus.\n"
        "Faults are logged as they strike; --seed makes a run repeatable.");
    parser.addHelpOption();
    parser.addOptions({
        {"serial", "USB serial number (default GCU0001).", "SN"},
        {"version", "Application firmware version, e.g. 1.2.3, test-1.2.3b-5.", "V"},
        {"bus-dir", "Virtual USB bus directory (default $ORV_VIRTUAL_USB_DIR).", "DIR"},
        {"device-key", "The GCU's RSA private key, PEM (default: a new one).", "FILE"},
        {"flash-out", "Where a completed upload's image is written.", "FILE"},
        {"reset-delay", "Time off the bus during a reset (default 1500).", "MS"},
        {"bootloader", "Start in bootloader mode."},
        {"stay-in-bootloader", "Come back in bootloader mode after an upload as well."},
        {"timestamps", "At exit, write when each command came and each answer left.", "FILE"},
        {"baud", "Take bytes in and out as a UART at N baud would (10 bits a byte).", "N"},
        {"usb-full-speed", "Take bytes in and out as a USB full-speed CDC link would (64-byte\n"
                           "packets, a transfer's first waiting for the next 1 ms frame)."},
        {"drop", "Drop this share of answers.", "SHARE"},
        {"fail", "Reject this share of upload steps (codes 1 to 3).", "SHARE"},
        {"delay", "Delay every answer.", "MS"},
        {"garbage", "Send a frame of garbage before this share of answers.", "SHARE"},
        {"oversize", "Send an oversize length header before this share of answers.", "SHARE"},
        {"vanish-after", "Leave the bus after N commands.", "N"},
        {"return-after", "... and come back after MS.", "MS"},
        {"seed", "Random seed (default 1).", "N"},
        {"impostor", "Claim the device key but sign key-exchange answers with another key."},
    });
}

int whole(const QCommandLineParser& parser, const char* name, int fallback)
{
    if (!parser.isSet(name))
        return fallback;
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok)
        throw std::invalid_argument(std::string("--") + name + " takes a whole number");
    return value;
}

double share(const QCommandLineParser& parser, const char* name)
{
    if (!parser.isSet(name))
        return 0;
    bool ok = false;
    const double value = parser.value(name).toDouble(&ok);
    if (!ok || value < 0 || value > 1)
        throw std::invalid_argument(std::string("--") + name + " takes a share between 0 and 1");
    return value;
}

std::string text(const QCommandLineParser& parser, const char* name, const std::string& fallback)
{
    return parser.isSet(name) ? parser.value(name).toStdString() : fallback;
}

} // namespace

std::string SimOptions::usage()
{
    QCommandLineParser parser;
    describeOptions(parser);
    return parser.helpText().replace("Usage: ", "usage: ").toStdString();
}

std::optional<SimOptions> SimOptions::parse(int argc, char** argv, std::string* error)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    describeOptions(parser);
    if (!parser.parse(arguments)) {
        *error = parser.errorText().toStdString();
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = "unexpected argument " + parser.positionalArguments().first().toStdString();
        return std::nullopt;
    }
    SimOptions options;
    if (const char* dir = std::getenv("ORV_VIRTUAL_USB_DIR"))
        options.busDirectory = dir;
    try {
        options.serialNumber = text(parser, "serial", options.serialNumber);
        options.version = text(parser, "version", options.version);
        options.busDirectory = text(parser, "bus-dir", options.busDirectory);
        options.deviceKeyFile = text(parser, "device-key", options.deviceKeyFile);
        options.flashOut = text(parser, "flash-out", options.flashOut);
        options.timestampsFile = text(parser, "timestamps", options.timestampsFile);
        options.resetDelayMs = whole(parser, "reset-delay", options.resetDelayMs);
        options.startInBootloader = parser.isSet("bootloader");
        options.stayInBootloader = parser.isSet("stay-in-bootloader");
        options.dropShare = share(parser, "drop");
        options.failShare = share(parser, "fail");
        options.garbageShare = share(parser, "garbage");
        options.oversizeShare = share(parser, "oversize");
        options.delayMs = whole(parser, "delay", options.delayMs);
        options.vanishAfter = whole(parser, "vanish-after", options.vanishAfter);
        options.returnAfterMs = whole(parser, "return-after", options.returnAfterMs);
        options.seed = static_cast<uint32_t>(whole(parser, "seed", static_cast<int>(options.seed)));
        options.baud = whole(parser, "baud", options.baud);
        options.usbFullSpeed = parser.isSet("usb-full-speed");
        options.impostor = parser.isSet("impostor");
        if (parser.isSet("baud") && options.baud <= 0)
            throw std::invalid_argument("--baud takes a positive number");
        if (options.baud > 0 && options.usbFullSpeed)
            throw std::invalid_argument("--baud and --usb-full-speed are two different links");
    } catch (const std::exception& e) {
        *error = e.what();
        return std::nullopt;
    }
    options.helpRequested = parser.isSet("help");
    if (options.busDirectory.empty() && !options.helpRequested) {
        *error = "no virtual USB bus: give --bus-dir or set ORV_VIRTUAL_USB_DIR";
        return std::nullopt;
    }
    return options;
}
