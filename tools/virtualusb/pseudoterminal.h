#pragma once

#include <cstddef>
#include <string>

// The far side of a simulated serial port: a pseudo-terminal whose slave end a
// serial port client opens. The slave is held open (in raw mode) for as long as
// the terminal lives, so that clients can come and go without the master seeing
// a hang-up, and so that no byte is ever cooked by the line discipline.
class PseudoTerminal
{
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool isOpen() const { return master >= 0; }
    int masterFd() const { return master; }
    const std::string& slavePath() const { return path; }

    // Closes both ends: a client that has the slave open sees the device vanish.
    void close();

    bool writeAll(const void* data, size_t length);
    bool writeAll(const std::string& bytes) { return writeAll(bytes.data(), bytes.size()); }
    // Waits up to timeoutMs for data and reads what is there (at most `length`);
    // returns the count, 0 on time-out, -1 on error or hang-up.
    long readSome(void* buffer, size_t length, int timeoutMs);
    // Reads exactly `length` bytes unless timeoutMs passes between two arrivals.
    bool readExactly(void* buffer, size_t length, int timeoutMs);

private:
    int master = -1;
    int slave = -1;
    std::string path;
};
