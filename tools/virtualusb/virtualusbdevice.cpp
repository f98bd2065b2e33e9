#include "virtualusbdevice.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

std::string VirtualUsbDevice::busDirectory()
{
    const char* dir = std::getenv("ORV_VIRTUAL_USB_DIR");
    return dir ? dir : "";
}

VirtualUsbDevice::VirtualUsbDevice(std::string busDirectory, UsbIdentity identity)
    : directory(std::move(busDirectory)), id(std::move(identity))
{
}

VirtualUsbDevice::~VirtualUsbDevice()
{
    withdraw();
}

std::string VirtualUsbDevice::filePath() const
{
    return directory + "/" + id.sysname + ".dev";
}

static std::string hexIdentifier(uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

bool VirtualUsbDevice::publish()
{
    const std::string finalPath = filePath();
    const std::string temporaryPath =
        directory + "/." + id.sysname + "." + std::to_string(::getpid()) + ".tmp";
    {
        std::ofstream file(temporaryPath, std::ios::trunc);
        file << "sysname=" << id.sysname << '\n' << "devnode=" << id.devnode << '\n';
        if (id.vendorId)
            file << "vendor=" << hexIdentifier(*id.vendorId) << '\n';
        if (id.productId)
            file << "product=" << hexIdentifier(*id.productId) << '\n';
        file << "serial=" << id.serialNumber << '\n'
             << "manufacturer=" << id.manufacturer << '\n'
             << "model=" << id.model << '\n';
        if (!file.flush())
            return false;
    }
    published = std::rename(temporaryPath.c_str(), finalPath.c_str()) == 0;
    if (!published)
        std::remove(temporaryPath.c_str());
    return published;
}

void VirtualUsbDevice::withdraw()
{
    if (published)
        std::remove(filePath().c_str());
    published = false;
}
