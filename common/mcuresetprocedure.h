#pragma once

#include "orvcommon_global.h"

// Reserved for resetting the MCU as a procedure of its own; it has no behaviour yet.
class ORV_COMMON_EXPORT McuResetProcedure
{
public:
    McuResetProcedure() = default;
};
