// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "CorvaneCore/Support/Task.hpp"
#include "CorvaneCore/Tunnel/TunnelServiceProtocol.hpp"

namespace corvane {

// The side of the tunnel that hosts the engine: what the packet-tunnel
// provider is to the system. One tunnel at a time.
//
// Every start and stop carries the tunnel's generation: the number the service
// gives each start or stop request as it arrives, increasing. A start or stop
// with a higher number supersedes everything before it; reports carry the
// generation they belong to, so that news of a superseded run is recognised.
class TunnelProvider {
public:
    virtual ~TunnelProvider() = default;
    // Brings the tunnel up with the start options; returns when it carries
    // traffic. Throws TunnelStartError with the reason when it cannot, or when
    // a later start or stop superseded it.
    virtual Async<void> start(std::map<std::string, std::string> options, std::uint64_t generation) = 0;
    // Takes the tunnel down, interrupting a start in progress; returns when it is down. Never fails.
    virtual Async<void> stop(std::uint64_t generation) = 0;
    // Answers one provider message; nothing when there is no answer.
    virtual Async<std::optional<std::string>> handleMessage(std::string message) = 0;
    // Called when the tunnel of `generation` went down without being asked to, with the reason.
    std::function<void(std::uint64_t generation, PlatformError)> onUnexpectedStop;
};

class TunnelStartError : public std::exception {
public:
    explicit TunnelStartError(PlatformError error) : error_(std::move(error)) {}
    const PlatformError& error() const noexcept { return error_; }
    const char* what() const noexcept override { return error_.localizedDescription.c_str(); }

private:
    PlatformError error_;
};

}  // namespace corvane
