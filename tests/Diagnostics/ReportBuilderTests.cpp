// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "CorvaneCore/Diagnostics/ReportBuilder.hpp"

using namespace corvane;
using namespace std::chrono;

namespace {

const char* kConfig = R"({"outbounds":[{"type":"vless","tag":"proxy-0","server":"edge.vpn.example","server_port":443,)"
                      R"("uuid":"6f1c2a4e"},{"type":"direct","tag":"direct"}],)"
                      R"("experimental":{"clash_api":{"external_controller":"127.0.0.1:9090","secret":"s3"}}})";

ReportBuilder::Input baseInput() {
    ReportBuilder::Input input;
    input.trigger = "tunnel_failed";
    input.appVersion = "0.1.0";
    input.now = sys_days{2025y / June / 1} + 9h + 15min + 7s + 800ms;
    input.os = "linux";
    input.osVersion = "6.1.0";
    input.arch = "x86_64";
    return input;
}

LogLine logLine(int i, bool bookkeeping) {
    return {"09:00:00", "INFO", "router",
            bookkeeping ? "outbound connection to 203.0.113." + std::to_string(i % 250) + ":443" : "line " + std::to_string(i)};
}

}  // namespace

TEST(ReportBuilder, BuildsASafeReportFromTheAppState) {
    auto input = baseInput();
    input.userDescription = "slow since 8.8.8.8 went away";  // the user's own words go out as typed
    input.locale = "en_US";
    input.timezone = "Europe/Berlin";
    input.uptimeSecs = 3600;
    input.freeDiskBytes = 1024;
    input.interfaces = {{"wlan0", "192.168.1.5"}, {"tun0", "172.18.0.1"}, {"eth0", "10.0.0.2"}, {"wlan0", "192.168.7.5"},
                        {"Corvane", "172.19.0.1"}};
    input.error = "FATAL[0000] start service: start outbound/vless[proxy-0]: dial tcp 203.0.113.9:443 via edge.vpn.example: refused";
    input.logs = {{"09:15:00", "ERROR", "connection", "open connection to www.example.com:443: timeout"},
                  {"09:15:01", "INFO", "inbound/mixed[lan-share]", "inbound connection from 192.168.1.20:5000"}};
    input.configJSON = kConfig;
    input.panelHost = "panel.example";
    input.activeTag = "proxy-0";
    input.tunnelUp = true;

    const DiagnosticReport report = ReportBuilder::build(input);
    const std::string scrubbed =
        "FATAL[0000] start service: start outbound/vless[proxy-0]: dial tcp <destination>:443 via edge.vpn.example: refused";

    EXPECT_EQ(report.triggerReason, "tunnel_failed");
    EXPECT_EQ(report.userDescription, input.userDescription);
    EXPECT_EQ(report.appVersion, "0.1.0");
    EXPECT_EQ(report.collectedAtUnix, 1748769307u);
    EXPECT_EQ(report.system, (SystemInfo{.os = "linux", .osVersion = "6.1.0", .arch = "x86_64", .locale = "en_US",
                                         .timezone = "Europe/Berlin", .uptimeSecs = 3600, .freeDiskBytes = 1024}));

    // Interfaces by name, addresses in input order; tunnels marked; the first tunnel with an address named.
    ASSERT_TRUE(report.network);
    EXPECT_EQ(report.network->interfaces,
              (std::vector<NetIface>{
                  {.name = "Corvane", .ipv4 = {"172.19.0.1"}, .status = "up", .ifaceType = "tunnel"},
                  {.name = "eth0", .ipv4 = {"10.0.0.2"}, .status = "up"},
                  {.name = "tun0", .ipv4 = {"172.18.0.1"}, .status = "up", .ifaceType = "tunnel"},
                  {.name = "wlan0", .ipv4 = {"192.168.1.5", "192.168.7.5"}, .status = "up"},
              }));
    EXPECT_TRUE(report.network->routes.empty());
    EXPECT_TRUE(report.network->dnsServers.empty());

    EXPECT_EQ(report.tunnel, (TunnelInfo{.wintunDriverPresent = false,
                                         .tunIfaceName = "Corvane",
                                         .activeProxyTag = "proxy-0",
                                         .defaultRouteViaTun = true,
                                         .recentAttempts = {ConnectAttempt{.atUnix = 1748769307,
                                                                           .proto = "auto",
                                                                           .outcome = "failed",
                                                                           .error = scrubbed}}}));
    ASSERT_TRUE(report.singbox);
    EXPECT_TRUE(report.singbox->binaryPresent);
    EXPECT_TRUE(report.singbox->running);
    EXPECT_EQ(report.singbox->restartCount, 0u);
    EXPECT_EQ(report.singbox->stderrTail, scrubbed);
    EXPECT_EQ(report.singbox->configSnapshotJson,
              R"({"outbounds":[{"type":"vless","tag":"proxy-0","server":"edge.vpn.example","server_port":443,)"
              R"("uuid":"<redacted>"},{"type":"direct","tag":"direct"}],)"
              R"("experimental":{"clash_api":{"external_controller":"127.0.0.1:9090","secret":"<redacted>"}}})");
    EXPECT_EQ(report.singbox->clashApi, std::nullopt);
    EXPECT_FALSE(report.hotspot);
    EXPECT_FALSE(report.crash);

    EXPECT_EQ(report.appLogs,
              (std::vector<LogLine>{{"09:15:00", "ERROR", "connection", "open connection to <destination>:443: timeout"}}));
    ASSERT_EQ(report.hints.size(), 1u);
    EXPECT_EQ(report.hints[0],
              (DiagnosticHint{"singbox_fatal", "error",
                              "start outbound/vless[proxy-0]: dial tcp <destination>:443 via edge.vpn.example: refused",
                              {{"fatal", JSONValue(scrubbed)}}}));
}

TEST(ReportBuilder, WithoutConfigurationOrPanelEveryPublicHostGoes) {
    auto input = baseInput();
    input.error = "dial tcp 203.0.113.9:443 via edge.vpn.example: refused";
    input.interfaces = {{"utun3", "100.64.0.2"}, {"en0", "192.168.1.2"}, {"en0", "192.168.1.3"}};
    const auto report = ReportBuilder::build(input);
    EXPECT_EQ(report.singbox->stderrTail, "dial tcp <destination>:443 via <destination>: refused");
    EXPECT_EQ(report.singbox->configSnapshotJson, std::nullopt);
    EXPECT_FALSE(report.tunnel->defaultRouteViaTun);
    EXPECT_EQ(report.tunnel->tunIfaceName, "utun3");
    ASSERT_EQ(report.network->interfaces.size(), 2u);
    EXPECT_EQ(report.network->interfaces[0].ipv4, (std::vector<std::string>{"192.168.1.2", "192.168.1.3"}));
    // Any error names the reason of the failure, scrubbed like the rest.
    ASSERT_EQ(report.hints.size(), 1u);
    EXPECT_EQ(report.hints[0].message, "dial tcp <destination>:443 via <destination>: refused");
    EXPECT_EQ(report.tunnel->recentAttempts.size(), 1u);
}

// The default route goes through the engine's own TUN interface only: a tunnel run as a
// local proxy (user mode) has none, and another VPN's "tun0" is not this one.
TEST(ReportBuilder, TheDefaultRouteIsTheTunnelsOnlyWhileItsOwnInterfaceIsUp) {
    struct Case {
        bool tunnelUp;
        std::vector<ReportBuilder::InterfaceAddress> interfaces;
        bool viaTun;
        bool running;
    };
    const std::vector<Case> cases = {
        {true, {{"eth0", "10.0.0.2"}, {"Corvane", "172.18.0.1"}}, true, true},
        {true, {{"eth0", "10.0.0.2"}}, false, true},                      // user mode: a local proxy
        {true, {{"eth0", "10.0.0.2"}, {"tun0", "10.8.0.2"}}, false, true},  // another VPN's tunnel
        {false, {{"Corvane", "172.18.0.1"}}, false, false},                 // going down
    };
    for (const auto& c : cases) {
        auto input = baseInput();
        input.tunnelUp = c.tunnelUp;
        input.interfaces = c.interfaces;
        const auto report = ReportBuilder::build(input);
        EXPECT_EQ(report.tunnel->defaultRouteViaTun, c.viaTun) << ::testing::PrintToString(c.interfaces.back().name);
        EXPECT_EQ(report.singbox->running, c.running);
    }
}

TEST(ReportBuilder, KeepsTheLastTwoHundredSanitisedLogLines) {
    struct Case {
        int lines;
        int bookkeeping;  // the first ones are bookkeeping
        std::size_t kept;
        std::string first;
    };
    for (const auto& c : std::vector<Case>{{250, 20, 200, "line 50"}, {150, 0, 150, "line 0"}, {200, 0, 200, "line 0"}}) {
        auto input = baseInput();
        for (int i = 0; i < c.lines; ++i) input.logs.push_back(logLine(i, i < c.bookkeeping));
        const auto report = ReportBuilder::build(input);
        ASSERT_EQ(report.appLogs.size(), c.kept) << c.lines;
        EXPECT_EQ(report.appLogs.front().message, c.first);
        EXPECT_EQ(report.appLogs.back().message, "line " + std::to_string(c.lines - 1));
    }
}

TEST(ReportBuilder, FatalHintNamesTheReasonOfAnEngineFailure) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"FATAL[0000] start service: start inbound/mixed[mixed-in]: listen tcp 127.0.0.1:2080: bind: address already in use",
         "start inbound/mixed[mixed-in]: listen tcp 127.0.0.1:2080: bind: address already in use"},
        {"  FATAL [0012]   start service:   default outbound not found: X\n", "default outbound not found: X"},
        {"FATAL decode config at config.json: unknown field", "decode config at config.json: unknown field"},
        {"FATAL[0000 no closing bracket", "[0000 no closing bracket"},
        {"start service: dependency[node-x] not found for outbound[proxy]", "dependency[node-x] not found for outbound[proxy]"},
        {"the tunnel stopped", "the tunnel stopped"},
        {"FATAL[0000] start service:", std::nullopt},
        {" \n\t ", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, message] : cases) {
        auto hint = ReportBuilder::fatalHint(text);
        ASSERT_EQ(hint.has_value(), message.has_value()) << text;
        if (!hint) continue;
        EXPECT_EQ(hint->kind, "singbox_fatal");
        EXPECT_EQ(hint->severity, "error");
        EXPECT_EQ(hint->message, *message);
        EXPECT_EQ(hint->details, (std::map<std::string, JSONValue>{{"fatal", JSONValue(text)}}));  // untrimmed
    }
}

TEST(ReportBuilder, BlankErrorsAndClocksBeforeNineteenSeventy) {
    auto input = baseInput();
    input.error = "  \n";
    input.now = system_clock::time_point(-5s);
    const auto report = ReportBuilder::build(input);
    EXPECT_EQ(report.collectedAtUnix, 0u);
    EXPECT_TRUE(report.hints.empty());
    ASSERT_EQ(report.tunnel->recentAttempts.size(), 1u);
    EXPECT_EQ(report.tunnel->recentAttempts[0].error, "  \n");
    EXPECT_EQ(report.tunnel->recentAttempts[0].atUnix, 0u);

    input.error.reset();
    EXPECT_TRUE(ReportBuilder::build(input).tunnel->recentAttempts.empty());
}

// The kill switch's counter travels as a count alone, after the engine's own
// hint, which stays first (duplicate reports are told apart by the first hint).
TEST(ReportBuilder, TheKillSwitchCounterFollowsTheEnginesHint) {
    auto input = baseInput();
    input.error = "FATAL[0000] start service: the engine gave up";
    input.rejectedPackets = 42;
    auto report = ReportBuilder::build(input);
    ASSERT_EQ(report.hints.size(), 2u);
    EXPECT_EQ(report.hints[0].kind, "singbox_fatal");
    EXPECT_EQ(report.hints[1], (DiagnosticHint{.kind = "kill_switch",
                                               .severity = "info",
                                               .message = "Traffic outside the tunnel is blocked",
                                               .details = {{"rejectedPackets", JSONValue(42)}}}));
    EXPECT_NE(encodeJSON(report).find(R"("details":{"rejectedPackets":42})"), std::string::npos);

    input.error.reset();
    input.rejectedPackets.reset();
    EXPECT_TRUE(ReportBuilder::build(input).hints.empty()) << "no block, no hint";
}
