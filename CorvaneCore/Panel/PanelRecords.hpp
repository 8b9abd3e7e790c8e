// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The JSON records exchanged with the panel's client API.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane {

// One entry server (a VPS) with its share URLs.
struct ServerListEntry {
    static constexpr std::string_view recordName = "ServerListEntry";
    std::int64_t vpsId = 0;
    std::string name;
    std::optional<std::string> region;
    std::string publicIp;
    std::string hysteria2Url;
    std::string realityUrl;
    std::int64_t configVersion = 0;

    std::int64_t id() const { return vpsId; }
    bool operator==(const ServerListEntry&) const = default;
    static ServerListEntry decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// The allowance state of a metered exit.
struct ExitTraffic {
    static constexpr std::string_view recordName = "ExitTraffic";
    std::string provider;
    std::string status;  // "low" and "exhausted" mean something; anything else is normal
    std::optional<double> remainingGb;
    double lowThresholdGb = 0;
    std::optional<std::string> checkedAt;
    bool stale = false;
    bool fallbackOnExhaustion = false;
    bool usingOriginal = false;

    // One line for the user, e.g. "3.46 GB remaining · running low".
    std::string summary() const;
    bool operator==(const ExitTraffic&) const = default;
    static ExitTraffic decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// A metered exit reached through one entry server.
struct ClientExit {
    static constexpr std::string_view recordName = "ClientExit";
    std::int64_t exitId = 0;
    std::int64_t vpsId = 0;
    std::string name;
    std::optional<std::string> region;
    bool metered = false;
    bool ready = false;
    std::optional<std::string> realityUrl;
    std::optional<ExitTraffic> traffic;

    std::int64_t id() const { return exitId; }
    bool operator==(const ClientExit&) const = default;
    static ClientExit decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// A private site reachable through a WireGuard gateway.
struct SiteAccess {
    static constexpr std::string_view recordName = "SiteAccess";
    std::int64_t siteId = 0;
    std::string name;
    std::string endpointHost;
    std::uint16_t endpointPort = 0;
    std::vector<std::string> localEndpoints;
    std::optional<std::string> gatewayOverlayIp;
    std::string serverPublicKey;
    std::vector<std::string> cidrs;
    std::vector<std::string> dnsServers;
    std::vector<std::string> dnsDomains;
    std::vector<std::string> onsiteCidrs;
    std::uint16_t mtu = 1280;
    std::string address;
    std::string privateKey;  // secret: never logged

    std::int64_t id() const { return siteId; }
    bool operator==(const SiteAccess&) const = default;
    static SiteAccess decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct ServerListResponse {
    static constexpr std::string_view recordName = "ServerListResponse";
    std::vector<ServerListEntry> servers;
    std::vector<SiteAccess> sites;
    std::vector<ClientExit> exits;

    bool operator==(const ServerListResponse&) const = default;
    static ServerListResponse decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct LoginRequest {
    static constexpr std::string_view recordName = "LoginRequest";
    std::string email;
    std::string password;
    std::optional<std::string> deviceName;

    bool operator==(const LoginRequest&) const = default;
    static LoginRequest decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct LoginResponse {
    static constexpr std::string_view recordName = "LoginResponse";
    std::string token;
    std::string expiresAt;

    bool operator==(const LoginResponse&) const = default;
    static LoginResponse decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// The body the panel sends with a refusal.
struct PanelErrorResponse {
    static constexpr std::string_view recordName = "PanelErrorResponse";
    std::string error;
    std::optional<std::string> message;

    bool operator==(const PanelErrorResponse&) const = default;
    static PanelErrorResponse decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// Request of the metered-exit selection call.
struct Selection {
    static constexpr std::string_view recordName = "Selection";
    std::int64_t exitId = 0;
    bool fallbackOnExhaustion = false;

    bool operator==(const Selection&) const = default;
    static Selection decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// Reply of the metered-exit selection call.
struct Reply {
    static constexpr std::string_view recordName = "Reply";
    bool ok = false;

    bool operator==(const Reply&) const = default;
    static Reply decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

}  // namespace corvane
