// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace corvane::testing {

// A TCP tunnel opened with HTTP CONNECT through an authenticating proxy on
// 127.0.0.1 (the engine's "mixed" inbound), with blocking helpers to speak
// HTTP/1.1 over it. Every read gives up after ten seconds.
class ProxyTunnel {
public:
    // Throws with the proxy's answer when the tunnel is refused.
    ProxyTunnel(std::uint16_t proxyPort, const std::string& user, const std::string& password,
                const std::string& host, std::uint16_t port);
    ~ProxyTunnel();
    ProxyTunnel(const ProxyTunnel&) = delete;
    ProxyTunnel& operator=(const ProxyTunnel&) = delete;

    // GET `path` over the tunnel (keep-alive); the response body. Throws on any failure.
    std::string get(const std::string& path);
    // True when the far end closes the tunnel within `limit`.
    bool waitForClose(std::chrono::milliseconds limit);

private:
    void sendAll(const std::string& data);
    // Reads until the header block ends; returns it and keeps what followed.
    std::string readHeaders();
    std::string readExactly(std::size_t count);

    int fd_ = -1;
    std::string authority_;
    std::string buffered_;
};

}  // namespace corvane::testing
