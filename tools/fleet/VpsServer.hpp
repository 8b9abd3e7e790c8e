// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/fleet/Certificates.hpp"
#include "tools/fleet/Engine.hpp"

namespace corvane::fleet {

// Destinations a fleet server may dial; everything else is refused, so no
// fleet traffic ever leaves the machine (or the test's namespaces).
inline const std::vector<std::string> loopbackOnly = {"127.0.0.0/8", "::1/128"};

// A metered exit as an entry server reaches it: the exit server's plain VLESS
// inbound on 127.0.0.1.
struct ExitLink {
    std::int64_t exitId = 0;
    std::uint16_t port = 0;
    std::string uuid;
};

struct VpsServerOptions {
    // The inbounds listen here and the share URLs name it.
    std::string listenAddress = "127.0.0.1";
    // Configuration, engine log and cache of this server.
    std::filesystem::path directory;
    // The Hysteria2 inbound's certificate (pinned in its share URL).
    const Certificates* certificates = nullptr;
    // A TLS 1.3 server on 127.0.0.1 whose handshake the Reality inbound borrows.
    std::uint16_t handshakePort = 0;
    std::vector<std::string> allowedDestinations = loopbackOnly;
    // Traffic leaves from this loopback address, so a target can tell which server carried it.
    std::optional<std::string> sourceAddress;
    // Exits reached through this server, each with its own Reality user.
    std::vector<ExitLink> exits;
    // 0: any free port.
    std::uint16_t realityPort = 0;
    std::uint16_t hysteria2Port = 0;
};

// One entry server (a VPS) as a real engine: a VLESS-Reality inbound and a
// Hysteria2 inbound. Every exit behind it is a further Reality user whose
// traffic goes to the selector exitSelector(id): through the exit server
// ("exit-<id>"), out of this server itself ("direct", the original exit) or
// nowhere ("block"). Ready when the constructor returns.
class VpsServer {
public:
    explicit VpsServer(VpsServerOptions options);
    ~VpsServer();
    VpsServer(const VpsServer&) = delete;
    VpsServer& operator=(const VpsServer&) = delete;

    const std::string& listenAddress() const { return options_.listenAddress; }
    std::uint16_t realityPort() const { return realityPort_; }
    std::uint16_t hysteria2Port() const { return hysteria2Port_; }
    const std::string& uuid() const { return uuid_; }
    const std::string& realityPublicKey() const { return publicKey_; }
    const std::string& realityShortId() const { return shortId_; }
    const std::string& realityServerName() const { return realityServerName_; }
    const std::string& hysteria2Password() const { return hysteria2Password_; }
    const std::string& hysteria2ServerName() const { return hysteria2ServerName_; }

    // Share URLs in the panel's format.
    std::string realityUrl(const std::string& remark) const;
    // With `pinCertificate` the server certificate travels in "cert"; without, "insecure=1".
    std::string hysteria2Url(const std::string& remark, bool pinCertificate = true) const;
    // The share URL that reaches exit `exitId` through this server; throws for an exit it does not carry.
    std::string exitRealityUrl(std::int64_t exitId, const std::string& remark) const;

    static std::string exitSelector(std::int64_t exitId);
    static std::string exitOutbound(std::int64_t exitId);

    // The engine's control API on 127.0.0.1.
    std::uint16_t controlPort() const { return controlPort_; }
    const std::string& controlSecret() const { return controlSecret_; }

    Engine& engine() { return *engine_; }

private:
    // Picks the ports, writes the configuration and starts the engine.
    void start();
    VpsServerOptions options_;
    std::string uuid_;
    std::string publicKey_;
    std::string privateKey_;
    std::string shortId_;
    std::string realityServerName_ = "reality.test";
    std::string hysteria2ServerName_ = "localhost";
    std::string hysteria2Password_;
    std::vector<std::pair<std::int64_t, std::string>> exitUsers_;  // exit id, Reality uuid
    std::uint16_t realityPort_ = 0;
    std::uint16_t hysteria2Port_ = 0;
    std::uint16_t controlPort_ = 0;
    std::string controlSecret_;
    std::unique_ptr<Engine> engine_;
};

}  // namespace corvane::fleet
