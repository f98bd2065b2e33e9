#include "commandssender.h"
#include "comport.h"
#include "gcu.pb.h"
#include "testbus.h"

#include <gtest/gtest.h>

namespace {

struct SenderCase
{
    const char* name;
    std::function<void(CommandsSender&)> call;
    int caseNumber;
    std::vector<std::string> log;
    // The decoded envelope in protobuf's short text form.
    std::string envelope;
};

void PrintTo(const SenderCase& c, std::ostream* out)
{
    *out << c.name;
}

std::vector<unsigned int> loggerChannels{4, 1, 9};

const std::vector<SenderCase> senderCases = {
    {"ResetToBootloader",
     [](CommandsSender& s) { s.sendResetToBootloader(); },
     2,
     {"sendResetToBootloader()"},
     "headerValue: 1 reset_to_bootloader { }"},
    {"RsaPublicKey",
     [](CommandsSender& s) { s.sendRsaPublicKey("key"); },
     3,
     {"sendRsaPublicKey()"},
     R"(headerValue: 1 rsa_public_key { data: "key" })"},
    {"AesKey",
     [](CommandsSender& s) { s.sendAesKey(std::string("\x01\x00\x02", 3)); },
     5,
     {"sendAesKey()"},
     R"(headerValue: 1 aes_key { data: "\001\000\002" })"},
    {"Command",
     [](CommandsSender& s) { s.sendCommand(std::string("a\0\0b", 4)); },
     6,
     {"sendCommand()"},
     R"(headerValue: 1 command_data { data: "a\000\000b" })"},
    {"Ping",
     [](CommandsSender& s) { s.sendPing(7); },
     7,
     {"sendPing(sequenceNo = 7)"},
     "headerValue: 1 ping { sequenceNo: 7 }"},
    {"PingMax",
     [](CommandsSender& s) { s.sendPing(4294967295u); },
     7,
     {"sendPing(sequenceNo = 4294967295)"},
     "headerValue: 1 ping { sequenceNo: 4294967295 }"},
    {"ModulePublicKey",
     [](CommandsSender& s) { s.sendModuleKeyPublicKeyRequest(); },
     8,
     {"sendModuleKeyPublicKeyRequest()"},
     "headerValue: 1 module_public_key_request { }"},
    {"Reset",
     [](CommandsSender& s) { s.sendReset(); },
     9,
     {"sendReset()"},
     "headerValue: 1 reset { }"},
    {"KeyExchange",
     [](CommandsSender& s) { s.sendKeyExchange("dh"); },
     10,
     {"sendKeyExchange()"},
     R"(headerValue: 1 key_exchange { data: "dh" })"},
    {"CandumpStart",
     [](CommandsSender& s) { s.sendCandumpStart(); },
     15,
     {"sendCandumpStart"},
     "headerValue: 1 candump_start { }"},
    {"CandumpStop",
     [](CommandsSender& s) { s.sendCandumpStop(); },
     16,
     {"sendCandumpStop"},
     "headerValue: 1 candump_stop { }"},
    {"GetIds",
     [](CommandsSender& s) { s.sendGetIds(); },
     50,
     {"sendGetIds()"},
     "headerValue: 1 get_device_id { }"},
    {"GetFirmwareId",
     [](CommandsSender& s) { s.sendGetFirmwareId(); },
     51,
     {"sendGetFirmwareId"},
     "headerValue: 1 get_firmware_id { }"},
    {"LoggerStart",
     [](CommandsSender& s) { s.sendLoggerStart(loggerChannels); },
     100,
     {"sendLoggerStart()", "channel: 4", "channel: 1", "channel: 9"},
     "headerValue: 1 logger_start { channel: 4 channel: 1 channel: 9 }"},
    {"LoggerStartEmpty",
     [](CommandsSender& s) {
         std::vector<unsigned int> none;
         s.sendLoggerStart(none);
     },
     100,
     {"sendLoggerStart()"},
     "headerValue: 1 logger_start { }"},
    {"LoggerStop",
     [](CommandsSender& s) { s.sendLoggerStop(); },
     101,
     {"sendLoggerStop()"},
     "headerValue: 1 logger_stop { }"},
    {"LoggerData",
     [](CommandsSender& s) { s.sendLoggerDataRequest(); },
     102,
     {"sendLoggerDataRequest()"},
     "headerValue: 1 logger_data { }"},
    {"VirtualInput",
     [](CommandsSender& s) { s.sendVirtualInputValue(-5, -100); },
     111,
     {"sendVirtualInputValue(id=-5, value=-100)"},
     "headerValue: 1 virtual_input_set { id: -5 value: -100 }"},
    {"PidStart",
     [](CommandsSender& s) { s.sendPidTunerStartReq(); },
     120,
     {"sendPidTunerStartReq()"},
     "headerValue: 1 pid_tuner_start { }"},
    {"PidSet",
     [](CommandsSender& s) { s.sendPidTunerSetPidReq(2, 10, -20, 30, -40, 50); },
     121,
     {"sendPidTunerSetPidReq(pidId=2, p=10, i=-20, d=30, lowerCap=-40, upperCap=50)"},
     "headerValue: 1 pid_tuner_set_pid { pidId: 2 p: 10 i: -20 d: 30 lowerCap: -40 upperCap: 50 "
     "}"},
    {"PidGet",
     [](CommandsSender& s) { s.sendPidTunerGetPidReq(4); },
     122,
     {"sendPidTunerGetPidReq(pidId=4)"},
     "headerValue: 1 pid_tuner_get_pid { pidId: 4 }"},
    {"PidReset",
     [](CommandsSender& s) { s.sendPidTunerResetReq(3); },
     123,
     {"sendPidTunerResetReq(pidId=3)"},
     "headerValue: 1 pid_tuner_reset { pidId: 3 }"},
    {"MapStart",
     [](CommandsSender& s) { s.sendMapTunerStartReq(); },
     130,
     {"sendMapTunerStartReq()"},
     "headerValue: 1 map_tuner_start { }"},
    {"MapDetails",
     [](CommandsSender& s) { s.sendMapTunerGetMapDetails(6); },
     131,
     {"sendMapTunerGetMapDetails(mapId=6)"},
     "headerValue: 1 map_tuner_get_map_details { mapId: 6 }"},
    {"MapSetLabelY",
     [](CommandsSender& s) { s.sendMapTunerSetMapLabel(1, CommandsSender::Y, 2, -3); },
     132,
     {"sendMapTunerSetMapLabel(mapId=1, axis=1, position=2, label=-3)"},
     "headerValue: 1 map_tuner_set_map_label { mapId: 1 axis: MAP_AXIS_Y position: 2 label: -3 }"},
    {"MapSetLabelX",
     [](CommandsSender& s) { s.sendMapTunerSetMapLabel(1, CommandsSender::X, 2, 3); },
     132,
     {"sendMapTunerSetMapLabel(mapId=1, axis=0, position=2, label=3)"},
     "headerValue: 1 map_tuner_set_map_label { mapId: 1 position: 2 label: 3 }"},
    {"MapSetLabelOutOfRangeAxis",
     [](CommandsSender& s) {
         s.sendMapTunerSetMapLabel(1, static_cast<CommandsSender::MapAxis>(5), 2, 3);
     },
     132,
     {"sendMapTunerSetMapLabel(mapId=1, axis=5, position=2, label=3)"},
     "headerValue: 1 map_tuner_set_map_label { mapId: 1 position: 2 label: 3 }"},
    {"MapGetLabel",
     [](CommandsSender& s) { s.sendMapTunerGetMapLabel(8, CommandsSender::Y, 9); },
     133,
     {"sendMapTunerGetMapLabel(mapId=8, axis=1, position=9)"},
     "headerValue: 1 map_tuner_get_map_label { mapId: 8 axis: MAP_AXIS_Y position: 9 }"},
    {"MapSetValue",
     [](CommandsSender& s) { s.sendMapTunerSetMapValue(1, 2, 3, -4); },
     134,
     {"sendMapTunerSetMapValue(mapId=1, xIndex=2, yIndex=3, value=-4)"},
     "headerValue: 1 map_tuner_set_map_value { mapId: 1 xIndex: 2 yIndex: 3 value: -4 }"},
    {"MapGetValue",
     [](CommandsSender& s) { s.sendMapTunerGetMapValue(5, 6, 7); },
     135,
     {"sendMapTunerGetMapValue(mapId=5, xIndex=6, yIndex=7)"},
     "headerValue: 1 map_tuner_get_map_value { mapId: 5 xIndex: 6 yIndex: 7 }"},
    {"MapGet",
     [](CommandsSender& s) { s.sendMapTunerGetMap(11); },
     136,
     {"sendMapTunerGetMap(mapId=11)"},
     "headerValue: 1 map_tuner_get_map { mapId: 11 }"},
    {"MapLastValue",
     [](CommandsSender& s) { s.sendMapTunerGetLastGetValue(12); },
     137,
     {"sendMapTunerGetLastGetValue(mapId=12)"},
     "headerValue: 1 map_tuner_get_last_get_value { mapId: 12 }"},
    {"ConfigWrite",
     [](CommandsSender& s) { s.sendConfigWriteReq(3, "cfg"); },
     150,
     {"sendConfigWriteReq(segment=3)"},
     R"(headerValue: 1 write_configuration { segment: 3 data: "cfg" })"},
    {"ConfigRead",
     [](CommandsSender& s) { s.sendConfigReadReq(4); },
     151,
     {"sendConfigReadReq(segment=4)"},
     "headerValue: 1 read_configuration { segment: 4 }"},
    {"ConfigErase",
     [](CommandsSender& s) { s.sendConfigEraseReq(2); },
     152,
     {"sendConfigEraseReq()"},
     "headerValue: 1 erase_configuration { segment: 2 }"},
    {"CalibrationWrite",
     [](CommandsSender& s) { s.sendCalibrationWriteReq("cal"); },
     155,
     {"sendCalibrationWriteReq"},
     R"(headerValue: 1 write_calibration { data: "cal" })"},
    {"AdaptationStart",
     [](CommandsSender& s) { s.sendAdaptationStart(); },
     160,
     {"sendAdaptationStart"},
     "headerValue: 1 calibration_start { }"},
    {"AdaptationStatus",
     [](CommandsSender& s) { s.sendAdaptationStatus(); },
     161,
     {"sendAdaptationStatus"},
     "headerValue: 1 calibration_status { }"},
};

class CommandsSenderTest : public ::testing::TestWithParam<SenderCase>
{
protected:
    void SetUp() override { ASSERT_TRUE(comPort.open(gcu.info())); }

    FakeUsbPort gcu{"SN-SENDER"};
    ComPort comPort;
    CommandsSender sender{comPort};
};

} // namespace

TEST_P(CommandsSenderTest, SendsOneCommandWithItsCaseFieldsAndLogLine)
{
    const SenderCase& c = GetParam();
    StdoutCapture log;
    c.call(sender);
    EXPECT_EQ(log.lines(), c.log);

    const auto frame = gcu.readFrame();
    ASSERT_TRUE(frame.has_value());
    Command command;
    ASSERT_TRUE(command.ParseFromString(*frame));
    EXPECT_EQ(static_cast<int>(command.req_case()), c.caseNumber);
    EXPECT_EQ(command.ShortDebugString(), c.envelope);
    EXPECT_EQ(gcu.drain(50), "") << "more than one frame was sent";
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, CommandsSenderTest, ::testing::ValuesIn(senderCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CommandsSenderClosedLink, LogsTheAttemptAndSendsNothing)
{
    FakeUsbPort gcu("SN-CLOSED");
    ComPort comPort;
    CommandsSender sender(comPort);
    for (const SenderCase& c : senderCases) {
        StdoutCapture log;
        c.call(sender);
        EXPECT_EQ(log.lines(), c.log) << c.name;
    }
    EXPECT_EQ(gcu.drain(), "");
}
