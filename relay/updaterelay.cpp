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
// The server is held back while this much waits to be written to the GCU, and
// let go once the serial side is down to the lower mark.
constexpr qint64 relayHoldBytes = 1024 * 1024;
constexpr qint64 relayResumeBytes = 256 * 1024;

} // namespace

UpdateRelay::UpdateRelay(ComPort& comPort, ReconnectWaiter& portWaiter, QObject* parent)
    : QObject(parent), comPort(comPort), portWaiter(portWaiter)
{
    connect(&comPort, &ComPort::bytesWritten, this, [this] { resumeServerOnceGcuCaughtUp(); });
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
        emit log(QString("Server connection failed: %1").arg(reason));
        emit serverGone(false);
    });
    // A server closes the connection once it is done; closing it in the middle
    // of an update is a failure all the same.
    connect(made.get(), &ClientConnection::connectionClosed, this, [this] {
        if (updateUnfinished)
            emit log(QString("Server connection failed: %1")
                         .arg(QString::fromStdString(connection->error())));
        else
            emit log("Server closed the connection");
        emit serverGone(!updateUnfinished);
    });
    if (connection) {
        connection->disconnect(this);
        connection->close();
    }
    updateUnfinished = false;
    responseSender = std::move(sender);
    connection = std::move(made);
}

void UpdateRelay::requestVersion(const std::string& version)
{
    if (responseSender)
        responseSender->sendGetFirmwareVersion(version);
}

void UpdateRelay::forwardGcuAnswer(const std::string& data)
{
    if (!responseSender)
        return;
    emit log("Sending GCU response to server");
    responseSender->sendReceivedPacketFromGcu(data);
}

void UpdateRelay::linkClosed()
{
    if (connection)
        connection->resumeReading();
}

void UpdateRelay::resumeServerOnceGcuCaughtUp()
{
    if (connection && connection->readingPaused() && comPort.bytesToWrite() <= relayResumeBytes)
        connection->resumeReading();
}

void UpdateRelay::holdServerWhileGcuIsBehind()
{
    // The serial link drains far slower than a server can send: rather than
    // buffer the server's whole update here, let TCP hold it back.
    if (comPort.bytesToWrite() > relayHoldBytes)
        connection->pauseReading();
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
    comPort.commandSend(packet.packet());
    updateUnfinished = packet.steps_done() < packet.steps_total();
    emit progress(packet.steps_done(), packet.steps_total());
    holdServerWhileGcuIsBehind();
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
        // The wait runs off this thread; once the port is back the server hears
        // of it first, then the link is opened again. Every request is answered.
        portWaiter.whenPortIsBack(comPort.isOpen(), [this] {
            if (responseSender)
                responseSender->sendReconnect();
        });
        break;
    default:
        emit log(QString("Type UNKNOWN %1").arg(static_cast<int>(request.req_case())));
        logHexDump(data);
        answerUnservedRequest();
        break;
    }
}
