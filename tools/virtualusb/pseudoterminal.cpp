#include "pseudoterminal.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return;
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        close();
        return;
    }
    path = name;
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        close();
        return;
    }
    termios settings{};
    tcgetattr(slave, &settings);
    cfmakeraw(&settings);
    tcsetattr(slave, TCSANOW, &settings);
}

PseudoTerminal::~PseudoTerminal()
{
    close();
}

void PseudoTerminal::close()
{
    if (slave >= 0)
        ::close(slave);
    if (master >= 0)
        ::close(master);
    slave = master = -1;
}

bool PseudoTerminal::writeAll(const void* data, size_t length)
{
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t written = ::write(master, bytes, length);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return false;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

long PseudoTerminal::readSome(void* buffer, size_t length, int timeoutMs)
{
    if (master < 0)
        return -1;
    pollfd request{master, POLLIN, 0};
    const int ready = ::poll(&request, 1, timeoutMs);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    if (ready == 0)
        return 0;
    if (!(request.revents & POLLIN))
        return -1;
    const ssize_t count = ::read(master, buffer, length);
    if (count < 0)
        return errno == EINTR || errno == EAGAIN ? 0 : -1;
    return count;
}

bool PseudoTerminal::readExactly(void* buffer, size_t length, int timeoutMs)
{
    auto* bytes = static_cast<char*>(buffer);
    while (length > 0) {
        const long count = readSome(bytes, length, timeoutMs);
        if (count <= 0)
            return false;
        bytes += count;
        length -= static_cast<size_t>(count);
    }
    return true;
}
