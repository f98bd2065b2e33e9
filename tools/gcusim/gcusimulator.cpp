#include "gcusimulator.h"

#include <fstream>
#include <iostream>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint16_t vendorId = 0x04D8;
constexpr uint16_t applicationProductId = 0xEEF0;
constexpr uint16_t bootloaderProductId = 0xEEEF;
constexpr uint32_t maxFrameLength = 16u * 1024u * 1024u;

std::string header(uint32_t length)
{
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>((length >> shift) & 0xff));
    return bytes;
}

LinkPacer pacerFor(const SimOptions& options)
{
    if (options.baud > 0)
        return LinkPacer::uart(options.baud);
    return options.usbFullSpeed ? LinkPacer::usbFullSpeed() : LinkPacer::unpaced();
}

} // namespace

GcuSimulator::GcuSimulator(SimOptions simOptions, std::unique_ptr<RsaKey> key)
    : options(std::move(simOptions)), deviceKey(std::move(key)),
      impostorKey(options.impostor ? RsaKey::generate(1024, nullptr) : nullptr),
      applicationVersion(ImageVersion::parse(options.version).value_or(ImageVersion{})),
      faults(options), session(*deviceKey, impostorKey ? *impostorKey : *deviceKey),
      input(pacerFor(options)), output(pacerFor(options))
{
    // A paced link waits out the bit times; the system's default timer slack
    // (50 us) would add to every wait.
    if (input.paces())
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    if (options.impostor)
        log(impostorKey ? "impostor: key exchanges are signed with a key of its own"
                        : "impostor: no key of its own could be made; signing as the device");
}

GcuSimulator::~GcuSimulator()
{
    vanish();
    writeTimestamps();
}

void GcuSimulator::stamp(char event)
{
    if (!options.timestampsFile.empty())
        timeline.emplace_back(event, std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         Clock::now().time_since_epoch())
                                         .count());
}

void GcuSimulator::writeTimestamps() const
{
    if (options.timestampsFile.empty())
        return;
    std::ofstream out(options.timestampsFile, std::ios::trunc);
    for (const auto& [event, nanoseconds] : timeline)
        out << event << ' ' << nanoseconds << '\n';
}

void GcuSimulator::log(const std::string& line) const
{
    std::cerr << "gcu-sim[" << options.serialNumber << "]: " << line << std::endl;
}

bool GcuSimulator::appear(Mode newMode)
{
    mode = newMode;
    terminal = std::make_unique<PseudoTerminal>();
    if (!terminal->isOpen()) {
        log("cannot create a pseudo-terminal");
        return false;
    }
    UsbIdentity identity;
    // Unique on the bus even when two simulated GCUs share a serial number, as
    // badly programmed units do.
    identity.sysname = "ttyGCU-" + options.serialNumber + "-" + std::to_string(::getpid());
    identity.devnode = terminal->slavePath();
    identity.vendorId = vendorId;
    identity.productId = mode == Mode::Bootloader ? bootloaderProductId : applicationProductId;
    identity.serialNumber = options.serialNumber;
    usb = std::make_unique<VirtualUsbDevice>(options.busDirectory, identity);
    if (!usb->publish()) {
        log("cannot publish on the bus in " + options.busDirectory);
        return false;
    }
    inbox.clear();
    // The ready line: scripts wait for it.
    std::cout << "gcu-sim: " << (mode == Mode::Bootloader ? "bootloader" : "application")
              << " mode on " << terminal->slavePath() << std::endl;
    log(std::string("on the bus in ") + (mode == Mode::Bootloader ? "bootloader" : "application") +
        " mode at " + terminal->slavePath());
    return true;
}

void GcuSimulator::vanish()
{
    if (usb)
        usb->withdraw();
    usb.reset();
    terminal.reset();
}

void GcuSimulator::comeBackLater(Mode newMode, int delayMs, const char* why)
{
    log(std::string(why) + ": leaving the bus for " + std::to_string(delayMs) + " ms");
    vanish();
    schedule(delayMs, [this, newMode] { appear(newMode); });
}

void GcuSimulator::schedule(int delayMs, std::function<void()> action)
{
    pending.emplace(Clock::now() + std::chrono::milliseconds(delayMs), std::move(action));
}

// Runs what is due; returns how long until the next action, or -1.
int GcuSimulator::runDueActions()
{
    while (!pending.empty() && pending.begin()->first <= Clock::now()) {
        auto action = std::move(pending.begin()->second);
        pending.erase(pending.begin());
        action();
    }
    if (pending.empty())
        return -1;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(pending.begin()->first -
                                                                            Clock::now());
    return static_cast<int>(std::max<long>(0, wait.count()));
}

int GcuSimulator::run(const std::atomic<bool>& stop)
{
    if (!appear(options.startInBootloader ? Mode::Bootloader : Mode::Application))
        return 1;
    while (!stop) {
        // Wake at least every 50 ms to notice `stop`.
        const int untilNext = runDueActions();
        const int waitMs = untilNext < 0 || untilNext > 50 ? 50 : untilNext;
        if (terminal)
            readInput(waitMs);
        else
            usleep(static_cast<useconds_t>(waitMs) * 1000);
    }
    return 0;
}

void GcuSimulator::readInput(int waitMs)
{
    char buffer[65536];
    const long count = terminal->readSome(buffer, sizeof buffer, waitMs);
    if (count <= 0)
        return;
    inbox.append(buffer, static_cast<size_t>(count));
    inboxArrived = input.pass(static_cast<size_t>(count), Clock::now());
    while (inbox.size() >= 4 && terminal) {
        const auto* h = reinterpret_cast<const unsigned char*>(inbox.data());
        const uint32_t length = h[0] | h[1] << 8 | h[2] << 16 | uint32_t(h[3]) << 24;
        if (length > maxFrameLength) {
            log("corrupt input: frame length " + std::to_string(length) + ", input dropped");
            inbox.clear();
            return;
        }
        if (inbox.size() < 4 + size_t(length))
            return;
        const std::string payload = inbox.substr(4, length);
        inbox.erase(0, 4 + size_t(length));
        // A frame is whole once its last byte is through the link; the bytes
        // after it in the inbox cannot have come sooner, so all are waited for.
        std::this_thread::sleep_until(inboxArrived);
        handleFrame(payload);
    }
}

void GcuSimulator::handleFrame(const std::string& payload)
{
    stamp('r');
    Command command;
    if (!command.ParseFromString(payload)) {
        log("unreadable command of " + std::to_string(payload.size()) + " bytes ignored");
        return;
    }
    ++commandsSeen;
    if (options.vanishAfter >= 0 && commandsSeen == options.vanishAfter && !vanished) {
        vanished = true;
        log("fault: vanishing after " + std::to_string(commandsSeen) + " commands");
        vanish();
        if (options.returnAfterMs >= 0)
            schedule(options.returnAfterMs, [this, m = mode] { appear(m); });
        return;
    }

    switch (command.req_case()) {
    case Command::kPing: {
        Response pong;
        pong.mutable_pong()->set_sequenceno(command.ping().sequenceno());
        answer(pong);
        return;
    }
    case Command::kGetFirmwareId: {
        Response id;
        FirmwareId* firmwareId = id.mutable_firmware_id();
        firmwareId->set_version_word(applicationVersion.versionWord);
        firmwareId->set_revision_word(applicationVersion.revisionWord);
        firmwareId->set_flags_word(applicationVersion.flagsWord);
        answer(id);
        return;
    }
    case Command::kModulePublicKeyRequest: {
        Response key;
        key.mutable_public_key()->set_key_id(deviceKey->selector());
        key.mutable_public_key()->set_key(deviceKey->publicPem());
        answer(key);
        return;
    }
    case Command::kResetToBootloader:
        session.forget();
        comeBackLater(Mode::Bootloader, options.resetDelayMs, "reset to bootloader");
        return;
    case Command::kRsaPublicKey:
    case Command::kAesKey:
    case Command::kCommandData:
    case Command::kKeyExchange:
    case Command::kReset:
        handleBootloaderStep(command);
        return;
    default:
        break;
    }
    const auto answers = functions.handle(command);
    if (answers.empty())
        log("no answer to command case " + std::to_string(command.req_case()));
    for (const Response& each : answers)
        answer(each);
}

void GcuSimulator::handleBootloaderStep(const Command& command)
{
    if (mode != Mode::Bootloader) {
        if (command.req_case() == Command::kReset)
            comeBackLater(Mode::Application, options.resetDelayMs, "reset");
        else
            answerResult(1);
        return;
    }
    if (command.req_case() == Command::kReset) {
        finishUpload();
        return;
    }
    if (command.req_case() == Command::kKeyExchange) {
        std::string note;
        auto reply = session.exchangeKeys(command.key_exchange().data(), &note);
        log(note);
        if (reply)
            answer(*reply);
        else
            answerResult(3);
        return;
    }
    if (faults.failStep()) {
        const uint32_t code = faults.failureCode();
        log("fault: rejecting step case " + std::to_string(command.req_case()) + " with " +
            std::to_string(code));
        answerResult(code);
        return;
    }
    BootloaderSession::Step step{};
    if (command.req_case() == Command::kRsaPublicKey)
        step = session.introduce(command.rsa_public_key().data());
    else if (command.req_case() == Command::kAesKey)
        step = session.takeImageKey(command.aes_key().data());
    else
        step = session.writeCommand(command.command_data().data(), flash);
    log(step.note + " -> " + std::to_string(step.result));
    answerResult(step.result);
}

void GcuSimulator::finishUpload()
{
    if (!flash.complete()) {
        log("reset with an incomplete image (" + std::to_string(flash.bytesWritten()) + " of " +
            std::to_string(flash.image().size()) + " bytes); staying in the bootloader");
        comeBackLater(Mode::Bootloader, options.resetDelayMs, "reset");
        return;
    }
    if (!options.flashOut.empty()) {
        std::ofstream out(options.flashOut, std::ios::binary | std::ios::trunc);
        out << flash.image();
        log("flashed image of " + std::to_string(flash.image().size()) + " bytes written to " +
            options.flashOut);
    }
    applicationVersion = flash.version();
    flash.erase();
    session.forget();
    comeBackLater(options.stayInBootloader ? Mode::Bootloader : Mode::Application,
                  options.resetDelayMs, "reset after a complete upload");
}

void GcuSimulator::answerResult(uint32_t result)
{
    Response response;
    response.set_result(result);
    answer(response);
}

void GcuSimulator::answer(const Response& response)
{
    if (faults.dropAnswer()) {
        log("fault: dropping the answer of case " + std::to_string(response.resp_case()));
        return;
    }
    const std::string payload = response.SerializeAsString();
    auto send = [this, payload] {
        if (faults.garbageFirst()) {
            log("fault: garbage frame before the answer");
            writeFrame(faults.garbage());
        }
        if (faults.oversizeFirst()) {
            log("fault: oversize length header before the answer");
            transmit(header(0xFFFFFFF0u));
            // Let the reader see the bogus header on its own before the answer.
            usleep(100 * 1000);
        }
        writeFrame(payload);
    };
    if (options.delayMs > 0)
        schedule(options.delayMs, send);
    else
        send();
}

void GcuSimulator::writeFrame(const std::string& payload)
{
    transmit(header(static_cast<uint32_t>(payload.size())) + payload);
    stamp('s');
}

void GcuSimulator::transmit(const std::string& bytes)
{
    if (!terminal)
        return;
    std::this_thread::sleep_until(output.pass(bytes.size(), Clock::now()));
    terminal->writeAll(bytes);
}
