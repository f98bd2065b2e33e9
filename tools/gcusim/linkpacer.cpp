#include "linkpacer.h"

#include <algorithm>

LinkPacer::Clock::time_point LinkPacer::pass(size_t bytes, Clock::time_point now)
{
    using std::chrono::nanoseconds;
    switch (kind) {
    case Kind::Unpaced:
        return now;
    case Kind::Uart: {
        constexpr unsigned long long bitsPerByte = 10;
        const auto start = std::max(now, busyUntil);
        busyUntil = start + nanoseconds(bytes * bitsPerByte * 1'000'000'000ULL / baud);
        return busyUntil;
    }
    case Kind::UsbFullSpeed:
        break;
    }
    if (now >= busyUntil) {
        // Frames start on whole milliseconds of the clock, as the host's do on its own.
        const auto sinceFrame = (now - Clock::time_point{}) % usbFrame;
        transferStart = now - sinceFrame + usbFrame;
        transferBytes = 0;
    }
    transferBytes += bytes;
    const auto packets = static_cast<long long>(
        std::max<size_t>(1, (transferBytes + usbPacketBytes - 1) / usbPacketBytes));
    busyUntil =
        transferStart + nanoseconds(packets * nanoseconds(usbFrame).count() / usbPacketsPerFrame);
    return busyUntil;
}
