// decodeResponse with every receiver present, and with none.
#include "commandsresponsereceiver.h"
#include "fuzzsupport.h"

namespace {

class Receivers : public IBootloaderCommandsResponse,
                  public IDataLoggerCommandsResponse,
                  public IConfigCommandsResponse,
                  public IPidTunerCommandsResponse,
                  public IMapTuningCommandsResponse,
                  public IControlerAdaptationResponse,
                  public ICandumpResponse
{
public:
    void commandResult(FirmwareCommandResult) override {}
    void pongResponse(uint32_t) override {}
    void publicKeyResponse() override {}
    void loggerStarted() override {}
    void loggerData(uint32_t, uint32_t, std::vector<int>& values) override { touch(values); }
    void loggerStopped() override {}
    void configurationWritten(uint32_t, uint32_t) override {}
    void configurationRead(uint32_t, uint32_t, const std::string& data) override
    {
        sink += data.size();
    }
    void configurationErased(uint32_t) override {}
    void calibrationWritten(uint32_t, uint32_t) override {}
    void pidTunerStarted(uint32_t) override {}
    void pidSet(uint32_t) override {}
    void pidGot(uint32_t, int, int, int, int, int) override {}
    void pidReset(uint32_t) override {}
    void mapTunerStarted(uint32_t) override {}
    void mapDetails(uint32_t, uint32_t, uint32_t) override {}
    void mapLabelGot(uint32_t, CommandsSender::MapAxis axis, uint32_t, int,
                     MapTunerStatus status) override
    {
        check(axis, status);
    }
    void mapLabelSet(uint32_t, CommandsSender::MapAxis axis, uint32_t,
                     MapTunerStatus status) override
    {
        check(axis, status);
    }
    void mapValueGot(uint32_t, uint32_t, uint32_t, int, MapTunerStatus status) override
    {
        check(CommandsSender::X, status);
    }
    void mapValueSet(uint32_t, uint32_t, uint32_t, MapTunerStatus status) override
    {
        check(CommandsSender::X, status);
    }
    void mapGot(uint32_t, std::vector<int>& a, std::vector<int>& b, std::vector<int>& c) override
    {
        touch(a);
        touch(b);
        touch(c);
    }
    void lastGetValue(uint32_t, uint32_t, uint32_t, uint32_t) override {}
    void calibrationStarted() override {}
    void calibrationStatus(bool) override {}
    void candumpStarted() override {}
    void candumpStopped() override {}
    void candumpFrame(uint32_t, uint32_t, uint32_t, bool, const std::string& payload) override
    {
        sink += payload.size();
    }

private:
    void touch(const std::vector<int>& values)
    {
        for (int v : values)
            sink += static_cast<size_t>(v);
    }
    // Conversions must always give a defined enumerator.
    static void check(CommandsSender::MapAxis axis, MapTunerStatus status)
    {
        if ((axis != CommandsSender::X && axis != CommandsSender::Y) || status < MapTunerOk ||
            status > MapTunerFailed)
            __builtin_trap();
    }
    size_t sink = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::silenceDiagnostics();
    static Receivers receivers;
    static CommandsResponseReceiver all(&receivers, &receivers, &receivers, &receivers, &receivers,
                                        &receivers, &receivers);
    static CommandsResponseReceiver none(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr);
    const std::string frame(reinterpret_cast<const char*>(data), size);
    all.decodeResponse(frame);
    none.decodeResponse(frame);
    return 0;
}
