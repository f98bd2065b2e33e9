#pragma once

#include "flashrecord.h"

#include <string>
#include <vector>

// The simulated bootloader's flash: records land at their offsets; the image is
// complete once every byte has been written.
class SimulatedFlash
{
public:
    // False when the record does not fit the image being written.
    bool write(const FlashRecord& record);
    bool complete() const;
    const std::string& image() const { return bytes; }
    const ImageVersion& version() const { return imageVersion; }
    size_t bytesWritten() const;
    void erase();

private:
    std::string bytes;
    std::vector<bool> written;
    ImageVersion imageVersion;
    bool started = false;
};
