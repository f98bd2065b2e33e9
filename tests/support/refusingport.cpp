#include "refusingport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

RefusingPort::RefusingPort() : descriptor(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (descriptor < 0 || ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string problem = std::strerror(errno);
        if (descriptor >= 0)
            ::close(descriptor);
        throw std::runtime_error("cannot bind a loopback port: " + problem);
    }
    port = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort()
{
    ::close(descriptor);
}
