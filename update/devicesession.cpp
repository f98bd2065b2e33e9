#include "devicesession.h"

#include "commandssender.h"
#include "comport.h"
#include "dhuploadprocedure.h"
#include "firmwareidtext.h"
#include "gcu.pb.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int pollIntervalMs = 100;
constexpr int answerTimeoutMs = 3000;
// How long a GCU told to reset may take to leave the bus: until then a port in
// bootloader mode may still be the old one.
constexpr int leaveLimitMs = 3000;

// The device file exists but this user may not open it.
bool lacksPermission(const QString& path)
{
    return faccessat(AT_FDCWD, path.toLocal8Bit().constData(), R_OK | W_OK, AT_EACCESS) != 0 &&
           errno == EACCES;
}

} // namespace

DeviceSession::DeviceSession(QString serialNumber) : serial(std::move(serialNumber))
{
    thread.setObjectName("session " + serial);
    moveToThread(&thread);
    thread.start();
}

DeviceSession::~DeviceSession()
{
    cancel();
    thread.quit();
    thread.wait();
}

void DeviceSession::start(Job job)
{
    QMetaObject::invokeMethod(this, [this, job = std::move(job)] {
        link = std::make_unique<ComPort>();
        commands = std::make_unique<CommandsSender>(*link);
        connect(link.get(), &ComPort::commandRead, this,
                [this](std::string payload) { handleFrame(payload); });
        connect(link.get(), &ComPort::portLost, this, [this] { lost = true; });
        result = job(*this);
        close();
        commands.reset();
        link.reset();
        // Port objects the link let go of are deleted here, on their thread.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        emit finished(static_cast<int>(result.load()));
    });
}

void DeviceSession::cancel()
{
    stopRequested = true;
}

CommandsSender& DeviceSession::sender()
{
    return *commands;
}

ExitCode DeviceSession::open(const QSerialPortInfo& port, QString* problem)
{
    lost = false;
    if (link->open(port))
        return ExitCode::Done;
    const QString path = port.systemLocation();
    if (lacksPermission(path)) {
        *problem = QString("No permission to use %1. Install the udev rule (gcutool udev-rule | "
                           "sudo tee /etc/udev/rules.d/70-orv-gcu.rules) and plug the GCU in "
                           "again, or join the dialout group (sudo usermod -aG dialout $USER) "
                           "and log in again")
                       .arg(path);
        return ExitCode::NoPermission;
    }
    *problem = QString("Cannot open %1: %2").arg(path, QString::fromStdString(link->error()));
    return ExitCode::NoDevice;
}

void DeviceSession::close()
{
    if (link)
        link->close();
}

bool DeviceSession::isOpen() const
{
    return link && link->isOpen();
}

bool DeviceSession::waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    // Wakes the loop now and then, so that the time-out and cancellation are seen
    // even when nothing else happens.
    QTimer tick;
    tick.start(20);
    while (!done()) {
        if (stopRequested || waited.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

QSerialPortInfo DeviceSession::waitForDevice(DeviceFinder::Mode mode, int timeoutMs)
{
    QSerialPortInfo found;
    QElapsedTimer sinceLastLook;
    waitUntil(
        [&] {
            if (sinceLastLook.isValid() && sinceLastLook.elapsed() < pollIntervalMs)
                return false;
            sinceLastLook.start();
            found = DeviceFinder::find(serial, mode);
            return !found.isNull();
        },
        timeoutMs);
    return found;
}

bool DeviceSession::waitUntilGone(int timeoutMs, const std::function<bool()>& left)
{
    QElapsedTimer sinceLastLook;
    return waitUntil(
        [&] {
            if (left && left())
                return true;
            if (sinceLastLook.isValid() && sinceLastLook.elapsed() < pollIntervalMs)
                return false;
            sinceLastLook.start();
            return DeviceFinder::find(serial, DeviceFinder::Mode::Any).isNull();
        },
        timeoutMs);
}

std::optional<Response> DeviceSession::ask(const std::function<void()>& send, int answerKind,
                                           int timeoutMs)
{
    awaitedAnswer.reset();
    awaitedKind = answerKind;
    send();
    const bool answered = waitUntil([this] { return awaitedAnswer != nullptr; }, timeoutMs);
    awaitedKind = 0;
    if (!answered)
        return std::nullopt;
    return *awaitedAnswer;
}

std::optional<DeviceSession::PublicKey> DeviceSession::readPublicKey()
{
    const auto answer = ask([this] { commands->sendModuleKeyPublicKeyRequest(); },
                            Response::kPublicKey, answerTimeoutMs);
    if (!answer)
        return std::nullopt;
    return PublicKey{answer->public_key().key(), answer->public_key().SerializeAsString()};
}

std::optional<QString> DeviceSession::readFirmwareVersion()
{
    const auto answer =
        ask([this] { commands->sendGetFirmwareId(); }, Response::kFirmwareId, answerTimeoutMs);
    if (!answer)
        return std::nullopt;
    return QString::fromStdString(FirmwareIdText::describe(answer->firmware_id()));
}

std::optional<double> DeviceSession::ping(uint32_t sequenceNo)
{
    QElapsedTimer roundTrip;
    roundTrip.start();
    commands->sendPing(sequenceNo);
    // Pongs to earlier pings that come late are passed over.
    for (;;) {
        const auto pong =
            ask([] {}, Response::kPong, answerTimeoutMs - static_cast<int>(roundTrip.elapsed()));
        if (!pong)
            return std::nullopt;
        if (pong->pong().sequenceno() == sequenceNo)
            return roundTrip.nsecsElapsed() / 1e6;
    }
}

QSerialPortInfo DeviceSession::resetIntoBootloader(int timeoutMs)
{
    commands->sendResetToBootloader();
    close();
    waitUntilGone(leaveLimitMs);
    return waitForDevice(DeviceFinder::Mode::Bootloader, timeoutMs);
}

void DeviceSession::routeAnswers(UploadProcedure* upload, DhUploadProcedure* secureUpload,
                                 std::function<void(uint32_t)> onResult)
{
    procedure = upload;
    secure = secureUpload;
    resultObserver = std::move(onResult);
}

void DeviceSession::routeFrames(std::function<void(const std::string&)> onFrame)
{
    frameObserver = std::move(onFrame);
}

void DeviceSession::handleFrame(const std::string& payload)
{
    if (frameObserver)
        frameObserver(payload);
    Response response;
    if (!response.ParseFromString(payload))
        return;
    if (awaitedKind != 0 && response.resp_case() == awaitedKind && !awaitedAnswer)
        awaitedAnswer = std::make_unique<Response>(response);
    if (response.resp_case() == Response::kResult) {
        if (resultObserver)
            resultObserver(response.result());
        if (procedure)
            procedure->commandRsult(static_cast<FirmwareCommandResult>(response.result()));
    } else if (response.resp_case() == Response::kKeyExchange && secure) {
        secure->keyExchangeResult(FirmwareCommandAccepted,
                                  response.key_exchange().SerializeAsString());
    }
}
