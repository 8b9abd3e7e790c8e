// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The records that the app and the tunnel service exchange over the service's
// socket, and the values both sides must agree on. The wire format is
// described beside the service (CorvaneTunnel/ServiceProtocol.md).

#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane {

// The connection status values, numbered as the platform numbers them.
enum class NEVPNStatus : int { invalid = 0, disconnected = 1, connecting = 2, connected = 3, reasserting = 4, disconnecting = 5 };

// Errors of the VPN connection itself (as opposed to the engine's own failures).
inline constexpr std::string_view NEVPNConnectionErrorDomain = "NEVPNConnectionErrorDomain";
// Failures of the engine that the tunnel service hosts.
inline constexpr std::string_view EngineErrorDomain = "com.corvane.tunnel.engine";
namespace EngineErrorCode {
inline constexpr std::int64_t startFailed = 1;  // the engine did not come up; the text says why
inline constexpr std::int64_t exited = 2;       // the engine ended without being asked to
}  // namespace EngineErrorCode

// Requests the tunnel service refuses.
inline constexpr std::string_view ServiceErrorDomain = "com.corvane.tunnel.service";
namespace ServiceErrorCode {
inline constexpr std::int64_t malformedMessage = 1;
inline constexpr std::int64_t handlerFailed = 2;
inline constexpr std::int64_t messageTooLong = 3;
inline constexpr std::int64_t replyTooLong = 4;  // the answer would be longer than a message may be
inline constexpr std::int64_t missingArgument = 10;
inline constexpr std::int64_t noSuchProfile = 11;
inline constexpr std::int64_t unknownOperation = 12;
inline constexpr std::int64_t profileDisabled = 13;
inline constexpr std::int64_t notPermitted = 14;  // the peer may not use this service
inline constexpr std::int64_t tooManyConnections = 15;  // this user has as many open as the service allows
inline constexpr std::int64_t peerCheckFailed = 16;     // the peer's groups could not be looked up (out of descriptors, say)
inline constexpr std::int64_t limitExceeded = 17;       // more profiles, or longer ones, than the service keeps
inline constexpr std::int64_t noKillSwitch = 18;        // the request needs a kill switch this service does not have
inline constexpr std::int64_t blockFailed = 19;         // the firewall table could not be changed
inline constexpr std::int64_t otherProfileRuns = 20;    // a stop for a profile while another profile's tunnel is up
}  // namespace ServiceErrorCode

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

// One request to the tunnel service: one JSON object on one line.
struct ServiceRequest {
    static constexpr std::string_view recordName = "ServiceRequest";
    std::int64_t id = 0;  // echoed in the reply
    std::string op;       // see ServiceOp
    std::optional<std::string> identifier;                         // the profile an operation is about
    std::optional<TunnelProfile> profile;                          // saveProfile
    std::optional<std::map<std::string, std::string>> options;     // startTunnel; stopTunnel (StopOption)
    std::optional<std::string> message;                            // providerMessage

    bool operator==(const ServiceRequest&) const = default;
    static ServiceRequest decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// The reply to one request, or (with `event` set and no id) a pushed event.
struct ServiceReply {
    static constexpr std::string_view recordName = "ServiceReply";
    std::optional<std::int64_t> id;
    bool ok = true;
    std::optional<PlatformError> error;                  // when not ok
    std::optional<std::string> event;                    // "status" for a pushed status change
    std::optional<std::string> identifier;
    std::optional<std::vector<TunnelProfile>> profiles;  // listProfiles
    std::optional<TunnelProfile> profile;                // saveProfile, loadProfile
    std::optional<int> status;                           // status, and status events
    std::optional<PlatformError> lastDisconnectError;    // lastDisconnectError
    std::optional<std::string> reply;                    // providerMessage
    std::optional<std::string> version;                  // hello
    // hello, listProfiles, status and status events: "system" or "user".
    std::optional<std::string> mode;
    // The same replies, from a service with a kill switch: whether traffic
    // outside the tunnel is blocked right now. Absent: the service cannot block.
    std::optional<bool> blocking;
    // hello and status while the block is loaded: the packets it refused so far.
    std::optional<std::uint64_t> rejectedPackets;
    // The same replies as `blocking`: whether the service blocks whenever no
    // tunnel is up ("always require the tunnel"), and whether it lets the LAN through then.
    std::optional<bool> lockdown;
    std::optional<bool> lockdownAllowsLAN;

    bool operator==(const ServiceReply&) const = default;
    static ServiceReply decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// "Always require the tunnel": the system service blocks traffic outside the
// tunnel whenever none is up, for every user, until it is turned off.
struct LockdownState {
    bool enabled = false;
    bool allowLAN = false;  // private networks, link-local and multicast stay reachable meanwhile
    bool operator==(const LockdownState&) const = default;
};

// What the tunnel service can do about traffic outside the tunnel, as it last said.
enum class KillSwitchState {
    unknown,      // the service has not said (not reached yet)
    unavailable,  // user mode: no privileges to block anything
    off,          // a system service that runs without a kill switch
    armed,        // blocks from the next connect until an explicit disconnect
    blocking,     // blocks traffic outside the tunnel right now
};

constexpr std::string_view rawValue(KillSwitchState state) {
    switch (state) {
    case KillSwitchState::unavailable: return "unavailable";
    case KillSwitchState::off: return "off";
    case KillSwitchState::armed: return "armed";
    case KillSwitchState::blocking: return "blocking";
    case KillSwitchState::unknown: break;
    }
    return "unknown";
}

namespace ServiceOp {
inline constexpr std::string_view hello = "hello";
inline constexpr std::string_view listProfiles = "listProfiles";
inline constexpr std::string_view saveProfile = "saveProfile";
inline constexpr std::string_view loadProfile = "loadProfile";
inline constexpr std::string_view removeProfile = "removeProfile";
inline constexpr std::string_view startTunnel = "startTunnel";
inline constexpr std::string_view stopTunnel = "stopTunnel";
inline constexpr std::string_view status = "status";
inline constexpr std::string_view subscribe = "subscribe";
inline constexpr std::string_view lastDisconnectError = "lastDisconnectError";
inline constexpr std::string_view providerMessage = "providerMessage";
// Options "enabled" and "allowLAN", each "true" or "false"; needs a kill switch.
inline constexpr std::string_view setLockdown = "setLockdown";
}  // namespace ServiceOp

// Options of a stop request.
namespace StopOption {
// "true": the stop is the first half of a reconnect, so traffic outside the
// tunnel stays blocked until the next start.
inline constexpr std::string_view keepBlocking = "keepBlocking";
}  // namespace StopOption

namespace TunnelServiceEndpoint {
// A configuration for a large fleet is well below this; anything longer is refused.
inline constexpr std::size_t maxMessageBytes = 16 * 1024 * 1024;
// The saved profiles: at most this many, each text at most this long.
inline constexpr std::size_t maxProfiles = 32;
inline constexpr std::size_t maxProfileFieldBytes = 1024;
// The system service's socket.
inline constexpr std::string_view systemSocketPath = "/run/corvane/tunnel.sock";
// The group whose members may use the system service.
inline constexpr std::string_view accessGroup = "corvane";
// $XDG_RUNTIME_DIR/corvane/tunnel.sock: the user service's socket.
std::filesystem::path userSocketPath();
}  // namespace TunnelServiceEndpoint

}  // namespace corvane
