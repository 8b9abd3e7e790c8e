// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport/ServiceClient.hpp"

#include <cerrno>
#include <cstring>
#include <system_error>

#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::testing {

AppSide::AppSide(const std::filesystem::path& socket)
    : platform(std::make_shared<ServiceTunnelPlatform>(io.get_executor(), socket)), controller(io.get_executor(), platform) {}

bool AppSide::waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        io.restart();
        io.run_for(std::chrono::milliseconds(10));
    }
    return condition();
}

std::string rawExchange(const std::filesystem::path& socket, const std::string& bytes, bool readReply) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return "connect failed: " + std::string(strerror(errno));
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    std::string reply;
    if (readReply) {
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char c;
        while (::recv(fd, &c, 1, 0) == 1 && c != '\n') reply.push_back(c);
    }
    ::close(fd);
    return reply;
}

std::string rawExchangeAs(uid_t uid, gid_t gid, const std::filesystem::path& socket, const std::string& bytes) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(2);
        std::string reply = rawExchange(socket, bytes);
        (void)!::write(fds[1], reply.data(), reply.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return out;
}

FileDescriptor silentService(const std::filesystem::path& socket) {
    FileDescriptor service(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
    if (::bind(service.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(service.get(), 8) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot listen on " + socket.string());
    }
    return service;
}

}  // namespace corvane::testing
