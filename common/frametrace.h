#pragma once

#include "orvcommon_global.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>

// The frames that went to and came from the GCU and the update server, newest
// last, for a bug report: when, which way, how long, what kind of message, and
// its first bytes. It keeps the last maxFrames frames or maxBytes of them,
// whichever is less, and costs nothing until it is started.
//
// One trace serves the whole process; any thread may record into it.
class ORV_COMMON_EXPORT FrameTrace
{
public:
    enum class Direction
    {
        ToGcu,
        FromGcu,
        ToServer,
        FromServer
    };

    static constexpr size_t maxFrames = 10000;
    static constexpr size_t maxBytes = 8 * 1024 * 1024;
    // Enough of a frame to tell it apart; the rest is in its length.
    static constexpr size_t shownBytes = 64;

    static FrameTrace& process();

    void start() { recording = true; }
    bool started() const { return recording; }
    void record(Direction direction, const std::string& payload);
    // One line a frame, oldest first:
    //   2026-12-08T09:14:03.127Z to-gcu 2060 send_firmware_command 08 01 12 ...
    void write(std::ostream& out) const;
    size_t frames() const;

    // The message kind a payload holds: the name of its oneof member, "none" when
    // it holds none, "unparsable" when it is not a message of that direction.
    static std::string kindOf(Direction direction, const std::string& payload);
    static const char* directionName(Direction direction);

private:
    struct Entry
    {
        int64_t atMs;
        Direction direction;
        size_t length;
        std::string kind;
        std::string head;
        size_t footprint() const { return sizeof(Entry) + kind.size() + head.size(); }
    };

    std::atomic<bool> recording{false};
    mutable std::mutex lock;
    std::deque<Entry> entries;
    size_t bytesHeld = 0;
};
