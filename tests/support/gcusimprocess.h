#pragma once

#include <QSerialPortInfo>
#include <string>
#include <sys/types.h>
#include <vector>

// Key files for the simulator and the packer, made once per test process.
struct TestKeys
{
    std::string devicePem;    // the simulated GCU's private key
    std::string deviceOrvkc;  // its device keychain file
    std::string signerPem;    // a signer's private key
    std::string keychain;     // a keychain holding the signer's public key
    static const TestKeys& get();
};

// A tool of the build tree running as a child process, its output in a log file.
class ToolProcess
{
public:
    ToolProcess(const std::string& tool, const std::vector<std::string>& arguments);
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // The exit code once the process has ended within the time, or -1.
    int waitForExit(int timeoutMs);
    std::string log() const;

private:
    std::string logPath;
    pid_t child = -1;
    int exitCode = -1;
};

// gcu-sim running as a child process on the test's virtual USB bus.
class GcuSimProcess
{
public:
    explicit GcuSimProcess(const std::string& serialNumber, std::vector<std::string> arguments = {});
    ~GcuSimProcess();
    GcuSimProcess(const GcuSimProcess&) = delete;
    GcuSimProcess& operator=(const GcuSimProcess&) = delete;

    // The simulator's port with the given product identifier, once it is listed.
    QSerialPortInfo waitForPort(uint16_t productId, int timeoutMs = 5000) const;
    bool waitUntilGone(int timeoutMs = 5000) const;
    // What the simulator logged so far.
    std::string log() const;
    const std::string& serialNumber() const { return serial; }

private:
    std::string serial;
    ToolProcess process;
};

// Runs a tool from the build tree; returns its exit code.
int runTool(const std::string& tool, const std::vector<std::string>& arguments);
std::string toolPath(const std::string& tool);
std::string temporaryPath(const std::string& stem);
std::string readWholeFile(const std::string& path);
