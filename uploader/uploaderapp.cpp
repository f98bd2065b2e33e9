#include "uploaderapp.h"

#include "firmwareidtext.h"
#include "firmwareuploadprocedure.h"
#include "frametrace.h"
#include "gcu.pb.h"
#include "gcuusbidentity.h"
#include "logline.h"
#include "logpane.h"
#include "portinfoequality.h"
#include "ui_uploaderapp.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMenu>
#include <QSaveFile>
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
// The log pane keeps this many lines, however much a peer makes it say.
constexpr int maxLogLines = 5000;
// An upload that gets no further for this long is said to be stuck, once.
constexpr qint64 stallReportMs = 15000;

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
        reportStall();
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
    // From the server's first packet on the GCU's bootloader is the server's.
    connect(&relay, &UpdateRelay::serverTookOver, this, [this] { endLocalUpload(); });
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
    ui.reset();
}

void UploaderApp::closeEvent(QCloseEvent* event)
{
    recording.end("interrupted", 130, "The window was closed during the update");
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
    if (!offlineLoader())
        on_softwareServerConnect_clicked();
}

void UploaderApp::connectionEstablished()
{
    emit addLog("Connected");
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
    endLocalUpload();
    if (comPort.isOpen())
        comPort.close();
    else
        connectionClosed();
}

void UploaderApp::connectionClosed()
{
    emit addLog("Disconnected");
    if (pingTimer)
        pingTimer->stop();
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
    emit addLog(QString("Receiced %1 bytes from GCU").arg(data.size()));

    relay.forwardGcuAnswer(data, response.resp_case());

    switch (response.resp_case()) {
    case Response::kResult:
        emit addLog(
            QString("Received command response %1").arg(static_cast<int32_t>(response.result())));
        if (localUploadRunning())
            uploadWatch.resultSeen(response.result());
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
        firmwareVersion = QString::fromStdString(FirmwareIdText::describe(response.firmware_id()));
        ui->currentFIrmwareVersion->setText(firmwareVersion);
        refreshStatus();
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
    auto upload = std::make_unique<FirmwareUploadProcedure>(path.toUtf8().toStdString(),
                                                            commandsSender, *this);
    if (!upload->firmwareFileLoaded()) {
        emit addLog(QString("Cannot upload %1: the file %2")
                        .arg(path, QString::fromStdString(upload->firmwareFileProblem())));
        return;
    }
    // Two uploads would mix on one bootloader.
    endLocalUpload();
    recording.begin("window-upload", QString::fromStdString(comPort.getSerialNumber()),
                    comPort.getOpenedPort().systemLocation(), firmwareVersion, path);
    this->upload = upload.get();
    procedure = std::move(upload);
    stepsDone = stepsTotal = 0;
    uploadWatch.start();
    stallReported = false;
    procedure->start();
}

void UploaderApp::updateProgress(int done, int total)
{
    showProgress(done, total);
    // The last step is the GCU's reset, which it may not live to answer.
    if (total > 0 && done >= total)
        recording.end("done", 0, {});
    if (uploadWatch.progressed(done))
        stallReported = false;
}

void UploaderApp::showRelayedProgress(int done, int total)
{
    showProgress(done, total);
}

void UploaderApp::endLocalUpload()
{
    if (localUploadRunning())
        recording.end("interrupted", 130, "The upload was ended before its last step");
    // Destroying the procedure stops its watchdog: nothing of it reaches the GCU after.
    upload = nullptr;
    procedure.reset();
}

void UploaderApp::relayEnded(UpdateRelay::End end)
{
    recordRelayEnd(end);
    // What the relay said of its end is in the log; the status bar no longer
    // counts down an update that is over, and nothing writes to the dead server.
    if (end != UpdateRelay::End::Completed)
        ui->progressBar->setValue(0);
    stepsDone = stepsTotal = 0;
    uploadClock.invalidate();
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
    switch (end) {
    case UpdateRelay::End::Completed:
        recording.end("done", 0, {});
        break;
    case UpdateRelay::End::ServerFailed:
        recording.end("lost", 5, "The update server went away before its update was complete");
        break;
    case UpdateRelay::End::GcuLost:
        recording.end("lost", 5, "Lost the GCU during the server's update");
        break;
    case UpdateRelay::End::Stalled:
        recording.end("stalled", 4, "The GCU took nothing of the server's update");
        break;
    }
}

void UploaderApp::showProgress(int done, int total)
{
    ui->progressBar->setRange(0, total);
    ui->progressBar->setValue(done);
    if (total != stepsTotal || !uploadClock.isValid() || done < stepsAtClockStart) {
        uploadClock.start();
        stepsAtClockStart = done;
    }
    stepsDone = done;
    stepsTotal = total;
    // The status bar follows on the poll's next tick rather than being redrawn
    // for every step of a fast upload.
}

bool UploaderApp::localUploadRunning() const
{
    return upload && !(stepsTotal > 0 && stepsDone >= stepsTotal);
}

void UploaderApp::reportStall()
{
    if (!localUploadRunning() || stallReported || uploadWatch.msSinceProgress() < stallReportMs)
        return;
    stallReported = true;
    const int step = stepsDone + 1;
    emit addLog(
        QString("No progress for %1 s at step %2 of %3 (%4): %5; still retrying from command %6, "
                "the last checkpoint")
            .arg(uploadWatch.msSinceProgress() / 1000)
            .arg(step)
            .arg(stepsTotal ? QString::number(stepsTotal) : QString("?"))
            .arg(UploadStallWatch::stepName(step, stepsTotal, false), uploadWatch.answersText())
            .arg(upload->lastCheckpoint()));
}

QString UploaderApp::uploadStatus() const
{
    // The counts may be a server's: kept apart from int arithmetic's limits.
    const qint64 percent = qint64(stepsDone) * 100 / stepsTotal;
    const double seconds = uploadClock.elapsed() / 1000.0;
    const double rate = seconds > 0 ? (qint64(stepsDone) - stepsAtClockStart) / seconds : 0;
    QString left = "--:--";
    if (rate > 0) {
        const qint64 secondsLeft = qint64((qint64(stepsTotal) - stepsDone) / rate);
        left = QString("%1:%2").arg(secondsLeft / 60).arg(secondsLeft % 60, 2, 10, QChar('0'));
    }
    return QString("Uploading: %1 % · %2 commands/s · %3 left")
        .arg(percent)
        .arg(rate, 0, 'f', 1)
        .arg(left);
}

void UploaderApp::refreshStatus()
{
    QString text;
    if (!comPort.isOpen())
        text = portWaiter.isWaiting() ? "Waiting for the GCU to come back" : "Disconnected";
    else if (stepsTotal > 0 && stepsDone < stepsTotal)
        text = uploadStatus();
    else {
        const QSerialPortInfo port = comPort.getOpenedPort();
        text = QString("Connected to %1 on %2")
                   .arg(QString::fromStdString(comPort.getSerialNumber()), port.portName());
        if (!firmwareVersion.isEmpty())
            text += QString(" · firmware %1").arg(firmwareVersion);
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

void UploaderApp::procedureDone()
{
    emit addLog("Update done");
    recording.end("done", 0, {});
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
    relay.connectToServer(host, static_cast<unsigned short>(port));
    ui->softwareServerUpload->setEnabled(true);
}

void UploaderApp::on_softwareServerUpload_clicked()
{
    if (!relay.connected())
        return;
    const QString version = ui->softwareServerVersions->currentText();
    if (version.isEmpty())
        return;
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
