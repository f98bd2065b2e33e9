#include "commandssender.h"

#include "comport.h"
#include "gcu.pb.h"
#include "logline.h"

namespace {

// MapAxis values other than X and Y leave the field at its default.
template <typename Request> void setAxis(Request& request, CommandsSender::MapAxis axis)
{
    if (axis == CommandsSender::X)
        request.set_axis(MAP_AXIS_X);
    else if (axis == CommandsSender::Y)
        request.set_axis(MAP_AXIS_Y);
}

} // namespace

CommandsSender::CommandsSender(ComPort& port) : port(port) {}

void CommandsSender::send(Command& command)
{
    command.set_headervalue(1);
    port.commandSend(command.SerializeAsString());
}

void CommandsSender::sendResetToBootloader()
{
    LogLine() << "sendResetToBootloader()";
    Command command;
    command.mutable_reset_to_bootloader();
    send(command);
}

void CommandsSender::sendRsaPublicKey(const std::string& key)
{
    LogLine() << "sendRsaPublicKey()";
    Command command;
    command.mutable_rsa_public_key()->set_data(key);
    send(command);
}

void CommandsSender::sendAesKey(const std::string& key)
{
    LogLine() << "sendAesKey()";
    Command command;
    command.mutable_aes_key()->set_data(key);
    send(command);
}

void CommandsSender::sendCommand(std::string data)
{
    LogLine() << "sendCommand()";
    Command command;
    command.mutable_command_data()->set_data(std::move(data));
    send(command);
}

void CommandsSender::sendPing(unsigned int sequenceNo)
{
    LogLine() << "sendPing(sequenceNo = " << sequenceNo << ")";
    Command command;
    command.mutable_ping()->set_sequenceno(sequenceNo);
    send(command);
}

void CommandsSender::sendModuleKeyPublicKeyRequest()
{
    LogLine() << "sendModuleKeyPublicKeyRequest()";
    Command command;
    command.mutable_module_public_key_request();
    send(command);
}

void CommandsSender::sendReset()
{
    LogLine() << "sendReset()";
    Command command;
    command.mutable_reset();
    send(command);
}

void CommandsSender::sendKeyExchange(const std::string& value)
{
    LogLine() << "sendKeyExchange()";
    Command command;
    command.mutable_key_exchange()->set_data(value);
    send(command);
}

void CommandsSender::sendCandumpStart()
{
    LogLine() << "sendCandumpStart";
    Command command;
    command.mutable_candump_start();
    send(command);
}

void CommandsSender::sendCandumpStop()
{
    LogLine() << "sendCandumpStop";
    Command command;
    command.mutable_candump_stop();
    send(command);
}

void CommandsSender::sendGetIds()
{
    LogLine() << "sendGetIds()";
    Command command;
    command.mutable_get_device_id();
    send(command);
}

void CommandsSender::sendGetFirmwareId()
{
    LogLine() << "sendGetFirmwareId";
    Command command;
    command.mutable_get_firmware_id();
    send(command);
}

void CommandsSender::sendLoggerStart(std::vector<unsigned int>& channels)
{
    LogLine() << "sendLoggerStart()";
    Command command;
    DataloggerStart* request = command.mutable_logger_start();
    for (unsigned int channel : channels) {
        LogLine() << "channel: " << channel;
        request->add_channel(channel);
    }
    send(command);
}

void CommandsSender::sendLoggerStop()
{
    LogLine() << "sendLoggerStop()";
    Command command;
    command.mutable_logger_stop();
    send(command);
}

void CommandsSender::sendLoggerDataRequest()
{
    LogLine() << "sendLoggerDataRequest()";
    Command command;
    command.mutable_logger_data();
    send(command);
}

void CommandsSender::sendVirtualInputValue(int id, int value)
{
    LogLine() << "sendVirtualInputValue(id=" << id << ", value=" << value << ")";
    Command command;
    VirtualInputSet* request = command.mutable_virtual_input_set();
    request->set_id(id);
    request->set_value(value);
    send(command);
}

void CommandsSender::sendPidTunerStartReq()
{
    LogLine() << "sendPidTunerStartReq()";
    Command command;
    command.mutable_pid_tuner_start();
    send(command);
}

void CommandsSender::sendPidTunerSetPidReq(unsigned int pidId, int p, int i, int d, int lowerCap,
                                           int upperCap)
{
    LogLine() << "sendPidTunerSetPidReq(pidId=" << pidId << ", p=" << p << ", i=" << i
              << ", d=" << d << ", lowerCap=" << lowerCap << ", upperCap=" << upperCap << ")";
    Command command;
    PidTunerSetPidReq* request = command.mutable_pid_tuner_set_pid();
    request->set_pidid(pidId);
    request->set_p(p);
    request->set_i(i);
    request->set_d(d);
    request->set_lowercap(lowerCap);
    request->set_uppercap(upperCap);
    send(command);
}

void CommandsSender::sendPidTunerGetPidReq(unsigned int pidId)
{
    LogLine() << "sendPidTunerGetPidReq(pidId=" << pidId << ")";
    Command command;
    command.mutable_pid_tuner_get_pid()->set_pidid(pidId);
    send(command);
}

void CommandsSender::sendPidTunerResetReq(unsigned int pidId)
{
    LogLine() << "sendPidTunerResetReq(pidId=" << pidId << ")";
    Command command;
    command.mutable_pid_tuner_reset()->set_pidid(pidId);
    send(command);
}

void CommandsSender::sendMapTunerStartReq()
{
    LogLine() << "sendMapTunerStartReq()";
    Command command;
    command.mutable_map_tuner_start();
    send(command);
}

void CommandsSender::sendMapTunerGetMapDetails(unsigned int mapId)
{
    LogLine() << "sendMapTunerGetMapDetails(mapId=" << mapId << ")";
    Command command;
    command.mutable_map_tuner_get_map_details()->set_mapid(mapId);
    send(command);
}

void CommandsSender::sendMapTunerSetMapLabel(unsigned int mapId, MapAxis axis,
                                             unsigned int position, int label)
{
    LogLine() << "sendMapTunerSetMapLabel(mapId=" << mapId << ", axis=" << static_cast<int>(axis)
              << ", position=" << position << ", label=" << label << ")";
    Command command;
    MapTunerSetMapLabelReq* request = command.mutable_map_tuner_set_map_label();
    request->set_mapid(mapId);
    setAxis(*request, axis);
    request->set_position(position);
    request->set_label(label);
    send(command);
}

void CommandsSender::sendMapTunerGetMapLabel(unsigned int mapId, MapAxis axis,
                                             unsigned int position)
{
    LogLine() << "sendMapTunerGetMapLabel(mapId=" << mapId << ", axis=" << static_cast<int>(axis)
              << ", position=" << position << ")";
    Command command;
    MapTunerGetMapLabelReq* request = command.mutable_map_tuner_get_map_label();
    request->set_mapid(mapId);
    setAxis(*request, axis);
    request->set_position(position);
    send(command);
}

void CommandsSender::sendMapTunerSetMapValue(unsigned int mapId, unsigned int xIndex,
                                             unsigned int yIndex, int value)
{
    LogLine() << "sendMapTunerSetMapValue(mapId=" << mapId << ", xIndex=" << xIndex
              << ", yIndex=" << yIndex << ", value=" << value << ")";
    Command command;
    MapTunerSetMapValueReq* request = command.mutable_map_tuner_set_map_value();
    request->set_mapid(mapId);
    request->set_xindex(xIndex);
    request->set_yindex(yIndex);
    request->set_value(value);
    send(command);
}

void CommandsSender::sendMapTunerGetMapValue(unsigned int mapId, unsigned int xIndex,
                                             unsigned int yIndex)
{
    LogLine() << "sendMapTunerGetMapValue(mapId=" << mapId << ", xIndex=" << xIndex
              << ", yIndex=" << yIndex << ")";
    Command command;
    MapTunerGetMapValueReq* request = command.mutable_map_tuner_get_map_value();
    request->set_mapid(mapId);
    request->set_xindex(xIndex);
    request->set_yindex(yIndex);
    send(command);
}

void CommandsSender::sendMapTunerGetMap(unsigned int mapId)
{
    LogLine() << "sendMapTunerGetMap(mapId=" << mapId << ")";
    Command command;
    command.mutable_map_tuner_get_map()->set_mapid(mapId);
    send(command);
}

void CommandsSender::sendMapTunerGetLastGetValue(unsigned int mapId)
{
    LogLine() << "sendMapTunerGetLastGetValue(mapId=" << mapId << ")";
    Command command;
    command.mutable_map_tuner_get_last_get_value()->set_mapid(mapId);
    send(command);
}

void CommandsSender::sendConfigWriteReq(unsigned int segment, std::string content)
{
    LogLine() << "sendConfigWriteReq(segment=" << segment << ")";
    Command command;
    WriteConfigurationReq* request = command.mutable_write_configuration();
    request->set_segment(segment);
    request->set_data(std::move(content));
    send(command);
}

void CommandsSender::sendConfigReadReq(unsigned int segment)
{
    LogLine() << "sendConfigReadReq(segment=" << segment << ")";
    Command command;
    command.mutable_read_configuration()->set_segment(segment);
    send(command);
}

void CommandsSender::sendConfigEraseReq(unsigned int segment)
{
    LogLine() << "sendConfigEraseReq()";
    Command command;
    command.mutable_erase_configuration()->set_segment(segment);
    send(command);
}

void CommandsSender::sendCalibrationWriteReq(std::string content)
{
    LogLine() << "sendCalibrationWriteReq";
    Command command;
    command.mutable_write_calibration()->set_data(std::move(content));
    send(command);
}

void CommandsSender::sendAdaptationStart()
{
    LogLine() << "sendAdaptationStart";
    Command command;
    command.mutable_calibration_start();
    send(command);
}

void CommandsSender::sendAdaptationStatus()
{
    LogLine() << "sendAdaptationStatus";
    Command command;
    command.mutable_calibration_status();
    send(command);
}
