#pragma once

#include <string>

class ODevice;
class SoftwareServerResponse;

// Builds the program's answers to the update server and writes each as one frame.
class SoftwareServerResponseSender
{
public:
    explicit SoftwareServerResponseSender(ODevice* device);

    void sendMessage(SoftwareServerResponse& response);
    void sendGetSerialNumber(const std::string& serialNumber);
    void sendGetFirmwareVersion(const std::string& version);
    void sendReceivedPacketFromGcu(const std::string& packet);
    void sendReconnect();

private:
    ODevice* device;
};
