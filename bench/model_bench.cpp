// SPDX-License-Identifier: GPL-3.0-or-later
// Publishing the application model's state: what every change costs the views.
#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>

#include "Corvane/Model/AppModel.hpp"
#include "CorvaneCore/Panel/TokenStore.hpp"

namespace {

using namespace corvane;

// A model with `n` servers and no platform around it.
struct Fixture {
    explicit Fixture(int n) {
        AppModelParts parts;
        parts.store = std::make_shared<InMemoryTokenStore>();
        parts.lanAddress = [] { return std::optional<std::string>(); };
        parts.hostName = [] { return std::optional<std::string>("bench"); };
        model = std::make_unique<AppModel>(io.get_executor(), std::move(parts));
        std::vector<ServerListEntry> servers;
        for (int i = 0; i < n; ++i) {
            servers.push_back({.vpsId = i, .name = "server-" + std::to_string(i), .publicIp = "203.0.113.1",
                               .hysteria2Url = "hy2://pw@203.0.113.1:443", .realityUrl = "vless://u@203.0.113.1:443"});
        }
        model->servers = std::move(servers);
        model->published();
        io.run();
        io.restart();
    }
    ~Fixture() { model.reset(); }

    boost::asio::io_context io;
    std::unique_ptr<AppModel> model;
};

// One small change and its publication: the server list is shared, not copied.
void BM_PublishAfterASmallChange(benchmark::State& state) {
    Fixture f(static_cast<int>(state.range(0)));
    bool flip = false;
    auto subscription = f.model->observe([](const std::shared_ptr<const AppSnapshot>& s) { benchmark::DoNotOptimize(s); });
    for (auto _ : state) {
        f.model->busy = (flip = !flip);
        f.io.poll();
        f.io.restart();
    }
}
BENCHMARK(BM_PublishAfterASmallChange)->Arg(10)->Arg(1000);

// A new server list and its publication (the fleet shown is derived again).
void BM_PublishANewServerList(benchmark::State& state) {
    Fixture f(static_cast<int>(state.range(0)));
    const std::vector<ServerListEntry> list = *f.model->servers;
    auto subscription = f.model->observe([](const std::shared_ptr<const AppSnapshot>& s) { benchmark::DoNotOptimize(s); });
    for (auto _ : state) {
        f.model->servers = list;
        f.io.poll();
        f.io.restart();
    }
}
BENCHMARK(BM_PublishANewServerList)->Arg(10)->Arg(1000);

}  // namespace
