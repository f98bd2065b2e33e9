#pragma once

#include "uploadsteps.h"

class CommandsSender;
class FirmwareFile;

// The plain upload's steps: the file already holds the key material and every
// command in the form the GCU's bootloader expects, and they go out unchanged.
class PlainUploadSteps : public UploadSteps
{
public:
    PlainUploadSteps(const FirmwareFile& file, CommandsSender& sender);

    void sendIntroduction() override;
    void sendKeyStep() override;
    int32_t keyStepTimeoutMs() const override;
    void sendCommand(const FirmwareCommand& command, bool checkpoint) override;

private:
    const FirmwareFile& file;
    CommandsSender& sender;
};
