#include "gcusimprocess.h"

#include "rsakey.h"
#include "testbus.h"

#include <QElapsedTimer>
#include <QThread>
#include <csignal>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

std::string toolPath(const std::string& tool)
{
    return std::string(ORV_TOOLS_DIR) + "/" + tool;
}

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

static pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
                   const std::string& logPath)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (!logPath.empty()) {
            FILE* log = std::fopen(logPath.c_str(), "w");
            if (log) {
                dup2(fileno(log), STDERR_FILENO);
                dup2(fileno(log), STDOUT_FILENO);
            }
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return child;
}

int runTool(const std::string& tool, const std::vector<std::string>& arguments)
{
    const pid_t child = spawn(toolPath(tool), arguments, "");
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

ToolProcess::ToolProcess(const std::string& tool, const std::vector<std::string>& arguments)
    : logPath(temporaryPath(tool + ".log"))
{
    child = spawn(toolPath(tool), arguments, logPath);
}

ToolProcess::~ToolProcess()
{
    if (child > 0) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    std::remove(logPath.c_str());
}

int ToolProcess::waitForExit(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (child > 0) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            child = -1;
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (timer.elapsed() > timeoutMs)
            return -1;
        spinFor(20);
    }
    return exitCode;
}

std::string ToolProcess::log() const
{
    return readWholeFile(logPath);
}

static std::vector<std::string> simArguments(const std::string& serialNumber,
                                             std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), {"--serial", serialNumber, "--bus-dir",
                                         TestBus::directory(), "--device-key",
                                         TestKeys::get().devicePem});
    return arguments;
}

GcuSimProcess::GcuSimProcess(const std::string& serialNumber, std::vector<std::string> arguments)
    : serial(serialNumber), process("gcu-sim", simArguments(serialNumber, std::move(arguments)))
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
