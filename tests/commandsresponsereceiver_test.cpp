#include "commandsresponsereceiver.h"
#include "gcu.pb.h"
#include "testbus.h"

#include "logline.h"

#include <atomic>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace {

std::string list(const std::vector<int>& values)
{
    std::ostringstream text;
    text << '[';
    for (size_t i = 0; i < values.size(); ++i)
        text << (i ? "," : "") << values[i];
    text << ']';
    return text.str();
}

// Records every call as text, e.g. "pidGot(1,2,3,4,5,6)".
class RecordingReceiver : public IBootloaderCommandsResponse,
                          public IDataLoggerCommandsResponse,
                          public IConfigCommandsResponse,
                          public IPidTunerCommandsResponse,
                          public IMapTuningCommandsResponse,
                          public IControlerAdaptationResponse,
                          public ICandumpResponse
{
public:
    std::vector<std::string> calls;

    template <typename... T> void record(const char* name, const T&... args)
    {
        std::ostringstream text;
        text << name << '(';
        int n = 0;
        ((text << (n++ ? "," : "") << args), ...);
        text << ')';
        calls.push_back(text.str());
    }

    void commandResult(FirmwareCommandResult r) override { record("commandResult", uint32_t(r)); }
    void pongResponse(uint32_t s) override { record("pongResponse", s); }
    void publicKeyResponse() override { record("publicKeyResponse"); }
    void loggerStarted() override { record("loggerStarted"); }
    void loggerData(uint32_t a, uint32_t b, std::vector<int>& v) override
    {
        record("loggerData", a, b, list(v));
    }
    void loggerStopped() override { record("loggerStopped"); }
    void configurationWritten(uint32_t a, uint32_t b) override
    {
        record("configurationWritten", a, b);
    }
    void configurationRead(uint32_t a, uint32_t b, const std::string& d) override
    {
        record("configurationRead", a, b, d);
    }
    void configurationErased(uint32_t a) override { record("configurationErased", a); }
    void calibrationWritten(uint32_t a, uint32_t b) override { record("calibrationWritten", a, b); }
    void pidTunerStarted(uint32_t a) override { record("pidTunerStarted", a); }
    void pidSet(uint32_t a) override { record("pidSet", a); }
    void pidGot(uint32_t id, int p, int i, int d, int lo, int hi) override
    {
        record("pidGot", id, p, i, d, lo, hi);
    }
    void pidReset(uint32_t a) override { record("pidReset", a); }
    void mapTunerStarted(uint32_t a) override { record("mapTunerStarted", a); }
    void mapDetails(uint32_t a, uint32_t b, uint32_t c) override { record("mapDetails", a, b, c); }
    void mapLabelGot(uint32_t m, CommandsSender::MapAxis a, uint32_t p, int l,
                     MapTunerStatus s) override
    {
        record("mapLabelGot", m, int(a), p, l, int(s));
    }
    void mapLabelSet(uint32_t m, CommandsSender::MapAxis a, uint32_t p, MapTunerStatus s) override
    {
        record("mapLabelSet", m, int(a), p, int(s));
    }
    void mapValueGot(uint32_t m, uint32_t x, uint32_t y, int v, MapTunerStatus s) override
    {
        record("mapValueGot", m, x, y, v, int(s));
    }
    void mapValueSet(uint32_t m, uint32_t x, uint32_t y, MapTunerStatus s) override
    {
        record("mapValueSet", m, x, y, int(s));
    }
    void mapGot(uint32_t m, std::vector<int>& x, std::vector<int>& y, std::vector<int>& v) override
    {
        record("mapGot", m, list(x), list(y), list(v));
    }
    void lastGetValue(uint32_t a, uint32_t b, uint32_t c, uint32_t d) override
    {
        record("lastGetValue", a, b, c, d);
    }
    void calibrationStarted() override { record("calibrationStarted"); }
    void calibrationStatus(bool done) override { record("calibrationStatus", done); }
    void candumpStarted() override { record("candumpStarted"); }
    void candumpStopped() override { record("candumpStopped"); }
    void candumpFrame(uint32_t a, uint32_t b, uint32_t c, bool e, const std::string& p) override
    {
        record("candumpFrame", a, b, c, e, p);
    }
};

struct DecodeCase
{
    const char* name;
    std::function<void(Response&)> fill;
    const char* logName;
    const char* call;
};

void PrintTo(const DecodeCase& c, std::ostream* out)
{
    *out << c.name;
}

const std::vector<DecodeCase> decodeCases = {
    {"Result", [](Response& r) { r.set_result(7); }, "kResult", "commandResult(7)"},
    {"ResultZero", [](Response& r) { r.set_result(0); }, "kResult", "commandResult(0)"},
    {"Pong", [](Response& r) { r.mutable_pong()->set_sequenceno(42); }, "kPong",
     "pongResponse(42)"},
    {"PublicKey", [](Response& r) { r.mutable_public_key()->set_key("k"); }, "kPublicKey",
     "publicKeyResponse()"},
    {"CandumpStart", [](Response& r) { r.mutable_candump_start(); }, "kCandumpStart",
     "candumpStarted()"},
    {"CandumpStop", [](Response& r) { r.mutable_candump_stop(); }, "kCandumpStop",
     "candumpStopped()"},
    {"Candump",
     [](Response& r) {
         CandumpResp* m = r.mutable_candump();
         m->set_id(0x123);
         m->set_dlc(8);
         m->set_timestamp(99);
         m->set_extended(true);
         m->set_payload("ABCDEFGH");
     },
     "kCandump", "candumpFrame(291,8,99,1,ABCDEFGH)"},
    {"LoggerStarted", [](Response& r) { r.mutable_logger_started(); }, "kLoggerStarted",
     "loggerStarted()"},
    {"LoggerStopped", [](Response& r) { r.mutable_logger_stopped(); }, "kLoggerStopped",
     "loggerStopped()"},
    {"LoggerData",
     [](Response& r) {
         DataloggerDataResp* m = r.mutable_logger_data();
         m->set_timestamp(5);
         m->set_sequence(6);
         for (int v : {-1, 0, 2147483647})
             m->add_values(v);
     },
     "kLoggerData", "loggerData(5,6,[-1,0,2147483647])"},
    {"LoggerDataEmpty", [](Response& r) { r.mutable_logger_data()->set_timestamp(1); },
     "kLoggerData", "loggerData(1,0,[])"},
    {"PidStart", [](Response& r) { r.mutable_pid_tuner_start()->set_status(3); }, "kPidTunerStart",
     "pidTunerStarted(3)"},
    {"PidSet", [](Response& r) { r.mutable_pid_tuner_set()->set_status(4); }, "kPidTunerSet",
     "pidSet(4)"},
    {"PidGet",
     [](Response& r) {
         PidTunerGetPidResp* m = r.mutable_pid_tuner_get();
         m->set_pidid(1);
         m->set_p(-2);
         m->set_i(3);
         m->set_d(-4);
         m->set_lowercap(5);
         m->set_uppercap(-6);
     },
     "kPidTunerGet", "pidGot(1,-2,3,-4,5,-6)"},
    {"PidReset", [](Response& r) { r.mutable_pid_tuner_reset()->set_status(9); }, "kPidTUnerReset",
     "pidReset(9)"},
    {"MapStart", [](Response& r) { r.mutable_map_tuner_start()->set_status(1); }, "kMapTunerStart",
     "mapTunerStarted(1)"},
    {"MapDetails",
     [](Response& r) {
         MapTunerGetMapDetailsResp* m = r.mutable_map_tuner_get_map_details();
         m->set_mapid(2);
         m->set_xsize(16);
         m->set_ysize(8);
     },
     "kMapTunerGetMapDetails", "mapDetails(2,16,8)"},
    {"MapLabelSet",
     [](Response& r) {
         MapTunerSetMapLabelResp* m = r.mutable_map_tuner_set_map_label();
         m->set_mapid(1);
         m->set_axis(MAP_AXIS_Y);
         m->set_position(4);
         m->set_status(MAP_STATUS_OUT_OF_RANGE);
     },
     "kMapTunerSetMapLabel", "mapLabelSet(1,1,4,2)"},
    {"MapLabelGotAxisTwoIsX",
     [](Response& r) {
         MapTunerGetMapLabelResp* m = r.mutable_map_tuner_get_map_label();
         m->set_mapid(1);
         m->set_axis(static_cast<MapAxisField>(2));
         m->set_position(3);
         m->set_label(-7);
         m->set_status(MAP_STATUS_FAILED);
     },
     "kMapTunerGetMapLabel", "mapLabelGot(1,0,3,-7,3)"},
    {"MapValueSetUnknownStatus",
     [](Response& r) {
         MapTunerSetMapValueResp* m = r.mutable_map_tuner_set_map_value();
         m->set_mapid(1);
         m->set_xindex(2);
         m->set_yindex(3);
         m->set_status(static_cast<MapTunerStatusField>(77));
     },
     "kMapTunerSetMapValue", "mapValueSet(1,2,3,3)"},
    {"MapValueGotNegativeStatus",
     [](Response& r) {
         MapTunerGetMapValueResp* m = r.mutable_map_tuner_get_map_value();
         m->set_mapid(1);
         m->set_xindex(2);
         m->set_yindex(3);
         m->set_value(-100);
         m->set_status(static_cast<MapTunerStatusField>(-1));
     },
     "kMapTunerGetMapValue", "mapValueGot(1,2,3,-100,3)"},
    {"MapGot",
     [](Response& r) {
         MapTunerGetMapResp* m = r.mutable_map_tuner_get_map();
         m->add_xlabels(1);
         m->add_xlabels(2);
         m->add_ylabels(-3);
         m->add_values(4);
         m->add_values(5);
         m->add_values(6);
         m->set_mapid(9);
     },
     "kMapTunerGetMap", "mapGot(9,[1,2],[-3],[4,5,6])"},
    {"LastGetValue",
     [](Response& r) {
         MapTunerGetLastGetValueResp* m = r.mutable_map_tuner_get_last_get_value();
         m->set_mapid(1);
         m->set_xindex(2);
         m->set_yindex(3);
         m->set_rawvalue(4000000000u);
     },
     "kMapTunerGetLastGetValue", "lastGetValue(1,2,3,4000000000)"},
    {"ConfigWritten",
     [](Response& r) {
         r.mutable_write_configuration()->set_segment(2);
         r.mutable_write_configuration()->set_status(1);
     },
     "kWriteConfiguration", "configurationWritten(2,1)"},
    {"ConfigRead",
     [](Response& r) {
         ReadConfigurationResp* m = r.mutable_read_configuration();
         m->set_data("cfg");
         m->set_segment(3);
         m->set_status(0);
     },
     "kReadConfiguration", "configurationRead(3,0,cfg)"},
    {"ConfigErased", [](Response& r) { r.mutable_erase_configuration()->set_segment(5); },
     "kEraseConfiguration", "configurationErased(5)"},
    {"CalibrationWritten",
     [](Response& r) {
         r.mutable_write_calibration()->set_length(128);
         r.mutable_write_calibration()->set_status(2);
     },
     "kWriteCalibtration", "calibrationWritten(128,2)"},
    {"CalibrationStarted", [](Response& r) { r.mutable_calibration_start(); }, "kCalibrationStart",
     "calibrationStarted()"},
    {"CalibrationStatusRunning",
     [](Response& r) { r.mutable_calibration_status()->set_status(CALIBRATION_RUNNING); },
     "kCalibrationStatus", "calibrationStatus(0)"},
    {"CalibrationStatusDone",
     [](Response& r) { r.mutable_calibration_status()->set_status(CALIBRATION_DONE); },
     "kCalibrationStatus", "calibrationStatus(1)"},
    {"CalibrationStatusFailed",
     [](Response& r) { r.mutable_calibration_status()->set_status(CALIBRATION_FAILED); },
     "kCalibrationStatus", "calibrationStatus(0)"},
};

class DecodeResponseTest : public ::testing::TestWithParam<DecodeCase>
{
protected:
    RecordingReceiver receiver;
    CommandsResponseReceiver all{&receiver, &receiver, &receiver, &receiver,
                                 &receiver, &receiver, &receiver};
    CommandsResponseReceiver none{nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
};

std::string encode(const DecodeCase& c)
{
    Response response;
    c.fill(response);
    return response.SerializeAsString();
}

} // namespace

TEST_P(DecodeResponseTest, DispatchesToTheRightOperationWithItsArguments)
{
    StdoutCapture log;
    all.decodeResponse(encode(GetParam()));
    EXPECT_EQ(receiver.calls, std::vector<std::string>{GetParam().call});
    const auto lines = log.lines();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "response.ParseFromString(resp) == true");
    EXPECT_EQ(lines[1], "decodinfg data:");
    EXPECT_EQ(lines.back(), GetParam().logName);
}

TEST_P(DecodeResponseTest, NullReceiverOnlyLogs)
{
    StdoutCapture log;
    none.decodeResponse(encode(GetParam()));
    EXPECT_EQ(log.lines().back(), GetParam().logName);
}

INSTANTIATE_TEST_SUITE_P(EveryMember, DecodeResponseTest, ::testing::ValuesIn(decodeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeResponse, EmptyFrameIsAnEnvelopeWithoutMember)
{
    RecordingReceiver receiver;
    CommandsResponseReceiver decoder{&receiver, &receiver, &receiver, &receiver,
                                     &receiver, &receiver, &receiver};
    StdoutCapture log;
    decoder.decodeResponse("");
    EXPECT_TRUE(receiver.calls.empty());
    const auto lines = log.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "response.ParseFromString(resp) == true");
    EXPECT_EQ(lines[1], "decodinfg data:");
    EXPECT_EQ(lines.size(), 3u) << "only the hex dump's closing offset should follow";
}

TEST(DecodeResponse, LargeFramesAreDumpedInPartAndWholeAmongOtherThreadsLines)
{
    RecordingReceiver receiver;
    CommandsResponseReceiver decoder{&receiver, &receiver, &receiver, &receiver,
                                     &receiver, &receiver, &receiver};
    Response response;
    response.mutable_candump()->set_payload(std::string(64 * 1024, 'c'));
    const std::string frame = response.SerializeAsString();

    StdoutCapture log;
    std::atomic<bool> stop{false};
    // The watchdog writes its lines meanwhile; none may land inside a dump.
    std::thread watchdog([&] {
        while (!stop)
            LogLine() << "<got mutex";
    });
    for (int i = 0; i < 20; ++i)
        decoder.decodeResponse(frame);
    stop = true;
    watchdog.join();

    const auto lines = log.lines();
    const std::string omitted =
        "... " + std::to_string(frame.size() - LogLine::maxDumpBytes) + " more bytes not shown";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), omitted), 20);
    for (size_t start = 0; start < lines.size(); ++start) {
        if (lines[start].rfind("00000000 ", 0) != 0)
            continue;
        // 4 KiB in 16-byte lines, the count of the rest, the closing offset.
        const size_t end = start + LogLine::maxDumpBytes / 16 + 1;
        ASSERT_LT(end, lines.size());
        for (size_t k = start; k <= end; ++k)
            ASSERT_NE(lines[k], "<got mutex") << "a line landed inside a dump at line " << k;
        EXPECT_EQ(lines[end - 1], omitted);
    }
}

TEST(DecodeResponse, UnparsableFramePrintsOneLineAndCallsNothing)
{
    RecordingReceiver receiver;
    CommandsResponseReceiver decoder{&receiver, &receiver, &receiver, &receiver,
                                     &receiver, &receiver, &receiver};
    StdoutCapture log;
    decoder.decodeResponse("\xff");
    EXPECT_TRUE(receiver.calls.empty());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"response.ParseFromString(resp) == false"});
}

TEST(DecodeResponse, FirmwareIdIsLeftToTheUploader)
{
    RecordingReceiver receiver;
    CommandsResponseReceiver decoder{&receiver, &receiver, &receiver, &receiver,
                                     &receiver, &receiver, &receiver};
    Response response;
    response.mutable_firmware_id()->set_version_word(0x0102);
    StdoutCapture log;
    decoder.decodeResponse(response.SerializeAsString());
    EXPECT_TRUE(receiver.calls.empty());
    for (const std::string& line : log.lines())
        EXPECT_EQ(line.rfind("k", 0), std::string::npos) << line;
}

TEST(DecodeResponse, DataLoggerReceiverCanBeReplaced)
{
    RecordingReceiver first, second;
    CommandsResponseReceiver decoder{nullptr, &first, nullptr, nullptr, nullptr, nullptr, nullptr};
    Response response;
    response.mutable_logger_started();
    StdoutCapture log;
    decoder.decodeResponse(response.SerializeAsString());
    decoder.setDataLoggerCommandsResponse(&second);
    decoder.decodeResponse(response.SerializeAsString());
    decoder.setDataLoggerCommandsResponse(nullptr);
    decoder.decodeResponse(response.SerializeAsString());
    EXPECT_EQ(first.calls.size(), 1u);
    EXPECT_EQ(second.calls.size(), 1u);
}
