#pragma once

#include "orvcommon_global.h"

#include <cstdint>

class FirmwareCommand;

// What an upload puts on the wire at each step; the procedure that owns it
// decides when. The owner stops its watchdog before it lets go of its steps, so
// the steps never see a call after their upload has begun to end.
class ORV_COMMON_EXPORT UploadSteps
{
public:
    virtual ~UploadSteps() = default;

    // The first message, answered before the key step.
    virtual void sendIntroduction() = 0;
    // The key step after the introduction's success answer, and how long the GCU
    // may take to answer it.
    virtual void sendKeyStep() = 0;
    virtual int32_t keyStepTimeoutMs() const = 0;
    // Whether the success answer to the key step ends the handshake (the plain
    // upload), or something else must (the secure upload's key exchange), in which
    // case that answer is only logged.
    virtual bool keyStepAnswerEndsHandshake() const { return true; }
    // One command; `checkpoint` when it is a restart point.
    virtual void sendCommand(const FirmwareCommand& command, bool checkpoint) = 0;
    // A line announcing what a success answer to a command leads to.
    virtual void logAdvance(bool toReset) { (void)toReset; }
};
