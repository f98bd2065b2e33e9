#pragma once

#include "pseudoterminal.h"
#include "virtualusbdevice.h"

#include <QSerialPortInfo>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <sys/types.h>

// A private virtual USB bus for one test process: a fresh bus directory, set as
// ORV_VIRTUAL_USB_DIR before anything enumerates ports.
class TestBus
{
public:
    static void install();
    static void remove();
    static std::string directory();
};

// A simulated USB serial port: a pseudo-terminal published on the test bus.
class FakeUsbPort
{
public:
    explicit FakeUsbPort(const std::string& serialNumber, uint16_t productId = 0xEEF0,
                         std::optional<uint16_t> vendorId = 0x04D8);

    PseudoTerminal& far() { return terminal; }
    VirtualUsbDevice& device() { return usb; }
    // The port's description as Qt's enumeration reports it.
    QSerialPortInfo info() const;
    QString systemLocation() const { return QString::fromStdString(terminal.slavePath()); }

    // Reads one length-prefixed frame written by the near side.
    std::optional<std::string> readFrame(int timeoutMs = 2000);
    // Reads one frame while running the Qt event loop, so that frames which the
    // near side queues from other threads are written meanwhile.
    std::optional<std::string> takeFrame(int timeoutMs = 2000);
    // Everything that arrives within the given quiet time.
    std::string drain(int quietMs = 100);
    void writeFrame(const std::string& payload);

private:
    PseudoTerminal terminal;
    VirtualUsbDevice usb;
    std::string pending;
};

// Runs the event loop until `done` holds or the time runs out; returns `done()`.
bool spinUntil(const std::function<bool()>& done, int timeoutMs = 3000);
void spinFor(int ms);
// Runs `step` (by default the event loop for a moment) until `count()` is above
// zero and has not changed for `quietMs`, or the time runs out; the last count.
int spinUntilSteady(const std::function<int()>& count, int quietMs, int timeoutMs,
                    const std::function<void()>& step = {});

std::string frameOf(const std::string& payload);
// The resident memory of a process, by default this one.
long residentKiB(pid_t process = 0);

// Captures what the code under test writes to std::cout.
class StdoutCapture
{
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string text() const { return captured.str(); }
    bool contains(const std::string& line) const;
    // The captured lines, in order.
    std::vector<std::string> lines() const;

private:
    std::ostringstream captured;
    std::streambuf* previous;
};
