// SPDX-License-Identifier: GPL-3.0-or-later
// What a connect costs on our side, with the real engine behind the tunnel
// service in user mode and the demo panel on loopback: from connect() to
// connected, split into panel refresh, site preparation, configuration build,
// service hand-off and the engine's start (from the service reporting the
// launch to its control API answering); and press to verified (the
// first health probe that finds the tunnel reachable).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Platform/FileSettingsStore.hpp"
#include "Corvane/Platform/ServiceTunnelPlatform.hpp"
#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"
#include "tools/fleet/BackgroundProcess.hpp"
#include "tools/fleet/Engine.hpp"
#include "tools/fleet/NetworkPorts.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char* kWorld = R"({
  "users": [{"email": "demo@corvane.test", "password": "demo-password"}],
  "vpses": [{"vps_id": 1, "name": "Amsterdam", "address": "127.0.0.11"},
            {"vps_id": 2, "name": "Tokyo", "address": "127.0.0.12"}],
  "sites": [{"site_id": 5, "name": "Head office", "endpoint_host": "127.0.0.40", "endpoint_port": 51820,
             "server_public_key": "QxL2rbfDuuKYSFAGnu6/Ybgk+NziczqcQJ2T/AEeKDo=", "cidrs": ["10.77.10.0/24"],
             "address": "10.77.0.2/32", "private_key": "wJoCME9RWUUpa4AJ4zLy880NcTGmTnx70H7WCmAFz1o="}],
  "rule_sets": {"geoip-cn": {"repo": "sing-geoip", "rules": [{"ip_cidr": ["127.0.0.30/32"]}]},
                "geosite-cn": {"repo": "sing-geosite", "rules": [{"domain_suffix": ["cn.corvane.test"]}]}}
})";

double msSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

// The demo panel, the tunnel service and a signed-in model, once for the whole run.
struct Setting {
    fleet::TempDir dir;
    std::unique_ptr<fleet::BackgroundProcess> sim, service;
    boost::asio::io_context io;
    std::unique_ptr<HttpClient> http;
    std::unique_ptr<AppModel> model;

    Setting() {
        fleet::writeFile(dir.path() / "world.json", kWorld);
        const fs::path state = dir.path() / "sim";
        sim = std::make_unique<fleet::BackgroundProcess>(
            std::vector<std::string>{CORVANE_PANEL_SIM_PATH, "--listen", "127.0.0.1:" + std::to_string(fleet::freeTcpPort()),
                                     "--state-dir", state.string(), "--world", (dir.path() / "world.json").string()},
            dir.path() / "sim.log");
        waitUntil([&] { return sim->log().find("\nready\n") != std::string::npos; }, [&] { return sim->log(); });
        const fs::path socket = dir.path() / "tunnel.sock";
        service = std::make_unique<fleet::BackgroundProcess>(
            std::vector<std::string>{CORVANE_TUNNEL_PATH, "--user", "--socket", socket.string(), "--state-dir",
                                     (dir.path() / "service").string(), "--engine", fleet::enginePath().string(),
                                     "--proxy-port", std::to_string(fleet::freeTcpPort())},
            dir.path() / "service.log", std::vector<std::string>{"SSL_CERT_FILE=" + (state / "ca-bundle.pem").string()});
        waitUntil([&] { return fs::exists(socket); }, [&] { return service->log(); });
        http = std::make_unique<HttpClient>(HttpClientOptions{.extraCAFile = (state / "tls" / "ca.pem").string()});

        AppModelParts parts;
        parts.store = std::make_shared<InMemoryTokenStore>();
        parts.tunnelPlatform = std::make_shared<ServiceTunnelPlatform>(io.get_executor(), socket);
        parts.settings = std::make_shared<FileSettingsStore>(dir.path() / "settings.json");
        parts.http = http.get();
        parts.deployment = Deployment::load({state / "deployment.json"}).values;
        parts.selfUpdates = false;
        model = std::make_unique<AppModel>(io.get_executor(), std::move(parts));
        const auto summary = boost::json::parse(fleet::readFile(state / "panel-sim.json")).as_object();
        model->panelURL = std::string(summary.at("panel_url").as_string());
        model->email = "demo@corvane.test";
        model->password = "demo-password";
        runUntilDone(io, model->signIn(false));
        if (!model->signedIn) throw std::runtime_error("sign-in failed: " + model->errorMessage->value_or(""));
    }
    ~Setting() { model.reset(); }

    static void waitUntil(const std::function<bool()>& ready, const std::function<std::string()>& log) {
        const auto deadline = Clock::now() + 60s;
        while (!ready()) {
            if (Clock::now() > deadline) throw std::runtime_error("the bench's setting did not come up:\n" + log());
            std::this_thread::sleep_for(20ms);
        }
    }
    bool runUntil(const std::function<bool()>& done, std::chrono::seconds limit = 20s) {
        const auto deadline = Clock::now() + limit;
        while (!done() && Clock::now() < deadline) {
            io.run_for(1ms);
            io.restart();
        }
        return done();
    }
};

Setting& setting() {
    static Setting s;
    return s;
}

void BM_ConnectOverhead(benchmark::State& state) {
    Setting* setUp = nullptr;
    try {
        setUp = &setting();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        for (auto _ : state) {
        }
        return;
    }
    Setting& s = *setUp;
    AppModel& m = *s.model;
    double refresh = 0, sites = 0, build = 0, toLaunch = 0, total = 0, engine = 0, verified = 0;
    for (auto _ : state) {
        // The pieces between the refresh and the hand-off, one by one on the same state.
        auto t = Clock::now();
        auto prepared = runUntilDone(s.io, SitePrep::prepareSites(m.sites, SitePrep::devicePrefixes(), m.disabledSiteIds));
        sites += msSince(t);
        t = Clock::now();
        ConfigBuilder::Inputs inputs;
        for (const auto& server : *m.servers) {
            inputs.shares.push_back(ShareUrlParser::parse(server.hysteria2Url));
            inputs.shares.push_back(ShareUrlParser::parse(server.realityUrl));
        }
        for (const auto& site : prepared) inputs.sites.push_back(site.site);
        inputs.urlTestURL = m.deployment().urlTestProbeURL;
        inputs.ruleSetBaseURL = m.deployment().ruleSetBaseURL;
        benchmark::DoNotOptimize(ConfigBuilder::build(inputs).serialize());
        build += msSince(t);

        // The whole connect, and the first probe that passes. The service reports
        // connecting when it launches the engine and connected once its control API answers.
        t = Clock::now();
        std::optional<Clock::time_point> launched, refreshed;
        bool wasRefreshing = false;
        Subscription watching = m.observe([&](const auto& snapshot) {
            if (snapshot->refreshing) wasRefreshing = true;
            if (wasRefreshing && !snapshot->refreshing && !refreshed) refreshed = Clock::now();
            if (!launched && snapshot->tunnelStatus == NEVPNStatus::connecting) launched = Clock::now();
        });
        runUntilDone(s.io, m.connect());
        if (!s.runUntil([&] { return m.tunnel.status() == NEVPNStatus::connected; })) {
            state.SkipWithError(("no connect: " + m.errorMessage->value_or("?")).c_str());
            break;
        }
        const auto connectedAt = Clock::now();
        const double connected = std::chrono::duration<double, std::milli>(connectedAt - t).count();
        total += connected;
        if (!launched || !refreshed) {
            state.SkipWithError("the connect's steps were not seen");
            break;
        }
        engine += std::chrono::duration<double, std::milli>(connectedAt - *launched).count();
        refresh += std::chrono::duration<double, std::milli>(*refreshed - t).count();
        toLaunch += std::chrono::duration<double, std::milli>(*launched - t).count();
        state.SetIterationTime(connected / 1000);
        if (!s.runUntil([&] { return m.tunnelReachable.get() == true; })) {
            state.SkipWithError("the tunnel never became reachable");
            break;
        }
        verified += msSince(t);
        runUntilDone(s.io, m.toggleConnection());
        s.runUntil([&] { return m.tunnel.status() == NEVPNStatus::disconnected; });
    }
    const double n = static_cast<double>(state.iterations());
    if (n == 0) return;
    state.counters["refresh_ms"] = refresh / n;
    state.counters["sites_ms"] = sites / n;
    state.counters["build_ms"] = build / n;
    state.counters["engine_start_ms"] = engine / n;
    // From the refresh's end to the service launching the engine, less the two pieces timed above.
    state.counters["handoff_ms"] = (toLaunch - refresh - sites - build) / n;
    state.counters["own_ms"] = (total - engine) / n;  // connect() to connected, minus the engine's start
    state.counters["verified_ms"] = verified / n;      // connect() to the first passing probe
}
BENCHMARK(BM_ConnectOverhead)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace
