// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/fleet/Engine.hpp"
#include "tools/fleet/VpsServer.hpp"

namespace corvane::fleet {

struct ExitServerOptions {
    std::filesystem::path directory;
    std::vector<std::string> allowedDestinations = loopbackOnly;
    // Traffic leaves from this loopback address, so a target can tell the exit carried it.
    std::optional<std::string> sourceAddress;
};

// A metered exit as a real engine: a plain VLESS inbound on 127.0.0.1 that
// only entry servers dial (they wrap it in Reality for the client). The bytes
// it carries are read from its control API. Ready when the constructor returns.
class ExitServer {
public:
    explicit ExitServer(ExitServerOptions options);
    ~ExitServer();
    ExitServer(const ExitServer&) = delete;
    ExitServer& operator=(const ExitServer&) = delete;

    // What an entry server needs to reach this exit.
    ExitLink link(std::int64_t exitId) const { return {exitId, port_, uuid_}; }
    std::uint16_t port() const { return port_; }
    std::uint16_t controlPort() const { return controlPort_; }
    const std::string& controlSecret() const { return controlSecret_; }
    Engine& engine() { return *engine_; }

private:
    // Picks the ports, writes the configuration and starts the engine.
    void start();
    ExitServerOptions options_;
    std::string uuid_;
    std::uint16_t port_ = 0;
    std::uint16_t controlPort_ = 0;
    std::string controlSecret_;
    std::unique_ptr<Engine> engine_;
};

}  // namespace corvane::fleet
