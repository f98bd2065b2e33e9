#include "devicefunctions.h"

MapTunerStatusField DeviceFunctions::check(uint32_t mapId, uint32_t a, uint32_t b) const
{
    if (mapId >= mapCount)
        return MAP_STATUS_INVALID_MAP;
    return a < mapSize && b < mapSize ? MAP_STATUS_OK : MAP_STATUS_OUT_OF_RANGE;
}

std::vector<Response> DeviceFunctions::handle(const Command& command)
{
    Response r;
    switch (command.req_case()) {
    case Command::kCandumpStart: {
        r.mutable_candump_start();
        Response frame;
        CandumpResp* can = frame.mutable_candump();
        can->set_id(0x18FF50E5);
        can->set_dlc(8);
        can->set_timestamp(1000);
        can->set_extended(true);
        can->set_payload(std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
        return {r, frame};
    }
    case Command::kCandumpStop:
        r.mutable_candump_stop();
        break;
    case Command::kLoggerStart:
        loggerChannels.assign(command.logger_start().channel().begin(),
                              command.logger_start().channel().end());
        r.mutable_logger_started();
        break;
    case Command::kLoggerStop:
        loggerChannels.clear();
        r.mutable_logger_stopped();
        break;
    case Command::kLoggerData: {
        DataloggerDataResp* data = r.mutable_logger_data();
        data->set_timestamp(loggerSequence * 10);
        data->set_sequence(loggerSequence++);
        for (uint32_t channel : loggerChannels)
            data->add_values(static_cast<int32_t>(channel * 100 + loggerSequence));
        break;
    }
    case Command::kVirtualInputSet:
        r.set_result(0);
        break;
    case Command::kPidTunerStart:
        r.mutable_pid_tuner_start()->set_status(0);
        break;
    case Command::kPidTunerSetPid: {
        const PidTunerSetPidReq& set = command.pid_tuner_set_pid();
        PidTunerGetPidResp& pid = pids[set.pidid()];
        pid.set_pidid(set.pidid());
        pid.set_p(set.p());
        pid.set_i(set.i());
        pid.set_d(set.d());
        pid.set_lowercap(set.lowercap());
        pid.set_uppercap(set.uppercap());
        r.mutable_pid_tuner_set()->set_status(0);
        break;
    }
    case Command::kPidTunerGetPid: {
        PidTunerGetPidResp& pid = pids[command.pid_tuner_get_pid().pidid()];
        pid.set_pidid(command.pid_tuner_get_pid().pidid());
        *r.mutable_pid_tuner_get() = pid;
        break;
    }
    case Command::kPidTunerReset:
        pids.erase(command.pid_tuner_reset().pidid());
        r.mutable_pid_tuner_reset()->set_status(0);
        break;
    case Command::kMapTunerStart:
        r.mutable_map_tuner_start()->set_status(0);
        break;
    case Command::kMapTunerGetMapDetails: {
        MapTunerGetMapDetailsResp* details = r.mutable_map_tuner_get_map_details();
        details->set_mapid(command.map_tuner_get_map_details().mapid());
        details->set_xsize(mapSize);
        details->set_ysize(mapSize);
        break;
    }
    case Command::kMapTunerSetMapLabel: {
        const MapTunerSetMapLabelReq& set = command.map_tuner_set_map_label();
        MapTunerSetMapLabelResp* out = r.mutable_map_tuner_set_map_label();
        out->set_mapid(set.mapid());
        out->set_axis(set.axis());
        out->set_position(set.position());
        out->set_status(check(set.mapid(), set.position()));
        if (out->status() == MAP_STATUS_OK)
            (set.axis() == MAP_AXIS_Y ? maps[set.mapid()].yLabels
                                      : maps[set.mapid()].xLabels)[set.position()] = set.label();
        break;
    }
    case Command::kMapTunerGetMapLabel: {
        const MapTunerGetMapLabelReq& get = command.map_tuner_get_map_label();
        MapTunerGetMapLabelResp* out = r.mutable_map_tuner_get_map_label();
        out->set_mapid(get.mapid());
        out->set_axis(get.axis());
        out->set_position(get.position());
        out->set_status(check(get.mapid(), get.position()));
        if (out->status() == MAP_STATUS_OK)
            out->set_label((get.axis() == MAP_AXIS_Y ? maps[get.mapid()].yLabels
                                                     : maps[get.mapid()].xLabels)[get.position()]);
        break;
    }
    case Command::kMapTunerSetMapValue: {
        const MapTunerSetMapValueReq& set = command.map_tuner_set_map_value();
        MapTunerSetMapValueResp* out = r.mutable_map_tuner_set_map_value();
        out->set_mapid(set.mapid());
        out->set_xindex(set.xindex());
        out->set_yindex(set.yindex());
        out->set_status(check(set.mapid(), set.xindex(), set.yindex()));
        if (out->status() == MAP_STATUS_OK)
            maps[set.mapid()].values[set.yindex() * mapSize + set.xindex()] = set.value();
        break;
    }
    case Command::kMapTunerGetMapValue: {
        const MapTunerGetMapValueReq& get = command.map_tuner_get_map_value();
        MapTunerGetMapValueResp* out = r.mutable_map_tuner_get_map_value();
        out->set_mapid(get.mapid());
        out->set_xindex(get.xindex());
        out->set_yindex(get.yindex());
        out->set_status(check(get.mapid(), get.xindex(), get.yindex()));
        if (out->status() == MAP_STATUS_OK) {
            out->set_value(maps[get.mapid()].values[get.yindex() * mapSize + get.xindex()]);
            lastGet.set_mapid(get.mapid());
            lastGet.set_xindex(get.xindex());
            lastGet.set_yindex(get.yindex());
            lastGet.set_rawvalue(static_cast<uint32_t>(out->value()));
        }
        break;
    }
    case Command::kMapTunerGetMap: {
        const uint32_t mapId = command.map_tuner_get_map().mapid();
        MapTunerGetMapResp* out = r.mutable_map_tuner_get_map();
        out->set_mapid(mapId);
        if (mapId < mapCount) {
            const Map& map = maps[mapId];
            out->mutable_xlabels()->Add(std::begin(map.xLabels), std::end(map.xLabels));
            out->mutable_ylabels()->Add(std::begin(map.yLabels), std::end(map.yLabels));
            out->mutable_values()->Add(std::begin(map.values), std::end(map.values));
        }
        break;
    }
    case Command::kMapTunerGetLastGetValue:
        *r.mutable_map_tuner_get_last_get_value() = lastGet;
        break;
    case Command::kWriteConfiguration:
        segments[command.write_configuration().segment()] = command.write_configuration().data();
        r.mutable_write_configuration()->set_segment(command.write_configuration().segment());
        break;
    case Command::kReadConfiguration: {
        const uint32_t segment = command.read_configuration().segment();
        const auto found = segments.find(segment);
        ReadConfigurationResp* out = r.mutable_read_configuration();
        out->set_segment(segment);
        out->set_status(found == segments.end() ? 1 : 0);
        if (found != segments.end())
            out->set_data(found->second);
        break;
    }
    case Command::kEraseConfiguration:
        segments.erase(command.erase_configuration().segment());
        r.mutable_erase_configuration()->set_segment(command.erase_configuration().segment());
        break;
    case Command::kWriteCalibration:
        r.mutable_write_calibration()->set_length(
            static_cast<uint32_t>(command.write_calibration().data().size()));
        break;
    case Command::kCalibrationStart:
        adaptationStarted = true;
        r.mutable_calibration_start();
        break;
    case Command::kCalibrationStatus:
        r.mutable_calibration_status()->set_status(adaptationStarted ? CALIBRATION_DONE
                                                                     : CALIBRATION_IDLE);
        break;
    default:
        return {};
    }
    return {r};
}
