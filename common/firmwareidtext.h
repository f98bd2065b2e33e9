#pragma once

#include "orvcommon_global.h"

#include <string>

class FirmwareId;

// How a GCU's firmware identity reads to people: "test-" for a test build,
// major.minor.patch, "b" for a beta, "-N" for a build number (test-1.2.3b-5).
class ORV_COMMON_EXPORT FirmwareIdText
{
public:
    static std::string describe(const FirmwareId& id);
};
