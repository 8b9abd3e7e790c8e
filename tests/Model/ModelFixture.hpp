// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>

#include "Corvane/Diagnostics/DiagnosticsReporter.hpp"
#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Platform/FileSettingsStore.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "TestSupport/FakePathMonitor.hpp"
#include "TestSupport/FakeTunnelPlatform.hpp"
#include "TestSupport/PanelOnLoopback.hpp"

namespace corvane::testing {

using namespace corvane::fleet;

using namespace std::chrono_literals;

inline const std::string kLogin = R"({"token":"jwt-1","expiresAt":"2027-01-01T00:00:00Z"})";

inline std::string serverJSON(int id, const std::string& name) {
    return R"({"vps_id":)" + std::to_string(id) + R"(,"name":")" + name + R"(","public_ip":"203.0.113.)" +
           std::to_string(id) + R"(","hysteria2_url":"hy2://pw@203.0.113.1:443","reality_url":"vless://u@203.0.113.1:443",)"
           R"("config_version":1})";
}

inline std::string versionJSON(const std::string& version, const std::string& url = "https://panel.example/c.deb",
                               const std::string& minimum = "") {
    return R"({"platform":"linux-x86_64","version":")" + version + R"(","sha256":"ab","filename":"c.deb",)"
           R"("size_bytes":1,"download_url":")" + url + "\"" +
           (minimum.empty() ? "" : R"(,"min_required_version":")" + minimum + "\"") + R"(,"uploaded_at":"2026-12-01"})";
}

// Timings short enough that the real flows run in a test.
inline Timings shortTimings() {
    Timings t;
    t.connectRefreshTimeout = 300ms;
    t.serversRecoveryWindow = 30s;
    t.serversRecoveryDelays = {150ms, 300ms, 450ms};
    t.signInRecoveryWindow = 30s;
    t.signInRecoveryDelays = {400ms, 800ms};
    t.recoveryPause = 20ms;
    t.updateCheckInterval = 1h;
    t.healthCheckPeriod = 50ms;
    t.logPollConnectingInterval = 1h;
    t.logPollInterval = 1h;
    return t;
}

// The panel answers each API path as the test scripts it.
class PanelScript {
public:
    void set(const std::string& path, ScriptedReply reply) {
        std::lock_guard lock(mutex_);
        replies_[path] = std::move(reply);
    }
    ScriptedReply reply(const RecordedRequest& r) {
        std::lock_guard lock(mutex_);
        auto it = replies_.find(r.target.substr(0, r.target.find('?')));
        return it == replies_.end() ? ScriptedReply::json(404, R"({"error":"not_found"})") : it->second;
    }

private:
    std::mutex mutex_;
    std::map<std::string, ScriptedReply> replies_;
};

inline const std::string kLoginPath = "/api/client/auth/login";
inline const std::string kServersPath = "/api/client/servers";
inline const std::string kVersionPath = "/api/client/version";

// A model on the test's own loop with the HTTPS test panel, a fake tunnel
// platform, a fake path monitor, a settings file and short timings.
class ModelTest : public ::testing::Test, protected PanelOnLoopback {
protected:
    ModelTest() {
        panel.setHandler([this](const RecordedRequest& r) { return script.reply(r); });
    }
    ~ModelTest() override {
        model.reset();
        panel.stop();  // its threads use the script
    }

    AppModel& make(const std::function<void(AppModelParts&)>& adjust = {}) {
        AppModelParts parts;
        parts.store = store;
        parts.tunnelPlatform = tunnelPlatform;
        parts.settings = settings;
        parts.pathMonitor = paths;
        parts.diagnostics = std::make_shared<DiagnosticsReporter>(dir.path() / "queue");
        parts.http = &http;
        parts.hostName = [] { return std::optional<std::string>("test-laptop"); };
        parts.lanAddress = [] { return std::optional<std::string>("192.168.1.20"); };
        parts.timings = shortTimings();
        parts.clock = [this] { return fixedNow ? *fixedNow : std::chrono::system_clock::now(); };
        parts.steadyClock = [this] { return fixedSteadyNow ? *fixedSteadyNow : std::chrono::steady_clock::now(); };
        parts.appVersion = "1.0.0";
        parts.selfUpdates = true;
        if (adjust) adjust(parts);
        // A model's tasks must not run after it is gone: each model gets a loop of its own.
        model.reset();
        loop = std::make_unique<boost::asio::io_context>();
        model = std::make_unique<AppModel>(io().get_executor(), std::move(parts));
        return *model;
    }

    boost::asio::io_context& io() { return *loop; }

    template <class T>
    T run(Async<T> work) {
        return runUntilDone(io(), std::move(work));
    }
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            io().run_for(5ms);
            io().restart();
        }
        return done();
    }
    void runFor(std::chrono::milliseconds span) {
        runUntil([] { return false; }, span);
    }
    std::size_t requestsTo(const std::string& path) const {
        std::size_t n = 0;
        for (const auto& r : panel.requests()) n += r.target.substr(0, r.target.find('?')) == path;
        return n;
    }
    // A signed-in model as start-up leaves it with a stored token.
    AppModel& signedInModel(const std::function<void(AppModelParts&)>& adjust = {}) {
        store->save("tok", panel.url(""));
        AppModel& m = make(adjust);
        run(m.start());
        return m;
    }

    PanelScript script;
    std::unique_ptr<boost::asio::io_context> loop = std::make_unique<boost::asio::io_context>();
    std::shared_ptr<InMemoryTokenStore> store = std::make_shared<InMemoryTokenStore>();
    std::shared_ptr<FakeTunnelPlatform> tunnelPlatform = std::make_shared<FakeTunnelPlatform>();
    std::shared_ptr<FileSettingsStore> settings = std::make_shared<FileSettingsStore>(dir.path() / "settings.json");
    std::shared_ptr<FakePathMonitor> paths = std::make_shared<FakePathMonitor>();
    std::optional<std::chrono::system_clock::time_point> fixedNow;        // the wall clock
    std::optional<std::chrono::steady_clock::time_point> fixedSteadyNow;  // time passing, for deadlines
    std::unique_ptr<AppModel> model;
};

}  // namespace corvane::testing
