#include "toolprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

namespace {

pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
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
            if (FILE* log = std::fopen(logPath.c_str(), "w")) {
                dup2(fileno(log), STDERR_FILENO);
                dup2(fileno(log), STDOUT_FILENO);
            }
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return child;
}

} // namespace

std::string ToolProcess::path(const std::string& tool)
{
    return std::string(ORV_TOOLS_DIR) + "/" + tool;
}

int ToolProcess::run(const std::string& tool, const std::vector<std::string>& arguments)
{
    const pid_t child = spawn(path(tool), arguments, "");
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ToolProcess::ToolProcess(const std::string& tool, const std::vector<std::string>& arguments,
                         std::string log)
    : logPath(std::move(log))
{
    child = spawn(path(tool), arguments, logPath);
}

void ToolProcess::signal(int number)
{
    if (child > 0 && exitCode < 0)
        kill(child, number);
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
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return exitCode;
}

std::string ToolProcess::log() const
{
    std::ifstream file(logPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}
