#pragma once

#include <cstdint>
#include <string>

// Reading side of a byte device.
class IDevice
{
public:
    // Blocks until `length` raw bytes are there; the count read, negative on error.
    virtual int32_t read(void* buffer, unsigned long long length) = 0;
    // Blocks until a whole frame is there; its payload.
    virtual std::string readData() = 0;
    virtual ~IDevice() = default;
};

// Writing side of a byte device: one payload, one frame.
class ODevice
{
public:
    virtual void write(std::string data) = 0;
    virtual ~ODevice() = default;
};

class IODevice : public IDevice, public ODevice
{
public:
    virtual void close() = 0;
    virtual bool isActive() = 0;
    virtual std::string error() = 0;
};
