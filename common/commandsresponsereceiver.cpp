#include "commandsresponsereceiver.h"

#include "gcu.pb.h"
#include "logline.h"

namespace {

CommandsSender::MapAxis toMapAxis(int axis)
{
    return axis == 1 ? CommandsSender::Y : CommandsSender::X;
}

MapTunerStatus toMapTunerStatus(int status)
{
    return status >= MapTunerOk && status <= MapTunerFailed ? static_cast<MapTunerStatus>(status)
                                                            : MapTunerFailed;
}

std::vector<int> toVector(const google::protobuf::RepeatedField<int32_t>& list)
{
    return std::vector<int>(list.begin(), list.end());
}

} // namespace

CommandsResponseReceiver::CommandsResponseReceiver(IBootloaderCommandsResponse* bootloader,
                                                   IDataLoggerCommandsResponse* dataLogger,
                                                   IConfigCommandsResponse* config,
                                                   IPidTunerCommandsResponse* pidTuner,
                                                   IMapTuningCommandsResponse* mapTuning,
                                                   IControlerAdaptationResponse* adaptation,
                                                   ICandumpResponse* candump)
    : bootloader(bootloader), dataLogger(dataLogger), config(config), pidTuner(pidTuner),
      mapTuning(mapTuning), adaptation(adaptation), candump(candump)
{
}

void CommandsResponseReceiver::setDataLoggerCommandsResponse(IDataLoggerCommandsResponse* receiver)
{
    dataLogger = receiver;
}

void CommandsResponseReceiver::decodeResponse(const std::string& frame)
{
    Response response;
    if (!response.ParseFromString(frame)) {
        LogLine() << "response.ParseFromString(resp) == false";
        return;
    }
    LogLine() << "response.ParseFromString(resp) == true";
    LogLine() << "decodinfg data:";
    LogLine::hexDump(frame.data(), frame.size());

    // Logs the member's name and tells whether its receiver is there to call.
    auto dispatchTo = [](const char* logName, const void* receiver) {
        LogLine() << logName;
        return receiver != nullptr;
    };

    switch (response.resp_case()) {
    case Response::kResult:
        if (dispatchTo("kResult", bootloader))
            bootloader->commandResult(static_cast<FirmwareCommandResult>(response.result()));
        break;
    case Response::kPong:
        if (dispatchTo("kPong", bootloader))
            bootloader->pongResponse(response.pong().sequenceno());
        break;
    case Response::kPublicKey:
        if (dispatchTo("kPublicKey", bootloader))
            bootloader->publicKeyResponse();
        break;
    case Response::kCandumpStart:
        if (dispatchTo("kCandumpStart", candump))
            candump->candumpStarted();
        break;
    case Response::kCandumpStop:
        if (dispatchTo("kCandumpStop", candump))
            candump->candumpStopped();
        break;
    case Response::kCandump:
        if (dispatchTo("kCandump", candump)) {
            const CandumpResp& m = response.candump();
            candump->candumpFrame(m.id(), m.dlc(), m.timestamp(), m.extended(), m.payload());
        }
        break;
    case Response::kLoggerStarted:
        if (dispatchTo("kLoggerStarted", dataLogger))
            dataLogger->loggerStarted();
        break;
    case Response::kLoggerStopped:
        if (dispatchTo("kLoggerStopped", dataLogger))
            dataLogger->loggerStopped();
        break;
    case Response::kLoggerData:
        if (dispatchTo("kLoggerData", dataLogger)) {
            const DataloggerDataResp& m = response.logger_data();
            std::vector<int> values = toVector(m.values());
            dataLogger->loggerData(m.timestamp(), m.sequence(), values);
        }
        break;
    case Response::kPidTunerStart:
        if (dispatchTo("kPidTunerStart", pidTuner))
            pidTuner->pidTunerStarted(response.pid_tuner_start().status());
        break;
    case Response::kPidTunerSet:
        if (dispatchTo("kPidTunerSet", pidTuner))
            pidTuner->pidSet(response.pid_tuner_set().status());
        break;
    case Response::kPidTunerGet:
        if (dispatchTo("kPidTunerGet", pidTuner)) {
            const PidTunerGetPidResp& m = response.pid_tuner_get();
            pidTuner->pidGot(m.pidid(), m.p(), m.i(), m.d(), m.lowercap(), m.uppercap());
        }
        break;
    case Response::kPidTunerReset:
        if (dispatchTo("kPidTUnerReset", pidTuner))
            pidTuner->pidReset(response.pid_tuner_reset().status());
        break;
    case Response::kMapTunerStart:
        if (dispatchTo("kMapTunerStart", mapTuning))
            mapTuning->mapTunerStarted(response.map_tuner_start().status());
        break;
    case Response::kMapTunerGetMapDetails:
        if (dispatchTo("kMapTunerGetMapDetails", mapTuning)) {
            const MapTunerGetMapDetailsResp& m = response.map_tuner_get_map_details();
            mapTuning->mapDetails(m.mapid(), m.xsize(), m.ysize());
        }
        break;
    case Response::kMapTunerSetMapLabel:
        if (dispatchTo("kMapTunerSetMapLabel", mapTuning)) {
            const MapTunerSetMapLabelResp& m = response.map_tuner_set_map_label();
            mapTuning->mapLabelSet(m.mapid(), toMapAxis(m.axis()), m.position(),
                                   toMapTunerStatus(m.status()));
        }
        break;
    case Response::kMapTunerGetMapLabel:
        if (dispatchTo("kMapTunerGetMapLabel", mapTuning)) {
            const MapTunerGetMapLabelResp& m = response.map_tuner_get_map_label();
            mapTuning->mapLabelGot(m.mapid(), toMapAxis(m.axis()), m.position(), m.label(),
                                   toMapTunerStatus(m.status()));
        }
        break;
    case Response::kMapTunerSetMapValue:
        if (dispatchTo("kMapTunerSetMapValue", mapTuning)) {
            const MapTunerSetMapValueResp& m = response.map_tuner_set_map_value();
            mapTuning->mapValueSet(m.mapid(), m.xindex(), m.yindex(), toMapTunerStatus(m.status()));
        }
        break;
    case Response::kMapTunerGetMapValue:
        if (dispatchTo("kMapTunerGetMapValue", mapTuning)) {
            const MapTunerGetMapValueResp& m = response.map_tuner_get_map_value();
            mapTuning->mapValueGot(m.mapid(), m.xindex(), m.yindex(), m.value(),
                                   toMapTunerStatus(m.status()));
        }
        break;
    case Response::kMapTunerGetMap:
        if (dispatchTo("kMapTunerGetMap", mapTuning)) {
            const MapTunerGetMapResp& m = response.map_tuner_get_map();
            std::vector<int> xLabels = toVector(m.xlabels());
            std::vector<int> yLabels = toVector(m.ylabels());
            std::vector<int> values = toVector(m.values());
            mapTuning->mapGot(m.mapid(), xLabels, yLabels, values);
        }
        break;
    case Response::kMapTunerGetLastGetValue:
        if (dispatchTo("kMapTunerGetLastGetValue", mapTuning)) {
            const MapTunerGetLastGetValueResp& m = response.map_tuner_get_last_get_value();
            mapTuning->lastGetValue(m.mapid(), m.xindex(), m.yindex(), m.rawvalue());
        }
        break;
    case Response::kWriteConfiguration:
        if (dispatchTo("kWriteConfiguration", config)) {
            const WriteConfigurationResp& m = response.write_configuration();
            config->configurationWritten(m.segment(), m.status());
        }
        break;
    case Response::kReadConfiguration:
        if (dispatchTo("kReadConfiguration", config)) {
            const ReadConfigurationResp& m = response.read_configuration();
            config->configurationRead(m.segment(), m.status(), m.data());
        }
        break;
    case Response::kEraseConfiguration:
        if (dispatchTo("kEraseConfiguration", config))
            config->configurationErased(response.erase_configuration().segment());
        break;
    case Response::kWriteCalibration:
        if (dispatchTo("kWriteCalibtration", config)) {
            const WriteCalibrationResp& m = response.write_calibration();
            config->calibrationWritten(m.length(), m.status());
        }
        break;
    case Response::kCalibrationStart:
        if (dispatchTo("kCalibrationStart", adaptation))
            adaptation->calibrationStarted();
        break;
    case Response::kCalibrationStatus:
        if (dispatchTo("kCalibrationStatus", adaptation))
            adaptation->calibrationStatus(response.calibration_status().status() ==
                                          CALIBRATION_DONE);
        break;
    default:
        // The firmware identity is the uploader's own business; anything else is
        // not for this receiver.
        break;
    }
}
