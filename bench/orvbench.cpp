// orv-bench: how fast and how lean uploads are, each figure beside a reference
// measured in the same run. Run by `make bench`; prints a table and writes JSON.
#include "aescbcencryptor.h"
#include "benchtable.h"
#include "bootloadersession.h"
#include "commandssender.h"
#include "comport.h"
#include "dashboard.h"
#include "dhuploadprocedure.h"
#include "firmwareupdate.h"
#include "firmwareuploadprocedure.h"
#include "framecodec.h"
#include "gcu.pb.h"
#include "linkpacer.h"
#include "logpane.h"
#include "preload.h"
#include "pseudoterminal.h"
#include "recordconnection.h"
#include "referenceclient.h"
#include "rsakey.h"
#include "server.pb.h"
#include "toolprocess.h"
#include "updaterecorder.h"
#include "uploaderapp.h"
#include "virtualusbdevice.h"

#include <QApplication>
#include <QBuffer>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QPlainTextEdit>
#include <QSettings>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QWebSocket>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Every figure is taken this many times, each time right after or before its
// reference: whatever else the machine does at the moment, both see it.
constexpr int rounds = 7;

double median(const std::vector<double>& values)
{
    return BenchTable::median(values);
}

// Ours and the reference taken in turn, `rounds` times each.
template <typename Run> struct Alternated
{
    std::vector<Run> ours;
    std::vector<Run> reference;
};

template <typename Run>
Alternated<Run> alternate(const std::function<Run()>& ours, const std::function<Run()>& reference)
{
    Alternated<Run> runs;
    for (int i = 0; i < rounds; ++i) {
        runs.ours.push_back(ours());
        runs.reference.push_back(reference());
    }
    return runs;
}

// One number of each run.
template <typename Run>
std::vector<double> each(const std::vector<Run>& runs, const std::function<double(const Run&)>& of)
{
    std::vector<double> values;
    for (const Run& run : runs)
        values.push_back(of(run));
    return values;
}

// The same value for every round: a reference computed rather than measured.
std::vector<double> everyRound(double value)
{
    return std::vector<double>(rounds, value);
}

double percentile99(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, values.size() * 99 / 100)];
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The listed port with this USB serial number, or a null description.
QSerialPortInfo portWithSerial(const QString& serial)
{
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        if (info.serialNumber() == serial)
            return info;
    return QSerialPortInfo();
}

// Keys, firmware files and simulators of one benchmark run, in one folder.
class Workspace
{
public:
    Workspace()
    {
        char pattern[] = "/tmp/orv-bench-XXXXXX";
        dir = mkdtemp(pattern);
        bus = dir + "/bus";
        mkdir(bus.c_str(), 0700);
        setenv("ORV_VIRTUAL_USB_DIR", bus.c_str(), 1);
        std::string error;
        devicePem = dir + "/device.pem";
        writeFile(devicePem, RsaKey::generate(1024, &error)->privatePem());
        deviceOrvkc = dir + "/device.orvkc";
        ToolProcess::run("gcu-keytool", {"orvkc", devicePem, deviceOrvkc});
        signerPem = dir + "/signer.pem";
        writeFile(signerPem, RsaKey::generate(2048, &error)->privatePem());
        keychain = dir + "/signer.keychain";
        ToolProcess::run("gcu-keytool", {"keychain", keychain, signerPem});
    }
    ~Workspace() { std::filesystem::remove_all(dir); }

    // A firmware file of `commands` data commands of `chunk` bytes each.
    std::string firmware(size_t chunk, size_t commands, bool plain = false)
    {
        const std::string image = dir + "/image.bin";
        std::string bytes(chunk * commands, '\0');
        std::mt19937 random(static_cast<unsigned>(chunk * 31 + commands));
        for (char& byte : bytes)
            byte = static_cast<char>(random());
        writeFile(image, bytes);
        const std::string out =
            dir + "/fw-" + std::to_string(chunk) + "-" + std::to_string(commands) + ".enc";
        std::vector<std::string> arguments = {"--image", image,     "--out",
                                              out,       "--chunk", std::to_string(chunk)};
        if (plain)
            arguments.push_back("--plain");
        else
            arguments.insert(arguments.end(), {"--device-key", deviceOrvkc});
        ToolProcess::run("gcu-fwpack", arguments);
        return out;
    }

    std::string dir, bus, devicePem, deviceOrvkc, signerPem, keychain;
};

// gcu-sim in bootloader mode, fresh for each measurement.
class Simulator
{
public:
    // `link`: gcu-sim's options for a paced link, if any; `bus`: a bus other than
    // the workspace's.
    Simulator(Workspace& workspace, bool bootloader = true, std::vector<std::string> link = {},
              const std::string& bus = "")
        : serial("BENCH" + std::to_string(next++)),
          timestamps(workspace.dir + "/" + serial + ".ts"),
          process(std::make_unique<ToolProcess>(
              "gcu-sim", arguments(workspace, bootloader, link, bus.empty() ? workspace.bus : bus),
              workspace.dir + "/" + serial + ".log"))
    {
        for (int i = 0; i < 500 && devicePath().empty(); ++i)
            QThread::msleep(10);
    }

    std::string devicePath() const
    {
        const std::string log = process->log();
        const size_t at = log.find(" mode on ");
        return at == std::string::npos ? "" : log.substr(at + 9, log.find('\n', at) - at - 9);
    }

    QSerialPortInfo port() const { return portWithSerial(QString::fromStdString(serial)); }
    const std::string& serialNumber() const { return serial; }

    // Ends the simulator and returns, per step, the time from its answer leaving
    // to the next command arriving, in microseconds.
    std::vector<double> stopAndTakeOverheads()
    {
        // The simulator writes its timestamps as it ends.
        process.reset();
        std::istringstream lines(readFile(timestamps));
        std::vector<double> overheads;
        char event;
        long long nanoseconds, lastSent = -1;
        while (lines >> event >> nanoseconds) {
            if (event == 's')
                lastSent = nanoseconds;
            else if (event == 'r' && lastSent >= 0) {
                overheads.push_back((nanoseconds - lastSent) / 1000.0);
                lastSent = -1;
            }
        }
        return overheads;
    }

private:
    std::vector<std::string> arguments(Workspace& workspace, bool bootloader,
                                       const std::vector<std::string>& link,
                                       const std::string& bus) const
    {
        std::vector<std::string> list = {"--serial",    serial,          "--bus-dir",
                                         bus,           "--device-key",  workspace.devicePem,
                                         "--flash-out", "/dev/null",     "--timestamps",
                                         timestamps,    "--reset-delay", "100"};
        if (bootloader)
            list.push_back("--bootloader");
        list.insert(list.end(), link.begin(), link.end());
        return list;
    }

    static inline int next = 0;
    std::string serial;
    std::string timestamps;
    std::unique_ptr<ToolProcess> process;
};

// Ends an event loop when the upload reports its last step.
class CompletionWatch : public IProcedureFeedback
{
public:
    void updateProgress(int done, int total) override
    {
        if (done >= total)
            loop.quit();
    }
    void procedureDone() override {}
    QEventLoop loop;
};

// A plain upload through FirmwareUploadProcedure and ComPort; seconds, or -1.
double uploadThroughLibrary(const QSerialPortInfo& port, const std::string& firmware)
{
    ComPort comPort;
    CommandsSender sender(comPort);
    CompletionWatch watch;
    FirmwareUploadProcedure procedure(firmware, sender, watch);
    QObject::connect(&comPort, &ComPort::commandRead, [&](std::string payload) {
        Response response;
        if (response.ParseFromString(payload) && response.resp_case() == Response::kResult)
            procedure.commandRsult(static_cast<FirmwareCommandResult>(response.result()));
    });
    if (port.isNull() || !comPort.open(port))
        return -1;
    QTimer::singleShot(300000, &watch.loop, &QEventLoop::quit);
    const auto start = Clock::now();
    procedure.start();
    watch.loop.exec();
    return secondsSince(start);
}

FirmwareFile parse(const std::string& path)
{
    FirmwareFile file;
    std::ifstream stream(path, std::ios::binary);
    file.ParseFromIstream(&stream);
    return file;
}

struct UploadRun
{
    double seconds;
    std::vector<double> overheadsUs;
};

UploadRun ours(Workspace& workspace, const std::string& firmware)
{
    Simulator simulator(workspace);
    const double seconds = uploadThroughLibrary(simulator.port(), firmware);
    return {seconds, simulator.stopAndTakeOverheads()};
}

UploadRun reference(Workspace& workspace, const std::string& firmware)
{
    Simulator simulator(workspace);
    const double seconds = ReferenceClient::upload(simulator.devicePath(), parse(firmware));
    return {seconds, simulator.stopAndTakeOverheads()};
}

void plainThroughput(Workspace& workspace, BenchTable& table)
{
    constexpr size_t commands = 1000;
    for (size_t chunk : {size_t(256), size_t(4096)}) {
        const std::string firmware = workspace.firmware(chunk, commands);
        const double kib = readFile(firmware).size() / 1024.0;
        const auto runs = alternate<UploadRun>([&] { return ours(workspace, firmware); },
                                               [&] { return reference(workspace, firmware); });
        const std::function<double(const UploadRun&)> commandRate = [&](const UploadRun& run) {
            return commands / run.seconds;
        };
        const std::function<double(const UploadRun&)> byteRate = [&](const UploadRun& run) {
            return kib / run.seconds;
        };
        const std::string size = chunk == 256 ? "256 B" : "4 KiB";
        table.add({"plain upload, " + size + " commands", each(runs.ours, commandRate),
                   each(runs.reference, commandRate), "cmd/s", true, 0.9, ""});
        table.add({"plain upload, " + size + " commands, bytes", each(runs.ours, byteRate),
                   each(runs.reference, byteRate), "KiB/s", true, 0.9, ""});
        if (chunk == 256) {
            const std::function<double(const UploadRun&)> medianOverhead =
                [](const UploadRun& run) { return median(run.overheadsUs); };
            const std::function<double(const UploadRun&)> worstOverhead = [](const UploadRun& run) {
                return percentile99(run.overheadsUs);
            };
            table.add({"host overhead per command, median", each(runs.ours, medianOverhead),
                       each(runs.reference, medianOverhead), "us", false, 1.5,
                       "answer leaving the simulator to the next command arriving"});
            table.add({"host overhead per command, 99th percentile", each(runs.ours, worstOverhead),
                       each(runs.reference, worstOverhead), "us", false, 0, ""});
        }
    }
}

// The link's own time for an upload of `file`: each step's frame out and its
// answer back, one after the other, with no time taken at either end.
double wireSeconds(const FirmwareFile& file, const std::function<LinkPacer()>& link)
{
    LinkPacer out = link();
    LinkPacer in = link();
    Response success;
    success.set_result(FirmwareCommandAccepted);
    const size_t answerBytes = FrameCodec::headerSize + success.ByteSizeLong();
    const LinkPacer::Clock::time_point start{};
    auto at = start;
    for (const std::string& step : ReferenceClient::steps(file)) {
        at = out.pass(FrameCodec::headerSize + step.size(), at);
        at = in.pass(answerBytes, at);
    }
    return std::chrono::duration<double>(at - start).count();
}

// What an upload run in a process of its own reported, or -1.
double reported(const std::string& log, const std::string& key)
{
    const size_t at = log.rfind(key + " ");
    return at == std::string::npos ? -1 : std::atof(log.c_str() + at + key.size() + 1);
}

// Uploads of one firmware file, each in a process of its own to a simulator of
// its own, all at once.
class ConcurrentUploads
{
public:
    // On a bus of their own: what else runs meanwhile does not see these GCUs.
    ConcurrentUploads(Workspace& workspace, const std::string& firmware,
                      const std::vector<std::string>& link, int count)
        : bus(workspace.dir + "/bus-" + std::to_string(next++))
    {
        mkdir(bus.c_str(), 0700);
        for (int i = 0; i < count; ++i) {
            simulators.push_back(std::make_unique<Simulator>(workspace, true, link, bus));
            const std::string& serial = simulators.back()->serialNumber();
            uploads.push_back(std::make_unique<ToolProcess>(
                "orv-bench", std::vector<std::string>{"--upload-run", firmware, serial, bus},
                workspace.dir + "/upload-" + serial + ".log"));
        }
    }

    // Each upload's seconds (-1 for one that failed), once all have ended.
    std::vector<double> seconds(int timeoutMs)
    {
        for (auto& upload : uploads)
            upload->waitForExit(timeoutMs);
        return reportedBy("upload-seconds");
    }
    // Each upload process's peak resident memory, once it has ended.
    std::vector<double> peakMb() { return reportedBy("peak-resident-mb"); }

private:
    std::vector<double> reportedBy(const std::string& key) const
    {
        std::vector<double> values;
        for (const auto& upload : uploads)
            values.push_back(reported(upload->log(), key));
        return values;
    }

    static inline int next = 0;
    std::string bus;
    std::vector<std::unique_ptr<Simulator>> simulators;
    std::vector<std::unique_ptr<ToolProcess>> uploads;
};

// A 1 MiB image at 115200 baud takes a minute and a half whatever the client
// does, so its rounds run at once, beside the rest of the benchmark: each needs
// a few microseconds of processor time per 355 ms command.
std::unique_ptr<ConcurrentUploads> startUartUploads(Workspace& workspace,
                                                    const std::string& firmware)
{
    return std::make_unique<ConcurrentUploads>(
        workspace, firmware, std::vector<std::string>{"--baud", "115200"}, rounds);
}

void pacedRow(BenchTable& table, const std::string& figure, const std::string& firmware,
              const std::vector<double>& seconds, double wire, double target)
{
    const double kib = readFile(firmware).size() / 1024.0;
    std::vector<double> rates;
    for (double one : seconds)
        rates.push_back(one > 0 ? kib / one : 0);
    table.add({figure, rates, everyRound(kib / wire), "KiB/s", true, target,
               "reference: the link's own time for the bytes, both directions"});
}

void usbFullSpeed(Workspace& workspace, BenchTable& table, const std::string& firmware)
{
    std::vector<double> seconds;
    for (int i = 0; i < rounds; ++i) {
        Simulator simulator(workspace, true, {"--usb-full-speed"});
        seconds.push_back(uploadThroughLibrary(simulator.port(), firmware));
    }
    pacedRow(table, "plain upload, 1 MiB, USB full speed", firmware, seconds,
             wireSeconds(parse(firmware), LinkPacer::usbFullSpeed), 0.9);
}

// The secure upload's cost per command, against bare AES-256-CBC and signing.
void securePerCommand(Workspace& workspace, BenchTable& table)
{
    constexpr int perRound = 28;
    // The handshake sends commands[1]; each answer then sends the next one, and
    // the reset stays out of the timed part.
    const std::string firmware = workspace.firmware(4096, rounds * perRound + 3, true);
    PseudoTerminal terminal;
    UsbIdentity identity;
    identity.sysname = "ttyBENCHSECURE";
    identity.devnode = terminal.slavePath();
    identity.vendorId = 0x04D8;
    identity.productId = 0xEEEF;
    identity.serialNumber = "BENCHSECURE";
    VirtualUsbDevice device(workspace.bus, identity);
    device.publish();
    ComPort comPort;
    comPort.open(portWithSerial("BENCHSECURE"));
    CommandsSender sender(comPort);
    CompletionWatch watch;
    DhUploadProcedure procedure(firmware, workspace.signerPem, workspace.keychain, sender, watch);
    std::string error;
    auto deviceKey = RsaKey::fromPrivateFile(workspace.devicePem, &error);
    BootloaderSession session(*deviceKey);

    // The far side reads every frame; the handshake frames are answered here.
    auto readFrame = [&] {
        unsigned char header[4];
        terminal.readExactly(header, 4, 3000);
        const uint32_t length = FrameCodec::lengthOf(header);
        std::string payload(length, '\0');
        terminal.readExactly(payload.data(), length, 3000);
        Command command;
        command.ParseFromString(payload);
        return command;
    };
    procedure.start();
    session.introduce(readFrame().rsa_public_key().data());
    procedure.commandRsult(FirmwareCommandAccepted);
    auto answer = session.exchangeKeys(readFrame().key_exchange().data(), &error);
    std::atomic<bool> draining{true};
    std::thread drain([&] {
        char buffer[65536];
        while (draining)
            terminal.readSome(buffer, sizeof buffer, 20);
    });
    procedure.keyExchangeResult(FirmwareCommandAccepted,
                                answer->key_exchange().SerializeAsString());
    // The same payloads, bare, in turn with the procedure's.
    const FirmwareFile file = parse(firmware);
    auto signer = RsaKey::fromPrivateFile(workspace.signerPem, &error);
    unsigned char key[32] = {1};
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    mbedtls_aes_setkey_enc(&aes, key, 256);
    auto bare = [&](const std::string& payload) {
        std::string input = payload;
        input.resize((payload.size() + 15) / 16 * 16, '\0');
        std::string output(input.size(), '\0');
        unsigned char iv[16] = {};
        mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, input.size(), iv,
                              reinterpret_cast<const unsigned char*>(input.data()),
                              reinterpret_cast<unsigned char*>(output.data()));
        const std::string signature = signer->sign(output);
        (void)signature;
    };
    std::vector<double> oursUs, bareUs;
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        for (int i = 0; i < perRound; ++i) {
            procedure.commandRsult(FirmwareCommandAccepted);
            QCoreApplication::processEvents();
        }
        oursUs.push_back(secondsSince(start) / perRound * 1e6);
        start = Clock::now();
        for (int i = 0; i < perRound; ++i)
            bare(file.commands(2 + round * perRound + i).data());
        bareUs.push_back(secondsSince(start) / perRound * 1e6);
    }
    mbedtls_aes_free(&aes);
    draining = false;
    drain.join();
    table.add({"secure upload, cost per 4 KiB command", oursUs, bareUs, "us", false, 1.1,
               "reference: AES-256-CBC of the payload and an RSA-2048 signature"});
}

// The median of `count` timed exchanges, in microseconds.
double medianExchangeUs(int count, const std::function<void()>& exchange)
{
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        exchange();
        times.push_back(secondsSince(start) * 1e6);
    }
    return median(times);
}

// The packet every relay figure sends: a small command the GCU answers at once.
std::string relayedPacket()
{
    Command probe;
    probe.set_headervalue(1);
    probe.mutable_virtual_input_set()->set_id(1);
    return probe.SerializeAsString();
}

// The update server's end of a relay: the program under test connects to it,
// and each exchange sends a packet for the GCU and waits for the GCU's answer.
class RelayServerEnd
{
public:
    RelayServerEnd()
    {
        server.listen(QHostAddress::LocalHost);
        SoftwareServerRequest request;
        request.mutable_send_packet_to_gcu()->set_packet(relayedPacket());
        frame = FrameCodec::encode(request.SerializeAsString());
    }

    quint16 port() const { return server.serverPort(); }

    // Whether the program connected within the time.
    bool accept(int timeoutMs)
    {
        QElapsedTimer waited;
        waited.start();
        while (!server.hasPendingConnections() && waited.elapsed() < timeoutMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        client = server.nextPendingConnection();
        if (!client)
            return false;
        QObject::connect(client, &QTcpSocket::readyRead, [this] {
            reader.readFrames(*client, [this](std::string payload) {
                SoftwareServerResponse response;
                Response gcuAnswer;
                if (response.ParseFromString(payload) && response.has_receive_packet_from_gcu() &&
                    gcuAnswer.ParseFromString(response.receive_packet_from_gcu().packet()) &&
                    gcuAnswer.resp_case() == Response::kResult)
                    answered.quit();
                return true;
            });
        });
        return true;
    }

    void exchange()
    {
        client->write(frame);
        client->flush();
        answered.exec();
    }

private:
    QTcpServer server;
    QTcpSocket* client = nullptr;
    QByteArray frame;
    FrameCodec reader;
    QEventLoop answered;
};

// What no relay can do without, per packet: the packet written straight to a
// GCU and its answer read, and a round trip over loopback TCP between two Qt
// sockets of this process with no work at either end.
class RelayFloor
{
public:
    explicit RelayFloor(Workspace& workspace)
        : packet(relayedPacket()), direct(workspace, false),
          fd(ReferenceClient::openRaw(direct.devicePath())), echoed(FrameCodec::encode(packet))
    {
        echo.listen(QHostAddress::LocalHost);
        near.connectToHost(QHostAddress::LocalHost, echo.serverPort());
        near.waitForConnected(3000);
        echo.waitForNewConnection(3000);
        QTcpSocket* far = echo.nextPendingConnection();
        QObject::connect(far, &QTcpSocket::readyRead, [far] { far->write(far->readAll()); });
        QObject::connect(&near, &QTcpSocket::readyRead, [this] {
            near.readAll();
            back.quit();
        });
    }
    ~RelayFloor() { ::close(fd); }

    void straight() { ReferenceClient::roundTrip(fd, packet); }
    void overLoopback()
    {
        near.write(echoed);
        near.flush();
        back.exec();
    }

private:
    std::string packet;
    Simulator direct;
    int fd;
    QByteArray echoed;
    QTcpServer echo;
    QTcpSocket near;
    QEventLoop back;
};

constexpr int packetsPerRound = 50;

// Per round, the relay's median round trip, then the direct exchange's and the
// loopback hop's.
struct RelayRounds
{
    std::vector<double> relay, directUs, tcpUs, floor;
};

RelayRounds relayRounds(Workspace& workspace, RelayServerEnd& server)
{
    RelayFloor reference(workspace);
    RelayRounds measured;
    for (int round = 0; round < rounds; ++round) {
        measured.relay.push_back(medianExchangeUs(packetsPerRound, [&] { server.exchange(); }));
        measured.directUs.push_back(
            medianExchangeUs(packetsPerRound, [&] { reference.straight(); }));
        measured.tcpUs.push_back(
            medianExchangeUs(packetsPerRound, [&] { reference.overLoopback(); }));
        measured.floor.push_back(measured.directUs.back() + measured.tcpUs.back());
    }
    return measured;
}

const char* const relayReference =
    "reference: the same packet written straight to the simulator, plus a loopback TCP round trip";

// A packet's round trip server -> window -> GCU -> window -> server.
void windowRelayRoundTrip(Workspace& workspace, BenchTable& table)
{
    Simulator relayed(workspace, false);
    RelayServerEnd server;
    QSettings settings("Orvane", "Uploader");
    settings.setValue("ui/offlineLoader", false);
    settings.setValue("network/host", "127.0.0.1");
    settings.setValue("network/port", server.port());
    UploaderApp window;
    QElapsedTimer waited;
    waited.start();
    auto* combo = window.findChild<QComboBox*>("gcuSerialNumber");
    while (combo->count() == 0 && waited.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QMetaObject::invokeMethod(&window, "on_pushButton_2_clicked");
    if (!server.accept(10000)) {
        std::cerr << "orv-bench: the window did not connect to the server\n";
        return;
    }
    const RelayRounds measured = relayRounds(workspace, server);
    settings.clear();
    table.add({"relay round trip, window, median", measured.relay, measured.floor, "us", false, 2.0,
               relayReference});
    table.add({"loopback TCP round trip, median", measured.tcpUs, measured.directUs, "us", false, 0,
               "the network hop alone, against the direct exchange"});
}

// The same through `gcutool relay`, which has no window and no log pane: what the
// relay itself costs.
void headlessRelayRoundTrip(Workspace& workspace, BenchTable& table)
{
    Simulator relayed(workspace, false);
    RelayServerEnd server;
    ToolProcess relay("gcutool",
                      {"relay", "--server", "127.0.0.1:" + std::to_string(server.port()),
                       "--serial", relayed.serialNumber(), "--stall-timeout", "600"},
                      workspace.dir + "/gcutool-relay.log");
    if (!server.accept(10000)) {
        std::cerr << "orv-bench: gcutool relay did not connect to the server\n";
        return;
    }
    const RelayRounds measured = relayRounds(workspace, server);
    table.add({"relay round trip, gcutool relay, median", measured.relay, measured.floor, "us",
               false, 1.3, relayReference});
}

// What the log pane costs the relay per packet: its four lines, written in two
// event-loop turns, taken by a full pane (a long session's) as the window's
// takes them, against the same lines in one append each.
void logPane(BenchTable& table)
{
    constexpr int packets = 200;
    const QStringList fromServer = {"Type SendPacketToGcu"};
    const QStringList fromGcu = {"Receiced 2 bytes from GCU", "Sending GCU response to server",
                                 "Received command response 0"};
    QPlainTextEdit batchedPane, eachPane;
    for (QPlainTextEdit* pane : {&batchedPane, &eachPane}) {
        pane->setMaximumBlockCount(5000);
        for (int i = 0; i < 5000; ++i)
            pane->appendPlainText(QString("earlier line %1").arg(i));
    }
    auto* batched = new LogPane(&batchedPane);
    auto perPacketUs = [&](const std::function<void(const QStringList&)>& turn) {
        const auto start = Clock::now();
        // Each turn ends with the event loop's return, where a batch is appended
        // and the pane's own posted work is done.
        for (int i = 0; i < packets; ++i) {
            turn(fromServer);
            QCoreApplication::processEvents();
            turn(fromGcu);
            QCoreApplication::processEvents();
        }
        return secondsSince(start) / packets * 1e6;
    };
    const auto runs = alternate<double>(
        [&] {
            return perPacketUs([&](const QStringList& lines) {
                for (const QString& line : lines)
                    batched->append(line);
            });
        },
        [&] {
            return perPacketUs([&](const QStringList& lines) {
                for (const QString& line : lines)
                    eachPane.appendPlainText(line);
            });
        });
    table.add({"log pane, a relayed packet's lines", runs.ours, runs.reference, "us", false, 0,
               "reference: the same lines in one append each"});
}

void frameCodec(BenchTable& table)
{
    auto throughCodec = [](size_t frameSize, size_t frames, double* codecRate, double* copyRate) {
        QByteArray stream;
        stream.reserve(static_cast<int>((frameSize + 4) * frames));
        const std::string payload(frameSize, 'f');
        for (size_t i = 0; i < frames; ++i)
            stream.append(FrameCodec::encode(payload));
        QBuffer buffer(&stream);
        buffer.open(QIODevice::ReadOnly);
        FrameCodec codec;
        size_t delivered = 0;
        auto start = Clock::now();
        codec.readFrames(buffer, [&](std::string frame) {
            delivered += frame.size();
            return true;
        });
        const double codecSeconds = secondsSince(start);
        std::vector<char> target(frameSize);
        start = Clock::now();
        for (size_t i = 0; i < frames; ++i) {
            std::memcpy(target.data(), stream.constData() + i * (frameSize + 4) + 4, frameSize);
            asm volatile("" : : "r"(target.data()) : "memory");
        }
        const double copySeconds = secondsSince(start);
        *codecRate = frames / codecSeconds;
        *copyRate = frames / copySeconds;
        if (frameSize > 1024) {
            *codecRate *= frameSize / 1e6;
            *copyRate *= frameSize / 1e6;
        }
        (void)delivered;
    };
    std::vector<double> bigCodec, bigCopy, smallCodec, smallCopy;
    for (int round = 0; round < rounds; ++round) {
        double codec = 0, copy = 0;
        throughCodec(1 << 20, 32, &codec, &copy);
        bigCodec.push_back(codec);
        bigCopy.push_back(copy);
        throughCodec(16, 200000, &codec, &copy);
        smallCodec.push_back(codec / 1e6);
        smallCopy.push_back(copy / 1e6);
    }
    table.add({"frame reader, 1 MiB frames", bigCodec, bigCopy, "MB/s", true, 0.5,
               "reference: memcpy of the same payloads"});
    table.add({"frame reader, 16-byte frames", smallCodec, smallCopy, "Mframe/s", true, 0, ""});
}

// Peak memory while uploading a 64 MiB firmware file, each time in a process of
// its own.
void memoryPeak(Workspace& workspace, BenchTable& table)
{
    const std::string firmware = workspace.firmware(4096, 16384);
    const double fileMb = readFile(firmware).size() / 1e6;
    std::vector<double> peaks;
    for (int round = 0; round < rounds; ++round) {
        ConcurrentUploads upload(workspace, firmware, {}, 1);
        upload.seconds(120000);
        peaks.push_back(upload.peakMb().front());
    }
    const double budgetMb = 2.5 * fileMb + 40;
    table.add({"peak memory, 64 MiB firmware file", peaks, everyRound(budgetMb), "MB", false, 1.0,
               "reference: 2.5 x the file size (" + std::to_string(int(fileMb)) + " MB) + 40 MB"});
}

// One upload in this process, for a ConcurrentUploads: its time and the
// process's peak memory.
int uploadRun(const std::string& firmware, const std::string& serial)
{
    const double seconds =
        uploadThroughLibrary(portWithSerial(QString::fromStdString(serial)), firmware);
    if (seconds < 0)
        return 1;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << "upload-seconds " << seconds << "\npeak-resident-mb " << usage.ru_maxrss / 1000.0
              << std::endl;
    return 0;
}

// A gcutool run to its end: wall time, the peak resident memory and CPU time of
// gcutool alone (not of the simulators), and how busy the whole machine was.
struct ToolRun
{
    double seconds = 0;
    double peakMb = 0;
    int exitCode = -1;
    double cpuSeconds = 0;
    // Of every core, over the run: 1 when none was ever idle.
    double machineBusy = 0;
};

// The machine's busy and idle time so far, in clock ticks, from /proc/stat.
std::pair<long long, long long> machineTicks()
{
    std::ifstream stat("/proc/stat");
    std::string cpu;
    long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
    stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq;
    return {user + nice + system + irq + softirq, idle + iowait};
}

ToolRun runGcutool(const std::vector<std::string>& arguments)
{
    const std::string tool = ToolProcess::path("gcutool");
    std::vector<char*> argv = {const_cast<char*>(tool.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const auto start = Clock::now();
    const auto ticksBefore = machineTicks();
    const pid_t child = fork();
    if (child == 0) {
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    // The child's rusage would count the memory of this process, which it was a
    // copy of before exec: gcutool's own high-water mark is read while it runs.
    int status = 0;
    long peakKiB = 0;
    const std::string statusFile = "/proc/" + std::to_string(child) + "/status";
    rusage usage{};
    while (wait4(child, &status, WNOHANG, &usage) == 0) {
        std::ifstream proc(statusFile);
        bool isGcutool = false;
        for (std::string line; std::getline(proc, line);) {
            // Before exec the child is still a copy of this program.
            if (line.rfind("Name:", 0) == 0)
                isGcutool = line.find("gcutool") != std::string::npos;
            if (isGcutool && line.rfind("VmHWM:", 0) == 0)
                peakKiB = std::max(peakKiB, std::stol(line.substr(6)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto ticksAfter = machineTicks();
    const double busy = double(ticksAfter.first - ticksBefore.first);
    const double idle = double(ticksAfter.second - ticksBefore.second);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return {secondsSince(start), peakKiB / 1024.0, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            seconds(usage.ru_utime) + seconds(usage.ru_stime),
            busy + idle > 0 ? busy / (busy + idle) : 0};
}

// GCUs that start in bootloader mode, answer `delayMs` late, as a USB GCU busy writing
// its flash does, and come back in application mode once updated.
std::vector<std::unique_ptr<ToolProcess>> startGcus(Workspace& workspace, const std::string& prefix,
                                                    int count, int delayMs)
{
    std::vector<std::unique_ptr<ToolProcess>> gcus;
    for (int i = 0; i < count; ++i) {
        const std::string serial = prefix + std::to_string(i);
        gcus.push_back(std::make_unique<ToolProcess>(
            "gcu-sim",
            std::vector<std::string>{"--serial", serial, "--bus-dir", workspace.bus, "--device-key",
                                     workspace.devicePem, "--flash-out", "/dev/null",
                                     "--bootloader", "--reset-delay", "100", "--delay",
                                     std::to_string(delayMs)},
            workspace.dir + "/" + serial + ".log"));
    }
    for (int i = 0; i < count; ++i)
        for (int tries = 0;
             tries < 500 &&
             portWithSerial(QString::fromStdString(prefix + std::to_string(i))).isNull();
             ++tries)
            QThread::msleep(10);
    return gcus;
}

// gcutool flashing `firmware` to `count` fresh GCUs at once (all of them).
ToolRun flashAtOnce(Workspace& workspace, const std::string& firmware, const std::string& prefix,
                    int count, int delayMs)
{
    static int batch = 0;
    const auto gcus = startGcus(workspace, prefix + std::to_string(batch++) + "-", count, delayMs);
    return runGcutool({"flash", firmware, "--all", "--quiet"});
}

void manyGcus(Workspace& workspace, BenchTable& table)
{
    const std::string firmware = workspace.firmware(256, 400);
    const auto wall =
        alternate<double>([&] { return flashAtOnce(workspace, firmware, "EIGHT", 8, 2).seconds; },
                          [&] { return flashAtOnce(workspace, firmware, "ONE", 1, 2).seconds; });
    table.add({"8 GCUs at once, 2 ms answers, wall time", wall.ours, wall.reference, "s", false,
               1.3, "reference: the same file flashed to one GCU"});
    // Many sessions of the engine at once, against one alone in the same round;
    // the peak of each run gives what every further session costs.
    for (const int count : {32, 64}) {
        const std::string label = std::to_string(count);
        const auto runs = alternate<ToolRun>(
            [&] { return flashAtOnce(workspace, firmware, "MANY" + label, count, 2); },
            [&] { return flashAtOnce(workspace, firmware, "ALONE", 1, 2); });
        const std::function<double(const ToolRun&)> seconds = [](const ToolRun& run) {
            return run.seconds;
        };
        table.add({label + " GCUs at once, 2 ms answers, wall time", each(runs.ours, seconds),
                   each(runs.reference, seconds), "s", false, 1.3,
                   "reference: the same file flashed to one GCU"});
        // Where that time goes: gcutool's own CPU, and the machine's cores.
        const std::function<double(const ToolRun&)> cpu = [](const ToolRun& run) {
            return run.cpuSeconds;
        };
        const std::function<double(const ToolRun&)> busy = [](const ToolRun& run) {
            return run.machineBusy * 100;
        };
        std::cerr << "\norv-bench: " << label << " GCUs: gcutool's CPU "
                  << median(each(runs.ours, cpu)) << " s of " << median(each(runs.ours, seconds))
                  << " s (one GCU alone: " << median(each(runs.reference, cpu)) << " s of "
                  << median(each(runs.reference, seconds)) << " s); the machine "
                  << median(each(runs.ours, busy))
                  << " % busy (one GCU alone: " << median(each(runs.reference, busy)) << " %)\n";
        if (count != 64)
            continue;
        std::vector<double> perSession;
        for (int round = 0; round < rounds; ++round)
            perSession.push_back((runs.ours[round].peakMb - runs.reference[round].peakMb) /
                                 (count - 1));
        table.add({"memory per further session, 64 GCUs", perSession, everyRound(1.0), "MB", false,
                   1.0, "reference: 1 MB a session"});
    }

    // A larger file: were it held once per GCU, sixteen copies would show. How
    // late the GCUs answer does not change what is held, so these answer at once.
    const std::string large = workspace.firmware(4096, 1024);
    const double fileMb = readFile(large).size() / 1e6;
    const auto peaks =
        alternate<double>([&] { return flashAtOnce(workspace, large, "SIXTEEN", 16, 0).peakMb; },
                          [&] { return flashAtOnce(workspace, large, "SOLO", 1, 0).peakMb; });
    constexpr double perSessionBudgetMb = 2.0;
    std::vector<double> budget;
    for (int round = 0; round < rounds; ++round)
        budget.push_back(peaks.reference[round] + 16 * perSessionBudgetMb);
    table.add({"peak memory, 16 GCUs at once", peaks.ours, budget, "MB", false, 1.0,
               "reference: one GCU's run plus 2 MB per session; the file is " +
                   std::to_string(fileMb).substr(0, 4) + " MB"});
}

// Time per command as the count grows, against a short upload in the same round.
void scaling(Workspace& workspace, BenchTable& table)
{
    const std::vector<size_t> counts = {1000, 10000, 50000};
    std::vector<std::string> firmware;
    for (size_t commands : counts)
        firmware.push_back(workspace.firmware(16, commands));
    std::vector<std::vector<double>> perCommand(counts.size());
    for (int round = 0; round < rounds; ++round)
        for (size_t i = 0; i < counts.size(); ++i) {
            Simulator simulator(workspace);
            perCommand[i].push_back(uploadThroughLibrary(simulator.port(), firmware[i]) /
                                    counts[i] * 1e6);
        }
    const char* const labels[] = {"1,000", "10,000", "50,000"};
    for (size_t i : {1, 2})
        table.add({std::string("time per command, ") + labels[i] + " commands", perCommand[i],
                   perCommand[0], "us", false, 1.2, "reference: the same with 1,000 commands"});
}

// The cost of recording an update (its row inserted at the beginning, completed
// at the end, each a transaction of its own) against the update's own time.
void recordingCost(Workspace& workspace, BenchTable& table, const std::string& url,
                   const std::string& name)
{
    RecordLocation location;
    QString problem;
    RecordLocation::parse(QString::fromStdString(url), &location, &problem);
    UpdateRecorder recorder(location,
                            RecordSpool(QString::fromStdString(workspace.dir) + "/spool.sqlite"));
    recorder.setWarning([](const QString& warning) {
        std::cerr << "orv-bench: " << warning.toStdString() << std::endl;
    });
    if (recorder.prepare(&problem) != UpdateRecorder::Readiness::Ready) {
        std::cerr << "orv-bench: no " << name << " record: " << problem.toStdString() << "\n";
        return;
    }
    const std::string firmware = workspace.firmware(4096, 64);
    constexpr int rowsPerRound = 20;
    const auto runs = alternate<double>(
        [&] {
            const auto start = Clock::now();
            for (int i = 0; i < rowsPerRound; ++i) {
                UpdateRow row = UpdateRow::beginning("orv-bench", "0", "flash");
                row.serial = QString("BENCH-%1").arg(i);
                recorder.begin(row);
                row.finish("done", 0, {});
                recorder.end(row);
            }
            return secondsSince(start) / rowsPerRound;
        },
        [&] {
            Simulator simulator(workspace);
            return uploadThroughLibrary(simulator.port(), firmware);
        });
    table.add({"recording one update, " + name, runs.ours, runs.reference, "s", false, 0.05,
               "reference: the update itself, 256 KiB to a simulated GCU"});
}

// gcutool stats --by station,day over 100,000 rows of 20 stations, 60 days and
// 5,000 GCUs in an SQLite record: what a line's supervisor waits for.
void statsOverManyRows(Workspace& workspace, BenchTable& table)
{
    const std::string path = workspace.dir + "/stats.sqlite";
    RecordLocation location;
    QString problem;
    RecordLocation::parse(QString::fromStdString(path), &location, &problem);
    UpdateRecorder(location).prepare(&problem);
    QSqlDatabase database;
    RecordConnection::open(location, &database, &problem);
    RecordConnection::beginWrite(database, &problem);
    QSqlQuery insert(database);
    QStringList marks;
    for (int i = 0; i < UpdateRow::columns().size(); ++i)
        marks << "?";
    insert.prepare(QString("INSERT INTO updates (%1) VALUES (%2)")
                       .arg(UpdateRow::columns().join(", "), marks.join(", ")));
    std::mt19937 random(7);
    const QDateTime first(QDate(2026, 1, 1), QTime(6, 0), Qt::UTC);
    for (int i = 0; i < 100000; ++i) {
        UpdateRow row = UpdateRow::beginning("gcutool", "0.1.0", "station");
        row.station = QString("station-%1").arg(random() % 20);
        row.serial = QString("GCU%1").arg(random() % 5000, 5, 10, QChar('0'));
        row.startedAt = first.addSecs(static_cast<qint64>(random() % (60 * 86400)));
        const bool done = random() % 10 != 0;
        row.finish(done ? "done" : "stalled", done ? 0 : 4,
                   done ? QString() : QString("No progress at step %1").arg(random() % 5));
        row.seconds = 20 + random() % 40;
        for (const QVariant& value : row.values())
            insert.addBindValue(value);
        insert.exec();
    }
    RecordConnection::commit(database, &problem);
    std::vector<double> ms;
    for (int round = 0; round < rounds; ++round)
        ms.push_back(
            runGcutool({"stats", "--by", "station,day", "--record", path, "--quiet"}).seconds *
            1000);
    table.add({"gcutool stats --by station,day, 100,000 rows, SQLite", ms, everyRound(200), "ms",
               false, 1.0, "reference: the 200 ms target, the whole gcutool run"});
}

void fleetRecord(Workspace& workspace, BenchTable& table)
{
    recordingCost(workspace, table, workspace.dir + "/record.sqlite", "SQLite");
    // make bench runs under pg_virtualenv, which starts a throwaway server.
    if (getenv("PGHOST")) {
        const std::string name = "orv_bench_" + std::to_string(getpid());
        RecordLocation server;
        QString problem;
        RecordLocation::parse(QString("postgresql:///") + getenv("PGDATABASE"), &server, &problem);
        QSqlDatabase admin;
        if (RecordConnection::open(server, &admin, &problem) &&
            RecordConnection::run(admin, QString::fromStdString("CREATE DATABASE " + name),
                                  &problem))
            recordingCost(workspace, table, "postgresql:///" + name, "PostgreSQL");
        else
            std::cerr << "orv-bench: no PostgreSQL database: " << problem.toStdString() << "\n";
    } else {
        std::cerr << "orv-bench: no PostgreSQL server (PGHOST unset); make bench starts one\n";
    }
    statsOverManyRows(workspace, table);
}

// A dashboard page: a WebSocket to /ws, from the page's own origin, that
// notes when each message arrives.
class BenchPage
{
public:
    BenchPage(quint16 port, const std::function<void(const QJsonObject&)>& onMessage = {})
        : socket(QString("http://127.0.0.1:%1").arg(port))
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived,
                         [this, onMessage](const QString& text) {
                             ++received;
                             if (onMessage)
                                 onMessage(QJsonDocument::fromJson(text.toUtf8()).object());
                         });
        socket.open(QUrl(QString("ws://127.0.0.1:%1/ws").arg(port)));
    }
    int received = 0;

private:
    QWebSocket socket;
};

void spinUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// From a GCU's progress to a page: 16 GCUs report 100 steps a second each to
// gcutool's output, from a thread of their own as its sessions do; each step's
// delay is the time until the first message that carries it, or a later step,
// is read by a page over loopback. Progress is coalesced to ten reports a second
// per GCU, so the delay includes that wait: it is what a person watching the
// page sees.
void dashboardLatency(BenchTable& table)
{
    constexpr int gcus = 16;
    constexpr int steps = 300;
    constexpr int stepIntervalMs = 10;
    std::vector<double> medians, worst;
    for (int round = 0; round < rounds; ++round) {
        Dashboard dashboard(Dashboard::Settings{});
        QString problem;
        if (!dashboard.start(&problem)) {
            std::cerr << "orv-bench: " << problem.toStdString() << "\n";
            return;
        }
        // Per GCU: when each step was reported, and when each message arrived.
        std::vector<std::vector<Clock::time_point>> reported(
            gcus, std::vector<Clock::time_point>(steps + 1));
        std::vector<std::vector<std::pair<int, Clock::time_point>>> arrived(gcus);
        bool ready = false;
        BenchPage page(dashboard.port(), [&](const QJsonObject& message) {
            ready = true;
            if (message.value("type").toString() != "gcu")
                return;
            const QJsonObject gcu = message.value("gcu").toObject();
            const int index = gcu.value("serial").toString().mid(5).toInt();
            arrived[index].push_back({gcu.value("steps_done").toInt(), Clock::now()});
        });
        spinUntil([&] { return ready; }, 10000);
        std::atomic<bool> fed{false};
        // The updates' own progress signals, as device sessions emit them.
        std::vector<std::unique_ptr<FirmwareUpdate>> updates;
        for (int gcu = 0; gcu < gcus; ++gcu) {
            updates.push_back(
                std::make_unique<FirmwareUpdate>(FirmwareUpdate::Options{}, FirmwareFileCheck{}));
            dashboard.board().follow(*updates.back(),
                                     QString("BENCH%1").arg(gcu, 2, 10, QChar('0')));
        }
        std::thread feeder([&] {
            const auto start = Clock::now();
            for (int step = 1; step <= steps; ++step) {
                std::this_thread::sleep_until(start +
                                              std::chrono::milliseconds(step * stepIntervalMs));
                for (int gcu = 0; gcu < gcus; ++gcu) {
                    reported[gcu][step] = Clock::now();
                    UpdateProgress progress;
                    progress.stepsDone = step;
                    progress.stepsTotal = steps;
                    progress.bytesDone = step * 256;
                    progress.bytesTotal = steps * 256;
                    emit updates[gcu]->progressed(progress);
                }
            }
            fed = true;
        });
        spinUntil(
            [&] {
                if (!fed)
                    return false;
                for (const auto& messages : arrived)
                    if (messages.empty() || messages.back().first < steps)
                        return false;
                return true;
            },
            60000);
        feeder.join();
        std::vector<double> delays;
        for (int gcu = 0; gcu < gcus; ++gcu) {
            size_t next = 0;
            for (int step = 1; step <= steps; ++step) {
                while (next < arrived[gcu].size() && arrived[gcu][next].first < step)
                    ++next;
                if (next == arrived[gcu].size())
                    break;
                delays.push_back(std::chrono::duration<double, std::milli>(
                                     arrived[gcu][next].second - reported[gcu][step])
                                     .count());
            }
        }
        medians.push_back(median(delays));
        worst.push_back(percentile99(delays));
    }
    table.add({"dashboard: progress to page, median", medians, everyRound(100), "ms", false, 1.0,
               "reference: the 100 ms a GCU's messages are coalesced to"});
    table.add(
        {"dashboard: progress to page, 99th percentile", worst, everyRound(100), "ms", false, 2.0,
         "reference: 100 ms; gcutool's output and the page's messages may each wait that long"});
}

// CPU time of gcutool station updating 16 GCUs until all are done: with its
// dashboard and 10 pages open, against the same station without --listen.
double stationCpuSeconds(Workspace& workspace, const std::string& firmware, bool listen)
{
    static int batch = 0;
    const std::string prefix = "DASH" + std::to_string(batch++) + "-";
    const auto gcus = startGcus(workspace, prefix, 16, 2);
    std::vector<std::string> arguments = {"--json",      "station",         firmware,
                                          "--no-record", "--serial-prefix", prefix};
    if (listen)
        arguments.insert(arguments.end(), {"--listen", "127.0.0.1:0"});
    const std::string log = workspace.dir + "/" + prefix + "station.log";
    ToolProcess station("gcutool", arguments, log);
    std::vector<std::unique_ptr<BenchPage>> pages;
    int ended = 0;
    spinUntil(
        [&] {
            ended = 0;
            std::istringstream lines(station.log());
            for (std::string line; std::getline(lines, line);) {
                const QJsonObject event =
                    QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
                ended += event.value("event").toString() == "end" ? 1 : 0;
                if (pages.empty() && event.contains("port"))
                    for (int i = 0; i < 10; ++i)
                        pages.push_back(std::make_unique<BenchPage>(event.value("port").toInt()));
            }
            return ended == 16;
        },
        120000);
    std::ifstream stat("/proc/" + std::to_string(station.pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // utime and stime: the 14th and 15th fields, after the parenthesised name.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::stol(field);
    station.interrupt();
    station.waitForExit(30000);
    if (ended != 16)
        std::cerr << "orv-bench: only " << ended << " of 16 GCUs were updated\n";
    return double(ticks) / sysconf(_SC_CLK_TCK);
}

void dashboardCost(Workspace& workspace, BenchTable& table)
{
    const std::string firmware = workspace.firmware(256, 400);
    const auto cpu =
        alternate<double>([&] { return stationCpuSeconds(workspace, firmware, true); },
                          [&] { return stationCpuSeconds(workspace, firmware, false); });
    table.add({"station CPU time, 16 GCUs, dashboard with 10 pages", cpu.ours, cpu.reference, "s",
               false, 1.15, "reference: the same station without --listen"});
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    restartWithVirtualUsb(argv, ORV_VIRTUALUSB_PATH);
    if (argc == 5 && std::string(argv[1]) == "--upload-run") {
        setenv("ORV_VIRTUAL_USB_DIR", argv[4], 1);
        QCoreApplication application(argc, argv);
        return uploadRun(argv[2], argv[3]);
    }
    if (argc >= 3 && std::string(argv[1]) == "--probe") {
        // One upload of either client (256-byte commands unless given), for strace and perf.
        QCoreApplication application(argc, argv);
        Workspace workspace;
        const size_t chunk = argc > 3 ? std::stoul(argv[3]) : 256;
        const std::string firmware = workspace.firmware(chunk, 2000);
        const UploadRun run = std::string(argv[2]) == "reference" ? reference(workspace, firmware)
                                                                  : ours(workspace, firmware);
        std::cerr << "probe: " << 2000 / run.seconds << " commands/s\n";
        return 0;
    }
    // `--only SECTION` takes the sections whose name holds SECTION, as when
    // looking for the change that made one figure slower.
    const bool filtered = argc >= 3 && std::string(argv[1]) == "--only";
    const std::string only = filtered ? argv[2] : "";
    auto wanted = [&](const std::string& name) { return name.find(only) != std::string::npos; };
    const int jsonArgument = filtered ? 3 : 1;
    const std::string json = argc > jsonArgument ? argv[jsonArgument] : "bench-results.json";
    // The benchmark's settings stay out of the user's.
    char config[] = "/tmp/orv-bench-config-XXXXXX";
    setenv("XDG_CONFIG_HOME", mkdtemp(config), 1);
    QApplication application(argc, argv);
    Workspace workspace;
    BenchTable table;
    const auto started = Clock::now();
    auto section = [&](const char* name, const std::function<void()>& run) {
        if (!wanted(name))
            return;
        std::cerr << "orv-bench: " << name << "... ";
        const auto start = Clock::now();
        run();
        std::cerr << int(secondsSince(start)) << " s\n";
    };
    const std::string oneMiB = workspace.firmware(4096, 256);
    const auto uart = wanted("115200 baud") ? startUartUploads(workspace, oneMiB) : nullptr;
    section("plain uploads", [&] { plainThroughput(workspace, table); });
    section("USB full speed", [&] { usbFullSpeed(workspace, table, oneMiB); });
    section("secure upload", [&] { securePerCommand(workspace, table); });
    section("relay, window", [&] { windowRelayRoundTrip(workspace, table); });
    section("relay, gcutool", [&] { headlessRelayRoundTrip(workspace, table); });
    section("log pane", [&] { logPane(table); });
    section("frame reader", [&] { frameCodec(table); });
    section("memory", [&] { memoryPeak(workspace, table); });
    section("scaling", [&] { scaling(workspace, table); });
    section("many GCUs at once", [&] { manyGcus(workspace, table); });
    section("fleet record", [&] { fleetRecord(workspace, table); });
    section("dashboard", [&] {
        dashboardLatency(table);
        dashboardCost(workspace, table);
    });
    section("115200 baud", [&] {
        pacedRow(table, "plain upload, 1 MiB, 115200 baud", oneMiB, uart->seconds(300000),
                 wireSeconds(parse(oneMiB), [] { return LinkPacer::uart(115200); }), 0.97);
    });
    table.print();
    table.writeJson(json);
    std::cout << "results written to " << json << " after " << int(secondsSince(started)) << " s"
              << std::endl;
    return 0;
}
