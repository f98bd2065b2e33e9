// gcu-sim: a simulated GCU on the virtual USB bus. See README.md.
#include "gcusimulator.h"

#include <QCoreApplication>

#include <csignal>
#include <iostream>

namespace {
std::atomic<bool> stopRequested{false};
void requestStop(int)
{
    stopRequested = true;
}
} // namespace

int main(int argc, char** argv)
{
    // For the command line only: the simulator runs its own loop.
    QCoreApplication app(argc, argv);
    std::string error;
    auto options = SimOptions::parse(argc, argv, &error);
    if (!options) {
        std::cerr << "gcu-sim: " << error << "\n" << SimOptions::usage();
        return 2;
    }
    if (options->helpRequested) {
        std::cout << SimOptions::usage();
        return 0;
    }
    if (!ImageVersion::parse(options->version)) {
        std::cerr << "gcu-sim: not a version: " << options->version << "\n";
        return 2;
    }
    std::unique_ptr<RsaKey> deviceKey;
    if (options->deviceKeyFile.empty()) {
        std::cerr << "gcu-sim: no --device-key given, making a new device key\n";
        deviceKey = RsaKey::generate(2048, &error);
    } else {
        deviceKey = RsaKey::fromPrivateFile(options->deviceKeyFile, &error);
    }
    if (!deviceKey) {
        std::cerr << "gcu-sim: device key: " << error << "\n";
        return 1;
    }
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);
    std::signal(SIGPIPE, SIG_IGN);
    GcuSimulator simulator(*options, std::move(deviceKey));
    return simulator.run(stopRequested);
}
