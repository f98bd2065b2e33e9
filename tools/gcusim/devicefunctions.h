#pragma once

#include "gcu.pb.h"

#include <map>
#include <vector>

// Plausible answers for the protocol families the uploader does not use (data
// logger, PID tuner, map tuner, configuration, calibration, adaptation, CAN
// capture), so that the whole library can be exercised against the simulator.
class DeviceFunctions
{
public:
    // The answers to one command; empty when the command is not one of these.
    std::vector<Response> handle(const Command& command);

private:
    static constexpr uint32_t mapCount = 2;
    static constexpr uint32_t mapSize = 4;

    struct Map
    {
        int32_t xLabels[mapSize] = {0, 10, 20, 30};
        int32_t yLabels[mapSize] = {0, 100, 200, 300};
        int32_t values[mapSize * mapSize] = {};
    };

    MapTunerStatusField check(uint32_t mapId, uint32_t a, uint32_t b = 0) const;

    std::vector<uint32_t> loggerChannels;
    uint32_t loggerSequence = 0;
    std::map<uint32_t, PidTunerGetPidResp> pids;
    Map maps[mapCount];
    MapTunerGetLastGetValueResp lastGet;
    std::map<uint32_t, std::string> segments;
    bool adaptationStarted = false;
};
