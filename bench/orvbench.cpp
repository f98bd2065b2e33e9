// orv-bench: how fast and how lean uploads are, each figure beside a reference
// measured in the same run. Run by `make bench`; prints a table and writes JSON.
#include "aescbcencryptor.h"
#include "benchtable.h"
#include "bootloadersession.h"
#include "commandssender.h"
#include "comport.h"
#include "dhUploadProcedure.h"
#include "firmwareuploadprocedure.h"
#include "framecodec.h"
#include "gcu.pb.h"
#include "preload.h"
#include "pseudoterminal.h"
#include "referenceclient.h"
#include "rsakey.h"
#include "server.pb.h"
#include "toolprocess.h"
#include "uploaderapp.h"
#include "virtualusbdevice.h"

#include <QApplication>
#include <QBuffer>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
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

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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
    Simulator(Workspace& workspace, bool bootloader = true)
        : serial("BENCH" + std::to_string(next++)),
          timestamps(workspace.dir + "/" + serial + ".ts"),
          process(std::make_unique<ToolProcess>("gcu-sim", arguments(workspace, bootloader),
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
    std::vector<std::string> arguments(Workspace& workspace, bool bootloader) const
    {
        std::vector<std::string> list = {"--serial",    serial,          "--bus-dir",
                                         workspace.bus, "--device-key",  workspace.devicePem,
                                         "--flash-out", "/dev/null",     "--timestamps",
                                         timestamps,    "--reset-delay", "100"};
        if (bootloader)
            list.push_back("--bootloader");
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

// The median of three runs, with the overheads of all of them.
UploadRun medianOfThree(const std::function<UploadRun()>& run)
{
    std::vector<double> seconds;
    std::vector<double> overheads;
    for (int i = 0; i < 3; ++i) {
        UploadRun one = run();
        seconds.push_back(one.seconds);
        overheads.insert(overheads.end(), one.overheadsUs.begin(), one.overheadsUs.end());
    }
    return {median(seconds), overheads};
}

void plainThroughput(Workspace& workspace, BenchTable& table)
{
    constexpr size_t commands = 1000;
    for (size_t chunk : {size_t(256), size_t(4096)}) {
        const std::string firmware = workspace.firmware(chunk, commands);
        const size_t bytes = readFile(firmware).size();
        const UploadRun mine = medianOfThree([&] { return ours(workspace, firmware); });
        const UploadRun theirs = medianOfThree([&] { return reference(workspace, firmware); });
        const std::string size = chunk == 256 ? "256 B" : "4 KiB";
        table.add({"plain upload, " + size + " commands", commands / mine.seconds,
                   commands / theirs.seconds, "cmd/s", true, 0.9, ""});
        table.add({"plain upload, " + size + " commands, bytes", bytes / 1024.0 / mine.seconds,
                   bytes / 1024.0 / theirs.seconds, "KiB/s", true, 0.9, ""});
        if (chunk == 256) {
            table.add({"host overhead per command, median", median(mine.overheadsUs),
                       median(theirs.overheadsUs), "us", false, 1.5,
                       "answer leaving the simulator to the next command arriving"});
            table.add({"host overhead per command, 99th percentile", percentile99(mine.overheadsUs),
                       percentile99(theirs.overheadsUs), "us", false, 0, ""});
        }
    }
}

// The secure upload's cost per command, against bare AES-256-CBC and signing.
void securePerCommand(Workspace& workspace, BenchTable& table)
{
    constexpr int commands = 200;
    const std::string firmware = workspace.firmware(4096, commands + 1, true);
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
    const auto start = Clock::now();
    for (int i = 0; i < commands - 1; ++i) {
        procedure.commandRsult(FirmwareCommandAccepted);
        QCoreApplication::processEvents();
    }
    const double oursPerCommand = secondsSince(start) / (commands - 1) * 1e6;

    // The same payloads, bare.
    const FirmwareFile file = parse(firmware);
    auto signer = RsaKey::fromPrivateFile(workspace.signerPem, &error);
    unsigned char key[32] = {1};
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    mbedtls_aes_setkey_enc(&aes, key, 256);
    const auto bareStart = Clock::now();
    for (int i = 1; i < commands; ++i) {
        const std::string& payload = file.commands(i).data();
        std::string input = payload;
        input.resize((payload.size() + 15) / 16 * 16, '\0');
        std::string output(input.size(), '\0');
        unsigned char iv[16] = {};
        mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, input.size(), iv,
                              reinterpret_cast<const unsigned char*>(input.data()),
                              reinterpret_cast<unsigned char*>(output.data()));
        const std::string signature = signer->sign(output);
        (void)signature;
    }
    const double barePerCommand = secondsSince(bareStart) / (commands - 1) * 1e6;
    mbedtls_aes_free(&aes);
    draining = false;
    drain.join();
    table.add({"secure upload, cost per 4 KiB command", oursPerCommand, barePerCommand, "us", false,
               1.1, "reference: AES-256-CBC of the payload and an RSA-2048 signature"});
}

// A packet's round trip server -> program -> GCU -> program -> server.
void relayRoundTrip(Workspace& workspace, BenchTable& table)
{
    constexpr int packets = 300;
    Command probe;
    probe.set_headervalue(1);
    probe.mutable_virtual_input_set()->set_id(1);
    const std::string packet = probe.SerializeAsString();

    std::vector<double> through;
    {
        Simulator simulator(workspace, false);
        QTcpServer server;
        server.listen(QHostAddress::LocalHost);
        QSettings settings("Orvane", "Uploader");
        settings.setValue("ui/offlineLoader", false);
        settings.setValue("network/host", "127.0.0.1");
        settings.setValue("network/port", server.serverPort());
        UploaderApp window;
        QElapsedTimer waited;
        waited.start();
        auto* combo = window.findChild<QComboBox*>("gcuSerialNumber");
        while (combo->count() == 0 && waited.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QMetaObject::invokeMethod(&window, "on_pushButton_2_clicked");
        while (!server.hasPendingConnections() && waited.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTcpSocket* client = server.nextPendingConnection();
        if (!client) {
            std::cerr << "orv-bench: the window did not connect to the server\n";
            return;
        }
        FrameCodec reader;
        QEventLoop answered;
        QObject::connect(client, &QTcpSocket::readyRead, [&] {
            reader.readFrames(*client, [&](std::string payload) {
                SoftwareServerResponse response;
                Response gcuAnswer;
                if (response.ParseFromString(payload) && response.has_receive_packet_from_gcu() &&
                    gcuAnswer.ParseFromString(response.receive_packet_from_gcu().packet()) &&
                    gcuAnswer.resp_case() == Response::kResult)
                    answered.quit();
                return true;
            });
        });
        SoftwareServerRequest request;
        request.mutable_send_packet_to_gcu()->set_packet(packet);
        const QByteArray frame = FrameCodec::encode(request.SerializeAsString());
        for (int i = 0; i < packets; ++i) {
            const auto start = Clock::now();
            client->write(frame);
            client->flush();
            answered.exec();
            through.push_back(secondsSince(start) * 1e6);
        }
        settings.clear();
    }
    std::vector<double> direct;
    {
        Simulator simulator(workspace, false);
        const int fd = ReferenceClient::openRaw(simulator.devicePath());
        for (int i = 0; i < packets; ++i) {
            const auto start = Clock::now();
            ReferenceClient::roundTrip(fd, packet);
            direct.push_back(secondsSince(start) * 1e6);
        }
        ::close(fd);
    }
    table.add({"relay round trip, median", median(through), median(direct), "us", false, 1.2,
               "reference: the same packet written straight to the simulator"});

    // What the relay cannot do without: one round trip over loopback TCP between
    // two Qt sockets of this process, with no work at either end.
    QTcpServer echo;
    echo.listen(QHostAddress::LocalHost);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, echo.serverPort());
    client.waitForConnected(3000);
    echo.waitForNewConnection(3000);
    QTcpSocket* peer = echo.nextPendingConnection();
    QObject::connect(peer, &QTcpSocket::readyRead, [peer] { peer->write(peer->readAll()); });
    QEventLoop back;
    QObject::connect(&client, &QTcpSocket::readyRead, [&] {
        client.readAll();
        back.quit();
    });
    std::vector<double> tcp;
    const QByteArray echoed = FrameCodec::encode(packet);
    for (int i = 0; i < packets; ++i) {
        const auto start = Clock::now();
        client.write(echoed);
        client.flush();
        back.exec();
        tcp.push_back(secondsSince(start) * 1e6);
    }
    table.add({"loopback TCP round trip, median", median(tcp), median(direct), "us", false, 0,
               "what a relay adds at least: the network hop alone, against the direct exchange"});
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
    double codec = 0, copy = 0;
    throughCodec(1 << 20, 128, &codec, &copy);
    table.add({"frame reader, 1 MiB frames", codec, copy, "MB/s", true, 0.5,
               "reference: memcpy of the same payloads"});
    throughCodec(16, 1000000, &codec, &copy);
    table.add({"frame reader, 16-byte frames", codec / 1e6, copy / 1e6, "Mframe/s", true, 0, ""});
}

// Peak memory while uploading a 64 MiB firmware file, measured in a process of its own.
void memoryPeak(Workspace& workspace, BenchTable& table, const char* self)
{
    const std::string firmware = workspace.firmware(4096, 16384);
    const double fileMb = readFile(firmware).size() / 1e6;
    Simulator simulator(workspace);
    const std::string out = workspace.dir + "/memory.txt";
    const std::string command = std::string(self) + " --memory-run " + firmware + " " +
                                simulator.port().serialNumber().toStdString() + " > " + out;
    // A failed run leaves no report, which the figure below says.
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "orv-bench: the memory run failed\n");
    const std::string report = readFile(out);
    const size_t at = report.rfind("peak-resident-mb ");
    const double peakMb = at == std::string::npos ? -1 : std::atof(report.c_str() + at + 17);
    const double budgetMb = 2.5 * fileMb + 40;
    table.add({"peak memory, 64 MiB firmware file", peakMb, budgetMb, "MB", false, 1.0,
               "reference: 2.5 x the file size (" + std::to_string(int(fileMb)) + " MB) + 40 MB"});
}

int memoryRun(const std::string& firmware, const std::string& serial)
{
    if (uploadThroughLibrary(portWithSerial(QString::fromStdString(serial)), firmware) < 0)
        return 1;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << "peak-resident-mb " << usage.ru_maxrss / 1000.0 << std::endl;
    return 0;
}

// A gcutool run to its end: wall time and the peak resident memory of gcutool
// alone (not of the simulators).
struct ToolRun
{
    double seconds = 0;
    double peakMb = 0;
    int exitCode = -1;
};

ToolRun runGcutool(const std::vector<std::string>& arguments)
{
    const std::string tool = ToolProcess::path("gcutool");
    std::vector<char*> argv = {const_cast<char*>(tool.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const auto start = Clock::now();
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
    while (waitpid(child, &status, WNOHANG) == 0) {
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
    return {secondsSince(start), peakKiB / 1024.0, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// GCUs in bootloader mode that answer 2 ms late, as a USB GCU busy writing its
// flash does.
std::vector<std::unique_ptr<ToolProcess>> startSlowGcus(Workspace& workspace,
                                                        const std::string& prefix, int count)
{
    std::vector<std::unique_ptr<ToolProcess>> gcus;
    for (int i = 0; i < count; ++i) {
        const std::string serial = prefix + std::to_string(i);
        gcus.push_back(std::make_unique<ToolProcess>(
            "gcu-sim",
            std::vector<std::string>{"--serial", serial, "--bus-dir", workspace.bus, "--device-key",
                                     workspace.devicePem, "--flash-out", "/dev/null",
                                     "--bootloader", "--stay-in-bootloader", "--reset-delay", "100",
                                     "--delay", "2"},
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

// gcutool flashing `firmware` to `count` fresh slow GCUs at once (all of them).
ToolRun flashAtOnce(Workspace& workspace, const std::string& firmware, const std::string& prefix,
                    int count)
{
    const auto gcus = startSlowGcus(workspace, prefix, count);
    return runGcutool({"flash", firmware, "--all", "--quiet"});
}

void manyGcus(Workspace& workspace, BenchTable& table)
{
    const std::string firmware = workspace.firmware(256, 400);
    const double single = flashAtOnce(workspace, firmware, "ONE", 1).seconds;
    const double eight = flashAtOnce(workspace, firmware, "EIGHT", 8).seconds;
    table.add({"8 GCUs at once, 2 ms answers, wall time", eight, single, "s", false, 1.3,
               "reference: the same file flashed to one GCU"});

    // A larger file: were it held once per GCU, sixteen copies would show.
    const std::string large = workspace.firmware(4096, 1024);
    const double fileMb = readFile(large).size() / 1e6;
    const double peakOne = flashAtOnce(workspace, large, "SOLO", 1).peakMb;
    const double peakSixteen = flashAtOnce(workspace, large, "SIXTEEN", 16).peakMb;
    constexpr double perSessionBudgetMb = 2.0;
    table.add({"peak memory, 16 GCUs at once", peakSixteen, peakOne + 16 * perSessionBudgetMb, "MB",
               false, 1.0,
               "reference: one GCU's run plus 2 MB per session; the file is " +
                   std::to_string(fileMb).substr(0, 4) + " MB"});
    table.add({"memory per further session", (peakSixteen - peakOne) / 15, perSessionBudgetMb, "MB",
               false, 1.0, "reference: the per-session budget"});
}

void scaling(Workspace& workspace, BenchTable& table)
{
    std::vector<double> perCommand;
    for (size_t commands : {size_t(1000), size_t(10000), size_t(100000)}) {
        const std::string firmware = workspace.firmware(16, commands);
        // Short runs are the noisiest: the median of three where they are short.
        std::vector<double> runs;
        for (int i = 0; i < (commands < 100000 ? 3 : 1); ++i) {
            Simulator simulator(workspace);
            runs.push_back(uploadThroughLibrary(simulator.port(), firmware) / commands * 1e6);
        }
        perCommand.push_back(median(runs));
    }
    table.add({"time per command, 10,000 commands", perCommand[1], perCommand[0], "us", false, 1.2,
               "reference: the same with 1,000 commands"});
    table.add({"time per command, 100,000 commands", perCommand[2], perCommand[0], "us", false, 1.2,
               "reference: the same with 1,000 commands"});
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    restartWithVirtualUsb(argv, ORV_VIRTUALUSB_PATH);
    if (argc == 4 && std::string(argv[1]) == "--memory-run") {
        QCoreApplication application(argc, argv);
        return memoryRun(argv[2], argv[3]);
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
    const std::string json = argc > 1 ? argv[1] : "bench-results.json";
    // The benchmark's settings stay out of the user's.
    char config[] = "/tmp/orv-bench-config-XXXXXX";
    setenv("XDG_CONFIG_HOME", mkdtemp(config), 1);
    QApplication application(argc, argv);
    Workspace workspace;
    BenchTable table;
    std::cerr << "orv-bench: plain uploads...\n";
    plainThroughput(workspace, table);
    std::cerr << "orv-bench: secure upload...\n";
    securePerCommand(workspace, table);
    std::cerr << "orv-bench: relay...\n";
    relayRoundTrip(workspace, table);
    std::cerr << "orv-bench: frame reader...\n";
    frameCodec(table);
    std::cerr << "orv-bench: memory...\n";
    memoryPeak(workspace, table, argv[0]);
    std::cerr << "orv-bench: scaling...\n";
    scaling(workspace, table);
    std::cerr << "orv-bench: many GCUs at once...\n";
    manyGcus(workspace, table);
    table.print();
    table.writeJson(json);
    std::cout << "results written to " << json << std::endl;
    return 0;
}
