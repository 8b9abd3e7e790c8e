// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CorvaneCore/Support/Task.hpp"
#include "tools/panel-sim/HttpListener.hpp"
#include "tools/panel-sim/World.hpp"

namespace boost::asio {
class io_context;
}

namespace corvane {
class HttpClient;
}

namespace corvane::fleet {
struct Certificates;
class VpsServer;
class ExitServer;
}  // namespace corvane::fleet

namespace corvane::panelsim {

struct PanelSimOptions {
    std::filesystem::path stateDir;
    std::string listenAddress = "127.0.0.1";
    std::uint16_t listenPort = 8443;
    std::uint16_t webPort = 0;  // 0: any free port
    std::chrono::milliseconds meterInterval{1000};
    // Where log lines go (standard output in the program).
    std::function<void(const std::string&)> output;
};

struct AdminReply {
    bool ok = true;
    std::string text;
};

// The demo panel: the panel API over HTTPS, a real fleet behind it, the
// probe, trace and rule-set endpoints, a web target and the admin commands.
// Lives on one io_context; nothing here is touched from another thread.
class PanelSim {
public:
    PanelSim(boost::asio::io_context& context, PanelSimOptions options, World world);
    ~PanelSim();
    PanelSim(const PanelSim&) = delete;
    PanelSim& operator=(const PanelSim&) = delete;

    // Makes the certificates, the CA bundle and the rule sets, opens the
    // listeners, starts the fleet and the allowance meter, and writes
    // panel-sim.json and deployment.json into the state folder. Throws on failure.
    void start();
    void stop();

    // One admin command (argv without the program's own words).
    AdminReply admin(const std::vector<std::string>& args);

    std::string panelURL() const;
    std::string webURL() const;
    std::filesystem::path caFile() const;
    std::filesystem::path caBundleFile() const;
    std::filesystem::path adminSocket() const { return options_.stateDir / "admin.sock"; }

private:
    struct VpsState;
    struct ExitState;
    struct Session;

    Async<SimResponse> handlePanel(SimRequest request);
    Async<SimResponse> handleWeb(SimRequest request);
    SimResponse login(const SimRequest& request);
    SimResponse serverList(const SimRequest& request, const std::string& email);
    SimResponse selectExit(const SimRequest& request, const std::string& email);
    SimResponse version(const SimRequest& request);
    SimResponse diagnostics(const SimRequest& request, const std::string& email);
    std::optional<SimResponse> rejectToken(const SimRequest& request, std::string& email);

    void startVps(const SimVps& vps);
    void startExit(const SimExit& exit);
    Async<void> meterLoop();
    Async<void> readMeter(std::int64_t exitId);
    // Points the exit's route on its entry server at the exit, the original exit or nowhere.
    Async<void> applyRoute(std::int64_t exitId);
    void spawnRoute(std::int64_t exitId);
    std::string trafficStatus(const ExitState& exit) const;
    void makeRuleSets();
    void writeSummary();
    void log(const std::string& line);

    AdminReply status();

    boost::asio::io_context& context_;
    PanelSimOptions options_;
    World world_;
    std::unique_ptr<HttpClient> control_;
    std::unique_ptr<fleet::Certificates> certificates_;
    std::unique_ptr<HttpListener> panel_;
    std::unique_ptr<HttpListener> web_;
    std::map<std::int64_t, std::unique_ptr<VpsState>> vpses_;
    std::map<std::int64_t, std::unique_ptr<ExitState>> exits_;
    std::map<std::string, std::unique_ptr<Session>> sessions_;  // by token
    std::chrono::steady_clock::time_point unavailableUntil_{};
    std::chrono::steady_clock::time_point stallUntil_{};
    std::int64_t nextReportId_ = 1;
    std::size_t heldRequests_ = 0;
    TaskHandle meter_;
    bool stopped_ = false;
};

}  // namespace corvane::panelsim
