#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
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
// Lives on the thread of the serial link it relays to.
class UpdateRelay : public QObject
{
    Q_OBJECT
public:
    UpdateRelay(ComPort& comPort, ReconnectWaiter& portWaiter, QObject* parent = nullptr);
    ~UpdateRelay() override;

    // Lets go of a connection made earlier: the relay talks to one server at a time.
    void connectToServer(const QString& host, unsigned short port);
    bool connected() const { return connection != nullptr; }
    // Asks the server for the update to this version.
    void requestVersion(const std::string& version);
    // An answer of the GCU's, as it came.
    void forwardGcuAnswer(const std::string& data);
    // Nothing waits to be written to a closed link: the server may go on.
    void linkClosed();

    // Bounds on what a server can make the relay show.
    static constexpr int maxOfferedVersions = 1000;
    static constexpr int maxVersionNameLength = 256;

signals:
    void log(QString line);
    // The server's versions, a fresh list each time it offers them.
    void versionsOffered(QStringList names);
    void progress(int stepsDone, int stepsTotal);
    // The server hung up: `completed` when it had sent the last step of its update.
    void serverGone(bool completed);

private:
    void handleRequest(const std::string& data);
    void logHexDump(const std::string& data);
    void answerUnservedRequest();
    void offerVersions(const SoftwareServerRequest& request);
    void relayPacketToGcu(const SendPacketToGcu& packet);
    void holdServerWhileGcuIsBehind();
    void resumeServerOnceGcuCaughtUp();

    ComPort& comPort;
    ReconnectWaiter& portWaiter;
    std::unique_ptr<ClientConnection> connection;
    std::unique_ptr<SoftwareServerResponseSender> responseSender;
    // The server's last packet was not the last step of its update.
    bool updateUnfinished = false;
};
