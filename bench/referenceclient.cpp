#include "referenceclient.h"

#include "gcu.pb.h"

#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

bool writeAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0)
            return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

bool readExactly(int fd, char* buffer, size_t length)
{
    while (length > 0) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 3000) <= 0)
            return false;
        const ssize_t count = ::read(fd, buffer, length);
        if (count <= 0)
            return false;
        buffer += count;
        length -= static_cast<size_t>(count);
    }
    return true;
}

std::string frame(const std::string& payload)
{
    const auto length = static_cast<uint32_t>(payload.size());
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>((length >> shift) & 0xff));
    return bytes + payload;
}

std::string command(const std::function<void(Command&)>& fill)
{
    Command c;
    c.set_headervalue(1);
    fill(c);
    return c.SerializeAsString();
}

} // namespace

int ReferenceClient::openRaw(const std::string& devicePath)
{
    const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    cfsetspeed(&settings, B115200);
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

std::string ReferenceClient::roundTrip(int fd, const std::string& payload)
{
    if (!writeAll(fd, frame(payload)))
        return {};
    unsigned char header[4];
    if (!readExactly(fd, reinterpret_cast<char*>(header), sizeof header))
        return {};
    const uint32_t length =
        header[0] | header[1] << 8 | header[2] << 16 | uint32_t(header[3]) << 24;
    std::string answer(length, '\0');
    if (!readExactly(fd, answer.data(), length))
        return {};
    return answer;
}

std::vector<std::string> ReferenceClient::steps(const FirmwareFile& file)
{
    std::vector<std::string> steps;
    steps.push_back(
        command([&](Command& c) { c.mutable_rsa_public_key()->set_data(file.rsa_public_key()); }));
    steps.push_back(command([&](Command& c) { c.mutable_aes_key()->set_data(file.aes_key()); }));
    for (int i = 1; i < file.commands_size(); ++i)
        steps.push_back(command(
            [&](Command& c) { c.mutable_command_data()->set_data(file.commands(i).data()); }));
    return steps;
}

double ReferenceClient::upload(const std::string& devicePath, const FirmwareFile& file)
{
    const int fd = openRaw(devicePath);
    if (fd < 0)
        return -1;
    const std::vector<std::string> all = steps(file);
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& step : all) {
        Response answer;
        if (!answer.ParseFromString(roundTrip(fd, step)) || answer.result() != 0) {
            ::close(fd);
            return -1;
        }
    }
    writeAll(fd, frame(command([](Command& c) { c.mutable_reset(); })));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::close(fd);
    return seconds;
}
