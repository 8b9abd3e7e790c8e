// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Diagnostics/DiagnosticReport.hpp"

#include <boost/json/value.hpp>

namespace corvane {

SystemInfo SystemInfo::decode(const RecordDecoder& d) {
    return {
        .os = d.required<std::string>("os"),
        .osVersion = d.required<std::string>("os_version"),
        .osEdition = d.optional<std::string>("os_edition"),
        .arch = d.required<std::string>("arch"),
        .locale = d.optional<std::string>("locale"),
        .timezone = d.optional<std::string>("timezone"),
        .uptimeSecs = d.optional<std::uint64_t>("uptime_secs"),
        .freeDiskBytes = d.optional<std::uint64_t>("free_disk_bytes"),
        .hostname = d.optional<std::string>("hostname"),
        .singboxVersion = d.optional<std::string>("singbox_version"),
        .wintunVersion = d.optional<std::string>("wintun_version"),
    };
}

void SystemInfo::encode(RecordEncoder& e) const {
    e.set("os", os);
    e.set("os_version", osVersion);
    e.setOptional("os_edition", osEdition);
    e.set("arch", arch);
    e.setOptional("locale", locale);
    e.setOptional("timezone", timezone);
    e.setOptional("uptime_secs", uptimeSecs);
    e.setOptional("free_disk_bytes", freeDiskBytes);
    e.setOptional("hostname", hostname);
    e.setOptional("singbox_version", singboxVersion);
    e.setOptional("wintun_version", wintunVersion);
}

NetIface NetIface::decode(const RecordDecoder& d) {
    return {
        .name = d.required<std::string>("name"),
        .mac = d.optional<std::string>("mac"),
        .ipv4 = d.required<std::vector<std::string>>("ipv4"),
        .ipv6 = d.required<std::vector<std::string>>("ipv6"),
        .mtu = d.optional<std::uint32_t>("mtu"),
        .status = d.optional<std::string>("status"),
        .linkSpeedMbps = d.optional<std::uint64_t>("link_speed_mbps"),
        .ifaceType = d.optional<std::string>("iface_type"),
        .gateway = d.optional<std::string>("gateway"),
        .wifiSsid = d.optional<std::string>("wifi_ssid"),
    };
}

void NetIface::encode(RecordEncoder& e) const {
    e.set("name", name);
    e.setOptional("mac", mac);
    e.set("ipv4", ipv4);
    e.set("ipv6", ipv6);
    e.setOptional("mtu", mtu);
    e.setOptional("status", status);
    e.setOptional("link_speed_mbps", linkSpeedMbps);
    e.setOptional("iface_type", ifaceType);
    e.setOptional("gateway", gateway);
    e.setOptional("wifi_ssid", wifiSsid);
}

NetRoute NetRoute::decode(const RecordDecoder& d) {
    return {
        .dest = d.required<std::string>("dest"),
        .gateway = d.optional<std::string>("gateway"),
        .iface = d.required<std::string>("iface"),
        .metric = d.optional<std::uint32_t>("metric"),
    };
}

void NetRoute::encode(RecordEncoder& e) const {
    e.set("dest", dest);
    e.setOptional("gateway", gateway);
    e.set("iface", iface);
    e.setOptional("metric", metric);
}

NetworkInfo NetworkInfo::decode(const RecordDecoder& d) {
    return {
        .interfaces = d.required<std::vector<NetIface>>("interfaces"),
        .routes = d.required<std::vector<NetRoute>>("routes"),
        .dnsServers = d.required<std::vector<std::string>>("dns_servers"),
        .publicIp = d.optional<std::string>("public_ip"),
        .defaultMtu = d.optional<std::uint32_t>("default_mtu"),
    };
}

void NetworkInfo::encode(RecordEncoder& e) const {
    e.set("interfaces", interfaces);
    e.set("routes", routes);
    e.set("dns_servers", dnsServers);
    e.setOptional("public_ip", publicIp);
    e.setOptional("default_mtu", defaultMtu);
}

ConnectAttempt ConnectAttempt::decode(const RecordDecoder& d) {
    return {
        .atUnix = d.required<std::uint64_t>("at_unix"),
        .vpsId = d.optional<std::uint64_t>("vps_id"),
        .vpsName = d.optional<std::string>("vps_name"),
        .proto = d.required<std::string>("protocol"),
        .outcome = d.required<std::string>("outcome"),
        .error = d.optional<std::string>("error"),
        .durationMs = d.optional<std::uint64_t>("duration_ms"),
    };
}

void ConnectAttempt::encode(RecordEncoder& e) const {
    e.set("at_unix", atUnix);
    e.setOptional("vps_id", vpsId);
    e.setOptional("vps_name", vpsName);
    e.set("protocol", proto);
    e.set("outcome", outcome);
    e.setOptional("error", error);
    e.setOptional("duration_ms", durationMs);
}

TunnelInfo TunnelInfo::decode(const RecordDecoder& d) {
    return {
        .wintunDriverPresent = d.required<bool>("wintun_driver_present"),
        .tunIfaceName = d.optional<std::string>("tun_iface_name"),
        .tunIfaceIpv4 = d.optional<std::string>("tun_iface_ipv4"),
        .activeProxyTag = d.optional<std::string>("active_proxy_tag"),
        .activeVpsId = d.optional<std::uint64_t>("active_vps_id"),
        .activeProtocol = d.optional<std::string>("active_protocol"),
        .defaultRouteViaTun = d.required<bool>("default_route_via_tun"),
        .recentAttempts = d.required<std::vector<ConnectAttempt>>("recent_attempts"),
        .conflictingVpnApps = d.required<std::vector<std::string>>("conflicting_vpn_apps"),
    };
}

void TunnelInfo::encode(RecordEncoder& e) const {
    e.set("wintun_driver_present", wintunDriverPresent);
    e.setOptional("tun_iface_name", tunIfaceName);
    e.setOptional("tun_iface_ipv4", tunIfaceIpv4);
    e.setOptional("active_proxy_tag", activeProxyTag);
    e.setOptional("active_vps_id", activeVpsId);
    e.setOptional("active_protocol", activeProtocol);
    e.set("default_route_via_tun", defaultRouteViaTun);
    e.set("recent_attempts", recentAttempts);
    e.set("conflicting_vpn_apps", conflictingVpnApps);
}

ClashApiProbe ClashApiProbe::decode(const RecordDecoder& d) {
    return {
        .reachable = d.required<bool>("reachable"),
        .error = d.optional<std::string>("error"),
        .proxyCount = d.optional<std::uint32_t>("proxy_count"),
        .selected = d.optional<std::string>("selected"),
    };
}

void ClashApiProbe::encode(RecordEncoder& e) const {
    e.set("reachable", reachable);
    e.setOptional("error", error);
    e.setOptional("proxy_count", proxyCount);
    e.setOptional("selected", selected);
}

Reachability JSONCoding<Reachability>::decode(const boost::json::value& v, const CodingContext& ctx) {
    const std::string text = coding_detail::decodeString(v, ctx);
    if (text == "reachable") return Reachability::reachable;
    if (text == "unreachable") return Reachability::unreachable;
    if (text == "indeterminate") return Reachability::indeterminate;
    ctx.fail("unknown reachability \"" + text + "\"");
}

boost::json::value JSONCoding<Reachability>::encode(const Reachability& value) {
    switch (value) {
    case Reachability::reachable: return "reachable";
    case Reachability::unreachable: return "unreachable";
    case Reachability::indeterminate: return "indeterminate";
    }
    return "indeterminate";
}

ProxyProbe ProxyProbe::decode(const RecordDecoder& d) {
    return {
        .tag = d.required<std::string>("tag"),
        .vpsId = d.optional<std::uint64_t>("vps_id"),
        .vpsName = d.optional<std::string>("vps_name"),
        .publicIp = d.required<std::string>("public_ip"),
        .proto = d.required<std::string>("protocol"),
        .tcp443Reachable = d.optional<bool>("tcp443_reachable"),
        .tcp443RttMs = d.optional<std::uint32_t>("tcp443_rtt_ms"),
        .tcp443Error = d.optional<std::string>("tcp443_error"),
        .udpPort = d.optional<std::uint16_t>("udp_port"),
        .udpSendOk = d.optional<bool>("udp_send_ok"),
        .udpSendError = d.optional<std::string>("udp_send_error"),
        .udpReachable = d.optional<Reachability>("udp_reachable"),
        .udpRttMs = d.optional<std::uint32_t>("udp_rtt_ms"),
        .udpProbeKind = d.optional<std::string>("udp_probe_kind"),
        .pingReachable = d.optional<bool>("ping_reachable"),
        .pingRttMs = d.optional<std::uint32_t>("ping_rtt_ms"),
    };
}

void ProxyProbe::encode(RecordEncoder& e) const {
    e.set("tag", tag);
    e.setOptional("vps_id", vpsId);
    e.setOptional("vps_name", vpsName);
    e.set("public_ip", publicIp);
    e.set("protocol", proto);
    e.setOptional("tcp443_reachable", tcp443Reachable);
    e.setOptional("tcp443_rtt_ms", tcp443RttMs);
    e.setOptional("tcp443_error", tcp443Error);
    e.setOptional("udp_port", udpPort);
    e.setOptional("udp_send_ok", udpSendOk);
    e.setOptional("udp_send_error", udpSendError);
    e.setOptional("udp_reachable", udpReachable);
    e.setOptional("udp_rtt_ms", udpRttMs);
    e.setOptional("udp_probe_kind", udpProbeKind);
    e.setOptional("ping_reachable", pingReachable);
    e.setOptional("ping_rtt_ms", pingRttMs);
}

SingBoxInfo SingBoxInfo::decode(const RecordDecoder& d) {
    return {
        .binaryPresent = d.required<bool>("binary_present"),
        .running = d.required<bool>("running"),
        .pid = d.optional<std::uint32_t>("pid"),
        .restartCount = d.required<std::uint32_t>("restart_count"),
        .lastExitCode = d.optional<std::int32_t>("last_exit_code"),
        .lastExitAtUnix = d.optional<std::uint64_t>("last_exit_at_unix"),
        .stderrTail = d.optional<std::string>("stderr_tail"),
        .stdoutTail = d.optional<std::string>("stdout_tail"),
        .configSnapshotJson = d.optional<std::string>("config_snapshot_json"),
        .clashApi = d.optional<ClashApiProbe>("clash_api"),
        .proxyProbes = d.required<std::vector<ProxyProbe>>("proxy_probes"),
    };
}

void SingBoxInfo::encode(RecordEncoder& e) const {
    e.set("running", running);
    e.setOptional("pid", pid);
    e.set("binary_present", binaryPresent);
    e.set("restart_count", restartCount);
    e.setOptional("last_exit_code", lastExitCode);
    e.setOptional("last_exit_at_unix", lastExitAtUnix);
    e.setOptional("stderr_tail", stderrTail);
    e.setOptional("stdout_tail", stdoutTail);
    e.setOptional("config_snapshot_json", configSnapshotJson);
    e.setOptional("clash_api", clashApi);
    e.set("proxy_probes", proxyProbes);
}

HotspotInfo HotspotInfo::decode(const RecordDecoder& d) {
    return {
        .enabled = d.required<bool>("enabled"),
        .ssid = d.optional<std::string>("ssid"),
        .subnet = d.optional<std::string>("subnet"),
        .clientCount = d.optional<std::uint32_t>("client_count"),
        .lastError = d.optional<std::string>("last_error"),
        .preflightWarnings = d.required<std::vector<std::string>>("preflight_warnings"),
    };
}

void HotspotInfo::encode(RecordEncoder& e) const {
    e.set("enabled", enabled);
    e.setOptional("ssid", ssid);
    e.setOptional("subnet", subnet);
    e.setOptional("client_count", clientCount);
    e.setOptional("last_error", lastError);
    e.set("preflight_warnings", preflightWarnings);
}

CrashFile CrashFile::decode(const RecordDecoder& d) {
    return {
        .path = d.required<std::string>("path"),
        .modifiedAtUnix = d.required<std::uint64_t>("modified_at_unix"),
        .sizeBytes = d.required<std::uint64_t>("size_bytes"),
        .content = d.required<std::string>("content"),
    };
}

void CrashFile::encode(RecordEncoder& e) const {
    e.set("path", path);
    e.set("modified_at_unix", modifiedAtUnix);
    e.set("size_bytes", sizeBytes);
    e.set("content", content);
}

ProcessExit ProcessExit::decode(const RecordDecoder& d) {
    return {
        .atUnix = d.required<std::uint64_t>("at_unix"),
        .pid = d.required<std::uint32_t>("pid"),
        .reason = d.required<std::string>("reason"),
        .status = d.optional<std::int32_t>("status"),
        .description = d.optional<std::string>("description"),
        .importance = d.optional<std::string>("importance"),
        .processName = d.optional<std::string>("process_name"),
        .trace = d.optional<std::string>("trace"),
    };
}

void ProcessExit::encode(RecordEncoder& e) const {
    e.set("at_unix", atUnix);
    e.set("pid", pid);
    e.set("reason", reason);
    e.setOptional("status", status);
    e.setOptional("description", description);
    e.setOptional("importance", importance);
    e.setOptional("process_name", processName);
    e.setOptional("trace", trace);
}

CrashInfo CrashInfo::decode(const RecordDecoder& d) {
    return {
        .panicFiles = d.required<std::vector<CrashFile>>("panic_files"),
        .exitHistory = d.required<std::vector<ProcessExit>>("exit_history"),
    };
}

void CrashInfo::encode(RecordEncoder& e) const {
    e.set("panic_files", panicFiles);
    e.set("exit_history", exitHistory);
}

DiagnosticHint DiagnosticHint::decode(const RecordDecoder& d) {
    return {
        .kind = d.required<std::string>("kind"),
        .severity = d.required<std::string>("severity"),
        .message = d.required<std::string>("message"),
        .details = d.required<std::map<std::string, JSONValue>>("details"),
    };
}

void DiagnosticHint::encode(RecordEncoder& e) const {
    e.set("kind", kind);
    e.set("severity", severity);
    e.set("message", message);
    e.set("details", details);
}

DiagnosticReport DiagnosticReport::decode(const RecordDecoder& d) {
    return {
        .triggerReason = d.required<std::string>("trigger_reason"),
        .userDescription = d.optional<std::string>("user_description"),
        .appVersion = d.required<std::string>("app_version"),
        .collectedAtUnix = d.required<std::uint64_t>("collected_at_unix"),
        .system = d.optional<SystemInfo>("system"),
        .network = d.optional<NetworkInfo>("network"),
        .tunnel = d.optional<TunnelInfo>("tunnel"),
        .singbox = d.optional<SingBoxInfo>("singbox"),
        .hotspot = d.optional<HotspotInfo>("hotspot"),
        .appLogs = d.defaulted<std::vector<LogLine>>("app_logs", {}),
        .crash = d.optional<CrashInfo>("crash"),
        .hints = d.defaulted<std::vector<DiagnosticHint>>("hints", {}),
    };
}

void DiagnosticReport::encode(RecordEncoder& e) const {
    e.set("trigger_reason", triggerReason);
    e.setOptional("user_description", userDescription);
    e.set("app_version", appVersion);
    e.set("collected_at_unix", collectedAtUnix);
    e.setOptional("system", system);
    e.setOptional("network", network);
    e.setOptional("tunnel", tunnel);
    e.setOptional("singbox", singbox);
    e.setOptional("hotspot", hotspot);
    e.setOptional("crash", crash);
    e.set("hints", hints);
    e.set("app_logs", appLogs);
}

DiagnosticPostResponse DiagnosticPostResponse::decode(const RecordDecoder& d) {
    return {.reportId = d.required<std::int64_t>("report_id")};
}

void DiagnosticPostResponse::encode(RecordEncoder& e) const { e.set("report_id", reportId); }

}  // namespace corvane
