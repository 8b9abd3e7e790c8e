// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Diagnostics/ReportBuilder.hpp"

#include <algorithm>
#include <map>

#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Diagnostics/LogSanitizer.hpp"
#include "CorvaneCore/Diagnostics/Redact.hpp"
#include "CorvaneCore/Support/Text.hpp"

namespace corvane::ReportBuilder {

namespace {

std::uint64_t collectionTime(std::chrono::system_clock::time_point now) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

std::vector<NetIface> interfaceRecords(const std::vector<InterfaceAddress>& pairs) {
    std::map<std::string, std::vector<std::string>> byName;  // names ascending
    for (const auto& pair : pairs) byName[pair.name].push_back(pair.ipv4);
    std::vector<NetIface> out;
    out.reserve(byName.size());
    for (auto& [name, addresses] : byName) {
        NetIface iface;
        iface.name = name;
        iface.ipv4 = std::move(addresses);
        iface.status = "up";
        if (isTunnelInterface(name)) iface.ifaceType = "tunnel";
        out.push_back(std::move(iface));
    }
    return out;
}

}  // namespace

bool isTunnelInterface(std::string_view name) {
    return name.starts_with("utun") || name.starts_with("tun") || name.starts_with("Corvane");
}

DiagnosticHint killSwitchHint(std::uint64_t rejectedPackets) {
    return DiagnosticHint{
        .kind = "kill_switch",
        .severity = "info",
        .message = "Traffic outside the tunnel is blocked",
        .details = {{"rejectedPackets", JSONValue(rejectedPackets)}},
    };
}

std::optional<DiagnosticHint> fatalHint(std::string_view text) {
    std::string_view rest = trimWhitespace(text);
    if (rest.starts_with("FATAL")) {
        rest = trimWhitespace(rest.substr(5));
        if (rest.starts_with("[")) {
            auto close = rest.find(']');
            if (close != std::string_view::npos) rest = trimWhitespace(rest.substr(close + 1));
        }
    }
    if (rest.starts_with("start service:")) rest = trimWhitespace(rest.substr(std::string_view("start service:").size()));
    if (rest.empty()) return std::nullopt;
    return DiagnosticHint{
        .kind = "singbox_fatal",
        .severity = "error",
        .message = std::string(rest),
        .details = {{"fatal", JSONValue(std::string(text))}},
    };
}

DiagnosticReport build(const Input& input) {
    const auto keep = LogSanitizer::infrastructureHosts(input.configJSON.value_or("{}"), input.panelHost);
    std::optional<std::string> error;
    if (input.error) error = LogSanitizer::scrub(*input.error, keep);
    const std::uint64_t collectedAt = collectionTime(input.now);

    std::vector<NetIface> interfaces = interfaceRecords(input.interfaces);

    std::vector<ConnectAttempt> attempts;
    if (error) {
        attempts.push_back(ConnectAttempt{.atUnix = collectedAt, .proto = "auto", .outcome = "failed", .error = error});
    }

    std::optional<std::string> tunIfaceName;
    for (const auto& iface : interfaces) {
        if (iface.ifaceType == "tunnel" && !iface.ipv4.empty()) {
            tunIfaceName = iface.name;
            break;
        }
    }
    // Only the engine's own TUN interface carries the default route: a tunnel run as a
    // local proxy (the service in user mode) has none, and another VPN's interface is not ours.
    const bool ownTunUp = std::any_of(interfaces.begin(), interfaces.end(), [](const NetIface& iface) {
        return iface.name == ConfigBuilder::tunInterfaceName && !iface.ipv4.empty();
    });

    std::optional<std::string> snapshot;
    if (input.configJSON) snapshot = Redact::configSnapshot(*input.configJSON);

    std::vector<LogLine> logs = LogSanitizer::sanitize(input.logs, keep);
    if (logs.size() > maxLogLines) logs.erase(logs.begin(), logs.end() - static_cast<std::ptrdiff_t>(maxLogLines));

    std::vector<DiagnosticHint> hints;
    if (error) {
        if (auto hint = fatalHint(*error)) hints.push_back(std::move(*hint));
    }
    // After the engine's hint, which stays first: duplicate reports are told apart by the first hint.
    if (input.rejectedPackets) hints.push_back(killSwitchHint(*input.rejectedPackets));

    DiagnosticReport report;
    report.triggerReason = input.trigger;
    report.userDescription = input.userDescription;
    report.appVersion = input.appVersion;
    report.collectedAtUnix = collectedAt;
    report.system = SystemInfo{
        .os = input.os,
        .osVersion = input.osVersion,
        .arch = input.arch,
        .locale = input.locale,
        .timezone = input.timezone,
        .uptimeSecs = input.uptimeSecs,
        .freeDiskBytes = input.freeDiskBytes,
    };
    report.network = NetworkInfo{.interfaces = std::move(interfaces)};
    report.tunnel = TunnelInfo{
        .wintunDriverPresent = false,
        .tunIfaceName = tunIfaceName,
        .activeProxyTag = input.activeTag,
        .defaultRouteViaTun = input.tunnelUp && ownTunUp,
        .recentAttempts = std::move(attempts),
    };
    report.singbox = SingBoxInfo{
        .binaryPresent = true,
        .running = input.tunnelUp,
        .restartCount = 0,
        .stderrTail = error,
        .configSnapshotJson = std::move(snapshot),
    };
    report.appLogs = std::move(logs);
    report.hints = std::move(hints);
    return report;
}

}  // namespace corvane::ReportBuilder
