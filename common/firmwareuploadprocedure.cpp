#include "firmwareuploadprocedure.h"

#include "commandssender.h"

FirmwareUploadProcedure::FirmwareUploadProcedure(std::string fileName, CommandsSender& sender,
                                                 IProcedureFeedback& feedback)
    : UploadProcedure(fileName, sender, feedback)
{
}

FirmwareUploadProcedure::~FirmwareUploadProcedure()
{
    stopWatchdog();
}

void FirmwareUploadProcedure::sendIntroduction()
{
    sender.sendRsaPublicKey(file.rsa_public_key());
}

void FirmwareUploadProcedure::sendKeyStep()
{
    sender.sendAesKey(file.aes_key());
}

void FirmwareUploadProcedure::sendCommand()
{
    sender.sendCommand(takeCurrentCommand().data());
}
