#include "simulatedflash.h"

#include <algorithm>

bool SimulatedFlash::write(const FlashRecord& record)
{
    if (!started || record.imageSize != bytes.size()) {
        bytes.assign(record.imageSize, '\xff');
        written.assign(record.imageSize, false);
        started = true;
    }
    imageVersion = record.version;
    if (record.kind == FlashRecord::Begin)
        return true;
    std::copy(record.data.begin(), record.data.end(), bytes.begin() + record.offset);
    std::fill_n(written.begin() + record.offset, record.data.size(), true);
    return true;
}

bool SimulatedFlash::complete() const
{
    return started && std::all_of(written.begin(), written.end(), [](bool b) { return b; });
}

size_t SimulatedFlash::bytesWritten() const
{
    return static_cast<size_t>(std::count(written.begin(), written.end(), true));
}

void SimulatedFlash::erase()
{
    bytes.clear();
    written.clear();
    started = false;
}
