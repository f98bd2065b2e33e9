// A firmware file of arbitrary bytes, driven by arbitrary result codes.
#include "commandssender.h"
#include "comport.h"
#include "firmwareuploadprocedure.h"
#include "fuzzsupport.h"

namespace {

class NoFeedback : public IProcedureFeedback
{
public:
    void updateProgress(int done, int total) override { last = done + total; }
    void procedureDone() override {}
    int last = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::silenceDiagnostics();
    // The first byte says where the file ends; the rest are result codes.
    if (size < 1)
        return 0;
    const size_t fileSize = std::min<size_t>(data[0] * 4u, size - 1);
    const std::string path = fuzz::scratchFile(data + 1, fileSize, "firmware.enc");
    static ComPort closedLink;
    static CommandsSender sender(closedLink);
    NoFeedback feedback;
    FirmwareUploadProcedure procedure(path, sender, feedback);
    procedure.start();
    for (size_t i = 1 + fileSize; i < size; ++i)
        procedure.commandRsult(static_cast<FirmwareCommandResult>(data[i] % 7));
    return 0;
}
