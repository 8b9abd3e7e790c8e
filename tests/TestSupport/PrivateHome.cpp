// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport/PrivateHome.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace corvane::testing {

void PrivateHome::stopAgent(const std::filesystem::path& socket) {
    const std::string path = socket.string();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return;
    }
    const std::string request = R"({"id":1,"op":"stopAgent","args":{}})" "\n";
    (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    // It closes the connection as it ends.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0 && ::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
    }
    ::close(fd);
    // Gone once nothing listens there any more.
    while (std::chrono::steady_clock::now() < deadline) {
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool listening = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0) ::close(probe);
        if (!listening) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace corvane::testing
