#include "gcuusbidentity.h"

#include <QSerialPortInfo>

namespace {

bool hasProduct(const QSerialPortInfo& info, quint16 productId)
{
    return info.hasProductIdentifier() && info.hasVendorIdentifier() &&
           info.vendorIdentifier() == GcuUsbIdentity::vendorId &&
           info.productIdentifier() == productId;
}

} // namespace

bool GcuUsbIdentity::isGcuPort(const QSerialPortInfo& info)
{
    return isApplicationPort(info) || isBootloaderPort(info);
}

bool GcuUsbIdentity::isBootloaderPort(const QSerialPortInfo& info)
{
    return hasProduct(info, bootloaderProductId);
}

bool GcuUsbIdentity::isApplicationPort(const QSerialPortInfo& info)
{
    return hasProduct(info, applicationProductId);
}
