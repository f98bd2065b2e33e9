#include "uploaderapp.h"

#include "devicefinder.h"
#include "firmwarefilecheck.h"
#include "firmwareidtext.h"
#include "frametrace.h"
#include "gcu.pb.h"
#include "gcuusbidentity.h"
#include "knowndevices.h"
#include "logline.h"
#include "logpane.h"
#include "portinfoequality.h"
#include "ui_uploaderapp.h"
#include "updatebatch.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QSaveFile>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace {

constexpr int portPollIntervalMs = 100;
constexpr int pingIntervalMs = 1000;
constexpr int defaultServerPort = 7214;
const char* const defaultServerHost = "localhost";
// The log pane keeps this many lines, however much a peer makes it say.
constexpr int maxLogLines = 5000;
// An upload that gets no further for this long is said to be stuck, once; the
// engine ends it after twice as long.
constexpr int stuckReportS = 15;

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
    connect(refreshTimer, &QTimer::timeout, this, [this] {
        if (followPending && !portWaiter.isWaiting())
            followRelayedUpdate();
        refreshStatus();
    });
    refreshTimer->start(portPollIntervalMs);

    ui->plainTextEdit_2->setMaximumBlockCount(maxLogLines);
    connect(ui->plainTextEdit_2, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) {
                std::unique_ptr<QMenu> menu(ui->plainTextEdit_2->createStandardContextMenu());
                menu->addSeparator();
                menu->addAction(ui->saveLog);
                menu->exec(ui->plainTextEdit_2->mapToGlobal(at));
            });
    // A bug report needs what went over the wires from the start.
    FrameTrace::process().start();
    refreshStatus();
    connect(this, &UploaderApp::addLog, new LogPane(ui->plainTextEdit_2), &LogPane::append);
    connect(this, SIGNAL(pongReceived(unsigned int)), this, SLOT(on_pongReceived(unsigned int)));
    connect(&comPort, SIGNAL(commandRead(std::string)), this, SLOT(readPort(std::string)));
    // A GCU that goes away under the open link is said so, and the link let go
    // once the frame in hand is done with.
    connect(&comPort, &ComPort::portLost, this, [this](const QString& reason) {
        emit addLog(QString("Lost the GCU: %1").arg(reason));
        QMetaObject::invokeMethod(this, "comPortDisconnect", Qt::QueuedConnection);
    });
    connect(&relay, &UpdateRelay::log, this, &UploaderApp::addLog);
    connect(
        &relay, &UpdateRelay::versionsOffered, this,
        [this](const QStringList& names) {
            clearVersionItems();
            for (const QString& name : names)
                insertVersionItem(name);
        },
        Qt::QueuedConnection);
    connect(&relay, &UpdateRelay::progress, this, &UploaderApp::showRelayedProgress,
            Qt::QueuedConnection);
    // From the server's first packet on the GCU's bootloader is the server's. A
    // GCU that the engine had off the bus (resetting) is waited for, so that the
    // packets held for it reach it.
    connect(&relay, &UpdateRelay::serverTookOver, this, [this] {
        const bool hadGcu = engine != nullptr;
        endLocalUpload();
        if (hadGcu && !comPort.isOpen())
            portWaiter.whenPortIsBack(false);
    });
    // After the progress queued before it.
    connect(&relay, &UpdateRelay::ended, this, &UploaderApp::relayEnded, Qt::QueuedConnection);
    connect(&comPort, &ComPort::opened, this, [this] { connectionEstablished(); });
    connect(&comPort, &ComPort::closed, this, [this] { connectionClosed(); });
    connect(&portWaiter, &ReconnectWaiter::reopenFailed, this, [this](const QString& reason) {
        emit addLog(QString("Failed to connect %1").arg(reason));
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
    // The engine's session ends before what it reports to.
    delete engine;
    engine = nullptr;
    ui.reset();
}

void UploaderApp::closeEvent(QCloseEvent* event)
{
    UpdateOutcome closed;
    closed.code = ExitCode::Interrupted;
    closed.message = "The window was closed during the update";
    recording.end(closed);
    followPending = false;
    endLocalUpload(false);
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
    // The user lets the GCU go: a relayed update's follow-up is not started.
    followPending = false;
    // While the engine has the GCU the link is the engine's: "Disconnect" stops
    // the update and leaves the GCU alone.
    if (engine) {
        endLocalUpload(false);
        connectionClosed();
        return;
    }
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
    if (!offlineLoader())
        on_softwareServerConnect_clicked();
}

void UploaderApp::connectionEstablished()
{
    emit addLog("Connected");
    // What the last update came to is said of its own GCU only.
    if (QString::fromStdString(comPort.getSerialNumber()) != engineSerial)
        outcomeLine.clear();
    if (!pingTimer) {
        pingStopwatch = std::make_unique<QElapsedTimer>();
        pingTimer = new QTimer(this);
        connect(pingTimer, SIGNAL(timeout()), this, SLOT(on_ping_timer()));
    }
    pingTimer->start(pingIntervalMs);
    // The GCU may run other firmware than before (an update, another GCU): the
    // next tick asks again.
    firmwareIdRequested = false;
    firmwareVersion.clear();
    ui->pushButton_2->setText(tr("Disconnect"));
    refreshStatus();
}

void UploaderApp::comPortDisconnect()
{
    // Asked for after the link was lost, or for a reset: an update the engine
    // runs meanwhile has the GCU, and goes on.
    if (engine)
        return;
    if (comPort.isOpen())
        comPort.close();
    else
        connectionClosed();
}

void UploaderApp::connectionClosed()
{
    if (pingTimer)
        pingTimer->stop();
    // Handed to the engine, the GCU is not disconnected: the engine has it.
    if (engine) {
        refreshStatus();
        return;
    }
    emit addLog("Disconnected");
    ui->pushButton_2->setText(tr("Connect"));
    refreshStatus();
}

void UploaderApp::comPortReconnect()
{
    portWaiter.whenPortIsBack(false);
}

// ---- Answers from the GCU and ping -------------------------------------------

void UploaderApp::readPort(std::string data)
{
    // Whatever the parse managed to set is handled; a payload that sets
    // nothing falls through.
    Response response;
    response.ParseFromString(data);
    logFrame(data, response);

    relay.forwardGcuAnswer(data, response.resp_case());

    switch (response.resp_case()) {
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
        firmwareVersion = QString::fromStdString(FirmwareIdText::describe(response.firmware_id()));
        ui->currentFIrmwareVersion->setText(firmwareVersion);
        refreshStatus();
        break;
    default:
        break;
    }
}

void UploaderApp::logFrame(const std::string& data, const Response& response)
{
    emit addLog(QString("Receiced %1 bytes from GCU").arg(data.size()));
    if (response.resp_case() == Response::kResult)
        emit addLog(
            QString("Received command response %1").arg(static_cast<int32_t>(response.result())));
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
    // A relayed update has the bootloader to itself: the window asks once it is over.
    if (!firmwareIdRequested && !relay.updateUnderway()) {
        commandsSender.sendGetFirmwareId();
        firmwareIdRequested = true;
        relay.expectOwnAnswer(Response::kFirmwareId);
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
    const FirmwareFileCheck file = FirmwareFileCheck::read(path);
    if (!file.usable()) {
        emit addLog(QString("Cannot upload %1: the file %2").arg(path, file.fault()));
        return;
    }
    // The server's update has the GCU to itself until it is over, and after it
    // the engine follows the GCU to its new firmware.
    if (relay.updateUnderway() || relayedUpdateAsked || followPending) {
        emit addLog(QString("Cannot upload %1: the update server is updating the GCU").arg(path));
        return;
    }
    // The window opens its link again once the GCU is back from a reset: until
    // then the GCU is not the engine's to take.
    if (portWaiter.isWaiting()) {
        emit addLog(QString("Cannot upload %1: the GCU is not back from its reset yet").arg(path));
        return;
    }
    // Two uploads would mix on one bootloader.
    endLocalUpload();
    const QSerialPortInfo port = gcuToUpdate();
    if (port.isNull()) {
        emit addLog(QString("Cannot upload %1: no GCU is connected").arg(path));
        return;
    }
    recording.begin("window-upload", port.serialNumber(), port.systemLocation(), firmwareVersion,
                    &file);
    FirmwareUpdate::Options options;
    options.firmwareFile = path;
    options.stuckReportS = stuckReportS;
    handOver(port.serialNumber(), "window-upload", options, file, [port](UpdateBatch& batch) {
        // A lone GCU without a serial number is updated, as gcutool does.
        batch.add(port, DeviceFinder::attached(), true);
    });
}

QSerialPortInfo UploaderApp::gcuToUpdate()
{
    if (comPort.isOpen())
        return comPort.getOpenedPort();
    const int index = ui->gcuSerialNumber->currentData(Qt::UserRole).toInt();
    if (ui->gcuSerialNumber->count() == 0 || index < 0 || index >= ports.size())
        return {};
    return ports[index];
}

void UploaderApp::handOver(const QString& serial, const QString& command,
                           const FirmwareUpdate::Options& options, const FirmwareFileCheck& file,
                           const std::function<void(UpdateBatch&)>& launch)
{
    engineSerial = serial;
    engineCommand = command;
    outcomeLine.clear();
    progress = UpdateProgress();
    engineStage = FirmwareUpdate::Stage::Waiting;
    engineResetTimeoutS = options.resetTimeoutS;
    engine = new UpdateBatch({options, {}, nullptr}, file, this);
    connect(engine, &UpdateBatch::started, this,
            [this](FirmwareUpdate* update) { showUpdate(*update); });
    connect(engine, &UpdateBatch::refused, this,
            [this](const QSerialPortInfo&, const QString& reason) {
                engineEnded(UpdateOutcome::refusal(reason));
            });
    connect(engine, &UpdateBatch::finished, this,
            [this](const QString&, const QString&, const UpdateOutcome& outcome) {
                engineEnded(outcome);
            });
    // The engine opens the GCU's port itself, and follows it through its resets;
    // "Disconnect" stops it.
    if (comPort.isOpen())
        comPort.close();
    ui->pushButton_2->setText(tr("Disconnect"));
    launch(*engine);
}

void UploaderApp::showUpdate(FirmwareUpdate& update)
{
    // Said on the engine's thread, shown here in the order said. The engine is
    // the context: what it said before it was let go is not shown after.
    connect(&update, &FirmwareUpdate::stageChanged, engine, [this](FirmwareUpdate::Stage stage) {
        engineStage = stage;
        refreshStatus();
    });
    connect(&update, &FirmwareUpdate::progressed, engine,
            [this](const UpdateProgress& reported) { showProgress(reported); });
    connect(&update, &FirmwareUpdate::logged, engine,
            [this](const QString& line) { emit addLog(line); });
    connect(&update, &FirmwareUpdate::frameRead, engine, [this](const std::string& data) {
        Response response;
        response.ParseFromString(data);
        logFrame(data, response);
    });
    connect(&update, &FirmwareUpdate::gone, engine,
            [this](const QString&, int command, int commands) {
                emit addLog(QString("The GCU went away at command %1 of %2; waiting for it")
                                .arg(command)
                                .arg(commands));
            });
    // The restart point counted from 1, as the line before it counts.
    connect(&update, &FirmwareUpdate::back, engine,
            [this](const QString&, int fromCommand, const QString&) {
                emit addLog(
                    QString("The GCU is back: going on from command %1").arg(fromCommand + 1));
            });
}

void UploaderApp::engineEnded(const UpdateOutcome& outcome)
{
    if (recording.running(engineCommand))
        recording.end(outcome);
    if (outcome.done())
        outcomeLine =
            QString("Updated: %1 -> %2")
                .arg(outcome.oldVersion.isEmpty() ? "?" : outcome.oldVersion, outcome.newVersion);
    else if (outcome.uploaded && outcome.backInBootloader)
        outcomeLine = "The GCU did not start its new firmware (back in its bootloader)";
    else if (outcome.uploaded && outcome.restarted && outcome.code == ExitCode::Lost)
        outcomeLine = QString("The GCU did not come back within %1 s").arg(engineResetTimeoutS);
    else
        outcomeLine = outcome.message;
    emit addLog(outcomeLine);
    // Heard inside the engine's own signal: it goes once that is over.
    engine->deleteLater();
    engine = nullptr;
    reclaimGcu();
}

void UploaderApp::reclaimGcu()
{
    const QSerialPortInfo port = DeviceFinder::find(engineSerial, DeviceFinder::Mode::Any);
    // Opened, the link says so itself ("Connected"), and asks the version anew.
    if (port.isNull() || !comPort.open(port))
        connectionClosed();
}

void UploaderApp::updateProgress(int done, int total)
{
    UpdateProgress reported;
    reported.stepsDone = done;
    reported.stepsTotal = total;
    showProgress(reported);
}

void UploaderApp::showRelayedProgress(int done, int total)
{
    relayedWhole = total > 0 && done >= total;
    showProgress(relayMeter.measure(done, total, 0, 0));
}

void UploaderApp::endLocalUpload(bool reopenLink)
{
    if (!engine)
        return;
    // Only the engine's own row ends here; one that began meanwhile goes on.
    if (recording.running(engineCommand)) {
        UpdateOutcome ended;
        ended.code = ExitCode::Interrupted;
        ended.bytes = progress.bytesDone;
        ended.uploaded = engineStage == FirmwareUpdate::Stage::Verifying;
        ended.message = ended.uploaded
                            ? "The window stopped waiting for the GCU to start its new firmware"
                            : "The upload was ended before its last step";
        recording.end(ended);
    }
    // Deleting the engine stops its session: nothing of it reaches the GCU after,
    // and the port is closed before the window opens it again.
    delete engine;
    engine = nullptr;
    progress = UpdateProgress();
    if (reopenLink)
        reclaimGcu();
}

void UploaderApp::relayEnded(UpdateRelay::End end)
{
    // An update asked for here that the server sent whole ends once the GCU
    // runs its new firmware, or does not: the engine follows it there.
    // A server that closes before its last step has gone away mid-update.
    if (end == UpdateRelay::End::Completed && !relayedWhole)
        end = UpdateRelay::End::ServerFailed;
    if (end == UpdateRelay::End::Completed && relayedUpdateAsked)
        followPending = true;
    else if (relayedUpdateAsked)
        recordRelayEnd(end);
    relayedUpdateAsked = false;
    relayedWhole = false;
    // What the relay said of its end is in the log; the status bar no longer
    // counts down an update that is over, and nothing writes to the dead server.
    if (end != UpdateRelay::End::Completed)
        ui->progressBar->setValue(0);
    progress = UpdateProgress();
    relayMeter.restart();
    ui->softwareServerUpload->setEnabled(false);
    // The GCU may run other firmware now.
    firmwareIdRequested = false;
    refreshStatus();
}

void UploaderApp::recordRelayEnd(UpdateRelay::End end)
{
    // A server connection that ends says nothing of the window's own upload.
    if (!recording.running("window-relay"))
        return;
    UpdateOutcome outcome;
    outcome.code = UpdateOutcome::ofRelay(end);
    switch (end) {
    case UpdateRelay::End::Completed:
        break;
    case UpdateRelay::End::ServerFailed:
        outcome.message = "The update server went away before its update was complete";
        break;
    case UpdateRelay::End::GcuLost:
        outcome.message = "Lost the GCU during the server's update";
        break;
    case UpdateRelay::End::Stalled:
        outcome.message = "The GCU took nothing of the server's update";
        break;
    }
    recording.end(outcome);
}

void UploaderApp::followRelayedUpdate()
{
    followPending = false;
    if (engine)
        return;
    const QString serial = QString::fromStdString(comPort.getSerialNumber());
    FirmwareUpdate::Options options;
    handOver(serial, "window-relay", options, {},
             [serial, version = versionBeforeRelay](UpdateBatch& batch) {
                 batch.followRestart(serial, version);
             });
}

void UploaderApp::showProgress(const UpdateProgress& reported)
{
    ui->progressBar->setRange(0, reported.stepsTotal);
    ui->progressBar->setValue(reported.stepsDone);
    progress = reported;
    // The status bar follows on the poll's next tick rather than being redrawn
    // for every step of a fast upload.
}

QString UploaderApp::progressStatus() const
{
    QString left = "--:--";
    if (progress.secondsLeft >= 0)
        left = QString("%1:%2")
                   .arg(progress.secondsLeft / 60)
                   .arg(progress.secondsLeft % 60, 2, 10, QChar('0'));
    return QString("Uploading: %1 % · %2 commands/s · %3 left")
        .arg(progress.percent())
        .arg(progress.stepsPerSecond, 0, 'f', 1)
        .arg(left);
}

QString UploaderApp::engineStatus() const
{
    switch (engineStage) {
    case FirmwareUpdate::Stage::Bootloader:
        return "Resetting the GCU into its bootloader";
    case FirmwareUpdate::Stage::Away:
        return "Waiting for the GCU to come back";
    case FirmwareUpdate::Stage::Verifying:
        return "Waiting for the GCU to start its new firmware";
    case FirmwareUpdate::Stage::Handshake:
    case FirmwareUpdate::Stage::Uploading:
    case FirmwareUpdate::Stage::Resumed:
        return progressStatus();
    case FirmwareUpdate::Stage::Waiting:
    case FirmwareUpdate::Stage::Ended:
        break;
    }
    return "Starting the update";
}

void UploaderApp::refreshStatus()
{
    QString text;
    if (engine)
        text = engineStatus();
    else if (!comPort.isOpen())
        text = portWaiter.isWaiting() ? "Waiting for the GCU to come back" : "Disconnected";
    else if (progress.stepsTotal > 0 && progress.stepsDone < progress.stepsTotal)
        text = progressStatus();
    else {
        const QSerialPortInfo port = comPort.getOpenedPort();
        text = QString("Connected to %1 on %2")
                   .arg(QString::fromStdString(comPort.getSerialNumber()), port.portName());
        if (!firmwareVersion.isEmpty())
            text += QString(" · firmware %1").arg(firmwareVersion);
        if (!outcomeLine.isEmpty())
            text = outcomeLine + " · " + text;
    }
    if (ui->statusBar->currentMessage() != text)
        ui->statusBar->showMessage(text);
}

void UploaderApp::on_saveLog_triggered()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Save log"), "",
                                                      tr("Log files (*.log);;All files (*)"));
    if (path.isEmpty())
        return;
    LogPane::flushAll();
    std::ostringstream trace;
    FrameTrace::process().write(trace);
    QSaveFile file(path);
    const QByteArray text = ui->plainTextEdit_2->toPlainText().toUtf8() +
                            "\n\n== Frames to and from the GCU and the server, oldest first ==\n"
                            "time direction length kind first-bytes\n" +
                            QByteArray::fromStdString(trace.str());
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        emit addLog(QString("Failed to save the log to %1: %2").arg(path, file.errorString()));
}

void UploaderApp::on_pushButton_3_clicked()
{
    // The GCU is taken back from an upload under way.
    endLocalUpload();
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
    // The key is admitted and pinned as gcutool's read-key does, in the same
    // file of known GCUs; a key that differs from its pin needs the user's word.
    const QString serial = QString::fromStdString(comPort.getSerialNumber());
    if (!confirmKeyChange(serial, key.key()))
        return;
    KnownDevices known;
    const KnownDevices::Admission admission = known.admitAndPin(serial, key.key(), true);
    if (admission.verdict != ExitCode::Done) {
        emit addLog(admission.problem);
        return;
    }
    const QString path = QFileDialog::getSaveFileName(this, tr("Save device keychain"), "",
                                                      tr("Enc Files (*.orvkc)"));
    if (path.isEmpty())
        return;
    // Written whole or not at all: a keychain is never left half-written.
    QSaveFile file(path);
    const QByteArray bytes = QByteArray::fromStdString(key.SerializeAsString());
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        emit addLog(QString("Failed to save the device keychain to %1").arg(path));
}

bool UploaderApp::confirmKeyChange(const QString& serial, const std::string& key)
{
    KnownDevices known;
    const auto pinned = known.pinnedKey(serial);
    if (!pinned || *pinned == key)
        return true;
    const QString warning =
        QString("The GCU %1 presents the key %2, not the key %3 pinned for it in %4")
            .arg(serial, KnownDevices::fingerprint(key), KnownDevices::fingerprint(*pinned),
                 known.path());
    emit addLog(warning);
    QMessageBox question(QMessageBox::Warning, tr("The GCU's key has changed"),
                         warning + tr(".\n\nReplace the pinned key and save the new one?"),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setDefaultButton(QMessageBox::No);
    if (question.exec() == QMessageBox::Yes) {
        emit addLog(QString("The key pinned for %1 is replaced by the user's choice").arg(serial));
        return true;
    }
    emit addLog(QString("The key pinned for %1 stays; nothing was saved").arg(serial));
    return false;
}

// ---- Update-server relay -----------------------------------------------------

void UploaderApp::on_softwareServerConnect_clicked()
{
    if (ui->gcuSerialNumber->currentText().isEmpty())
        return;
    const QString host = settings.value("network/host", defaultServerHost).toString();
    const int port = settings.value("network/port", defaultServerPort).toInt();
    relay.connectToServer(host, static_cast<unsigned short>(port));
    ui->softwareServerUpload->setEnabled(true);
}

void UploaderApp::on_softwareServerUpload_clicked()
{
    if (!relay.connected())
        return;
    // One update at a time: the engine's is under way.
    if (engine) {
        emit addLog("Cannot ask the server for an update: the GCU is being updated here");
        return;
    }
    const QString version = ui->softwareServerVersions->currentText();
    if (version.isEmpty())
        return;
    outcomeLine.clear();
    versionBeforeRelay = firmwareVersion;
    relayedUpdateAsked = true;
    recording.begin("window-relay", QString::fromStdString(comPort.getSerialNumber()),
                    comPort.getOpenedPort().systemLocation(), firmwareVersion);
    relay.requestVersion(version.toUtf8().toStdString());
}

void UploaderApp::clearVersionItems()
{
    ui->softwareServerVersions->clear();
}

void UploaderApp::insertVersionItem(QString item)
{
    ui->softwareServerVersions->addItem(item);
}
