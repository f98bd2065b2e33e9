#pragma once

#include "orvcommon_global.h"

#include <cstdint>
#include <string>

// The GCU's result code for the last bootloader step, exactly as it arrives in
// the `result` member of a Response. 0 goes on; 1 to 3 fall back to the last
// checkpoint; 4 and above only count as an answer.
enum FirmwareCommandResult : uint32_t
{
    FirmwareCommandAccepted = 0,
    FirmwareCommandRejected = 1,
    FirmwareCommandCorrupted = 2,
    FirmwareCommandWriteFailed = 3,
};

// A multi-step exchange with the GCU's bootloader, driven by its result answers.
class ORV_COMMON_EXPORT IProcedure
{
public:
    virtual ~IProcedure() = default;
    virtual void start() = 0;
    virtual void commandRsult(FirmwareCommandResult result) = 0;
    virtual void hardwareIds(std::string, std::string, std::string) = 0;
};

// Where a procedure reports progress and completion; called on the thread that
// delivers the procedure's answers.
class ORV_COMMON_EXPORT IProcedureFeedback
{
public:
    virtual ~IProcedureFeedback() = default;
    virtual void updateProgress(int done, int total) = 0;
    virtual void procedureDone() = 0;
};
