#include "firmwareuploadprocedure.h"

#include "plainuploadsteps.h"

FirmwareUploadProcedure::FirmwareUploadProcedure(std::string fileName, CommandsSender& sender,
                                                 IProcedureFeedback& feedback)
    : UploadProcedure(fileName, sender, feedback)
{
    setSteps(std::make_unique<PlainUploadSteps>(*file, sender));
}

FirmwareUploadProcedure::FirmwareUploadProcedure(std::shared_ptr<const FirmwareFile> firmware,
                                                 CommandsSender& sender,
                                                 IProcedureFeedback& feedback)
    : UploadProcedure(std::move(firmware), sender, feedback)
{
    setSteps(std::make_unique<PlainUploadSteps>(*file, sender));
}
