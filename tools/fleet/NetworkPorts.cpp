// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/fleet/NetworkPorts.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane::fleet {

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Binds a socket of `type` to `port` (0: any); the port bound, or 0 when taken.
std::uint16_t bindPort(int type, std::uint16_t port) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in address = loopback(port);
    std::uint16_t bound = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) bound = ntohs(address.sin_port);
    }
    ::close(fd);
    return bound;
}

}  // namespace

std::uint16_t freeTcpPort() {
    std::uint16_t port = bindPort(SOCK_STREAM, 0);
    if (port == 0) throw std::runtime_error("no free TCP port on 127.0.0.1");
    return port;
}

std::uint16_t freeTcpAndUdpPort() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::uint16_t port = bindPort(SOCK_STREAM, 0);
        if (port != 0 && bindPort(SOCK_DGRAM, port) == port) return port;
    }
    throw std::runtime_error("no port on 127.0.0.1 free for both TCP and UDP");
}

bool waitForTcpPort(std::uint16_t port, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
        sockaddr_in address = loopback(port);
        bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (connected) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace corvane::fleet
