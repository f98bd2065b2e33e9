#pragma once

#include "simoptions.h"

#include <random>
#include <string>

// Decides, from a seeded generator, which answers the simulator spoils.
class FaultInjector
{
public:
    explicit FaultInjector(const SimOptions& options);

    bool dropAnswer() { return chance(options.dropShare); }
    bool failStep() { return chance(options.failShare); }
    bool garbageFirst() { return chance(options.garbageShare); }
    bool oversizeFirst() { return chance(options.oversizeShare); }
    // A failure code from 1 to 3.
    uint32_t failureCode();
    std::string garbage();

private:
    bool chance(double share);

    const SimOptions& options;
    std::mt19937 random;
};
