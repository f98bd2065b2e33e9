#pragma once

#include "orvcommon_global.h"

#include <cstddef>
#include <ostream>
#include <sstream>
#include <string>

// One diagnostic line on standard output, written whole and flushed when the
// LogLine goes out of scope. Lines from different threads never mix.
//
//     LogLine() << "sendPing(sequenceNo = " << sequenceNo << ")";
class ORV_COMMON_EXPORT LogLine
{
public:
    LogLine() = default;
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;
    ~LogLine();

    // Most of a diagnostic hex dump that goes to standard output.
    static constexpr size_t maxDumpBytes = 4096;
    // A hex dump of at most maxDumpBytes, written whole: lines from other threads
    // never land inside it.
    static void hexDump(const void* data, size_t length);

    // Where the lines go: standard output unless a program that owns its standard
    // output (machine-readable output, say) sends them elsewhere; null drops them.
    // Set it before other threads log.
    static void redirect(std::ostream* out);

    template <typename T> LogLine& operator<<(const T& value)
    {
        text << value;
        return *this;
    }

private:
    static void write(const std::string& lines);

    std::ostringstream text;
};
