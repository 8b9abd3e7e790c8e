// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <thread>

#include "CorvaneCore/Diagnostics/LogSanitizer.hpp"
#include "CorvaneCore/Diagnostics/Redact.hpp"

using namespace corvane;

namespace {

// An engine configuration of the shape the app builds, with hosts in every place the keep set looks.
const char* kConfig = R"({
  "log": {"level": "info", "timestamp": true},
  "dns": {"servers": [
    {"type": "https", "tag": "proxy-dns", "server": "1.1.1.1", "detour": "proxy"},
    {"type": "udp", "tag": "direct-dns", "server": "223.5.5.5"},
    {"tag": "legacy-doh", "address": "https://DNS.Google/dns-query"},
    {"tag": "legacy-dot", "address": "tls://8.8.4.4"},
    {"tag": "odd", "server": 53, "address": ["x"]}
  ]},
  "outbounds": [
    {"type": "hysteria2", "tag": "proxy-0", "server": "203.0.113.10", "server_port": 443, "password": "pw"},
    {"type": "vless", "tag": "proxy-1", "server": "Edge.Fleet.example", "server_port": 443, "uuid": "u"},
    {"type": "urltest", "tag": "proxy-auto", "outbounds": ["proxy-0", "proxy-1"], "url": "https://cp.cloudflare.com/generate_204"},
    {"type": "direct", "tag": "direct", "url": "not a url"},
    "not an object",
    {"type": "block", "server": false}
  ],
  "endpoints": [{"type": "wireguard", "tag": "site-0", "peers": [{"address": "198.51.100.20", "port": 51820}, {"address": 7}]}],
  "route": {"rule_set": [{"tag": "geosite-cn", "type": "remote", "url": "https://rules.example.org/geosite-cn.srs"}, {"url": 1}]}
})";

LogSanitizer::HostSet keepSet() { return LogSanitizer::infrastructureHosts(kConfig, std::string("VPN.example")); }

}  // namespace

TEST(LogSanitizer, CollectsTheInfrastructureHostsOfAConfiguration) {
    EXPECT_EQ(keepSet(), (LogSanitizer::HostSet{"vpn.example", "1.1.1.1", "223.5.5.5", "dns.google", "8.8.4.4", "203.0.113.10",
                                                "edge.fleet.example", "cp.cloudflare.com", "198.51.100.20",
                                                "rules.example.org"}));
    EXPECT_EQ(LogSanitizer::infrastructureHosts("not json", std::string("Panel.example")), LogSanitizer::HostSet{"panel.example"});
    EXPECT_EQ(LogSanitizer::infrastructureHosts("[1, 2]", std::string("")), LogSanitizer::HostSet{});
    EXPECT_EQ(LogSanitizer::infrastructureHosts(R"({"outbounds": {"server": "a.example"}, "dns": []})", std::nullopt),
              LogSanitizer::HostSet{});
}

TEST(LogSanitizer, ScrubsDestinationsAndKeepsInfrastructureLocalAddressesVersionsAndFiles) {
    const auto keep = keepSet();
    const std::vector<std::pair<std::string, std::string>> cases = {
        // sing-box's own messages
        {"open connection to 203.0.113.7:443 using outbound/direct[direct]: dial tcp 203.0.113.7:443: i/o timeout",
         "open connection to <destination>:443 using outbound/direct[direct]: dial tcp <destination>:443: i/o timeout"},
        {"process connection from 127.0.0.1:51530: dial tcp [2001:db8::1]:8443: connect: network is unreachable",
         "process connection from 127.0.0.1:51530: dial tcp <destination>:8443: connect: network is unreachable"},
        {"lookup www.Example.com on 127.0.0.53:53: no such host", "lookup <destination> on 127.0.0.53:53: no such host"},
        {"Get \"https://www.gstatic.com/generate_204\": context deadline exceeded",
         "Get \"https://<destination>/generate_204\": context deadline exceeded"},
        {"restful api listening at 127.0.0.1:9090", "restful api listening at 127.0.0.1:9090"},
        {"tcp server started at 0.0.0.0:1080", "tcp server started at 0.0.0.0:1080"},
        {"sing-box 1.12.24 opened cache.db, config.json and geoip.srs under /var/lib/corvane/run.log",
         "sing-box 1.12.24 opened cache.db, config.json and geoip.srs under /var/lib/corvane/run.log"},
        // private and special IPv4 ranges
        {"10.0.0.1 172.16.5.4 172.31.255.1 192.168.1.10:53 127.8.8.8", "10.0.0.1 172.16.5.4 172.31.255.1 192.168.1.10:53 127.8.8.8"},
        {"172.32.0.1 100.64.0.1 169.254.1.1:80 8.8.8.8", "<destination> <destination> <destination>:80 <destination>"},
        // IPv6, bracketed and bare
        {"[fe80::1]:53 ::1 [::1]:9090 fd00::1 fc00::2", "[fe80::1]:53 ::1 [::1]:9090 fd00::1 fc00::2"},
        {"to 2a00:1450:4001:82b::200e failed", "to <destination> failed"},
        {"peer 2001:0DB8:0000:0000:0000:FF00:0042:8329 gone", "peer <destination> gone"},
        {"mapped ::ffff:203.0.113.9 seen", "mapped <destination> seen"},
        {"[2001:DB8::2]", "<destination>"},
        // not addresses at all
        {"at 09:15:07 from aa:bb:cc:dd:ee:ff", "at 09:15:07 from aa:bb:cc:dd:ee:ff"},
        // the system's own hosts, their subdomains, and look-alikes
        {"vpn.example:443 api.VPN.example edge.fleet.example:8443 203.0.113.10:443",
         "vpn.example:443 api.VPN.example edge.fleet.example:8443 203.0.113.10:443"},
        {"other.example notvpn.example vpn.example.evil.com", "<destination> <destination> <destination>"},
        {"[1.1.1.1]:53 dns.google:853", "[1.1.1.1]:53 dns.google:853"},
        {"", ""},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(LogSanitizer::scrub(text, keep), expected) << text;

    // Without a keep set every public host goes, whatever the case of the kept entries.
    EXPECT_EQ(LogSanitizer::scrub("vpn.example:443 and 203.0.113.10", {}), "<destination>:443 and <destination>");
    EXPECT_EQ(LogSanitizer::scrub("VPN.example:443 [2001:db8::5]:1", {"Vpn.Example", "2001:DB8::5"}),
              "VPN.example:443 [2001:db8::5]:1");
}

// Inputs where a part of an address used to survive, or a second pass changed the text.
TEST(LogSanitizer, LeavesNoPartOfAnAddressAndScrubbingAgainChangesNothing) {
    const auto keep = keepSet();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"p.7::2", "<destination><destination>"},
        {"x.com::abcd", "<destination><destination>"},
        {"remote:2001:db8::1", "remote:<destination>"},
        {"addr:2a00:1450:4001:82b::200e", "addr:<destination>"},
        {"a.example:4203.0.113.7", "<destination>:<destination>"},
        {"dial a.example:443: peer [2001:db8::7]:8443", "dial <destination>:443: peer <destination>:8443"},
        {"remote:fe80::1 via vpn.example:443", "remote:fe80::1 via vpn.example:443"},
        {"at 09:15:07 beef:cafe:1", "at 09:15:07 beef:cafe:1"},
        {"1:0:0:0:0:0:2:8:a.a", "1:0:0:0:0:0:2:8:<destination>"},
    };
    for (const auto& [text, expected] : cases) {
        const std::string once = LogSanitizer::scrub(text, keep);
        EXPECT_EQ(once, expected) << text;
        EXPECT_EQ(LogSanitizer::scrub(once, keep), once) << text;
    }
}

TEST(LogSanitizer, DropsBookkeepingBelowWarningsAndScrubsWhatItKeeps) {
    const auto keep = keepSet();
    struct Case {
        LogLine line;
        std::optional<std::string> message;  // nothing: dropped
    };
    const std::vector<Case> cases = {
        {{"09:15:07", "INFO", "inbound/mixed[mixed-in]", "inbound connection from 127.0.0.1:51514"}, std::nullopt},
        {{"09:15:07", "INFO", "outbound/vless[proxy-1]", "outbound connection to www.google.com:443"}, std::nullopt},
        {{"09:15:07", "info", "inbound/tun[tun-in]", "inbound packet connection from 172.19.0.1:40000"}, std::nullopt},
        {{"09:15:07", "DEBUG", "dns", "exchanged A www.google.com. 60 IN A 142.250.74.100"}, std::nullopt},
        {{"09:15:07", "DEBUG", "router", "sniffed protocol: tls, domain: www.google.com"}, std::nullopt},
        {{"09:15:07", "TRACE", "router", "Router: Match[0] => route(direct)"}, std::nullopt},
        {{"09:15:07", "INFO", "router", "found process path: /usr/bin/curl"}, std::nullopt},
        {{"09:15:07", "INFO", "connection", "Connection To www.google.com:443 closed"}, std::nullopt},
        {{"09:15:07", "INFO", "dns", "cached www.google.com"}, std::nullopt},
        // the app's own lines, warnings and worse are kept, but scrubbed
        {{"09:15:07", "INFO", "tunnel", "inbound connection from 8.8.8.8:1"}, "inbound connection from <destination>:1"},
        {{"09:15:09", "WARN", "inbound/mixed[mixed-in]", "inbound connection from 203.0.113.5:1"},
         "inbound connection from <destination>:1"},
        {{"09:15:09", "warning", "dns", "lookup failed for a.example"}, "lookup failed for <destination>"},
        {{"09:15:12", "ERROR", "dns", "exchange failed for www.x.com: timeout"}, "exchange failed for <destination>: timeout"},
        {{"09:15:12", "FATAL", "", "start service: initialize DNS: lookup dns.example.net: no such host"},
         "start service: initialize DNS: lookup <destination>: no such host"},
        {{"09:15:07", "INFO", "clash-api", "restful api listening at 127.0.0.1:9090"}, "restful api listening at 127.0.0.1:9090"},
    };
    std::vector<LogLine> all;
    std::vector<LogLine> expected;
    for (const auto& c : cases) {
        auto result = LogSanitizer::sanitize(c.line, keep);
        ASSERT_EQ(result.has_value(), c.message.has_value()) << c.line.message;
        if (result) {
            EXPECT_EQ(*result, (LogLine{c.line.ts, c.line.level, c.line.target, *c.message}));
            expected.push_back(*result);
        }
        all.push_back(c.line);
    }
    EXPECT_EQ(LogSanitizer::sanitize(all, keep), expected);
}

TEST(LogSanitizer, PathologicalTextNeitherCrashesNorLeaks) {
    // One host of fifty thousand labels: deep backtracking in the matcher.
    std::string labels;
    for (int i = 0; i < 50000; ++i) labels += "ab.";
    labels += "com";
    std::string scrubbed = LogSanitizer::scrub("via " + labels + ":443 done", {});
    EXPECT_EQ(scrubbed.find("ab.ab"), std::string::npos);
    EXPECT_TRUE(scrubbed.starts_with("via <destination>")) << scrubbed.substr(0, 80);

    // A long hex-and-colon run is no address and is passed through.
    std::string run;
    for (int i = 0; i < 50000; ++i) run += "1:";
    EXPECT_EQ(LogSanitizer::scrub(run, {}), run);

    // Bytes outside ASCII are copied, and a host right after them is still found.
    EXPECT_EQ(LogSanitizer::scrub("caf\xC3\xA9 \xE2\x86\x92 8.8.8.8", {}), "caf\xC3\xA9 \xE2\x86\x92 <destination>");
}

TEST(LogSanitizer, ScrubsFromManyThreadsAtOnce) {
    const auto keep = keepSet();
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (LogSanitizer::scrub("dial tcp 203.0.113.7:443 via vpn.example", keep) != "dial tcp <destination>:443 via vpn.example") {
                    ++wrong;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Redact, MasksSecretKeysAtAnyDepthAndNothingElse) {
    const std::string config = R"({"outbounds":[{"type":"vless","server":"203.0.113.1","server_port":443,"uuid":"6f1c",)"
                               R"("Password":"visible","tls":{"reality":{"public_key":"pub","short_id":"ab12"}}},)"
                               R"({"type":"hysteria2","password":"pw","obfs":{"type":"salamander","password":"o"}}],)"
                               R"("inbounds":[{"type":"mixed","tag":"lan-share","listen_port":1080,)"
                               R"("users":[{"username":"corvane","password":"p"}]}],)"
                               R"("endpoints":[{"private_key":{"nested":true},"mtu":1420.5}],)"
                               R"("experimental":{"clash_api":{"external_controller":"127.0.0.1:9090","secret":"s"}}})";
    auto snapshot = Redact::configSnapshot(config);
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(*snapshot,
              R"({"outbounds":[{"type":"vless","server":"203.0.113.1","server_port":443,"uuid":"<redacted>",)"
              R"("Password":"visible","tls":{"reality":{"public_key":"pub","short_id":"<redacted>"}}},)"
              R"({"type":"hysteria2","password":"<redacted>","obfs":{"type":"salamander","password":"<redacted>"}}],)"
              R"("inbounds":[{"type":"mixed","tag":"lan-share","listen_port":1080,"users":"<redacted>"}],)"
              R"("endpoints":[{"private_key":"<redacted>","mtu":1420.5}],)"
              R"("experimental":{"clash_api":{"external_controller":"127.0.0.1:9090","secret":"<redacted>"}}})");

    EXPECT_EQ(Redact::configSnapshot("{\"password\": "), std::nullopt);
    EXPECT_EQ(Redact::configSnapshot("vless://user@host"), std::nullopt);
    EXPECT_EQ(Redact::configSnapshot("[{\"auth\": [1, 2]}, 3, \"secret\"]"), R"([{"auth":"<redacted>"},3,"secret"])");
    EXPECT_EQ(Redact::secrets(JSONValue("password")), JSONValue("password"));
}
