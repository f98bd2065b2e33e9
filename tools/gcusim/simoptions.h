#pragma once

#include <cstdint>
#include <optional>
#include <string>

// gcu-sim's command line.
struct SimOptions
{
    std::string serialNumber = "GCU0001";
    std::string version = "1.0.0";
    std::string busDirectory;
    std::string deviceKeyFile;
    std::string flashOut;
    int resetDelayMs = 1500;
    bool startInBootloader = false;
    // Back in bootloader mode after a complete upload too, ready for the next.
    bool stayInBootloader = false;
    // Where the times of commands received and answers sent are written at exit.
    std::string timestampsFile;
    // The link paced: a UART at this many baud (0: not a UART), or USB full speed.
    int baud = 0;
    bool usbFullSpeed = false;
    // Claims the device key but signs its key-exchange answers with another key,
    // as a GCU that copied another's public key would.
    bool impostor = false;

    // Fault injection; shares are between 0 and 1.
    double dropShare = 0;
    double failShare = 0;
    double garbageShare = 0;
    double oversizeShare = 0;
    int delayMs = 0;
    int vanishAfter = -1;
    int returnAfterMs = -1;
    uint32_t seed = 1;
    bool helpRequested = false;

    static std::optional<SimOptions> parse(int argc, char** argv, std::string* error);
    static std::string usage();
};
