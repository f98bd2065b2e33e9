#pragma once

#include "devicefinder.h"
#include "updateoutcome.h"

#include <QObject>
#include <QSerialPortInfo>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class ComPort;
class CommandsSender;
class DhUploadProcedure;
class Response;
class UploadProcedure;

// One GCU's session: a thread of its own with its own event loop, serial link
// and command sender. A job runs there from start to end and may wait for
// answers, ports and conditions in plain sequence: every wait keeps the
// session's event loop turning and gives up once the session is cancelled.
//
// Only start, cancel, cancelled and exitCode may be called from other threads.
class DeviceSession : public QObject
{
    Q_OBJECT
public:
    using Job = std::function<ExitCode(DeviceSession&)>;

    explicit DeviceSession(QString serialNumber);
    ~DeviceSession() override;

    void start(Job job);
    void cancel();
    bool cancelled() const { return stopRequested; }
    ExitCode exitCode() const { return result; }
    const QString& serialNumber() const { return serial; }

    // ---- On the session's thread, from the job --------------------------------
    CommandsSender& sender();
    // Done, or NoPermission / NoDevice with the reason in `problem`.
    ExitCode open(const QSerialPortInfo& port, QString* problem);
    void close();
    bool isOpen() const;
    // The GCU went away under the open link.
    bool portLost() const { return lost; }

    // Keeps the event loop turning until `done` holds; false on time-out or
    // cancellation.
    bool waitUntil(const std::function<bool()>& done, int timeoutMs);
    // The GCU with this session's serial number, once it is on the bus.
    QSerialPortInfo waitForDevice(DeviceFinder::Mode mode, int timeoutMs);
    // Waits for the GCU's port (in any mode) to leave the bus, or for `left` to
    // say it has; false if it stays.
    bool waitUntilGone(int timeoutMs, const std::function<bool()>& left = {});
    // Sends and waits for the first answer of the given kind.
    std::optional<Response> ask(const std::function<void()>& send, int answerKind, int timeoutMs);
    struct PublicKey
    {
        // As the GCU sends it.
        std::string pem;
        // The device keychain file's content: the GCU's whole answer.
        std::string keychainEntry;
    };
    // The GCU's public key, or nothing if it does not answer.
    std::optional<PublicKey> readPublicKey();
    // The GCU's firmware version as people read it, or nothing if it does not answer.
    std::optional<QString> readFirmwareVersion();
    // The round trip of one ping in milliseconds, or nothing if it is not answered.
    std::optional<double> ping(uint32_t sequenceNo);
    // Tells the GCU to reset into its bootloader and waits, up to `timeoutMs`, for
    // its bootloader port; the port, or a null one. The link is closed after.
    QSerialPortInfo resetIntoBootloader(int timeoutMs);
    // While an upload runs its answers go to the procedure; `onResult` sees each
    // result code first.
    void routeAnswers(UploadProcedure* procedure, DhUploadProcedure* secure,
                      std::function<void(uint32_t)> onResult);
    // Every frame from the GCU also goes to `onFrame`, as it came.
    void routeFrames(std::function<void(const std::string&)> onFrame);
    // The serial link itself, for what relays its frames.
    ComPort& serialLink() { return *link; }

signals:
    void finished(int exitCode);

private:
    void handleFrame(const std::string& payload);

    QString serial;
    QThread thread;
    std::atomic<bool> stopRequested{false};
    std::atomic<ExitCode> result{ExitCode::Done};
    std::unique_ptr<ComPort> link;
    std::unique_ptr<CommandsSender> commands;
    bool lost = false;
    int awaitedKind = 0;
    std::unique_ptr<Response> awaitedAnswer;
    UploadProcedure* procedure = nullptr;
    DhUploadProcedure* secure = nullptr;
    std::function<void(uint32_t)> resultObserver;
    std::function<void(const std::string&)> frameObserver;
};
