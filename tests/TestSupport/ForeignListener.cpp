// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport/ForeignListener.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace corvane::testing {

int socketOwnedBy(uid_t uid, int family, int type) {
    int fd = -1, error = 0;
    // A thread of its own: the kernel keeps credentials per thread, and the
    // socket keeps the uid it was made with.
    std::thread([&] {
        if (::syscall(SYS_setresuid, -1, uid, -1) != 0) {
            error = errno;
            return;
        }
        fd = ::socket(family, type | SOCK_CLOEXEC, 0);
        error = errno;
        (void)::syscall(SYS_setresuid, -1, 0, -1);
    }).join();
    if (fd < 0) throw std::runtime_error(std::string("cannot make a socket as uid ") + std::to_string(uid) + ": " + std::strerror(error));
    return fd;
}

ForeignListener::ForeignListener(uid_t uid, std::uint16_t port) {
    fd_ = socketOwnedBy(uid, AF_INET, SOCK_STREAM);
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        const int error = errno;
        ::close(fd_);
        throw std::runtime_error(std::string("cannot listen: ") + std::strerror(error));
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

ForeignListener::~ForeignListener() {
    ::shutdown(fd_, SHUT_RDWR);  // wakes the accept
    thread_.join();
    ::close(fd_);
}

std::string ForeignListener::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void ForeignListener::serve() {
    for (;;) {
        const int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) return;
        ++connections_;
        char buffer[4096];
        for (;;) {
            pollfd p{connection, POLLIN, 0};
            if (::poll(&p, 1, 500) <= 0) break;
            const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            std::lock_guard lock(mutex_);
            received_.append(buffer, static_cast<std::size_t>(n));
            if (received_.find("\r\n\r\n") != std::string::npos) break;
        }
        static const char reply[] = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 14\r\nConnection: close\r\n\r\n{\"proxies\":{}}";
        (void)!::send(connection, reply, sizeof reply - 1, MSG_NOSIGNAL);
        ::close(connection);
    }
}

}  // namespace corvane::testing
