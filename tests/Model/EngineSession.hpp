// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A model as a user runs it, on real parts: the HTTPS test panel listing a
// real fleet, corvane-tunnel --user with the real engine, the settings file and
// the diagnostics queue in a temporary folder. Everything is made in the
// network namespace of the thread that makes it.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <memory>
#include <thread>

#include <boost/asio/io_context.hpp>

#include "Corvane/Diagnostics/DiagnosticsReporter.hpp"
#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Platform/FileSettingsStore.hpp"
#include "Corvane/Platform/ServiceTunnelPlatform.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "TestSupport/PanelOnLoopback.hpp"
#include "TestSupport/ServiceClient.hpp"
#include "tools/fleet/BackgroundProcess.hpp"
#include "tools/fleet/Fleet.hpp"
#include "tools/fleet/NetworkPorts.hpp"

namespace corvane::testing {

using namespace std::chrono_literals;

// corvane-tunnel --user on a socket in `dir`; its engine trusts the fleet's CA.
class ServiceProcess {
public:
    ServiceProcess(const std::filesystem::path& dir, std::uint16_t proxyPort, const std::filesystem::path& caFile)
        : socket((std::filesystem::create_directories(dir), dir / "run" / "tunnel.sock")),
          process({CORVANE_TUNNEL_PATH, "--user", "--socket", socket.string(), "--state-dir", (dir / "state").string(),
                   "--engine", fleet::enginePath().string(), "--proxy-port", std::to_string(proxyPort)},
                  dir / "service.log", {"SSL_CERT_FILE=" + caFile.string()}) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (rawExchange(socket, R"({"id":1,"op":"hello"})" "\n").find(R"("ok":true)") == std::string::npos) {
            if (!process.isRunning() || std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error("corvane-tunnel did not come up:\n" + process.log());
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    // The engine: the service's one child process (started from one of its threads).
    pid_t enginePid() const {
        pid_t pid = 0;
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(process.pid()) + "/task")) {
            std::ifstream in(task.path() / "children");
            if (in >> pid && pid > 0) return pid;
        }
        return 0;
    }

    std::filesystem::path socket;
    fleet::BackgroundProcess process;
};

// Short intervals, so that the real loops run within a test.
inline Timings engineTimings() {
    Timings t;
    t.connectRefreshTimeout = 5s;
    t.healthCheckPeriod = 1s;
    t.proxyPollFastInterval = 300ms;
    t.proxyPollInterval = 500ms;
    t.logPollConnectingInterval = 200ms;
    t.logPollInterval = 300ms;
    t.siteWatchPeriod = 1s;
    t.diagnosticsNoteDuration = 300ms;
    t.restartPollInterval = 100ms;
    t.restartPollCount = 100;
    return t;
}

inline const std::string kToken = "tok-5f1c9e0b7a";

class EngineSession : public PanelOnLoopback {
public:
    struct Options {
        std::optional<std::string> lanAddress;
        std::vector<SiteAccess> sites;
        std::vector<std::string> reachabilityProbeURLs;  // none: the fleet's probe
    };

    explicit EngineSession(Options options = {})
        : options_(std::move(options)),
          service(dir.path() / "service", proxyPort, fleet.certificates().caFile) {
        panel.setHandler([this](const fleet::RecordedRequest& r) { return reply(r); });
        settings->set("smart_routing", boost::json::value(false));  // its rule sets would come from the internet
        store->save(kToken, panel.url(""));
    }
    ~EngineSession() {
        model.reset();
        panel.stop();
    }

    AppModel& makeModel() {
        model.reset();
        loop = std::make_unique<boost::asio::io_context>();
        AppModelParts parts;
        parts.store = store;
        parts.tunnelPlatform = std::make_shared<ServiceTunnelPlatform>(loop->get_executor(), service.socket);
        parts.settings = settings;
        parts.diagnostics = std::make_shared<DiagnosticsReporter>(dir.path() / "queue");
        parts.http = &http;
        parts.hostName = [] { return std::optional<std::string>("test-laptop"); };
        parts.lanAddress = [address = options_.lanAddress] { return address; };
        parts.timings = engineTimings();
        parts.appVersion = "1.0.0";
        parts.selfUpdates = false;
        parts.deployment.panelURL = panel.url("");
        parts.deployment.urlTestProbeURL = fleet.probeURL();
        parts.deployment.reachabilityProbeURLs = options_.reachabilityProbeURLs;
        if (parts.deployment.reachabilityProbeURLs.empty()) parts.deployment.reachabilityProbeURLs = {fleet.probeURL()};
        parts.deployment.proxyResolverAddress = "127.0.0.1";
        parts.deployment.directResolverAddress = "127.0.0.1";
        model = std::make_unique<AppModel>(loop->get_executor(), std::move(parts));
        return *model;
    }

    // A started, signed-in model with a connected tunnel and its first live values.
    AppModel& connected() {
        AppModel& m = makeModel();
        run(m.start());
        run(m.connect());
        if (!runUntil([&] { return m.tunnel.status() == NEVPNStatus::connected && m.clash; }, 60s)) {
            ADD_FAILURE() << "no session: " << m.errorMessage->value_or(m.tunnel.lastError().value_or("?")) << "\n"
                          << service.process.log();
        }
        return m;
    }

    template <class T>
    T run(Async<T> work) {
        return runUntilDone(*loop, std::move(work));
    }
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            loop->run_for(5ms);
            loop->restart();
        }
        return done();
    }
    void runFor(std::chrono::milliseconds span) {
        runUntil([] { return false; }, span);
    }

    std::vector<fleet::RecordedRequest> reports() const {
        std::vector<fleet::RecordedRequest> posted;
        for (auto& r : panel.requests()) {
            if (r.method == "POST" && r.target == "/api/client/diagnostics") posted.push_back(r);
        }
        return posted;
    }

    // The sites the panel lists from now on.
    void setSites(std::vector<SiteAccess> sites) {
        std::lock_guard lock(mutex_);
        options_.sites = std::move(sites);
    }

    fleet::ScriptedReply reply(const fleet::RecordedRequest& r) {
        const std::string path = r.target.substr(0, r.target.find('?'));
        if (path == "/api/client/servers") {
            std::lock_guard lock(mutex_);
            ServerListResponse list{.servers = {fleet.serverListEntry(1, "Alpha")}, .sites = options_.sites};
            return fleet::ScriptedReply::json(200, encodeJSON(list));
        }
        if (path == "/api/client/diagnostics") {
            if (panelDown) return fleet::ScriptedReply{.drop = true};
            return fleet::ScriptedReply::json(200, R"({"report_id":7})");
        }
        return fleet::ScriptedReply::json(404, R"({"error":"not_found"})");
    }

    std::mutex mutex_;
    Options options_;
    fleet::Fleet fleet;
    std::uint16_t proxyPort = fleet::freeTcpPort();
    ServiceProcess service;
    std::atomic<bool> panelDown{false};
    std::shared_ptr<InMemoryTokenStore> store = std::make_shared<InMemoryTokenStore>();
    std::shared_ptr<FileSettingsStore> settings = std::make_shared<FileSettingsStore>(dir.path() / "settings.json");
    std::unique_ptr<boost::asio::io_context> loop;
    std::unique_ptr<AppModel> model;
};

inline bool engineInstalled() { return ::access(fleet::enginePath().c_str(), X_OK) == 0; }

}  // namespace corvane::testing
