#include "testbus.h"

#include <QSerialPortInfo>
#include <fstream>
#include <gtest/gtest.h>

namespace {

std::optional<QSerialPortInfo> listed(const QString& location)
{
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        if (info.systemLocation() == location)
            return info;
    return std::nullopt;
}

} // namespace

TEST(VirtualUsbBus, PublishedDeviceIsListedWithItsIdentityUntilWithdrawn)
{
    FakeUsbPort port("SN-ENUM-1", 0xEEEF);
    auto info = listed(port.systemLocation());
    ASSERT_TRUE(info.has_value());
    EXPECT_TRUE(info->hasVendorIdentifier());
    EXPECT_EQ(info->vendorIdentifier(), 0x04D8);
    EXPECT_TRUE(info->hasProductIdentifier());
    EXPECT_EQ(info->productIdentifier(), 0xEEEF);
    EXPECT_EQ(info->serialNumber(), "SN-ENUM-1");
    EXPECT_EQ(info->manufacturer(), "Orvane");
    EXPECT_EQ(info->description(), "GCU");

    port.device().withdraw();
    EXPECT_FALSE(listed(port.systemLocation()).has_value());

    port.device().publish();
    EXPECT_TRUE(listed(port.systemLocation()).has_value());
}

TEST(VirtualUsbBus, DeviceWithoutUsbIdentityIsListedWithoutIdentifiers)
{
    FakeUsbPort port("", 0, std::nullopt);
    auto info = listed(port.systemLocation());
    ASSERT_TRUE(info.has_value());
    EXPECT_FALSE(info->hasVendorIdentifier());
    EXPECT_FALSE(info->hasProductIdentifier());
}

TEST(VirtualUsbBus, MalformedDeviceFilesAreSkipped)
{
    FakeUsbPort good("SN-GOOD");
    const std::string dir = TestBus::directory();
    std::ofstream(dir + "/empty.dev");
    std::ofstream(dir + "/nodevnode.dev") << "sysname=ttyX\nvendor=04d8\n";
    std::ofstream(dir + "/badvendor.dev") << "sysname=ttyY\ndevnode=/dev/ttyY\nvendor=zz\n";
    std::ofstream(dir + "/binary.dev") << std::string("\0\xff\x01=\n", 5);

    const auto ports = QSerialPortInfo::availablePorts();
    EXPECT_TRUE(listed(good.systemLocation()).has_value());
    for (const QSerialPortInfo& info : ports) {
        EXPECT_NE(info.portName(), "ttyX");
        EXPECT_NE(info.portName(), "ttyY");
    }
    for (const char* name : {"empty", "nodevnode", "badvendor", "binary"})
        std::remove((dir + "/" + name + ".dev").c_str());
}
