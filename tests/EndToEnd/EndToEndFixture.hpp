// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The demo panel with its fleet of real engine servers and a metered exit, the
// tunnel service in user mode running the real engine, in a home of their own;
// and the model on a loop of its own with the app's real parts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include "Corvane/Agent/AgentClient.hpp"
#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Diagnostics/DiagnosticsReporter.hpp"
#include "Corvane/Platform/FileSettingsStore.hpp"
#include "Corvane/Platform/ServiceTunnelPlatform.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"
#include "CorvaneCore/Tunnel/TunnelServiceProtocol.hpp"
#include "TestSupport/PrivateHome.hpp"
#include "TestSupport/ProxyTunnel.hpp"
#include "TestSupport/ServiceClient.hpp"
#include "tools/fleet/BackgroundProcess.hpp"
#include "tools/fleet/ChildProcess.hpp"
#include "tools/fleet/Engine.hpp"
#include "tools/fleet/NetworkPorts.hpp"
#include "tools/fleet/TempDir.hpp"


namespace corvane::testing {

using namespace corvane::fleet;
using namespace std::chrono_literals;
namespace fs = std::filesystem;


// Two servers and a metered exit of 2 MB behind the first; rule sets served by the panel.
inline const char* kWorld = R"({
  "users": [{"email": "demo@corvane.test", "password": "demo-password"}],
  "vpses": [{"vps_id": 1, "name": "Amsterdam", "address": "127.0.0.11"},
            {"vps_id": 2, "name": "Tokyo", "address": "127.0.0.12"}],
  "exits": [{"exit_id": 10, "vps_id": 1, "name": "Residential US", "address": "127.0.0.21",
             "allowance_gb": 0.002, "fallback_on_exhaustion": true}],
  "version": {"latest": "0.0.1", "download_url": "https://127.0.0.1/c.tar.gz", "sha256": "ab",
              "filename": "c.tar.gz", "size_bytes": 42, "uploaded_at": "2026-12-01T09:00:00Z"},
  "rule_sets": {"geoip-cn": {"repo": "sing-geoip", "rules": [{"ip_cidr": ["127.0.0.30/32"]}]},
                "geosite-cn": {"repo": "sing-geosite", "rules": [{"domain_suffix": ["cn.corvane.test"]}]}}
})";

inline std::uint16_t portOf(const std::string& url) {
    std::string text = url;
    if (text.ends_with("/")) text.pop_back();
    return static_cast<std::uint16_t>(std::stoi(text.substr(text.rfind(':') + 1)));
}

// A user's home with the demo panel, its fleet and the tunnel service running:
// settings, token file, deployment file and the service's socket all under it.
class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        home_.emplace(home);

        writeFile(dir.path() / "world.json", worldJSON);
        sim_ = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{CORVANE_PANEL_SIM_PATH, "--listen", "127.0.0.1:" + std::to_string(freeTcpPort()),
                                     "--state-dir", simState().string(), "--world", (dir.path() / "world.json").string(),
                                     "--meter-interval", "100"},
            dir.path() / "sim.log");
        waitFor([&] { return sim_->log().find("\nready\n") != std::string::npos; }, 60s, "the panel sim");
        const auto summary = boost::json::parse(readFile(simState() / "panel-sim.json")).as_object();
        panelURL = std::string(summary.at("panel_url").as_string());
        webPort = portOf(std::string(summary.at("web_url").as_string()));
        home_->set("CORVANE_CA_FILE", (simState() / "tls" / "ca.pem").string());
        fs::create_directories(home / "config" / "corvane");
        fs::copy_file(simState() / "deployment.json", home / "config" / "corvane" / "deployment.json");

        proxyPort = freeTcpPort();
        socket = TunnelServiceEndpoint::userSocketPath();
        // The engine's probes and rule-set downloads trust the panel's CA through this bundle.
        service_ = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{CORVANE_TUNNEL_PATH, "--user", "--socket", socket.string(), "--state-dir",
                                     (dir.path() / "service").string(), "--engine", enginePath().string(),
                                     "--proxy-port", std::to_string(proxyPort)},
            dir.path() / "service.log", std::vector<std::string>{"SSL_CERT_FILE=" + (simState() / "ca-bundle.pem").string()});
        waitFor([&] { return rawExchange(socket, R"({"id":1,"op":"hello"})" "\n").find(R"("ok":true)") != std::string::npos; },
                10s, "corvane-tunnel");
    }
    void TearDown() override {
        service_.reset();
        sim_.reset();
        home_.reset();
    }

    void waitFor(const std::function<bool()>& ready, std::chrono::seconds limit, const std::string& what) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!ready()) {
            if (std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error(what + " did not come up:\n" + (sim_ ? sim_->log() : "") +
                                         (service_ ? service_->log() : ""));
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    fs::path simState() const { return dir.path() / "sim"; }

    // Asks `done` every 50 ms until it holds or `limit` passes; whether it holds.
    static bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }

    // The web target through the local proxy; it names who carried the request.
    std::string viaProxy() {
        try {
            ProxyTunnel tunnel(proxyPort, "any", "any", "localhost", webPort);
            return tunnel.get("/");
        } catch (const std::exception& e) {
            return std::string("failed: ") + e.what();
        }
    }
    ProcessResult ctl(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), CORVANECTL_PATH);
        return runProcess(args, input);
    }
    // The user's agent's state (which corvanectl started), by the model's field names.
    boost::json::object agentState() {
        AgentClient agent(AgentClient::Options{.start = false});
        return agent.call("snapshot").as_object();
    }
    // What the running engine's selector `tag` uses now, asked of the engine the service names.
    std::optional<std::string> engineSelector(const std::string& tag) {
        AppSide app(socket);
        app.run(app.controller.load());
        auto status = app.run(app.controller.send<TunnelIPC::StatusReply>(TunnelIPC::Request::status()));
        if (!status || !status->clashPort) return std::nullopt;
        try {
            const auto table = app.run(ClashClient(*status->clashPort, status->clashSecret.value_or("")).proxies());
            auto it = table.proxies.find(tag);
            return it == table.proxies.end() ? std::nullopt : it->second.now;
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    ProcessResult simCtl(std::vector<std::string> words) {
        std::vector<std::string> argv{CORVANE_PANEL_SIM_PATH, "ctl", "--state-dir", simState().string()};
        argv.insert(argv.end(), words.begin(), words.end());
        return runProcess(argv);
    }

    std::string worldJSON = kWorld;  // a fixture of its own may set another world before SetUp
    TempDir dir;
    fs::path home = dir.path() / "home";
    fs::path socket;
    std::string panelURL;
    std::uint16_t webPort = 0, proxyPort = 0;

private:
    std::optional<PrivateHome> home_;
    std::unique_ptr<BackgroundProcess> sim_;
    std::unique_ptr<BackgroundProcess> service_;
};

// The model on a loop of its own with the app's real parts (tunnel service, settings file, deployment).
class LiveModel {
public:
    // `besideCorvanectl`: the settings file and kept configuration that corvanectl uses
    // in the same home, as the desktop app shares them; else files of its own.
    // `adjust` changes the parts (shorter timings, say) before the model is made.
    LiveModel(const fs::path& home, const fs::path& socket, bool besideCorvanectl = false,
              const std::function<void(AppModelParts&)>& adjust = {})
        : http(HttpClientOptions::fromEnvironment()) {
        AppModelParts parts;
        parts.store = std::make_shared<InMemoryTokenStore>();
        parts.tunnelPlatform = std::make_shared<ServiceTunnelPlatform>(io.get_executor(), socket);
        parts.settings = std::make_shared<FileSettingsStore>(besideCorvanectl ? FileSettingsStore::defaultPath()
                                                                               : home / "model-settings.json");
        if (besideCorvanectl) parts.configSnapshotFile = DiagnosticsReporter::configSnapshotPath();
        parts.http = &http;
        parts.deployment = Deployment::load({home / "config" / "corvane" / "deployment.json"}).values;
        parts.selfUpdates = false;
        parts.timings.healthCheckPeriod = 500ms;
        if (adjust) adjust(parts);
        model = std::make_unique<AppModel>(io.get_executor(), std::move(parts));
    }
    ~LiveModel() { model.reset(); }

    template <class T>
    T run(Async<T> work) {
        return runUntilDone(io, std::move(work));
    }
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            io.run_for(10ms);
            io.restart();
        }
        return done();
    }

    boost::asio::io_context io;
    HttpClient http;
    std::unique_ptr<AppModel> model;
};

}  // namespace corvane::testing
