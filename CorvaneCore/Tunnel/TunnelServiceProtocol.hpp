#pragma once

// The records that the app and the tunnel service exchange over the service's
// socket, and the values both sides must agree on. The wire format is
// described beside the service (CorvaneTunnel/ServiceProtocol.md).

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane {

// The connection status values, numbered as the platform numbers them.
enum class NEVPNStatus : int { invalid = 0, disconnected = 1, connecting = 2, connected = 3, reasserting = 4, disconnecting = 5 };

// Errors of the VPN connection itself (as opposed to the engine's own failures).
inline constexpr std::string_view NEVPNConnectionErrorDomain = "NEVPNConnectionErrorDomain";
// Failures of the engine that the tunnel service hosts.
inline constexpr std::string_view EngineErrorDomain = "com.corvane.tunnel.engine";

// An error as the platform reports it: a domain, a code and a text for people.
struct PlatformError {
    static constexpr std::string_view recordName = "PlatformError";
    std::string domain;
    std::int64_t code = 0;
    std::string localizedDescription;

    bool operator==(const PlatformError&) const = default;
    static PlatformError decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

class TunnelPlatformError : public std::exception {
public:
    explicit TunnelPlatformError(PlatformError error) : error_(std::move(error)) {}
    const PlatformError& error() const noexcept { return error_; }
    const std::string& description() const noexcept { return error_.localizedDescription; }
    const char* what() const noexcept override { return error_.localizedDescription.c_str(); }

private:
    PlatformError error_;
};

// A saved VPN profile of a tunnel provider.
struct TunnelProfile {
    static constexpr std::string_view recordName = "TunnelProfile";
    std::string identifier;  // assigned by the platform when first saved
    std::string providerBundleIdentifier;
    std::string serverAddress;
    std::string localizedDescription;
    bool enabled = false;

    bool operator==(const TunnelProfile&) const = default;
    static TunnelProfile decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

}  // namespace corvane
