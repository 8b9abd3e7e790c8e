// SPDX-License-Identifier: GPL-3.0-or-later
// Sanitising the app's whole log buffer and building a full diagnostic report from it.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "CorvaneCore/Diagnostics/LogRing.hpp"
#include "CorvaneCore/Diagnostics/LogSanitizer.hpp"
#include "CorvaneCore/Diagnostics/ReportBuilder.hpp"

using namespace corvane;

namespace {

const char* kConfig = R"({"log":{"level":"info","timestamp":true},
 "dns":{"servers":[{"type":"https","tag":"proxy-dns","server":"1.1.1.1","detour":"proxy"},{"type":"udp","tag":"direct-dns","server":"223.5.5.5"}]},
 "inbounds":[{"type":"tun","tag":"tun-in","interface_name":"Corvane","address":["172.18.0.1/30"],"stack":"mixed"},
  {"type":"mixed","tag":"lan-share","listen":"192.168.1.5","listen_port":1080,"users":[{"username":"corvane","password":"Zm9vYmFy"}]}],
 "outbounds":[{"type":"hysteria2","tag":"proxy-0","server":"203.0.113.10","server_port":443,"password":"0d9b5c3e","obfs":{"type":"salamander","password":"b2Jmcw"}},
  {"type":"vless","tag":"proxy-1","server":"edge.fleet.example","server_port":443,"uuid":"0d9b5c3e-6f1a-4b8e-9c2d-7a3f5e1b9c4d",
   "tls":{"enabled":true,"server_name":"www.microsoft.com","reality":{"enabled":true,"public_key":"SRPr2hNrAl3dkYKhmY2nQXxHb6N4K5W3tBpZ9JbqL0c","short_id":"6ba85179e30d4fc2"}}},
  {"type":"urltest","tag":"proxy-auto","outbounds":["proxy-0","proxy-1"],"url":"https://cp.cloudflare.com/generate_204"},
  {"type":"selector","tag":"proxy","outbounds":["proxy-auto","proxy-0","proxy-1"]},{"type":"direct","tag":"direct"}],
 "route":{"rule_set":[{"tag":"geosite-cn","type":"remote","format":"binary","url":"https://rules.example.org/geosite-cn.srs"}],"final":"proxy"},
 "experimental":{"clash_api":{"external_controller":"127.0.0.1:9090","secret":"c2VjcmV0"},"cache_file":{"enabled":true,"path":"cache.db"}}})";

const char* kSites[] = {"www.google.com", "api.github.com", "static.xx.fbcdn.net", "i.ytimg.com", "news.ycombinator.com",
                        "en.wikipedia.org", "s3.eu-central-1.amazonaws.com", "cdn.jsdelivr.net"};

// The app's log buffer as the engine fills it: mostly per-connection lines, some
// routing and DNS detail, and the odd warning or failure, with public and private
// addresses, host names, versions and file names throughout.
std::vector<LogLine> engineLog(int count) {
    std::vector<LogLine> lines;
    lines.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const std::string site = kSites[i % 8];
        const std::string ip = "203.0." + std::to_string(113 + i % 3) + "." + std::to_string(i % 250);
        const std::string port = std::to_string(40000 + i * 7 % 20000);
        const std::string ts = LogRing::timestamp(std::chrono::system_clock::time_point(std::chrono::seconds(1748769307 + i)));
        switch (i % 16) {
        case 0: case 1: case 2:
            lines.push_back({ts, "INFO", "inbound/tun[tun-in]", "inbound connection from 172.18.0.1:" + port});
            break;
        case 3: case 4:
            lines.push_back({ts, "INFO", "inbound/tun[tun-in]", "inbound connection to " + site + ":443"});
            break;
        case 5:
            lines.push_back({ts, "INFO", "outbound/vless[proxy-1]", "outbound connection to " + ip + ":443"});
            break;
        case 6:
            lines.push_back({ts, "DEBUG", "dns", "exchanged A " + site + ". 60 IN A " + ip});
            break;
        case 7:
            lines.push_back({ts, "DEBUG", "router", "sniffed protocol: tls, domain: " + site});
            break;
        case 8:
            lines.push_back({ts, "DEBUG", "router", "match[3] ip_is_private=true => route(direct)"});
            break;
        case 9:
            lines.push_back({ts, "ERROR", "connection", "open connection to " + ip + ":443 using outbound/direct[direct]: dial tcp " +
                                                          ip + ":443: i/o timeout"});
            break;
        case 10:
            lines.push_back({ts, "ERROR", "inbound/tun[tun-in]", "process connection from 172.18.0.1:" + port +
                                                                   ": dial tcp [2a00:1450:4001:82b::200e]:443: connect: network is unreachable"});
            break;
        case 11:
            lines.push_back({ts, "WARN", "dns", "exchange failed for " + site + ": context deadline exceeded"});
            break;
        case 12:
            lines.push_back({ts, "INFO", "tunnel", "engine sing-box 1.12.24 running, cache.db opened, clash api at 127.0.0.1:9090"});
            break;
        case 13:
            lines.push_back({ts, "WARN", "router", "rule-set geosite-cn: update failed: Get \"https://rules.example.org/geosite-cn.srs\": EOF"});
            break;
        case 14:
            lines.push_back({ts, "INFO", "tunnel", "health probe through proxy-auto answered in 124 ms via edge.fleet.example"});
            break;
        default:
            lines.push_back({ts, "ERROR", "outbound/hysteria2[proxy-0]", "dial udp 203.0.113.10:443: read: connection refused"});
            break;
        }
    }
    return lines;
}

std::int64_t messageBytes(const std::vector<LogLine>& lines) {
    std::int64_t bytes = 0;
    for (const auto& l : lines) bytes += static_cast<std::int64_t>(l.message.size());
    return bytes;
}

void SanitizeLogBuffer(benchmark::State& state) {
    const auto lines = engineLog(static_cast<int>(LogRing::appCapacity));
    const auto keep = LogSanitizer::infrastructureHosts(kConfig, std::string("panel.example"));
    std::size_t kept = 0;
    for (auto _ : state) {
        auto clean = LogSanitizer::sanitize(lines, keep);
        kept = clean.size();
        benchmark::DoNotOptimize(clean);
    }
    state.SetBytesProcessed(state.iterations() * messageBytes(lines));
    state.counters["lines_kept"] = static_cast<double>(kept);
}
BENCHMARK(SanitizeLogBuffer)->Unit(benchmark::kMicrosecond);

// Every message through the host pattern, none dropped: the matcher alone.
void ScrubEveryMessage(benchmark::State& state) {
    const auto lines = engineLog(static_cast<int>(LogRing::appCapacity));
    const auto keep = LogSanitizer::infrastructureHosts(kConfig, std::string("panel.example"));
    for (auto _ : state) {
        for (const auto& l : lines) benchmark::DoNotOptimize(LogSanitizer::scrub(l.message, keep));
    }
    state.SetBytesProcessed(state.iterations() * messageBytes(lines));
}
BENCHMARK(ScrubEveryMessage)->Unit(benchmark::kMicrosecond);

// One unbroken run of N bytes in the shapes that make a matcher retry at every
// position: one name of many labels, labels joined by hyphens, a hex-and-colon run,
// a long word ended by a dot. The time per byte should stay flat as N grows
// (the fitted complexity reads O(N)).
void ScrubUnbrokenRun(benchmark::State& state, std::string_view unit) {
    std::string run;
    while (run.size() < static_cast<std::size_t>(state.range(0))) run += unit;
    run += '.';
    const auto keep = LogSanitizer::infrastructureHosts(kConfig, std::string("panel.example"));
    for (auto _ : state) benchmark::DoNotOptimize(LogSanitizer::scrub(run, keep));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(run.size()));
    state.SetComplexityN(state.range(0));
}
#define CORVANE_UNBROKEN_RUN(name, unit) \
    BENCHMARK_CAPTURE(ScrubUnbrokenRun, name, unit)->RangeMultiplier(4)->Range(4 << 10, 256 << 10) \
        ->Complexity(benchmark::oN)->Unit(benchmark::kMicrosecond)
CORVANE_UNBROKEN_RUN(labels, "a.");
CORVANE_UNBROKEN_RUN(hyphens, "a-");
CORVANE_UNBROKEN_RUN(hex_colons, "1:");
CORVANE_UNBROKEN_RUN(word, "ab");
CORVANE_UNBROKEN_RUN(mixed, "7.0-x::");

ReportBuilder::Input reportInput() {
    ReportBuilder::Input input;
    input.trigger = "tunnel_failed";
    input.appVersion = "0.1.0";
    input.now = std::chrono::system_clock::now();
    input.os = "linux";
    input.osVersion = "6.1.0";
    input.arch = "x86_64";
    input.locale = "en_US";
    input.timezone = "Europe/Berlin";
    input.interfaces = {{"eth0", "192.168.1.5"}, {"wlan0", "10.0.0.7"}, {"Corvane", "172.18.0.1"}, {"docker0", "172.17.0.1"}};
    input.error = "FATAL[0000] start service: start inbound/mixed[lan-share]: listen tcp 192.168.1.5:1080: bind: address already in use";
    input.logs = engineLog(static_cast<int>(LogRing::appCapacity));
    input.configJSON = kConfig;
    input.panelHost = "panel.example";
    input.activeTag = "proxy-0";
    input.tunnelUp = false;
    return input;
}

void BuildReport(benchmark::State& state) {
    const auto input = reportInput();
    for (auto _ : state) benchmark::DoNotOptimize(ReportBuilder::build(input));
}
BENCHMARK(BuildReport)->Unit(benchmark::kMicrosecond);

// What the queue does with each report: build it and write it as JSON.
void BuildAndEncodeReport(benchmark::State& state) {
    const auto input = reportInput();
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto text = encodeJSON(ReportBuilder::build(input));
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["json_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BuildAndEncodeReport)->Unit(benchmark::kMicrosecond);

}  // namespace
