#pragma once

#include "firmware.pb.h"
#include "framecodec.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTimer>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QTcpSocket;
class SoftwareServerResponse;

// An update server on loopback that drives one whole update through the
// uploader: it asks for the serial number, offers its versions, waits for the
// user's choice, resets the GCU into its bootloader and has the uploader
// reconnect, then sends the chosen file step by step (key blob, AES key, every
// command, the reset), each only after the GCU's success answer, falling back to
// the last checkpoint on failures and missing answers.
class UpdateServerSimulator : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        quint16 port = 0;
        std::vector<std::pair<std::string, std::string>> versions; // name, file
        QStringList misbehaviours; // garbage, unknown, empty, oversize
        int dropAfterPackets = -1;
        int answerTimeoutMs = 2000;
    };

    explicit UpdateServerSimulator(Options options);
    bool listen();
    quint16 port() const { return server.serverPort(); }

signals:
    // The session is over: true when the update completed.
    void finished(bool completed);

private:
    enum class Stage
    {
        SerialNumber,
        Misbehaving,
        Versions,
        Reconnect,
        Upload,
        Done
    };

    void onConnection();
    void onFrame(const std::string& payload);
    void onAnswerTimeout();
    void send(const std::string& request);
    void misbehave();
    void offerVersions();
    void startUpload(const std::string& name);
    void sendStep();
    void handleGcuAnswer(const std::string& packet);
    void finish(bool completed, const QString& why);
    void log(const QString& line) const;

    Options options;
    QTcpServer server;
    QTcpSocket* client = nullptr;
    FrameCodec reader;
    QTimer answerTimer;
    Stage stage = Stage::SerialNumber;
    int unservedAnswersExpected = 0;

    // The steps of the chosen file: serialised Command messages.
    std::vector<std::string> steps;
    std::vector<bool> checkpoints;
    size_t next = 0;
    size_t checkpoint = 0;
    int packetsSent = 0;
};
