#pragma once

#include "bootloadersession.h"
#include "devicefunctions.h"
#include "faultinjector.h"
#include "flashrecord.h"
#include "gcu.pb.h"
#include "linkpacer.h"
#include "pseudoterminal.h"
#include "rsakey.h"
#include "simoptions.h"
#include "simulatedflash.h"
#include "virtualusbdevice.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// A GCU on the virtual USB bus: a pseudo-terminal published with the GCU's USB
// identity, answering Command frames with Response frames. It leaves the bus and
// comes back on a reset, as the real unit re-enumerates, and spoils answers on
// purpose when told to.
class GcuSimulator
{
public:
    GcuSimulator(SimOptions options, std::unique_ptr<RsaKey> deviceKey);
    ~GcuSimulator();

    // Serves until `stop` is set.
    int run(const std::atomic<bool>& stop);

private:
    using Clock = std::chrono::steady_clock;
    enum class Mode
    {
        Application,
        Bootloader
    };

    void log(const std::string& line) const;
    bool appear(Mode mode);
    void vanish();
    void comeBackLater(Mode mode, int delayMs, const char* why);
    void schedule(int delayMs, std::function<void()> action);
    int runDueActions();

    void readInput(int waitMs);
    void handleFrame(const std::string& payload);
    void handleBootloaderStep(const Command& command);
    void finishUpload();

    void answer(const Response& response);
    void answerResult(uint32_t result);
    void writeFrame(const std::string& payload);
    // Writes bytes once the link would have carried them.
    void transmit(const std::string& bytes);
    // Notes the moment of an event for --timestamps: 'r' a command received,
    // 's' an answer sent.
    void stamp(char event);
    void writeTimestamps() const;

    SimOptions options;
    std::unique_ptr<RsaKey> deviceKey;
    // The key that signs key-exchange answers: the device key, or an impostor's.
    std::unique_ptr<RsaKey> impostorKey;
    ImageVersion applicationVersion;
    FaultInjector faults;
    DeviceFunctions functions;
    BootloaderSession session;
    SimulatedFlash flash;

    Mode mode = Mode::Application;
    std::unique_ptr<PseudoTerminal> terminal;
    std::unique_ptr<VirtualUsbDevice> usb;
    std::string inbox;
    // The link's two directions, and when the last byte in the inbox came through.
    LinkPacer input;
    LinkPacer output;
    Clock::time_point inboxArrived{};
    int commandsSeen = 0;
    bool vanished = false;
    std::multimap<Clock::time_point, std::function<void()>> pending;
    std::vector<std::pair<char, int64_t>> timeline;
};
