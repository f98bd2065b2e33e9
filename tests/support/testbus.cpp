#include "testbus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <unistd.h>

namespace {
std::string busDirectory;
int nextPortNumber = 0;
} // namespace

void TestBus::install()
{
    char pattern[] = "/tmp/orv-test-bus-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("cannot create the test bus directory");
    busDirectory = pattern;
    setenv("ORV_VIRTUAL_USB_DIR", pattern, 1);
}

void TestBus::remove()
{
    if (!busDirectory.empty())
        ::rmdir(busDirectory.c_str());
}

std::string TestBus::directory()
{
    return busDirectory;
}

static UsbIdentity identityFor(const PseudoTerminal& terminal, const std::string& serialNumber,
                               uint16_t productId, std::optional<uint16_t> vendorId)
{
    UsbIdentity id;
    // Zero-padded, so that the bus lists ports in the order they were made.
    char number[16];
    std::snprintf(number, sizeof number, "%04d", nextPortNumber++);
    id.sysname = "ttyFAKE" + std::to_string(::getpid()) + "_" + number;
    id.devnode = terminal.slavePath();
    id.vendorId = vendorId;
    id.productId = vendorId ? std::optional<uint16_t>(productId) : std::nullopt;
    id.serialNumber = serialNumber;
    return id;
}

FakeUsbPort::FakeUsbPort(const std::string& serialNumber, uint16_t productId,
                         std::optional<uint16_t> vendorId)
    : usb(TestBus::directory(), identityFor(terminal, serialNumber, productId, vendorId))
{
    if (!terminal.isOpen() || !usb.publish())
        throw std::runtime_error("cannot publish a fake USB port");
}

QSerialPortInfo FakeUsbPort::info() const
{
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        if (info.systemLocation() == systemLocation())
            return info;
    return QSerialPortInfo();
}

std::optional<std::string> FakeUsbPort::readFrame(int timeoutMs)
{
    unsigned char header[4];
    if (!terminal.readExactly(header, sizeof header, timeoutMs))
        return std::nullopt;
    const uint32_t length =
        header[0] | header[1] << 8 | header[2] << 16 | uint32_t(header[3]) << 24;
    std::string payload(length, '\0');
    if (length > 0 && !terminal.readExactly(payload.data(), length, timeoutMs))
        return std::nullopt;
    return payload;
}

std::optional<std::string> FakeUsbPort::takeFrame(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        if (pending.size() >= 4) {
            const auto* header = reinterpret_cast<const unsigned char*>(pending.data());
            const size_t length =
                header[0] | header[1] << 8 | header[2] << 16 | size_t(header[3]) << 24;
            if (pending.size() >= 4 + length) {
                std::string payload = pending.substr(4, length);
                pending.erase(0, 4 + length);
                return payload;
            }
        }
        if (timer.elapsed() > timeoutMs)
            return std::nullopt;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        char buffer[4096];
        const long count = terminal.readSome(buffer, sizeof buffer, 2);
        if (count > 0)
            pending.append(buffer, static_cast<size_t>(count));
    }
}

std::string FakeUsbPort::drain(int quietMs)
{
    std::string bytes;
    char buffer[4096];
    long count;
    while ((count = terminal.readSome(buffer, sizeof buffer, quietMs)) > 0)
        bytes.append(buffer, static_cast<size_t>(count));
    return bytes;
}

void FakeUsbPort::writeFrame(const std::string& payload)
{
    terminal.writeAll(frameOf(payload));
}

std::string frameOf(const std::string& payload)
{
    const auto length = static_cast<uint32_t>(payload.size());
    std::string frame;
    for (int shift = 0; shift < 32; shift += 8)
        frame.push_back(static_cast<char>((length >> shift) & 0xff));
    return frame + payload;
}

bool spinUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(200);
    }
    return true;
}

void spinFor(int ms)
{
    spinUntil([] { return false; }, ms);
}

int spinUntilSteady(const std::function<int()>& count, int quietMs, int timeoutMs,
                    const std::function<void()>& step)
{
    QElapsedTimer total;
    total.start();
    QElapsedTimer unchanged;
    unchanged.start();
    int last = count();
    while (total.elapsed() < timeoutMs && (last == 0 || unchanged.elapsed() < quietMs)) {
        if (step)
            step();
        else
            spinFor(20);
        if (const int now = count(); now != last) {
            last = now;
            unchanged.restart();
        }
    }
    return last;
}

StdoutCapture::StdoutCapture() : previous(std::cout.rdbuf(captured.rdbuf())) {}

StdoutCapture::~StdoutCapture()
{
    std::cout.rdbuf(previous);
}

bool StdoutCapture::contains(const std::string& line) const
{
    for (const std::string& each : lines())
        if (each == line)
            return true;
    return false;
}

std::vector<std::string> StdoutCapture::lines() const
{
    std::vector<std::string> result;
    std::istringstream stream(captured.str());
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

long residentKiB(pid_t process)
{
    std::ifstream status(process ? "/proc/" + std::to_string(process) + "/status"
                                 : std::string("/proc/self/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}
