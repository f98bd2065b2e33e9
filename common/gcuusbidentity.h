#pragma once

#include "orvcommon_global.h"

#include <QtGlobal>

class QSerialPortInfo;

// How a GCU shows up on USB: one vendor, one product in application mode and
// another in its bootloader. The USB serial number tells one GCU from another.
class ORV_COMMON_EXPORT GcuUsbIdentity
{
public:
    static constexpr quint16 vendorId = 0x04D8;
    static constexpr quint16 applicationProductId = 0xEEF0;
    static constexpr quint16 bootloaderProductId = 0xEEEF;

    // A GCU's port in either mode.
    static bool isGcuPort(const QSerialPortInfo& info);
    static bool isBootloaderPort(const QSerialPortInfo& info);
    static bool isApplicationPort(const QSerialPortInfo& info);
};
