// SPDX-License-Identifier: GPL-3.0-or-later
// Building and serialising the engine configuration for fleets of 10, 100 and
// 1,000 servers with 10 private sites, and the system service's check of such
// a text (parse, check, write anew). "per_server" is the time per server.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "CorvaneCore/Config/ConfigAllowList.hpp"
#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"

using namespace corvane;

namespace {

// One share per server, the two protocols alternating, every host distinct.
std::vector<ShareUrl> makeShares(int servers) {
    std::vector<ShareUrl> shares;
    shares.reserve(static_cast<std::size_t>(servers));
    for (int i = 0; i < servers; ++i) {
        std::string host = "203.0." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        if (i % 2 == 0) {
            shares.push_back(ShareUrlParser::parse("hysteria2://0d9b5c3e-6f1a-4b8e@" + host +
                                                   ":443/?sni=cdn.example.com&obfs=salamander&obfs-password=Zm9vYmFy&alpn=h3#S"));
        } else {
            shares.push_back(ShareUrlParser::parse("vless://0d9b5c3e-6f1a-4b8e-9c2d-7a3f5e1b9c4d@" + host +
                                                   ":443?security=reality&sni=www.example.com&fp=chrome&flow=xtls-rprx-vision"
                                                   "&pbk=SRPr2hNrAl3dkYKhmY2nQXxHb6N4K5W3tBpZ9JbqL0c&sid=6ba85179e30d4fc2#S"));
        }
    }
    return shares;
}

std::vector<SiteAccess> makeSites(int count) {
    std::vector<SiteAccess> sites;
    for (int i = 0; i < count; ++i) {
        SiteAccess site;
        site.siteId = i;
        site.name = "Office " + std::to_string(i);
        site.endpointHost = "198.51.100." + std::to_string(i + 1);
        site.endpointPort = 51820;
        site.localEndpoints = {"10." + std::to_string(i) + ".0.1"};
        site.gatewayOverlayIp = "100.64.0." + std::to_string(i + 1);
        site.serverPublicKey = "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=";
        site.cidrs = {"10." + std::to_string(i) + ".0.0/16", "192.168." + std::to_string(i) + ".0/24"};
        site.dnsServers = {"10." + std::to_string(i) + ".0.53"};
        site.dnsDomains = {"office" + std::to_string(i) + ".example.com"};
        site.mtu = 1380;
        site.address = "10.99.0.2/32";
        site.privateKey = "yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=";
        sites.push_back(std::move(site));
    }
    return sites;
}

void BM_BuildAndSerialiseConfig(benchmark::State& state) {
    const int servers = static_cast<int>(state.range(0));
    ConfigBuilder::Inputs inputs{
        .shares = makeShares(servers),
        .smartRouting = true,
        .shareOverLanListen = "192.168.1.20",
        .shareOverLanPassword = "Zx9-_Q2wE4rT6yU8",
        .includeRuleSets = true,
        .sites = makeSites(10),
    };
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = ConfigBuilder::build(inputs).serialize();
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetComplexityN(servers);
    state.counters["per_server"] = benchmark::Counter(servers, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_BuildAndSerialiseConfig)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);

void BM_AllowListCheck(benchmark::State& state) {
    const int servers = static_cast<int>(state.range(0));
    const std::string text = ConfigBuilder::build({
                                                      .shares = makeShares(servers),
                                                      .smartRouting = true,
                                                      .shareOverLanListen = "192.168.1.20",
                                                      .shareOverLanPassword = "Zx9-_Q2wE4rT6yU8",
                                                      .includeRuleSets = true,
                                                      .sites = makeSites(10),
                                                  })
                                 .serialize();
    for (auto _ : state) benchmark::DoNotOptimize(ConfigAllowList::checkText(text));
    state.SetComplexityN(servers);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
    state.counters["per_server"] = benchmark::Counter(servers, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_AllowListCheck)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);

}  // namespace
