#include "firmwareuploadprocedure.h"

#include "plainuploadsteps.h"

FirmwareUploadProcedure::FirmwareUploadProcedure(std::string fileName, CommandsSender& sender,
                                                 IProcedureFeedback& feedback)
    : UploadProcedure(fileName, sender, feedback)
{
    setSteps(std::make_unique<PlainUploadSteps>(file, sender));
}
