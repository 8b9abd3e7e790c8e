#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

#include "CorvaneCore/Support/Task.hpp"
#include "CorvaneCore/Tunnel/TunnelServiceProtocol.hpp"

namespace corvane {

// The side of the tunnel that hosts the engine: what the packet-tunnel
// provider is to the system. One tunnel at a time.
class TunnelProvider {
public:
    virtual ~TunnelProvider() = default;
    // Brings the tunnel up with the start options; returns when it carries
    // traffic. Throws TunnelStartError with the reason when it cannot.
    virtual Async<void> start(std::map<std::string, std::string> options) = 0;
    // Takes the tunnel down; returns when it is down. Never fails.
    virtual Async<void> stop() = 0;
    // Answers one provider message; nothing when there is no answer.
    virtual Async<std::optional<std::string>> handleMessage(std::string message) = 0;
    // Called when the tunnel went down without being asked to, with the reason.
    std::function<void(PlatformError)> onUnexpectedStop;
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
