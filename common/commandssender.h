#pragma once

#include "orvcommon_global.h"

#include <QObject>
#include <string>
#include <vector>

class ComPort;
class Command;

// Builds one Command per request kind of the device protocol and sends it
// through the ComPort. Fire-and-forget: it waits for nothing, remembers nothing,
// and logs every attempt, whether or not the link is open.
class ORV_COMMON_EXPORT CommandsSender : public QObject
{
    Q_OBJECT
public:
    enum MapAxis
    {
        X = 0,
        Y = 1
    };

    explicit CommandsSender(ComPort& port);

    void sendResetToBootloader();
    void sendRsaPublicKey(const std::string& key);
    void sendAesKey(const std::string& key);
    void sendCommand(std::string command);
    void sendPing(unsigned int sequenceNo);
    void sendModuleKeyPublicKeyRequest();
    void sendReset();
    void sendKeyExchange(const std::string& value);
    void sendCandumpStart();
    void sendCandumpStop();
    void sendGetIds();
    void sendGetFirmwareId();
    void sendLoggerStart(std::vector<unsigned int>& channels);
    void sendLoggerStop();
    void sendLoggerDataRequest();
    void sendVirtualInputValue(int id, int value);
    void sendPidTunerStartReq();
    void sendPidTunerSetPidReq(unsigned int pidId, int p, int i, int d, int lowerCap, int upperCap);
    void sendPidTunerGetPidReq(unsigned int pidId);
    void sendPidTunerResetReq(unsigned int pidId);
    void sendMapTunerStartReq();
    void sendMapTunerGetMapDetails(unsigned int mapId);
    void sendMapTunerSetMapLabel(unsigned int mapId, MapAxis axis, unsigned int position,
                                 int label);
    void sendMapTunerGetMapLabel(unsigned int mapId, MapAxis axis, unsigned int position);
    void sendMapTunerSetMapValue(unsigned int mapId, unsigned int xIndex, unsigned int yIndex,
                                 int value);
    void sendMapTunerGetMapValue(unsigned int mapId, unsigned int xIndex, unsigned int yIndex);
    void sendMapTunerGetMap(unsigned int mapId);
    void sendMapTunerGetLastGetValue(unsigned int mapId);
    void sendConfigWriteReq(unsigned int segment, std::string content);
    void sendConfigReadReq(unsigned int segment);
    void sendConfigEraseReq(unsigned int segment);
    void sendCalibrationWriteReq(std::string content);
    void sendAdaptationStart();
    void sendAdaptationStatus();

private:
    void send(Command& command);

    ComPort& port;
};
