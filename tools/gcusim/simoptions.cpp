#include "simoptions.h"

#include <cstdlib>
#include <stdexcept>

const char* SimOptions::usage()
{
    return "usage: gcu-sim --serial SN [options]\n"
           "  --serial SN             USB serial number (default GCU0001)\n"
           "  --version V             application firmware version, e.g. 1.2.3, test-1.2.3b-5\n"
           "  --bus-dir DIR           virtual USB bus directory (default $ORV_VIRTUAL_USB_DIR)\n"
           "  --device-key FILE       the GCU's RSA private key, PEM (default: a new one)\n"
           "  --flash-out FILE        where a completed upload's image is written\n"
           "  --reset-delay MS        time off the bus during a reset (default 1500)\n"
           "  --bootloader            start in bootloader mode\n"
           "  --stay-in-bootloader    come back in bootloader mode after an upload as well\n"
           "  --timestamps FILE       at exit, write when each command came and each answer left\n"
           "faults (each injected fault is logged; --seed makes a run repeatable):\n"
           "  --drop SHARE            drop this share of answers\n"
           "  --fail SHARE            reject this share of upload steps (codes 1 to 3)\n"
           "  --delay MS              delay every answer\n"
           "  --garbage SHARE         send a frame of garbage before this share of answers\n"
           "  --oversize SHARE        send an oversize length header before this share\n"
           "  --vanish-after N        leave the bus after N commands\n"
           "  --return-after MS       ... and come back after MS\n"
           "  --seed N                random seed (default 1)\n";
}

std::optional<SimOptions> SimOptions::parse(int argc, char** argv, std::string* error)
{
    SimOptions options;
    if (const char* dir = std::getenv("ORV_VIRTUAL_USB_DIR"))
        options.busDirectory = dir;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc)
                    throw std::invalid_argument(arg + " needs a value");
                return argv[++i];
            };
            auto share = [&] {
                const double v = std::stod(value());
                if (v < 0 || v > 1)
                    throw std::invalid_argument(arg + " takes a share between 0 and 1");
                return v;
            };
            if (arg == "--serial")
                options.serialNumber = value();
            else if (arg == "--version")
                options.version = value();
            else if (arg == "--bus-dir")
                options.busDirectory = value();
            else if (arg == "--device-key")
                options.deviceKeyFile = value();
            else if (arg == "--flash-out")
                options.flashOut = value();
            else if (arg == "--reset-delay")
                options.resetDelayMs = std::stoi(value());
            else if (arg == "--timestamps")
                options.timestampsFile = value();
            else if (arg == "--stay-in-bootloader")
                options.stayInBootloader = true;
            else if (arg == "--bootloader")
                options.startInBootloader = true;
            else if (arg == "--drop")
                options.dropShare = share();
            else if (arg == "--fail")
                options.failShare = share();
            else if (arg == "--garbage")
                options.garbageShare = share();
            else if (arg == "--oversize")
                options.oversizeShare = share();
            else if (arg == "--delay")
                options.delayMs = std::stoi(value());
            else if (arg == "--vanish-after")
                options.vanishAfter = std::stoi(value());
            else if (arg == "--return-after")
                options.returnAfterMs = std::stoi(value());
            else if (arg == "--seed")
                options.seed = static_cast<uint32_t>(std::stoul(value()));
            else
                throw std::invalid_argument("unknown option " + arg);
        }
    } catch (const std::exception& e) {
        *error = e.what();
        return std::nullopt;
    }
    if (options.busDirectory.empty()) {
        *error = "no virtual USB bus: give --bus-dir or set ORV_VIRTUAL_USB_DIR";
        return std::nullopt;
    }
    return options;
}
