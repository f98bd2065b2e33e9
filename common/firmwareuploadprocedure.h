#pragma once

#include "uploadprocedure.h"

// The plain firmware upload: the file already holds the key material and every
// command in the form the GCU's bootloader expects; the procedure sends them in
// order: the key blob, the AES key, the commands, the reset.
class ORV_COMMON_EXPORT FirmwareUploadProcedure : public UploadProcedure
{
public:
    static constexpr int32_t aesKeyTimeoutMs = 7500;

    FirmwareUploadProcedure(std::string fileName, CommandsSender& sender,
                            IProcedureFeedback& feedback);
    // On a firmware file already read, which many procedures may share.
    FirmwareUploadProcedure(std::shared_ptr<const FirmwareFile> file, CommandsSender& sender,
                            IProcedureFeedback& feedback);
};
