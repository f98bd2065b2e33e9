#include "firmwareidtext.h"

#include "gcu.pb.h"

std::string FirmwareIdText::describe(const FirmwareId& id)
{
    const uint32_t flags = id.flags_word();
    const uint32_t build = flags & 0xfff;
    std::string text = flags & (1u << 13) ? "test-" : "";
    text += std::to_string((id.version_word() >> 8) & 0xff) + "." +
            std::to_string(id.version_word() & 0xff) + "." +
            std::to_string((id.revision_word() >> 8) & 0xff);
    if (flags & (1u << 12))
        text += "b";
    if (build)
        text += "-" + std::to_string(build);
    return text;
}
