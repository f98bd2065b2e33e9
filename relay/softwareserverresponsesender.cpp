#include "softwareserverresponsesender.h"

#include "iodevice.h"
#include "server.pb.h"

SoftwareServerResponseSender::SoftwareServerResponseSender(ODevice* device) : device(device) {}

void SoftwareServerResponseSender::sendMessage(SoftwareServerResponse& response)
{
    device->write(response.SerializeAsString());
}

void SoftwareServerResponseSender::sendGetSerialNumber(const std::string& serialNumber)
{
    SoftwareServerResponse response;
    response.mutable_get_serial_number()->set_serial_number(serialNumber);
    sendMessage(response);
}

void SoftwareServerResponseSender::sendGetFirmwareVersion(const std::string& version)
{
    SoftwareServerResponse response;
    response.mutable_get_firmware_versions()->set_version(version);
    sendMessage(response);
}

void SoftwareServerResponseSender::sendReceivedPacketFromGcu(const std::string& packet)
{
    SoftwareServerResponse response;
    response.mutable_receive_packet_from_gcu()->set_packet(packet);
    sendMessage(response);
}

void SoftwareServerResponseSender::sendReconnect()
{
    SoftwareServerResponse response;
    response.mutable_reconnect();
    sendMessage(response);
}
