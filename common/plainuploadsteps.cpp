#include "plainuploadsteps.h"

#include "commandssender.h"
#include "firmware.pb.h"
#include "firmwareuploadprocedure.h"

PlainUploadSteps::PlainUploadSteps(const FirmwareFile& file, CommandsSender& sender)
    : file(file), sender(sender)
{
}

void PlainUploadSteps::sendIntroduction()
{
    sender.sendRsaPublicKey(file.rsa_public_key());
}

void PlainUploadSteps::sendKeyStep()
{
    sender.sendAesKey(file.aes_key());
}

int32_t PlainUploadSteps::keyStepTimeoutMs() const
{
    return FirmwareUploadProcedure::aesKeyTimeoutMs;
}

void PlainUploadSteps::sendCommand(const FirmwareCommand& command, bool)
{
    sender.sendCommand(command.data());
}
