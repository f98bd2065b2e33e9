#pragma once

#include "orvcommon_global.h"

#include <sstream>

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

    template <typename T> LogLine& operator<<(const T& value)
    {
        text << value;
        return *this;
    }

private:
    std::ostringstream text;
};
