#include "gcusimprocess.h"

#include "rsakey.h"
#include "testbus.h"

#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <unistd.h>

std::string temporaryPath(const std::string& stem)
{
    static int counter = 0;
    return TestBus::directory() + "-" + stem + "-" + std::to_string(counter++);
}

std::string readWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

static void writeWholeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string randomImage(size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string image(size, '\0');
    for (char& byte : image)
        byte = static_cast<char>(random());
    return image;
}

std::string packFirmware(const std::string& image, const std::vector<std::string>& options)
{
    const std::string imagePath = temporaryPath("image.bin");
    writeWholeFile(imagePath, image);
    const std::string firmware = temporaryPath("firmware.enc");
    std::vector<std::string> arguments = {"--image", imagePath, "--out", firmware};
    if (std::find(options.begin(), options.end(), "--plain") == options.end())
        arguments.insert(arguments.end(), {"--device-key", TestKeys::get().deviceOrvkc});
    arguments.insert(arguments.end(), options.begin(), options.end());
    if (runTool("gcu-fwpack", arguments) != 0)
        throw std::runtime_error("gcu-fwpack failed");
    std::remove(imagePath.c_str());
    return firmware;
}

int runTool(const std::string& tool, const std::vector<std::string>& arguments)
{
    return ToolProcess::run(tool, arguments);
}

std::unique_ptr<ToolProcess> startTool(const std::string& tool,
                                       const std::vector<std::string>& arguments)
{
    return std::make_unique<ToolProcess>(tool, arguments, temporaryPath(tool + ".log"));
}

std::unique_ptr<ToolProcess> startUpdateServer(std::vector<std::string> arguments, quint16* port)
{
    // Port 0: a port found free beforehand could be taken by another test first.
    arguments.insert(arguments.end(), {"--port", "0"});
    auto server = startTool("update-server-sim", arguments);
    // Until it listens, a connection would be refused; the whole line names the port.
    const std::string listening = "listening on 127.0.0.1:";
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const std::string log = server->log();
        const size_t at = log.find(listening);
        if (at != std::string::npos && log.find('\n', at) != std::string::npos) {
            *port = static_cast<quint16>(std::stoi(log.substr(at + listening.size())));
            return server;
        }
        if (waited.elapsed() > 15000)
            throw std::runtime_error("update-server-sim did not listen: " + log);
        QThread::msleep(10);
    }
}

const TestKeys& TestKeys::get()
{
    static const TestKeys keys = [] {
        TestKeys made;
        made.devicePem = temporaryPath("device.pem");
        made.deviceOrvkc = temporaryPath("device.orvkc");
        made.signerPem = temporaryPath("signer.pem");
        made.keychain = temporaryPath("signer.keychain");
        std::string error;
        writeWholeFile(made.devicePem, RsaKey::generate(1024, &error)->privatePem());
        writeWholeFile(made.signerPem, RsaKey::generate(1024, &error)->privatePem());
        if (runTool("gcu-keytool", {"orvkc", made.devicePem, made.deviceOrvkc}) != 0 ||
            runTool("gcu-keytool", {"keychain", made.keychain, made.signerPem}) != 0)
            throw std::runtime_error("cannot make the test keys");
        return made;
    }();
    return keys;
}

static std::vector<std::string> simArguments(const std::string& serialNumber,
                                             std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(),
                     {"--serial", serialNumber, "--bus-dir", TestBus::directory(), "--device-key",
                      TestKeys::get().devicePem});
    return arguments;
}

GcuSimProcess::GcuSimProcess(const std::string& serialNumber, std::vector<std::string> arguments)
    : serial(serialNumber), process("gcu-sim", simArguments(serialNumber, std::move(arguments)),
                                    temporaryPath("gcu-sim.log"))
{
}

GcuSimProcess::~GcuSimProcess() = default;

QSerialPortInfo GcuSimProcess::waitForPort(uint16_t productId, int timeoutMs) const
{
    QElapsedTimer timer;
    timer.start();
    do {
        for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
            if (info.serialNumber() == QString::fromStdString(serial) &&
                info.productIdentifier() == productId)
                return info;
        QThread::msleep(20);
    } while (timer.elapsed() < timeoutMs);
    return QSerialPortInfo();
}

bool GcuSimProcess::waitUntilGone(int timeoutMs) const
{
    QElapsedTimer timer;
    timer.start();
    do {
        bool listed = false;
        for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
            listed = listed || info.serialNumber() == QString::fromStdString(serial);
        if (!listed)
            return true;
        QThread::msleep(20);
    } while (timer.elapsed() < timeoutMs);
    return false;
}

std::string GcuSimProcess::log() const
{
    return process.log();
}
