// SPDX-License-Identifier: GPL-3.0-or-later
#include "TestSupport/ProxyTunnel.hpp"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "CorvaneCore/Support/Base64.hpp"

namespace corvane::testing {

ProxyTunnel::ProxyTunnel(std::uint16_t proxyPort, const std::string& user, const std::string& password,
                         const std::string& host, std::uint16_t port)
    : authority_(host + ":" + std::to_string(port)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    timeval timeout{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(proxyPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int error = errno;
        ::close(fd_);
        throw std::runtime_error(std::string("cannot reach the proxy: ") + std::strerror(error));
    }
    sendAll("CONNECT " + authority_ + " HTTP/1.1\r\nHost: " + authority_ +
            "\r\nProxy-Authorization: Basic " + base64Encode(user + ":" + password) + "\r\n\r\n");
    std::string answer = readHeaders();
    if (answer.compare(0, 12, "HTTP/1.1 200") != 0 && answer.compare(0, 12, "HTTP/1.0 200") != 0) {
        ::close(fd_);
        throw std::runtime_error("the proxy refused the tunnel: " + answer.substr(0, answer.find('\r')));
    }
}

ProxyTunnel::~ProxyTunnel() {
    if (fd_ >= 0) ::close(fd_);
}

void ProxyTunnel::sendAll(const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error(std::string("send: ") + std::strerror(errno));
        sent += static_cast<std::size_t>(n);
    }
}

std::string ProxyTunnel::readHeaders() {
    for (;;) {
        auto end = buffered_.find("\r\n\r\n");
        if (end != std::string::npos) {
            std::string headers = buffered_.substr(0, end + 4);
            buffered_.erase(0, end + 4);
            return headers;
        }
        char chunk[4096];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("the tunnel closed before the headers ended");
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string ProxyTunnel::readExactly(std::size_t count) {
    while (buffered_.size() < count) {
        char chunk[16384];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("the tunnel closed inside a body");
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
    std::string data = buffered_.substr(0, count);
    buffered_.erase(0, count);
    return data;
}

std::string ProxyTunnel::get(const std::string& path) {
    sendAll("GET " + path + " HTTP/1.1\r\nHost: " + authority_ + "\r\n\r\n");
    std::string headers = readHeaders();
    std::string lower = headers;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) throw std::runtime_error("a response without Content-Length: " + headers);
    std::size_t length = std::stoul(headers.substr(at + 17));
    return readExactly(length);
}

bool ProxyTunnel::waitForClose(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char chunk[4096];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
}

}  // namespace corvane::testing
