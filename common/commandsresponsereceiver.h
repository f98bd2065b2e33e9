#pragma once

#include "commandssender.h"
#include "iprocedure.h"
#include "orvcommon_global.h"

#include <cstdint>
#include <string>
#include <vector>

// The map tuner's answer status. Values the GCU should never send are reported
// as MapTunerFailed.
enum MapTunerStatus
{
    MapTunerOk = 0,
    MapTunerInvalidMap = 1,
    MapTunerOutOfRange = 2,
    MapTunerFailed = 3,
};

// Receivers of the GCU's answers, one per family of the protocol. Tools of the
// family implement those they need and hand them to CommandsResponseReceiver.
// Interfaces without a virtual destructor cannot be deleted through.

class ORV_COMMON_EXPORT IBootloaderCommandsResponse
{
public:
    // The GCU's hardware identity strings; not dispatched by the receiver.
    virtual void hardwareIdsResponse(std::string, std::string, std::string) {}
    virtual void commandResult(FirmwareCommandResult result) = 0;
    virtual void pongResponse(uint32_t sequenceNo) = 0;
    virtual void publicKeyResponse() = 0;

protected:
    ~IBootloaderCommandsResponse() = default;
};

class ORV_COMMON_EXPORT IDataLoggerCommandsResponse
{
public:
    virtual ~IDataLoggerCommandsResponse() = default;
    virtual void loggerStarted() = 0;
    virtual void loggerData(uint32_t timestamp, uint32_t sequence, std::vector<int>& values) = 0;
    virtual void loggerStopped() = 0;
};

class ORV_COMMON_EXPORT IConfigCommandsResponse
{
public:
    virtual ~IConfigCommandsResponse() = default;
    virtual void configurationWritten(uint32_t segment, uint32_t status) = 0;
    virtual void configurationRead(uint32_t segment, uint32_t status, const std::string& data) = 0;
    virtual void configurationErased(uint32_t segment) = 0;
    virtual void calibrationWritten(uint32_t length, uint32_t status) = 0;
};

class ORV_COMMON_EXPORT IPidTunerCommandsResponse
{
public:
    virtual ~IPidTunerCommandsResponse() = default;
    virtual void pidTunerStarted(uint32_t status) = 0;
    virtual void pidSet(uint32_t status) = 0;
    virtual void pidGot(uint32_t pidId, int p, int i, int d, int lowerCap, int upperCap) = 0;
    virtual void pidReset(uint32_t status) = 0;
};

class ORV_COMMON_EXPORT IMapTuningCommandsResponse
{
public:
    virtual void mapTunerStarted(uint32_t status) = 0;
    virtual void mapDetails(uint32_t mapId, uint32_t xSize, uint32_t ySize) = 0;
    virtual void mapLabelGot(uint32_t mapId, CommandsSender::MapAxis axis, uint32_t position,
                             int label, MapTunerStatus status) = 0;
    virtual void mapLabelSet(uint32_t mapId, CommandsSender::MapAxis axis, uint32_t position,
                             MapTunerStatus status) = 0;
    virtual void mapValueGot(uint32_t mapId, uint32_t xIndex, uint32_t yIndex, int value,
                             MapTunerStatus status) = 0;
    virtual void mapValueSet(uint32_t mapId, uint32_t xIndex, uint32_t yIndex,
                             MapTunerStatus status) = 0;
    virtual void mapGot(uint32_t mapId, std::vector<int>& xLabels, std::vector<int>& yLabels,
                        std::vector<int>& values) = 0;
    virtual void lastGetValue(uint32_t mapId, uint32_t xIndex, uint32_t yIndex,
                              uint32_t rawValue) = 0;

protected:
    ~IMapTuningCommandsResponse() = default;
};

class ORV_COMMON_EXPORT IControlerAdaptationResponse
{
public:
    virtual void calibrationStarted() = 0;
    virtual void calibrationStatus(bool done) = 0;

protected:
    ~IControlerAdaptationResponse() = default;
};

class ORV_COMMON_EXPORT ICandumpResponse
{
public:
    virtual void candumpStarted() = 0;
    virtual void candumpStopped() = 0;
    virtual void candumpFrame(uint32_t id, uint32_t dlc, uint32_t timestamp, bool extended,
                              const std::string& payload) = 0;

protected:
    ~ICandumpResponse() = default;
};

// Decodes the GCU's answers and dispatches each to the receiver of its family.
// Any receiver may be null: its answers are then only logged.
class ORV_COMMON_EXPORT CommandsResponseReceiver
{
public:
    CommandsResponseReceiver(IBootloaderCommandsResponse* bootloader,
                             IDataLoggerCommandsResponse* dataLogger,
                             IConfigCommandsResponse* config, IPidTunerCommandsResponse* pidTuner,
                             IMapTuningCommandsResponse* mapTuning,
                             IControlerAdaptationResponse* adaptation, ICandumpResponse* candump);

    void setDataLoggerCommandsResponse(IDataLoggerCommandsResponse* receiver);

    // One frame payload, as the serial link delivers it.
    void decodeResponse(const std::string& frame);

private:
    IBootloaderCommandsResponse* bootloader;
    IDataLoggerCommandsResponse* dataLogger;
    IConfigCommandsResponse* config;
    IPidTunerCommandsResponse* pidTuner;
    IMapTuningCommandsResponse* mapTuning;
    IControlerAdaptationResponse* adaptation;
    ICandumpResponse* candump;
};
