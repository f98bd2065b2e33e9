// A program of another tool of the family: it links the installed library and
// sends one ping through CommandsSender to a pseudo-terminal that it publishes on
// the virtual USB bus itself.
#include <commandssender.h>
#include <comport.h>
#include <gcu.pb.h>

#include <QCoreApplication>
#include <QSerialPortInfo>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const char* bus = std::getenv("ORV_VIRTUAL_USB_DIR");
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (!bus || master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return 2;
    const std::string slave = ptsname(master);
    const int held = open(slave.c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    tcgetattr(held, &raw);
    cfmakeraw(&raw);
    tcsetattr(held, TCSANOW, &raw);
    const std::string device = std::string(bus) + "/ttyCONSUMER.dev";
    if (FILE* file = std::fopen(device.c_str(), "w")) {
        std::fprintf(file,
                     "sysname=ttyCONSUMER\ndevnode=%s\nvendor=04d8\nproduct=eef0\n"
                     "serial=CONSUMER\n",
                     slave.c_str());
        std::fclose(file);
    }

    QSerialPortInfo port;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        if (info.serialNumber() == "CONSUMER")
            port = info;
    ComPort comPort;
    CommandsSender sender(comPort);
    if (port.isNull() || !comPort.open(port))
        return 3;
    sender.sendPing(42);

    std::string frame;
    for (int tries = 0; tries < 100 && frame.size() < 4; ++tries) {
        pollfd ready{master, POLLIN, 0};
        if (poll(&ready, 1, 20) > 0) {
            char buffer[256];
            const ssize_t count = read(master, buffer, sizeof buffer);
            if (count > 0)
                frame.append(buffer, static_cast<size_t>(count));
        }
    }
    std::remove(device.c_str());
    Command command;
    if (frame.size() < 4 || !command.ParseFromString(frame.substr(4)) ||
        command.ping().sequenceno() != 42) {
        std::fprintf(stderr, "consumer: no ping frame arrived\n");
        return 1;
    }
    std::printf("consumer: ping frame of %zu bytes arrived\n", frame.size());
    return 0;
}
