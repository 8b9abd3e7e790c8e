// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include "CorvaneCore/Diagnostics/DiagnosticReport.hpp"

using namespace corvane;

namespace {

// Every section and field filled, so a round trip exercises every key.
DiagnosticReport fullReport() {
    DiagnosticReport r;
    r.triggerReason = "tunnel_failed";
    r.userDescription = "it dropped";
    r.appVersion = "0.1.0";
    r.collectedAtUnix = 1748769307;
    r.system = SystemInfo{"linux", "6.1.0", "Debian 12", "x86_64", "en_US", "Europe/Berlin", 3600, 5000000000ull, "host",
                          "1.12.24", "0.14"};
    r.network = NetworkInfo{
        .interfaces = {NetIface{"eth0", "aa:bb:cc:dd:ee:ff", {"192.168.1.5"}, {"fe80::1"}, 1500, "up", 1000, "ethernet",
                                "192.168.1.1", "home"}},
        .routes = {NetRoute{"0.0.0.0/0", "192.168.1.1", "eth0", 100}},
        .dnsServers = {"192.168.1.1"},
        .publicIp = "203.0.113.4",
        .defaultMtu = 1500,
    };
    r.tunnel = TunnelInfo{false, "Corvane", "172.18.0.1", "proxy-0", 7, "hysteria2", true,
                          {ConnectAttempt{1748769300, 7, "fra-1", "auto", "failed", "timeout", 5000}}, {"other-vpn"}};
    r.singbox = SingBoxInfo{
        .binaryPresent = true,
        .running = false,
        .pid = 4242,
        .restartCount = 2,
        .lastExitCode = -1,
        .lastExitAtUnix = 1748769200,
        .stderrTail = "FATAL[0000] start service: boom",
        .stdoutTail = "out",
        .configSnapshotJson = "{}",
        .clashApi = ClashApiProbe{true, "none", 4, "proxy-0"},
        .proxyProbes = {ProxyProbe{"proxy-0", 7, "fra-1", "203.0.113.7", "hysteria2", true, 40, "e1", 443, true, "e2",
                                   Reachability::indeterminate, 41, "quic", false, 42}},
    };
    r.hotspot = HotspotInfo{true, "ssid", "192.168.137.0/24", 2, "err", {"warn"}};
    r.appLogs = {LogLine{"09:15:07", "INFO", "tunnel", "hello"}};
    r.crash = CrashInfo{{CrashFile{"/tmp/panic.log", 1748769000, 12, "location: main.go:42\n"}},
                        {ProcessExit{1748769100, 99, "signal", 9, "killed", "high", "sing-box", "trace"}}};
    r.hints = {DiagnosticHint{"singbox_fatal", "error", "boom", {{"fatal", JSONValue("x")}, {"count", JSONValue(2)}}}};
    return r;
}

std::vector<std::string> keysOf(const boost::json::value& v) {
    std::vector<std::string> keys;
    for (const auto& kv : v.as_object()) keys.emplace_back(kv.key());
    return keys;
}

}  // namespace

TEST(DiagnosticReport, RoundTripsEverySectionWithItsKeysInOrder) {
    const DiagnosticReport report = fullReport();
    const std::string text = encodeJSON(report);
    EXPECT_EQ(decodeJSON<DiagnosticReport>(std::string_view(text)), report);

    const auto json = boost::json::parse(text);
    EXPECT_EQ(keysOf(json), (std::vector<std::string>{"trigger_reason", "user_description", "app_version", "collected_at_unix",
                                                      "system", "network", "tunnel", "singbox", "hotspot", "crash", "hints",
                                                      "app_logs"}));
    EXPECT_EQ(keysOf(json.at("system")),
              (std::vector<std::string>{"os", "os_version", "os_edition", "arch", "locale", "timezone", "uptime_secs",
                                        "free_disk_bytes", "hostname", "singbox_version", "wintun_version"}));
    EXPECT_EQ(keysOf(json.at("singbox")),
              (std::vector<std::string>{"running", "pid", "binary_present", "restart_count", "last_exit_code",
                                        "last_exit_at_unix", "stderr_tail", "stdout_tail", "config_snapshot_json",
                                        "clash_api", "proxy_probes"}));
    EXPECT_EQ(keysOf(json.at("network").at("interfaces").at(0)),
              (std::vector<std::string>{"name", "mac", "ipv4", "ipv6", "mtu", "status", "link_speed_mbps", "iface_type",
                                        "gateway", "wifi_ssid"}));
    EXPECT_EQ(keysOf(json.at("crash").at("panic_files").at(0)),
              (std::vector<std::string>{"path", "modified_at_unix", "size_bytes", "content"}));
    EXPECT_EQ(keysOf(json.at("singbox").at("clash_api")),
              (std::vector<std::string>{"reachable", "error", "proxy_count", "selected"}));

    // Fields named differently from their keys.
    EXPECT_EQ(json.at("tunnel").at("recent_attempts").at(0).at("protocol"), "auto");
    const auto& probe = json.at("singbox").at("proxy_probes").at(0);
    EXPECT_EQ(probe.at("protocol"), "hysteria2");
    EXPECT_EQ(probe.at("udp_reachable"), "indeterminate");
    EXPECT_EQ(json.at("hints").at(0).at("details"), boost::json::parse(R"({"count":2,"fatal":"x"})"));
}

TEST(DiagnosticReport, OmitsAbsentSectionsAndDefaultsMissingLists) {
    DiagnosticReport minimal{.triggerReason = "manual", .appVersion = "0.1.0", .collectedAtUnix = 5};
    EXPECT_EQ(encodeJSON(minimal),
              R"({"trigger_reason":"manual","app_version":"0.1.0","collected_at_unix":5,"hints":[],"app_logs":[]})");

    auto decoded = decodeJSON<DiagnosticReport>(std::string_view(R"({"trigger_reason":"manual","app_version":"0.1.0",
        "collected_at_unix":5,"system":null,"tunnel":{"wintun_driver_present":false,"default_route_via_tun":true,
        "recent_attempts":[],"conflicting_vpn_apps":[]}})"));
    EXPECT_TRUE(decoded.hints.empty());
    EXPECT_TRUE(decoded.appLogs.empty());
    EXPECT_FALSE(decoded.system.has_value());
    ASSERT_TRUE(decoded.tunnel.has_value());
    EXPECT_TRUE(decoded.tunnel->defaultRouteViaTun);
    EXPECT_EQ(encodeJSON(decoded).find("null"), std::string::npos);

    // A hint always carries its details, empty or not.
    EXPECT_EQ(encodeJSON(DiagnosticHint{"k", "info", "m", {}}), R"({"kind":"k","severity":"info","message":"m","details":{}})");
}

TEST(DiagnosticReport, ABadDocumentNamesTheRecordAndTheKey) {
    struct Case {
        std::string json;
        std::string description;
    };
    const std::vector<Case> cases = {
        {R"({"app_version":"1","collected_at_unix":1})", "trigger_reason: missing required key"},
        {R"({"trigger_reason":"t","app_version":"1","collected_at_unix":-1})",
         "collected_at_unix: number out of range (0 to 18446744073709551615)"},
        {R"({"trigger_reason":"t","app_version":"1","collected_at_unix":1,"tunnel":{"wintun_driver_present":false,)"
         R"("default_route_via_tun":false,"conflicting_vpn_apps":[],"recent_attempts":[{"at_unix":1,"protocol":"auto"}]}})",
         "tunnel.recent_attempts[0].outcome: missing required key"},
        {R"({"trigger_reason":"t","app_version":"1","collected_at_unix":1,"singbox":{"running":true,"binary_present":true,)"
         R"("restart_count":0,"proxy_probes":[{"tag":"p","public_ip":"i","protocol":"x","udp_reachable":"maybe"}]}})",
         "singbox.proxy_probes[0].udp_reachable: unknown reachability \"maybe\""},
        {R"({"trigger_reason":"t","app_version":"1","collected_at_unix":1,"singbox":{"running":true,"binary_present":true,)"
         R"("restart_count":4294967296,"proxy_probes":[]}})",
         "singbox.restart_count: number out of range (0 to 4294967295)"},
        {R"({"trigger_reason":"t","app_version":"1","collected_at_unix":1,"hints":[{"kind":"k","severity":"s","message":"m"}]})",
         "hints[0].details: missing required key"},
    };
    for (const auto& c : cases) {
        try {
            decodeJSON<DiagnosticReport>(std::string_view(c.json));
            ADD_FAILURE() << "decoded: " << c.json;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.description(), c.description);
            EXPECT_FALSE(e.record().empty());
        }
    }
    EXPECT_EQ(decodeJSON<DiagnosticPostResponse>(std::string_view(R"({"report_id":42})")), DiagnosticPostResponse{42});
}
