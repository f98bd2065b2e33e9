#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <string>

class ClientConnection;
class ComPort;
class ReconnectWaiter;
class SendPacketToGcu;
class SoftwareServerRequest;
class SoftwareServerResponseSender;

// The update server's side of the relay: it answers the server's questions about
// the GCU, offers the versions the server has, writes the server's packets to the
// GCU unchanged and the GCU's answers back, and has the link re-opened when the
// server has reset the GCU. What it does is said through `log`, line by line, in
// the words the window's log pane has always used.
//
// It follows the serial link by the link's own signals: a packet that comes
// while the link is closed is held (and the server with it) until the link is
// open again, and the relay ends as lost if the server leaves or the link cannot
// be opened again meanwhile. Either side that falls behind holds the other back.
//
// Lives on the thread of the serial link it relays to.
class UpdateRelay : public QObject
{
    Q_OBJECT
public:
    // How a relay that was under way ended.
    enum class End
    {
        // The server sent the last step of its update and closed.
        Completed,
        // The connection failed, or the server left in the middle of its update.
        ServerFailed,
        // The server's packets could not reach the GCU.
        GcuLost,
        // The GCU took none of the server's packets for the stall time.
        Stalled,
    };
    Q_ENUM(End)

    static constexpr int defaultStallTimeoutMs = 30000;

    UpdateRelay(ComPort& comPort, ReconnectWaiter& portWaiter, QObject* parent = nullptr);
    ~UpdateRelay() override;

    // Lets go of a connection made earlier: the relay talks to one server at a time.
    void connectToServer(const QString& host, unsigned short port);
    bool connected() const { return connection != nullptr; }
    // The server has sent a packet for the GCU since it connected: its update
    // has the GCU to itself until the relay ends.
    bool updateUnderway() const { return serverDrivesGcu; }
    // Asks the server for the update to this version.
    void requestVersion(const std::string& version);
    // The owner asked the GCU something itself: its next answer of this kind
    // (a `Response` case) is the owner's, not the server's.
    void expectOwnAnswer(int answerKind);
    // A frame of the GCU's, as it came, with its `Response` case (0 when not
    // known). Pongs and the owner's own answers stay with the owner; every other
    // frame goes to the server while the relay is connected.
    void forwardGcuAnswer(const std::string& data, int answerKind);
    void setStallTimeoutMs(int ms) { stallTimeoutMs = ms; }

    // Bounds on what a server can make the relay show.
    static constexpr int maxOfferedVersions = 1000;
    static constexpr int maxVersionNameLength = 256;

signals:
    void log(QString line);
    // The server's versions, a fresh list each time it offers them.
    void versionsOffered(QStringList names);
    void progress(int stepsDone, int stepsTotal);
    // The server's first packet for the GCU: anything else driving it must stop.
    void serverTookOver();
    // The relay is over (the reason was logged); a new connection starts another.
    void ended(UpdateRelay::End end);

private:
    void handleRequest(const std::string& data);
    void logHexDump(const std::string& data);
    void answerUnservedRequest();
    void offerVersions(const SoftwareServerRequest& request);
    void relayPacketToGcu(const SendPacketToGcu& packet);
    void writePacket(const std::string& packet, int stepsDone, int stepsTotal);
    void askForReconnect();
    void answerReconnects();
    void linkOpened();
    void linkClosed();
    void reopenFailed();
    void serverHungUp();
    void serialProgressed();
    void serverProgressed();
    void checkServerBacklog();
    void checkStall();
    // Reads the server only while nothing holds it back.
    void applyServerHold();
    void finish(End end, const QString& why);
    // Lets the connection go and forgets everything about its update.
    void dropConnection();

    ComPort& comPort;
    ReconnectWaiter& portWaiter;
    // The link is open and its device there.
    bool linkUp;
    std::unique_ptr<ClientConnection> connection;
    std::unique_ptr<SoftwareServerResponseSender> responseSender;
    // The server's last packet was not the last step of its update.
    bool updateUnfinished = false;
    bool serverDrivesGcu = false;
    int ownAnswerKind = 0;
    // Reconnect requests waiting for the GCU's port: each is answered once it is back.
    int reconnectAnswersOwed = 0;
    // What holds the server back: a GCU that is behind, a packet that waits for
    // the link to open.
    bool gcuBehind = false;
    bool packetHeld = false;
    std::string heldPacket;
    int heldStepsDone = 0;
    int heldStepsTotal = 0;
    // A server that is behind holds the GCU back.
    bool serverBehind = false;
    int stallTimeoutMs = defaultStallTimeoutMs;
    QElapsedTimer sinceSerialProgress;
    QTimer stallCheck;
};
