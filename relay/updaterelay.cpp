#include "updaterelay.h"

#include "clientconnection.h"
#include "comport.h"
#include "gcu.pb.h"
#include "hexdump.h"
#include "logline.h"
#include "reconnectwaiter.h"
#include "server.pb.h"
#include "softwareserverresponsesender.h"

#include <algorithm>
#include <sstream>

namespace {

// A hex dump in the log shows this much of a frame: enough to tell what it was.
constexpr size_t maxLoggedDumpBytes = 256;
// A side is held back while this much waits to be written to the other, and let
// go once that is down to the lower mark.
constexpr qint64 relayHoldBytes = 1024 * 1024;
constexpr qint64 relayResumeBytes = 256 * 1024;
constexpr int stallCheckIntervalMs = 1000;

} // namespace

UpdateRelay::UpdateRelay(ComPort& comPort, ReconnectWaiter& portWaiter, QObject* parent)
    : QObject(parent), comPort(comPort), portWaiter(portWaiter), linkUp(comPort.isOpen())
{
    connect(&comPort, &ComPort::bytesWritten, this, [this] { serialProgressed(); });
    connect(&comPort, &ComPort::opened, this, [this] { linkOpened(); });
    connect(&comPort, &ComPort::closed, this, [this] { linkClosed(); });
    // A port whose device has gone is as good as closed, whoever closes it.
    connect(&comPort, &ComPort::portLost, this, [this] { linkClosed(); });
    connect(&portWaiter, &ReconnectWaiter::reopenFailed, this, [this] { reopenFailed(); });
    stallCheck.setInterval(stallCheckIntervalMs);
    connect(&stallCheck, &QTimer::timeout, this, [this] { checkStall(); });
}

UpdateRelay::~UpdateRelay() = default;

void UpdateRelay::connectToServer(const QString& host, unsigned short port)
{
    emit log(QString("Connecting to: %1:%2").arg(host).arg(port));
    auto made = std::make_unique<ClientConnection>(host, port);
    auto sender = std::make_unique<SoftwareServerResponseSender>(made.get());
    connect(made.get(), &ClientConnection::commandRead, this,
            [this](const std::string& data) { handleRequest(data); });
    connect(made.get(), &ClientConnection::connectionFailed, this, [this](const QString& reason) {
        finish(End::ServerFailed, QString("Server connection failed: %1").arg(reason));
    });
    connect(made.get(), &ClientConnection::connectionClosed, this, [this] { serverHungUp(); });
    connect(made.get(), &ClientConnection::closeHeldBack, this, [this] {
        // Held packets that cannot be delivered never will be.
        if (packetHeld)
            serverHungUp();
    });
    connect(made.get(), &ClientConnection::bytesWritten, this, [this] { serverProgressed(); });
    dropConnection();
    responseSender = std::move(sender);
    connection = std::move(made);
    applyServerHold();
}

void UpdateRelay::serverHungUp()
{
    // A server closes the connection once it is done; closing it in the middle
    // of an update is a failure all the same.
    if (packetHeld)
        finish(End::GcuLost, "Lost the GCU during the server's update");
    else if (updateUnfinished)
        finish(End::ServerFailed, QString("Server connection failed: %1")
                                      .arg(QString::fromStdString(connection->error())));
    else
        finish(End::Completed, "Server closed the connection");
}

void UpdateRelay::finish(End end, const QString& why)
{
    if (!connection)
        return;
    emit log(why);
    dropConnection();
    emit ended(end);
}

void UpdateRelay::dropConnection()
{
    if (!connection)
        return;
    connection->disconnect(this);
    connection->close();
    responseSender.reset();
    // The signal being handled may be the connection's own.
    connection.release()->deleteLater();
    updateUnfinished = false;
    serverDrivesGcu = false;
    reconnectAnswersOwed = 0;
    packetHeld = false;
    heldPacket.clear();
    gcuBehind = false;
    stallCheck.stop();
    if (serverBehind) {
        serverBehind = false;
        comPort.resumeReading();
    }
}

void UpdateRelay::requestVersion(const std::string& version)
{
    if (!responseSender)
        return;
    responseSender->sendGetFirmwareVersion(version);
    checkServerBacklog();
}

void UpdateRelay::expectOwnAnswer(int answerKind)
{
    ownAnswerKind = answerKind;
}

void UpdateRelay::forwardGcuAnswer(const std::string& data, int answerKind)
{
    if (answerKind == Response::kPong)
        return;
    if (answerKind != 0 && answerKind == ownAnswerKind) {
        ownAnswerKind = 0;
        return;
    }
    if (!responseSender)
        return;
    emit log("Sending GCU response to server");
    responseSender->sendReceivedPacketFromGcu(data);
    checkServerBacklog();
}

void UpdateRelay::checkServerBacklog()
{
    // A server that does not read would have every answer queued here: the GCU
    // and the server's further requests wait instead.
    if (serverBehind || !connection || connection->bytesToWrite() <= relayHoldBytes)
        return;
    serverBehind = true;
    comPort.pauseReading();
    applyServerHold();
}

void UpdateRelay::serverProgressed()
{
    if (!serverBehind || !connection || connection->bytesToWrite() > relayResumeBytes)
        return;
    serverBehind = false;
    comPort.resumeReading();
    applyServerHold();
}

void UpdateRelay::serialProgressed()
{
    sinceSerialProgress.restart();
    if (gcuBehind && comPort.bytesToWrite() <= relayResumeBytes) {
        gcuBehind = false;
        stallCheck.stop();
        applyServerHold();
    }
}

void UpdateRelay::checkStall()
{
    if (!gcuBehind || sinceSerialProgress.elapsed() < stallTimeoutMs)
        return;
    finish(
        End::Stalled,
        QString("The GCU took nothing of the server's update for %1 s").arg(stallTimeoutMs / 1000));
}

void UpdateRelay::applyServerHold()
{
    if (!connection)
        return;
    const bool hold = gcuBehind || packetHeld || serverBehind;
    if (hold && !connection->readingPaused())
        connection->pauseReading();
    else if (!hold && connection->readingPaused())
        connection->resumeReading();
}

void UpdateRelay::linkClosed()
{
    // Nothing waits to be written to a closed link.
    linkUp = false;
    gcuBehind = false;
    stallCheck.stop();
    applyServerHold();
}

void UpdateRelay::linkOpened()
{
    linkUp = true;
    gcuBehind = false;
    stallCheck.stop();
    // A fresh port reads at once: not while the server is behind.
    if (serverBehind)
        comPort.pauseReading();
    if (packetHeld) {
        packetHeld = false;
        const std::string packet = std::move(heldPacket);
        heldPacket.clear();
        writePacket(packet, heldStepsDone, heldStepsTotal);
    }
    applyServerHold();
}

void UpdateRelay::reopenFailed()
{
    if (connection && (serverDrivesGcu || packetHeld))
        finish(End::GcuLost, "Lost the GCU during the server's update");
}

void UpdateRelay::logHexDump(const std::string& data)
{
    std::ostringstream dump;
    hexdump(data.data(), data.size(), dump, maxLoggedDumpBytes);
    emit log(QString::fromUtf8(dump.str().c_str()));
}

void UpdateRelay::answerUnservedRequest()
{
    Response error;
    error.set_result(5);
    responseSender->sendReceivedPacketFromGcu(error.SerializeAsString());
    checkServerBacklog();
}

void UpdateRelay::offerVersions(const SoftwareServerRequest& request)
{
    const auto& versions = request.get_firmware_versions().versions();
    const int listed = std::min(versions.size(), maxOfferedVersions);
    QStringList names;
    names.reserve(listed);
    for (int i = 0; i < listed; ++i) {
        // A name is a name: what a server sends beyond that is not shown.
        names << QString::fromUtf8(versions[i].name().c_str()).left(maxVersionNameLength);
        emit log(QString("Added version %1").arg(names.back()));
    }
    if (versions.size() > listed)
        emit log(QString("The server offered %1 more versions; only the first %2 are listed")
                     .arg(versions.size() - listed)
                     .arg(maxOfferedVersions));
    emit versionsOffered(names);
}

void UpdateRelay::relayPacketToGcu(const SendPacketToGcu& packet)
{
    if (!serverDrivesGcu) {
        serverDrivesGcu = true;
        emit serverTookOver();
    }
    if (linkUp) {
        writePacket(packet.packet(), packet.steps_done(), packet.steps_total());
        return;
    }
    // Dropped into a closed link, the packet would be missing from the GCU's
    // update: it waits, and the server with it, until the link is open again.
    packetHeld = true;
    heldPacket = packet.packet();
    heldStepsDone = packet.steps_done();
    heldStepsTotal = packet.steps_total();
    applyServerHold();
}

void UpdateRelay::writePacket(const std::string& packet, int stepsDone, int stepsTotal)
{
    comPort.commandSend(packet);
    updateUnfinished = stepsDone < stepsTotal;
    emit progress(stepsDone, stepsTotal);
    // The serial link drains far slower than a server can send: rather than
    // buffer the server's whole update here, let TCP hold it back.
    if (!gcuBehind && comPort.bytesToWrite() > relayHoldBytes) {
        gcuBehind = true;
        sinceSerialProgress.restart();
        stallCheck.start();
        applyServerHold();
    }
}

void UpdateRelay::askForReconnect()
{
    // The wait runs off this thread; once the port is back the server hears of
    // it first, then the link is opened again. Every request is answered, however
    // many come during one wait.
    if (reconnectAnswersOwed++ == 0)
        portWaiter.whenPortIsBack(comPort.isOpen(), [this] { answerReconnects(); });
    else
        portWaiter.whenPortIsBack(comPort.isOpen());
}

void UpdateRelay::answerReconnects()
{
    for (; reconnectAnswersOwed > 0 && responseSender; --reconnectAnswersOwed)
        responseSender->sendReconnect();
    reconnectAnswersOwed = 0;
    checkServerBacklog();
}

void UpdateRelay::handleRequest(const std::string& data)
{
    SoftwareServerRequest request;
    if (!request.ParseFromString(data)) {
        emit log("Failed to parse command from server");
        LogLine() << "Failed command from server: ";
        logHexDump(data);
        answerUnservedRequest();
        return;
    }
    switch (request.req_case()) {
    case SoftwareServerRequest::kGetSerialNumber:
        emit log("Type GetSerialNumber");
        responseSender->sendGetSerialNumber(comPort.getSerialNumber());
        checkServerBacklog();
        break;
    case SoftwareServerRequest::kGetFirmwareVersions:
        emit log("Type GetFirmwareVersion");
        offerVersions(request);
        break;
    case SoftwareServerRequest::kSendPacketToGcu:
        emit log("Type SendPacketToGcu");
        relayPacketToGcu(request.send_packet_to_gcu());
        break;
    case SoftwareServerRequest::kReconnect:
        emit log("Type ReconnectReq");
        askForReconnect();
        break;
    default:
        emit log(QString("Type UNKNOWN %1").arg(static_cast<int>(request.req_case())));
        logHexDump(data);
        answerUnservedRequest();
        break;
    }
}
