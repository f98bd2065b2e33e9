#include "uploaderapp.h"

#include "clientconnection.h"
#include "firmwareidtext.h"
#include "firmwareuploadprocedure.h"
#include "gcu.pb.h"
#include "gcuusbidentity.h"
#include "hexdump.h"
#include "logline.h"
#include "logpane.h"
#include "portinfoequality.h"
#include "server.pb.h"
#include "softwareserverresponsesender.h"
#include "ui_uploaderapp.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

constexpr int portPollIntervalMs = 100;
constexpr int pingIntervalMs = 1000;
constexpr int defaultServerPort = 7214;
const char* const defaultServerHost = "localhost";
// Bounds on what a peer's input can make the window hold.
constexpr int maxLogLines = 5000;
constexpr size_t maxPaneDumpBytes = 256;
constexpr int maxOfferedVersions = 1000;
constexpr int maxVersionNameLength = 256;
// The server is held back while this much waits to be written to the GCU, and
// let go once the serial side is down to the lower mark.
constexpr qint64 relayHoldBytes = 1024 * 1024;
constexpr qint64 relayResumeBytes = 256 * 1024;

// The device file exists but this user may not open it.
bool lacksPermission(const QString& path)
{
    return faccessat(AT_FDCWD, path.toLocal8Bit().constData(), R_OK | W_OK, AT_EACCESS) != 0 &&
           errno == EACCES;
}

bool samePorts(const QList<QSerialPortInfo>& a, const QList<QSerialPortInfo>& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i)
        if (!(a[i] == b[i]))
            return false;
    return true;
}

} // namespace

// The icon lives in a static library, whose resources are not registered by
// themselves. (Outside any namespace, as the macro requires.)
static void registerResources()
{
    Q_INIT_RESOURCE(uploader);
}

UploaderApp::UploaderApp(QWidget* parent)
    : QMainWindow(nullptr), ui(std::make_unique<Ui_UploaderApp>())
{
    // The window is always a top-level window of its own.
    (void)parent;
    registerResources();
    qRegisterMetaType<std::string>("std::string");
    ui->setupUi(this);
    ui->pushButton->hide();
    if (!offlineLoader()) {
        ui->fileLoader->hide();
        ui->softwareServerConnect->hide();
    }

    refreshTimer = new QTimer(this);
    connect(refreshTimer, SIGNAL(timeout()), this, SLOT(refreshPorts()));
    refreshTimer->start(portPollIntervalMs);

    ui->plainTextEdit_2->setMaximumBlockCount(maxLogLines);
    connect(this, &UploaderApp::addLog, new LogPane(ui->plainTextEdit_2), &LogPane::append);
    connect(this, SIGNAL(pongReceived(unsigned int)), this, SLOT(on_pongReceived(unsigned int)));
    connect(&comPort, SIGNAL(commandRead(std::string)), this, SLOT(readPort(std::string)));
    // A GCU that goes away under the open link is said so, and the link let go
    // once the frame in hand is done with.
    connect(&comPort, &ComPort::portLost, this, [this](const QString& reason) {
        emit addLog(QString("Lost the GCU: %1").arg(reason));
        QMetaObject::invokeMethod(this, "comPortDisconnect", Qt::QueuedConnection);
    });
    connect(&comPort, &ComPort::bytesWritten, this, [this] {
        if (serverConnection && serverConnection->readingPaused() &&
            comPort.bytesToWrite() <= relayResumeBytes)
            serverConnection->resumeReading();
    });
    // The log pane's lines also go to standard output, for scripts and bug reports.
    connect(this, &UploaderApp::addLog,
            [](const QString& line) { LogLine() << "log: " << line.toStdString(); });
}

bool UploaderApp::offlineLoader()
{
    return settings.value("ui/offlineLoader", false).toBool();
}

UploaderApp::~UploaderApp()
{
    ui.reset();
}

void UploaderApp::closeEvent(QCloseEvent* event)
{
    if (comPort.isOpen())
        on_pushButton_2_clicked();
    event->accept();
}

// ---- Ports and connection ----------------------------------------------------

void UploaderApp::addPortEntry(int index)
{
    const QSerialPortInfo& info = ports[index];
    const QString text = GcuUsbIdentity::isApplicationPort(info)
                             ? QString("%1 GCU").arg(info.serialNumber())
                             : info.serialNumber();
    ui->gcuSerialNumber->addItem(QIcon(), text, index);
}

void UploaderApp::refreshPorts()
{
    QList<QSerialPortInfo> gcuPorts;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        if (GcuUsbIdentity::isGcuPort(info))
            gcuPorts.append(info);
    if (samePorts(gcuPorts, ports))
        return;
    emit addLog("Port changed");
    ui->gcuSerialNumber->clear();
    ports = gcuPorts;
    for (int k = 0; k < ports.size(); ++k)
        addPortEntry(k);
}

void UploaderApp::on_pushButton_clicked()
{
    ports = QSerialPortInfo::availablePorts();
    ui->gcuSerialNumber->clear();
    for (int k = 0; k < ports.size(); ++k)
        if (GcuUsbIdentity::isGcuPort(ports[k]))
            addPortEntry(k);
}

void UploaderApp::on_pushButton_2_clicked()
{
    if (comPort.isOpen()) {
        comPortDisconnect();
        return;
    }
    const int index = ui->gcuSerialNumber->currentData(Qt::UserRole).toInt();
    if (index < 0 || index >= ports.size())
        return;
    if (!comPort.open(ports[index])) {
        emit addLog(QString("Failed to connect %1").arg(QString::fromStdString(comPort.error())));
        const QString path = ports[index].systemLocation();
        if (lacksPermission(path))
            emit addLog(QString("You have no permission to use the GCU's port %1. Install the udev "
                                "rule 70-orv-gcu.rules (it comes with the package) and plug the "
                                "GCU in again, or add yourself to the dialout group "
                                "(sudo usermod -aG dialout $USER) and log in again.")
                            .arg(path));
        return;
    }
    if (!pingTimer) {
        pingStopwatch = std::make_unique<QElapsedTimer>();
        pingTimer = new QTimer(this);
        connect(pingTimer, SIGNAL(timeout()), this, SLOT(on_ping_timer()));
    }
    connectionEstablished();
    if (!offlineLoader())
        on_softwareServerConnect_clicked();
}

void UploaderApp::connectionEstablished()
{
    emit addLog("Connected");
    if (pingTimer)
        pingTimer->start(pingIntervalMs);
    // The GCU may run other firmware than before (an update, another GCU): the
    // next tick asks again.
    firmwareIdRequested = false;
    ui->pushButton_2->setText(tr("Disconnect"));
}

void UploaderApp::comPortDisconnect()
{
    emit addLog("Disconnected");
    if (pingTimer)
        pingTimer->stop();
    comPort.close();
    ui->pushButton_2->setText(tr("Connect"));
    // Nothing waits to be written to a closed link: the server may go on.
    if (serverConnection)
        serverConnection->resumeReading();
}

void UploaderApp::comPortReconnect()
{
    portWaiter.whenPortIsBack(false);
}

void UploaderApp::reopenPort(const QSerialPortInfo& found)
{
    if (comPort.isOpen())
        comPortDisconnect();
    if (comPort.reconnect(found))
        connectionEstablished();
}

// ---- Answers from the GCU and ping -------------------------------------------

void UploaderApp::readPort(std::string data)
{
    // Whatever the parse managed to set is handled; a payload that sets
    // nothing falls through.
    Response response;
    response.ParseFromString(data);
    emit addLog(QString("Receiced %1 bytes from GCU").arg(data.size()));

    // The window's own requests are answered to the window, not the server: the
    // ping, and the firmware identity asked for after each connection.
    const bool ownAnswer = response.resp_case() == Response::kFirmwareId && firmwareIdAwaited;
    if (response.resp_case() == Response::kFirmwareId)
        firmwareIdAwaited = false;
    if (responseSender && !ownAnswer) {
        if (response.resp_case() == Response::kPong) {
            emit pongReceived(response.pong().sequenceno());
            return;
        }
        emit addLog("Sending GCU response to server");
        responseSender->sendReceivedPacketFromGcu(data);
    }

    switch (response.resp_case()) {
    case Response::kResult:
        emit addLog(
            QString("Received command response %1").arg(static_cast<int32_t>(response.result())));
        if (procedure)
            procedure->commandRsult(static_cast<FirmwareCommandResult>(response.result()));
        break;
    case Response::kPong:
        emit pongReceived(response.pong().sequenceno());
        break;
    case Response::kPublicKey:
        if (keyRequested) {
            keyRequested = false;
            // The save dialog runs its own event loop: it is opened once this frame
            // has been handled, so the link's reader is never entered from inside it.
            QMetaObject::invokeMethod(
                this, [this, key = response.public_key()] { saveKeychain(key); },
                Qt::QueuedConnection);
        }
        break;
    case Response::kFirmwareId:
        ui->currentFIrmwareVersion->setText(
            QString::fromStdString(FirmwareIdText::describe(response.firmware_id())));
        break;
    default:
        break;
    }
}

void UploaderApp::on_pongReceived(unsigned int sequenceNo)
{
    if (!pingStopwatch)
        return;
    // Before the first ping the stopwatch has not run: no time to speak of.
    const qint64 elapsed = pingStopwatch->isValid() ? pingStopwatch->elapsed() : 0;
    emit addLog(QString("ReceivedPong %1 after %2 ms").arg(sequenceNo).arg(elapsed));
}

void UploaderApp::on_ping_timer()
{
    if (pingStopwatch) {
        ++pingCounter;
        emit addLog(QString("sending ping %1").arg(pingCounter));
        pingStopwatch->restart();
        commandsSender.sendPing(pingCounter);
    }
    if (!firmwareIdRequested) {
        commandsSender.sendGetFirmwareId();
        firmwareIdRequested = true;
        firmwareIdAwaited = true;
    }
}

// ---- Upload, bootloader and key ----------------------------------------------

void UploaderApp::on_pushButton_5_clicked()
{
    const QString path =
        QFileDialog::getOpenFileName(this, tr("Open firmware file"), "", tr("Enc Files (*.enc)"));
    if (path.isEmpty())
        return;
    ui->lineEdit->setText(path);
    auto upload = std::make_unique<FirmwareUploadProcedure>(path.toUtf8().toStdString(),
                                                            commandsSender, *this);
    if (!upload->firmwareFileLoaded()) {
        emit addLog(QString("Cannot upload %1: the file %2")
                        .arg(path, QString::fromStdString(upload->firmwareFileProblem())));
        return;
    }
    procedure = std::move(upload);
    procedure->start();
}

void UploaderApp::updateProgress(int stepsDone, int stepsTotal)
{
    ui->progressBar->setRange(0, stepsTotal);
    ui->progressBar->setValue(stepsDone);
}

void UploaderApp::procedureDone()
{
    emit addLog("Update done");
}

void UploaderApp::on_pushButton_3_clicked()
{
    if (!comPort.isOpen())
        return;
    commandsSender.sendResetToBootloader();
    QMetaObject::invokeMethod(this, "comPortDisconnect", Qt::QueuedConnection);
    portWaiter.whenPortIsBack(true);
}

void UploaderApp::on_readPublicKey_clicked()
{
    keyRequested = true;
    commandsSender.sendModuleKeyPublicKeyRequest();
}

void UploaderApp::saveKeychain(const ModulePublicKey& key)
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Save device keychain"), "",
                                                      tr("Enc Files (*.orvkc)"));
    if (path.isEmpty())
        return;
    std::ofstream file(path.toUtf8().toStdString(), std::ios::binary | std::ios::trunc);
    if (!key.SerializeToOstream(&file) || !file.flush())
        emit addLog(QString("Failed to save the device keychain to %1").arg(path));
}

// ---- Update-server relay -----------------------------------------------------

void UploaderApp::on_softwareServerConnect_clicked()
{
    if (ui->gcuSerialNumber->currentText().isEmpty())
        return;
    const QString host = settings.value("network/host", defaultServerHost).toString();
    const int port = settings.value("network/port", defaultServerPort).toInt();
    emit addLog(QString("Connecting to: %1:%2").arg(host).arg(port));
    auto connection = std::make_unique<ClientConnection>(host, static_cast<unsigned short>(port));
    auto sender = std::make_unique<SoftwareServerResponseSender>(connection.get());
    connect(connection.get(), SIGNAL(commandRead(std::string)), this,
            SLOT(commandRead(std::string)));
    connect(connection.get(), &ClientConnection::connectionFailed, this, [this](QString reason) {
        emit addLog(QString("Server connection failed: %1").arg(reason));
    });
    // A server closes the connection once it is done; closing it in the middle
    // of an update is a failure all the same.
    connect(connection.get(), &ClientConnection::connectionClosed, this, [this] {
        if (relayedUpdateUnfinished)
            emit addLog(QString("Server connection failed: %1")
                            .arg(QString::fromStdString(serverConnection->error())));
        else
            emit addLog("Server closed the connection");
    });
    // A connection made earlier is let go: the relay talks to one server at a time.
    if (serverConnection) {
        serverConnection->disconnect(this);
        serverConnection->close();
    }
    responseSender = std::move(sender);
    serverConnection = std::move(connection);
}

void UploaderApp::on_softwareServerUpload_clicked()
{
    if (!serverConnection)
        return;
    const QString version = ui->softwareServerVersions->currentText();
    if (version.isEmpty())
        return;
    responseSender->sendGetFirmwareVersion(version.toUtf8().toStdString());
}

void UploaderApp::clearVersionItems()
{
    ui->softwareServerVersions->clear();
}

void UploaderApp::insertVersionItem(QString item)
{
    ui->softwareServerVersions->addItem(item);
}

void UploaderApp::logHexDump(const std::string& data)
{
    std::ostringstream dump;
    hexdump(data.data(), data.size(), dump, maxPaneDumpBytes);
    emit addLog(QString::fromUtf8(dump.str().c_str()));
}

void UploaderApp::answerUnservedRequest()
{
    Response error;
    error.set_result(5);
    responseSender->sendReceivedPacketFromGcu(error.SerializeAsString());
}

void UploaderApp::offerVersions(const SoftwareServerRequest& request)
{
    QMetaObject::invokeMethod(this, "clearVersionItems", Qt::QueuedConnection);
    const auto& versions = request.get_firmware_versions().versions();
    const int listed = std::min(versions.size(), maxOfferedVersions);
    for (int i = 0; i < listed; ++i) {
        // A name is a name: what a server sends beyond that is not shown.
        const QString name =
            QString::fromUtf8(versions[i].name().c_str()).left(maxVersionNameLength);
        QMetaObject::invokeMethod(this, "insertVersionItem", Qt::QueuedConnection,
                                  Q_ARG(QString, name));
        emit addLog(QString("Added version %1").arg(name));
    }
    if (versions.size() > listed)
        emit addLog(QString("The server offered %1 more versions; only the first %2 are listed")
                        .arg(versions.size() - listed)
                        .arg(maxOfferedVersions));
}

void UploaderApp::relayPacketToGcu(const SendPacketToGcu& packet)
{
    comPort.commandSend(packet.packet());
    relayedUpdateUnfinished = packet.steps_done() < packet.steps_total();
    QMetaObject::invokeMethod(this, "updateProgress", Qt::QueuedConnection,
                              Q_ARG(int, packet.steps_done()), Q_ARG(int, packet.steps_total()));
    holdServerWhileGcuIsBehind();
}

void UploaderApp::holdServerWhileGcuIsBehind()
{
    // The serial link drains far slower than a server can send: rather than
    // buffer the server's whole update here, let TCP hold it back.
    if (comPort.bytesToWrite() > relayHoldBytes)
        serverConnection->pauseReading();
}

void UploaderApp::commandRead(std::string data)
{
    SoftwareServerRequest request;
    if (!request.ParseFromString(data)) {
        emit addLog("Failed to parse command from server");
        LogLine() << "Failed command from server: ";
        logHexDump(data);
        answerUnservedRequest();
        return;
    }
    switch (request.req_case()) {
    case SoftwareServerRequest::kGetSerialNumber:
        emit addLog("Type GetSerialNumber");
        responseSender->sendGetSerialNumber(comPort.getSerialNumber());
        break;
    case SoftwareServerRequest::kGetFirmwareVersions:
        emit addLog("Type GetFirmwareVersion");
        offerVersions(request);
        break;
    case SoftwareServerRequest::kSendPacketToGcu:
        emit addLog("Type SendPacketToGcu");
        relayPacketToGcu(request.send_packet_to_gcu());
        break;
    case SoftwareServerRequest::kReconnect:
        emit addLog("Type ReconnectReq");
        // The wait runs off the GUI thread; once the port is back the server hears
        // of it first, then the link is opened again. Every request is answered.
        portWaiter.whenPortIsBack(comPort.isOpen(), [this] {
            if (responseSender)
                responseSender->sendReconnect();
        });
        break;
    default:
        emit addLog(QString("Type UNKNOWN %1").arg(static_cast<int>(request.req_case())));
        logHexDump(data);
        answerUnservedRequest();
        break;
    }
}
