#pragma once

#include "orvcommon_global.h"

// Stands for one attached GCU in the tools of the family; it carries nothing yet.
class ORV_COMMON_EXPORT OrvDevice
{
public:
    OrvDevice() = default;
};
