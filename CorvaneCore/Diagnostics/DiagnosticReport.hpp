// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The diagnostic report posted to the panel and kept in the on-disk queue, with
// its sections. Some sections and fields are never filled by this client but
// belong to the format all the same, so they round-trip.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CorvaneCore/Diagnostics/LogLine.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane {

struct SystemInfo {
    static constexpr std::string_view recordName = "SystemInfo";
    std::string os;
    std::string osVersion;
    std::optional<std::string> osEdition;
    std::string arch;
    std::optional<std::string> locale;
    std::optional<std::string> timezone;
    std::optional<std::uint64_t> uptimeSecs;
    std::optional<std::uint64_t> freeDiskBytes;
    std::optional<std::string> hostname;
    std::optional<std::string> singboxVersion;
    std::optional<std::string> wintunVersion;

    bool operator==(const SystemInfo&) const = default;
    static SystemInfo decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct NetIface {
    static constexpr std::string_view recordName = "NetIface";
    std::string name;
    std::optional<std::string> mac;
    std::vector<std::string> ipv4;
    std::vector<std::string> ipv6;
    std::optional<std::uint32_t> mtu;
    std::optional<std::string> status;
    std::optional<std::uint64_t> linkSpeedMbps;
    std::optional<std::string> ifaceType;
    std::optional<std::string> gateway;
    std::optional<std::string> wifiSsid;

    bool operator==(const NetIface&) const = default;
    static NetIface decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct NetRoute {
    static constexpr std::string_view recordName = "NetRoute";
    std::string dest;
    std::optional<std::string> gateway;
    std::string iface;
    std::optional<std::uint32_t> metric;

    bool operator==(const NetRoute&) const = default;
    static NetRoute decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct NetworkInfo {
    static constexpr std::string_view recordName = "NetworkInfo";
    std::vector<NetIface> interfaces;
    std::vector<NetRoute> routes;
    std::vector<std::string> dnsServers;
    std::optional<std::string> publicIp;
    std::optional<std::uint32_t> defaultMtu;

    bool operator==(const NetworkInfo&) const = default;
    static NetworkInfo decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct ConnectAttempt {
    static constexpr std::string_view recordName = "ConnectAttempt";
    std::uint64_t atUnix = 0;
    std::optional<std::uint64_t> vpsId;
    std::optional<std::string> vpsName;
    std::string proto;  // written as "protocol"
    std::string outcome;
    std::optional<std::string> error;
    std::optional<std::uint64_t> durationMs;

    bool operator==(const ConnectAttempt&) const = default;
    static ConnectAttempt decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct TunnelInfo {
    static constexpr std::string_view recordName = "TunnelInfo";
    bool wintunDriverPresent = false;
    std::optional<std::string> tunIfaceName;
    std::optional<std::string> tunIfaceIpv4;
    std::optional<std::string> activeProxyTag;
    std::optional<std::uint64_t> activeVpsId;
    std::optional<std::string> activeProtocol;
    bool defaultRouteViaTun = false;
    std::vector<ConnectAttempt> recentAttempts;
    std::vector<std::string> conflictingVpnApps;

    bool operator==(const TunnelInfo&) const = default;
    static TunnelInfo decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct ClashApiProbe {
    static constexpr std::string_view recordName = "ClashApiProbe";
    bool reachable = false;
    std::optional<std::string> error;
    std::optional<std::uint32_t> proxyCount;
    std::optional<std::string> selected;

    bool operator==(const ClashApiProbe&) const = default;
    static ClashApiProbe decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// Written as "reachable", "unreachable" or "indeterminate".
enum class Reachability { reachable, unreachable, indeterminate };

template <>
struct JSONCoding<Reachability> {
    static Reachability decode(const boost::json::value& v, const CodingContext& ctx);
    static boost::json::value encode(const Reachability& value);
};

struct ProxyProbe {
    static constexpr std::string_view recordName = "ProxyProbe";
    std::string tag;
    std::optional<std::uint64_t> vpsId;
    std::optional<std::string> vpsName;
    std::string publicIp;
    std::string proto;  // written as "protocol"
    std::optional<bool> tcp443Reachable;
    std::optional<std::uint32_t> tcp443RttMs;
    std::optional<std::string> tcp443Error;
    std::optional<std::uint16_t> udpPort;
    std::optional<bool> udpSendOk;
    std::optional<std::string> udpSendError;
    std::optional<Reachability> udpReachable;
    std::optional<std::uint32_t> udpRttMs;
    std::optional<std::string> udpProbeKind;
    std::optional<bool> pingReachable;
    std::optional<std::uint32_t> pingRttMs;

    bool operator==(const ProxyProbe&) const = default;
    static ProxyProbe decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct SingBoxInfo {
    static constexpr std::string_view recordName = "SingBoxInfo";
    bool binaryPresent = false;
    bool running = false;
    std::optional<std::uint32_t> pid;
    std::uint32_t restartCount = 0;
    std::optional<std::int32_t> lastExitCode;
    std::optional<std::uint64_t> lastExitAtUnix;
    std::optional<std::string> stderrTail;
    std::optional<std::string> stdoutTail;
    std::optional<std::string> configSnapshotJson;  // the redacted engine configuration
    std::optional<ClashApiProbe> clashApi;
    std::vector<ProxyProbe> proxyProbes;

    bool operator==(const SingBoxInfo&) const = default;
    static SingBoxInfo decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct HotspotInfo {
    static constexpr std::string_view recordName = "HotspotInfo";
    bool enabled = false;
    std::optional<std::string> ssid;
    std::optional<std::string> subnet;
    std::optional<std::uint32_t> clientCount;
    std::optional<std::string> lastError;
    std::vector<std::string> preflightWarnings;

    bool operator==(const HotspotInfo&) const = default;
    static HotspotInfo decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct CrashFile {
    static constexpr std::string_view recordName = "CrashFile";
    std::string path;
    std::uint64_t modifiedAtUnix = 0;
    std::uint64_t sizeBytes = 0;
    std::string content;

    bool operator==(const CrashFile&) const = default;
    static CrashFile decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct ProcessExit {
    static constexpr std::string_view recordName = "ProcessExit";
    std::uint64_t atUnix = 0;
    std::uint32_t pid = 0;
    std::string reason;
    std::optional<std::int32_t> status;
    std::optional<std::string> description;
    std::optional<std::string> importance;
    std::optional<std::string> processName;
    std::optional<std::string> trace;

    bool operator==(const ProcessExit&) const = default;
    static ProcessExit decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct CrashInfo {
    static constexpr std::string_view recordName = "CrashInfo";
    std::vector<CrashFile> panicFiles;
    std::vector<ProcessExit> exitHistory;

    bool operator==(const CrashInfo&) const = default;
    static CrashInfo decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct DiagnosticHint {
    static constexpr std::string_view recordName = "DiagnosticHint";
    std::string kind;
    std::string severity;
    std::string message;
    std::map<std::string, JSONValue> details;  // always written, possibly empty

    bool operator==(const DiagnosticHint&) const = default;
    static DiagnosticHint decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

struct DiagnosticReport {
    static constexpr std::string_view recordName = "DiagnosticReport";
    std::string triggerReason;
    std::optional<std::string> userDescription;
    std::string appVersion;
    std::uint64_t collectedAtUnix = 0;
    std::optional<SystemInfo> system;
    std::optional<NetworkInfo> network;
    std::optional<TunnelInfo> tunnel;
    std::optional<SingBoxInfo> singbox;
    std::optional<HotspotInfo> hotspot;
    std::vector<LogLine> appLogs;
    std::optional<CrashInfo> crash;
    std::vector<DiagnosticHint> hints;

    bool operator==(const DiagnosticReport&) const = default;
    static DiagnosticReport decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

// The panel's reply to an upload.
struct DiagnosticPostResponse {
    static constexpr std::string_view recordName = "DiagnosticPostResponse";
    std::int64_t reportId = 0;

    bool operator==(const DiagnosticPostResponse&) const = default;
    static DiagnosticPostResponse decode(const RecordDecoder& d);
    void encode(RecordEncoder& e) const;
};

}  // namespace corvane
