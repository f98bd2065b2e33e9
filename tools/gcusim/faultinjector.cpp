#include "faultinjector.h"

FaultInjector::FaultInjector(const SimOptions& options) : options(options), random(options.seed) {}

bool FaultInjector::chance(double share)
{
    return share > 0 && std::uniform_real_distribution<double>(0, 1)(random) < share;
}

uint32_t FaultInjector::failureCode()
{
    return 1 + random() % 3;
}

std::string FaultInjector::garbage()
{
    std::string bytes(1 + random() % 64, '\0');
    for (char& b : bytes)
        b = static_cast<char>(random());
    return bytes;
}
