#include "updateserversimulator.h"

#include "gcu.pb.h"
#include "server.pb.h"

#include <QTcpSocket>
#include <QThread>
#include <fstream>
#include <iostream>

namespace {

std::string commandWith(const std::function<void(Command&)>& fill)
{
    Command command;
    command.set_headervalue(1);
    fill(command);
    return command.SerializeAsString();
}

// A request whose member is one the uploader does not know: field 99, empty.
const std::string unknownRequest("\x9a\x06\x00", 3);

} // namespace

UpdateServerSimulator::UpdateServerSimulator(Options simOptions) : options(std::move(simOptions))
{
    connect(&server, &QTcpServer::newConnection, this, &UpdateServerSimulator::onConnection);
    answerTimer.setSingleShot(true);
    connect(&answerTimer, &QTimer::timeout, this, &UpdateServerSimulator::onAnswerTimeout);
}

bool UpdateServerSimulator::listen()
{
    return server.listen(QHostAddress::LocalHost, options.port);
}

void UpdateServerSimulator::log(const QString& line) const
{
    std::cerr << "update-server-sim: " << line.toStdString() << std::endl;
}

void UpdateServerSimulator::onConnection()
{
    QTcpSocket* incoming = server.nextPendingConnection();
    if (client) {
        log("a second client is turned away");
        incoming->close();
        incoming->deleteLater();
        return;
    }
    client = incoming;
    log("uploader connected");
    connect(client, &QTcpSocket::readyRead, this, [this] {
        reader.readFrames(*client, [this](std::string payload) {
            onFrame(payload);
            return client != nullptr;
        });
    });
    connect(client, &QTcpSocket::disconnected, this,
            [this] { finish(false, "the uploader went away"); });
    SoftwareServerRequest request;
    request.mutable_get_serial_number();
    send(request.SerializeAsString());
}

void UpdateServerSimulator::send(const std::string& request)
{
    if (client)
        client->write(FrameCodec::encode(request));
}

void UpdateServerSimulator::misbehave()
{
    stage = Stage::Misbehaving;
    for (const QString& kind : options.misbehaviours) {
        log("misbehaving: " + kind);
        if (kind == "garbage") {
            send(std::string("\xff\xff\xff\xff\x0f", 5));
            ++unservedAnswersExpected;
        } else if (kind == "unknown") {
            send(unknownRequest);
            ++unservedAnswersExpected;
        } else if (kind == "empty") {
            send(std::string());
            ++unservedAnswersExpected;
        } else if (kind == "oversize") {
            client->write(QByteArray("\xf0\xff\xff\xff", 4));
            client->flush();
            // Give the uploader the bogus header on its own before anything else.
            client->waitForBytesWritten(1000);
            QThread::msleep(300);
        }
    }
    if (unservedAnswersExpected == 0)
        offerVersions();
}

void UpdateServerSimulator::offerVersions()
{
    stage = Stage::Versions;
    SoftwareServerRequest request;
    for (const auto& [name, file] : options.versions)
        request.mutable_get_firmware_versions()->add_versions()->set_name(name);
    if (options.versions.empty())
        request.mutable_get_firmware_versions();
    log(QString("offering %1 versions").arg(options.versions.size()));
    send(request.SerializeAsString());
}

void UpdateServerSimulator::onFrame(const std::string& payload)
{
    SoftwareServerResponse response;
    if (!response.ParseFromString(payload)) {
        log("unreadable answer");
        return;
    }
    switch (response.resp_case()) {
    case SoftwareServerResponse::kGetSerialNumber:
        log(QString("serial number %1")
                .arg(QString::fromStdString(response.get_serial_number().serial_number())));
        if (stage == Stage::SerialNumber)
            options.misbehaviours.isEmpty() ? offerVersions() : misbehave();
        break;
    case SoftwareServerResponse::kGetFirmwareVersions:
        if (stage == Stage::Versions)
            startUpload(response.get_firmware_versions().version());
        break;
    case SoftwareServerResponse::kReconnect:
        if (stage == Stage::Reconnect) {
            log("the uploader has the GCU back");
            stage = Stage::Upload;
            next = 0;
            sendStep();
        }
        break;
    case SoftwareServerResponse::kReceivePacketFromGcu:
        handleGcuAnswer(response.receive_packet_from_gcu().packet());
        break;
    default:
        log("answer without a member");
        break;
    }
}

void UpdateServerSimulator::startUpload(const std::string& name)
{
    log(QString("the user chose %1").arg(QString::fromStdString(name)));
    std::string fileName;
    for (const auto& [versionName, file] : options.versions)
        if (versionName == name)
            fileName = file;
    FirmwareFile file;
    std::ifstream stream(fileName, std::ios::binary);
    if (fileName.empty() || !file.ParseFromIstream(&stream)) {
        finish(false, "no firmware file for that version");
        return;
    }
    steps.push_back(commandWith(
        [&](Command& c) { c.mutable_rsa_public_key()->set_data(file.rsa_public_key()); }));
    steps.push_back(
        commandWith([&](Command& c) { c.mutable_aes_key()->set_data(file.aes_key()); }));
    checkpoints = {true, true};
    for (const FirmwareCommand& command : file.commands()) {
        steps.push_back(
            commandWith([&](Command& c) { c.mutable_command_data()->set_data(command.data()); }));
        checkpoints.push_back(command.checkpoint());
    }
    steps.push_back(commandWith([](Command& c) { c.mutable_reset(); }));
    checkpoints.push_back(false);

    // The GCU is reset into its bootloader and the uploader asked to find it again.
    stage = Stage::Reconnect;
    SoftwareServerRequest reset;
    reset.mutable_send_packet_to_gcu()->set_packet(
        commandWith([](Command& c) { c.mutable_reset_to_bootloader(); }));
    send(reset.SerializeAsString());
    SoftwareServerRequest reconnect;
    reconnect.mutable_reconnect();
    send(reconnect.SerializeAsString());
}

void UpdateServerSimulator::sendStep()
{
    if (options.dropAfterPackets >= 0 && packetsSent >= options.dropAfterPackets) {
        log("misbehaving: dropping the connection");
        client->abort();
        return;
    }
    if (checkpoints[next])
        checkpoint = next;
    SoftwareServerRequest request;
    SendPacketToGcu* packet = request.mutable_send_packet_to_gcu();
    packet->set_packet(steps[next]);
    packet->set_steps_done(static_cast<int32_t>(next + 1));
    packet->set_steps_total(static_cast<int32_t>(steps.size()));
    send(request.SerializeAsString());
    ++packetsSent;
    if (next + 1 == steps.size()) {
        // The reset is not answered: the GCU starts the new image.
        finish(true, "update sent completely");
        return;
    }
    answerTimer.start(options.answerTimeoutMs);
}

void UpdateServerSimulator::handleGcuAnswer(const std::string& packet)
{
    Response response;
    if (!response.ParseFromString(packet) || response.resp_case() != Response::kResult)
        return;
    const uint32_t result = response.result();
    if (stage == Stage::Misbehaving) {
        if (result == 5 && --unservedAnswersExpected == 0) {
            log("every misbehaviour was answered as unserved");
            offerVersions();
        }
        return;
    }
    if (stage != Stage::Upload)
        return;
    if (result == 0) {
        answerTimer.stop();
        ++next;
        sendStep();
    } else if (result <= 3) {
        answerTimer.stop();
        log(QString("step %1 failed with %2, back to %3").arg(next).arg(result).arg(checkpoint));
        next = checkpoint;
        sendStep();
    }
}

void UpdateServerSimulator::onAnswerTimeout()
{
    log(QString("no answer to step %1, back to %2").arg(next).arg(checkpoint));
    next = checkpoint;
    sendStep();
}

void UpdateServerSimulator::finish(bool completed, const QString& why)
{
    if (stage == Stage::Done)
        return;
    stage = Stage::Done;
    answerTimer.stop();
    log(why);
    if (client) {
        client->flush();
        client->waitForBytesWritten(1000);
    }
    emit finished(completed);
}
