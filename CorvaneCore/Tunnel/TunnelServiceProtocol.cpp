// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Tunnel/TunnelServiceProtocol.hpp"

#include "CorvaneCore/Support/XDGPaths.hpp"

namespace corvane {

PlatformError PlatformError::decode(const RecordDecoder& d) {
    return {
        .domain = d.required<std::string>("domain"),
        .code = d.defaulted<std::int64_t>("code", 0),
        .localizedDescription = d.required<std::string>("localizedDescription"),
    };
}

void PlatformError::encode(RecordEncoder& e) const {
    e.set("domain", domain);
    e.set("code", code);
    e.set("localizedDescription", localizedDescription);
}

TunnelProfile TunnelProfile::decode(const RecordDecoder& d) {
    return {
        .identifier = d.defaulted<std::string>("identifier", ""),
        .providerBundleIdentifier = d.required<std::string>("providerBundleIdentifier"),
        .serverAddress = d.defaulted<std::string>("serverAddress", ""),
        .localizedDescription = d.defaulted<std::string>("localizedDescription", ""),
        .enabled = d.defaulted<bool>("enabled", false),
    };
}

void TunnelProfile::encode(RecordEncoder& e) const {
    e.set("identifier", identifier);
    e.set("providerBundleIdentifier", providerBundleIdentifier);
    e.set("serverAddress", serverAddress);
    e.set("localizedDescription", localizedDescription);
    e.set("enabled", enabled);
}

ServiceRequest ServiceRequest::decode(const RecordDecoder& d) {
    return {
        .id = d.required<std::int64_t>("id"),
        .op = d.required<std::string>("op"),
        .identifier = d.optional<std::string>("identifier"),
        .profile = d.optional<TunnelProfile>("profile"),
        .options = d.optional<std::map<std::string, std::string>>("options"),
        .message = d.optional<std::string>("message"),
    };
}

void ServiceRequest::encode(RecordEncoder& e) const {
    e.set("id", id);
    e.set("op", op);
    e.setOptional("identifier", identifier);
    e.setOptional("profile", profile);
    e.setOptional("options", options);
    e.setOptional("message", message);
}

ServiceReply ServiceReply::decode(const RecordDecoder& d) {
    return {
        .id = d.optional<std::int64_t>("id"),
        .ok = d.defaulted<bool>("ok", true),
        .error = d.optional<PlatformError>("error"),
        .event = d.optional<std::string>("event"),
        .identifier = d.optional<std::string>("identifier"),
        .profiles = d.optional<std::vector<TunnelProfile>>("profiles"),
        .profile = d.optional<TunnelProfile>("profile"),
        .status = d.optional<int>("status"),
        .lastDisconnectError = d.optional<PlatformError>("lastDisconnectError"),
        .reply = d.optional<std::string>("reply"),
        .version = d.optional<std::string>("version"),
        .mode = d.optional<std::string>("mode"),
        .blocking = d.optional<bool>("blocking"),
        .rejectedPackets = d.optional<std::uint64_t>("rejectedPackets"),
        .lockdown = d.optional<bool>("lockdown"),
        .lockdownAllowsLAN = d.optional<bool>("lockdownAllowsLAN"),
    };
}

void ServiceReply::encode(RecordEncoder& e) const {
    e.setOptional("id", id);
    e.set("ok", ok);
    e.setOptional("error", error);
    e.setOptional("event", event);
    e.setOptional("identifier", identifier);
    e.setOptional("profiles", profiles);
    e.setOptional("profile", profile);
    e.setOptional("status", status);
    e.setOptional("lastDisconnectError", lastDisconnectError);
    e.setOptional("reply", reply);
    e.setOptional("version", version);
    e.setOptional("mode", mode);
    e.setOptional("blocking", blocking);
    e.setOptional("rejectedPackets", rejectedPackets);
    e.setOptional("lockdown", lockdown);
    e.setOptional("lockdownAllowsLAN", lockdownAllowsLAN);
}

std::filesystem::path TunnelServiceEndpoint::userSocketPath() { return xdgRuntimeDir() / "corvane" / "tunnel.sock"; }

}  // namespace corvane
