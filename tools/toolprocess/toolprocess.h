#pragma once

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

// A program of the build tree's bin/ folder running as a child process, with its
// standard output and error in a log file. Ended (SIGTERM) when destroyed.
class ToolProcess
{
public:
    ToolProcess(const std::string& tool, const std::vector<std::string>& arguments,
                std::string logPath);
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // The exit code once the process has ended within the time, or -1. The Qt
    // event loop runs meanwhile.
    int waitForExit(int timeoutMs);
    std::string log() const;
    pid_t pid() const { return child; }
    // Sends SIGINT, as Ctrl-C on a terminal would.
    void interrupt() { signal(SIGINT); }
    // Sends a signal while the process runs.
    void signal(int number);

    static std::string path(const std::string& tool);
    // Runs a tool to its end; its exit code.
    static int run(const std::string& tool, const std::vector<std::string>& arguments);

private:
    std::string logPath;
    pid_t child = -1;
    int exitCode = -1;
};
