// SPDX-License-Identifier: GPL-3.0-or-later
// The live state's steady work while connected: one traffic sample, and one
// poll of the engine's proxy table (100 servers, two shares each, over HTTP on
// loopback), each applied to the model and published.
#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>

#include "Corvane/Model/AppModel.hpp"
#include "CorvaneCore/Panel/TokenStore.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "tools/fleet/HttpServer.hpp"

namespace {

using namespace corvane;

// The engine's answer for `servers` servers: every share measured, both groups.
std::string proxyTable(int servers) {
    std::string all, entries;
    for (int i = 0; i < 2 * servers; ++i) {
        const std::string tag = "proxy-" + std::to_string(i);
        all += (i ? "," : "") + ("\"" + tag + "\"");
        entries += ",\"" + tag + R"(":{"type":"VLESS","name":")" + tag +
                   R"(","udp":true,"history":[{"time":"2026-12-10T10:00:00.123456789Z","delay":)" +
                   std::to_string(20 + i % 90) + "}]}";
    }
    return R"({"proxies":{"proxy":{"type":"Selector","name":"proxy","now":"proxy-auto","all":["proxy-auto",)" + all +
           R"(],"history":[]},"proxy-auto":{"type":"URLTest","name":"proxy-auto","now":"proxy-3","all":[)" + all +
           R"(],"history":[{"time":"2026-12-10T10:00:00Z","delay":21}]})" + entries + "}}";
}

struct Fixture {
    explicit Fixture(int servers) {
        engine.setHandler([table = proxyTable(servers)](const fleet::RecordedRequest& r) {
            if (r.target == "/proxies") return fleet::ScriptedReply::json(200, table);
            return fleet::ScriptedReply::json(200, R"({"connections":[],"downloadTotal":1000,"uploadTotal":100})");
        });
        AppModelParts parts;
        parts.store = std::make_shared<InMemoryTokenStore>();
        parts.lanAddress = [] { return std::optional<std::string>(); };
        parts.hostName = [] { return std::optional<std::string>("bench"); };
        model = std::make_unique<AppModel>(io.get_executor(), std::move(parts));
        std::vector<ServerListEntry> list;
        for (int i = 0; i < servers; ++i) {
            list.push_back({.vpsId = i, .name = "server-" + std::to_string(i), .publicIp = "203.0.113.1",
                            .hysteria2Url = "hy2://pw@203.0.113.1:443", .realityUrl = "vless://u@203.0.113.1:443"});
        }
        model->servers = std::move(list);
        model->clash = std::make_shared<ClashClient>(engine.port(), "secret");
        io.poll();
        io.restart();
    }
    ~Fixture() { model.reset(); }

    fleet::HttpServer engine;
    boost::asio::io_context io;
    std::unique_ptr<AppModel> model;
};

void BM_TrafficSampleAppliedAndPublished(benchmark::State& state) {
    Fixture f(100);
    auto subscription = f.model->observe([](const std::shared_ptr<const AppSnapshot>& s) { benchmark::DoNotOptimize(s); });
    std::int64_t n = 0;
    for (auto _ : state) {
        f.model->record({.up = ++n, .down = 10 * n});
        f.io.poll();
        f.io.restart();
    }
}
BENCHMARK(BM_TrafficSampleAppliedAndPublished);

// The proxies request, the totals request that follows it, the new delay map and active outbound, the publication.
void BM_ProxiesPollAppliedAndPublished(benchmark::State& state) {
    Fixture f(static_cast<int>(state.range(0)));
    auto subscription = f.model->observe([](const std::shared_ptr<const AppSnapshot>& s) { benchmark::DoNotOptimize(s); });
    for (auto _ : state) {
        runUntilDone(f.io, f.model->pollProxies());
        f.io.poll();
        f.io.restart();
    }
    state.counters["delays"] = static_cast<double>(f.model->delays->size());
}
BENCHMARK(BM_ProxiesPollAppliedAndPublished)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace
