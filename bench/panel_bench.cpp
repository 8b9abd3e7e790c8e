// SPDX-License-Identifier: GPL-3.0-or-later
// Decoding a large server list from text to records.
#include <benchmark/benchmark.h>

#include <string>

#include "CorvaneCore/Panel/PanelRecords.hpp"

using namespace corvane;

namespace {

std::string makeServerList(int servers, int exits, int sites) {
    std::string s = R"({"servers":[)";
    for (int i = 0; i < servers; ++i) {
        if (i) s += ',';
        auto n = std::to_string(i);
        s += R"({"vps_id":)" + n + R"(,"name":"Server )" + n + R"( Frankfurt am Main","region":"DE","public_ip":"203.0.)" +
             std::to_string(i % 250) + "." + std::to_string(i % 200) +
             R"(","hysteria2_url":"hysteria2://0d9b5c3e-6f1a-4b8e-9c2d-7a3f5e1b9c4d@203.0.113.)" + std::to_string(i % 250) +
             R"(:443/?sni=cdn.example.com&obfs=salamander&obfs-password=Zm9vYmFyYmF6cXV4&pinSHA256=AB%3ACD%3AEF#Server%20)" + n +
             R"(","reality_url":"vless://0d9b5c3e-6f1a-4b8e-9c2d-7a3f5e1b9c4d@203.0.113.)" + std::to_string(i % 250) +
             R"(:443?encryption=none&flow=xtls-rprx-vision&security=reality&sni=www.microsoft.com&fp=chrome&pbk=SRPr2hNrAl3dkYKhmY2nQXxHb6N4K5W3tBpZ9JbqL0c&sid=6ba85179e30d4fc2&type=tcp#Server%20)" +
             n + R"(","config_version":)" + std::to_string(i % 7) + "}";
    }
    s += R"(],"exits":[)";
    for (int i = 0; i < exits; ++i) {
        if (i) s += ',';
        auto n = std::to_string(i);
        s += R"({"exit_id":)" + n + R"(,"vps_id":)" + std::to_string(i % servers) + R"(,"name":"Residential )" + n +
             R"(","region":"US","metered":true,"ready":true,"reality_url":"vless://11111111-2222-3333-4444-555555555555@198.51.100.7:8443?security=reality&sni=www.apple.com&fp=chrome&pbk=AAAAbbbbCCCCddddEEEEffffGGGGhhhhIIIIjjjjKKK&sid=ab12&type=tcp",)"
             R"("traffic":{"provider":"residential-co","status":"ok","remaining_gb":12.5,"low_threshold_gb":1.0,"checked_at":"2026-12-01T10:00:00Z","stale":false,"fallback_on_exhaustion":true,"using_original":false}})";
    }
    s += R"(],"sites":[)";
    for (int i = 0; i < sites; ++i) {
        if (i) s += ',';
        auto n = std::to_string(i);
        s += R"({"site_id":)" + n + R"(,"name":"Office )" + n +
             R"(","endpoint_host":"gw.example.com","endpoint_port":51820,"local_endpoints":["192.168.1.1:51820"],"gateway_overlay_ip":"10.99.0.1",)"
             R"("server_public_key":"xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=","cidrs":["10.1.0.0/16","10.2.0.0/16"],"dns_servers":["10.1.0.53"],)"
             R"("dns_domains":["corp.example.com"],"onsite_cidrs":["192.168.1.0/24"],"mtu":1380,"address":"10.99.0.2/32","private_key":"yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk="})";
    }
    s += "]}";
    return s;
}

void DecodeServerList(benchmark::State& state) {
    const std::string text = makeServerList(2000, 200, 50);
    for (auto _ : state) {
        auto list = decodeJSON<ServerListResponse>(std::string_view(text));
        benchmark::DoNotOptimize(list);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
    state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(DecodeServerList)->Unit(benchmark::kMillisecond);

void EncodeServerList(benchmark::State& state) {
    const auto list = decodeJSON<ServerListResponse>(std::string_view(makeServerList(2000, 200, 50)));
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto text = encodeJSON(list);
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(EncodeServerList)->Unit(benchmark::kMillisecond);

}  // namespace
