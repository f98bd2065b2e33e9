#pragma once

#include "toolprocess.h"

#include <QSerialPortInfo>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

// Key files for the simulator and the packer, made once per test process.
struct TestKeys
{
    std::string devicePem;   // the simulated GCU's private key
    std::string deviceOrvkc; // its device keychain file
    std::string signerPem;   // a signer's private key
    std::string keychain;    // a keychain holding the signer's public key
    static const TestKeys& get();
};

// gcu-sim running as a child process on the test's virtual USB bus.
class GcuSimProcess
{
public:
    explicit GcuSimProcess(const std::string& serialNumber,
                           std::vector<std::string> arguments = {});
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
// A tool of the build tree, its log kept with the test's files.
std::unique_ptr<ToolProcess> startTool(const std::string& tool,
                                       const std::vector<std::string>& arguments);
std::string temporaryPath(const std::string& stem);
// update-server-sim on a loopback port of its own choosing, once it listens; sets
// `port` to it. Throws, with the log, if it does not listen within 15 s.
std::unique_ptr<ToolProcess> startUpdateServer(std::vector<std::string> arguments, quint16* port);
// Reproducible random bytes.
std::string randomImage(size_t size, unsigned seed);
// A firmware file for the simulated GCU (its device key), made by gcu-fwpack with
// the given further options; its path.
std::string packFirmware(const std::string& image, const std::vector<std::string>& options = {});
std::string readWholeFile(const std::string& path);
