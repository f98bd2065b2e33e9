#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What a USB serial device tells the system about itself.
struct UsbIdentity
{
    std::string sysname;
    std::string devnode;
    std::optional<uint16_t> vendorId;
    std::optional<uint16_t> productId;
    std::string serialNumber;
    std::string manufacturer = "Orvane";
    std::string model = "GCU";
};

// One device on the virtual USB bus: a file in the bus directory that the libudev
// stand-in lists. Publishing renames a complete file into place and withdrawing
// removes it, so enumerating processes see the device whole or not at all.
class VirtualUsbDevice
{
public:
    // The bus directory named by ORV_VIRTUAL_USB_DIR; empty when unset.
    static std::string busDirectory();

    VirtualUsbDevice(std::string busDirectory, UsbIdentity identity);
    ~VirtualUsbDevice();
    VirtualUsbDevice(const VirtualUsbDevice&) = delete;
    VirtualUsbDevice& operator=(const VirtualUsbDevice&) = delete;

    bool publish();
    void withdraw();
    bool isPublished() const { return published; }
    std::string filePath() const;

private:
    std::string directory;
    UsbIdentity id;
    bool published = false;
};
