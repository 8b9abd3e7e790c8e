// SPDX-License-Identifier: GPL-3.0-or-later
// One model per user: corvanectl commands at once, killed in the middle, and
// the agent itself killed, against the demo panel's fleet and the tunnel
// service with the real engine.
#include "EndToEnd/EndToEndFixture.hpp"

#include <signal.h>

#include <future>
#include <sstream>

#include <boost/json/serialize.hpp>

#include "TestSupport/ScopedEnv.hpp"

using namespace corvane;
using namespace corvane::fleet;
using namespace corvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

// The demo world with two private sites behind gateways on loopback that never answer.
std::string worldWithTwoSites() {
    std::string world = kWorld;
    auto site = [](int id, const std::string& name, int net) {
        return R"({"site_id": )" + std::to_string(id) + R"(, "name": ")" + name +
               R"(", "endpoint_host": "127.0.0.40", "endpoint_port": 51820,)"
               R"( "server_public_key": "QxL2rbfDuuKYSFAGnu6/Ybgk+NziczqcQJ2T/AEeKDo=", "cidrs": ["10.77.)" +
               std::to_string(net) + R"(.0/24"],)"
               R"( "address": "10.77.0.2/32", "private_key": "wJoCME9RWUUpa4AJ4zLy880NcTGmTnx70H7WCmAFz1o="})";
    };
    world.insert(world.find(R"("version")"), R"("sites": [)" + site(5, "Head office", 10) + ", " + site(6, "Lab", 11) + "],\n  ");
    return world;
}

class AgentEndToEnd : public EndToEnd {
protected:
    AgentEndToEnd() { worldJSON = worldWithTwoSites(); }

    void SetUp() override {
        EndToEnd::SetUp();
        // The agent the first command starts keeps this environment: a short site watch.
        siteWatch_.emplace("CORVANE_SITE_WATCH_SECONDS", "1");
        auto r = ctl({"login", "--panel", panelURL, "--email", "demo@corvane.test", "--password-stdin"}, "demo-password\n");
        ASSERT_EQ(r.exitStatus, 0) << r.err;
    }
    void TearDown() override {
        siteWatch_.reset();
        EndToEnd::TearDown();
    }

    void connect() {
        auto r = ctl({"connect", "--wait", "30"});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
    }
    pid_t agentPid() {
        AgentClient agent(AgentClient::Options{.start = false});
        return static_cast<pid_t>(agent.call("hello").at("pid").as_int64());
    }
    // Two commands at once, each in its own process.
    std::pair<ProcessResult, ProcessResult> together(std::vector<std::string> a, std::vector<std::string> b) {
        auto first = std::async(std::launch::async, [&] { return ctl(a); });
        auto second = std::async(std::launch::async, [&] { return ctl(b); });
        return {first.get(), second.get()};
    }
    // Starts a command and kills it (SIGKILL) once the agent's state shows that the
    // work it asked for has begun, in the middle of that work.
    void killedOnceBegun(std::vector<std::string> args, const std::function<bool(const json::object&)>& begun) {
        args.insert(args.begin(), CORVANECTL_PATH);
        BackgroundProcess command(args, dir.path() / "killed.log");
        ASSERT_TRUE(eventually([&] { return begun(agentState()); }, 20s)) << command.log();
        ::kill(command.pid(), SIGKILL);
        command.waitForExit(5s);
    }
    std::string status() { return std::string(agentState().at("status").as_string()); }
    // The agent's state once it has settled on a connected session that carries traffic.
    bool settledConnected() {
        return eventually([&] {
            const auto s = agentState();
            return s.at("status").as_string() == "connected" && !s.at("connectInFlight").as_bool();
        }, 30s) && viaProxy().find("through ") != std::string::npos;
    }

    // How many times a `watch --json` output turns to "connecting".
    static std::size_t connectsIn(const std::string& watched) {
        std::size_t connects = 0;
        std::string last;
        std::istringstream lines(watched);
        for (std::string line; std::getline(lines, line);) {
            if (!line.starts_with("{")) continue;
            const auto object = json::parse(line).as_object();
            if (!object.contains("status")) continue;  // rates and log lines
            const std::string now(object.at("status").as_string());
            if (now == "connecting" && last != "connecting") ++connects;
            last = now;
        }
        return connects;
    }

    std::optional<ScopedEnv> siteWatch_;
};

// Every pair: one true final state that the agent, the engine and the traffic agree
// on, and every command's text and exit status telling the truth.
TEST_F(AgentEndToEnd, TwoCommandsAtOnceLeaveOneTrueState) {
    // Connect twice: one tunnel, both say connected.
    auto [a, b] = together({"connect", "--wait", "30"}, {"connect", "--wait", "30"});
    EXPECT_EQ(a.exitStatus, 0) << a.err;
    EXPECT_EQ(b.exitStatus, 0) << b.err;
    EXPECT_TRUE(a.out.find("onnected: ") != std::string::npos && b.out.find("onnected: ") != std::string::npos) << a.out << b.out;
    AppSide app(socket);
    EXPECT_EQ(app.run(app.platform->loadAllProfiles()).size(), 1u);
    ASSERT_TRUE(settledConnected());

    // Two sites off at once: both stay off, in the model and in the engine.
    std::tie(a, b) = together({"site", "off", "Head office"}, {"site", "off", "Lab"});
    EXPECT_EQ(a.exitStatus, 0) << a.err;
    EXPECT_EQ(b.exitStatus, 0) << b.err;
    EXPECT_EQ(a.out, "Head office is off.\n");
    EXPECT_EQ(b.out, "Lab is off.\n");
    EXPECT_EQ(agentState().at("disabledSiteIds"), json::parse("[5,6]"));
    EXPECT_EQ(engineSelector("site-0-switch"), "direct");
    EXPECT_EQ(engineSelector("site-1-switch"), "direct");

    // Two new sharing passwords: the one the agent holds is one of those printed, and the tunnel stays up.
    ASSERT_EQ(ctl({"share", "on"}).exitStatus, 0);
    ASSERT_TRUE(settledConnected());
    std::tie(a, b) = together({"share", "new-password", "--json"}, {"share", "new-password", "--json"});
    ASSERT_EQ(a.exitStatus, 0) << a.err;
    ASSERT_EQ(b.exitStatus, 0) << b.err;
    const auto held = agentState().at("lanSharePassword");
    EXPECT_TRUE(json::parse(a.out).at("lanSharePassword") == held || json::parse(b.out).at("lanSharePassword") == held);
    EXPECT_TRUE(settledConnected());

    // A pin and a route at once: whichever came last, the engine runs what the agent shows.
    std::tie(a, b) = together({"pin", "Tokyo", "reality"}, {"route", "--entry", "Amsterdam", "--exit", "10"});
    EXPECT_EQ(a.exitStatus, 0) << a.err;
    EXPECT_EQ(b.exitStatus, 0) << b.err;
    ASSERT_TRUE(settledConnected());
    const auto state = agentState();
    EXPECT_EQ(engineSelector("proxy"), std::string(state.at("pinChoice").as_string()));
    const bool metered = state.contains("selectedExitId");
    EXPECT_NE(viaProxy().find(metered ? "through metered exit 10" : "through server 2 \"Tokyo\""), std::string::npos)
        << state.at("pinChoice");

    // Connect and disconnect at once: the status and the traffic agree, and a last disconnect stops it.
    std::tie(a, b) = together({"connect", "--wait", "30"}, {"disconnect"});
    EXPECT_EQ(b.exitStatus, 0) << b.err;
    ASSERT_TRUE(eventually([&] { return !agentState().at("connectInFlight").as_bool(); }, 30s));
    EXPECT_FALSE(a.exitStatus != 0 && status() == "connected") << "a connect that said it failed: " << a.err;
    if (status() == "connected") {
        EXPECT_NE(viaProxy().find("through "), std::string::npos);
        EXPECT_EQ(ctl({"disconnect"}).out, "Disconnected.\n");
    }
    EXPECT_EQ(status(), "disconnected");
    EXPECT_EQ(viaProxy().find("through "), std::string::npos) << "the tunnel still carries traffic";
    EXPECT_EQ(app.run(app.platform->loadAllProfiles()).size(), 1u);
}

// A command killed in the middle: the agent finishes what it asked for.
TEST_F(AgentEndToEnd, ACommandKilledInTheMiddleLeavesTheWorkToTheAgent) {
    auto connecting = [](const json::object& s) { return s.at("connectInFlight").as_bool() || s.at("status") != "disconnected"; };
    killedOnceBegun({"connect", "--wait", "30"}, connecting);
    EXPECT_TRUE(settledConnected()) << "the connect was finished";

    killedOnceBegun({"route", "--entry", "Amsterdam", "--exit", "10"}, [](const json::object& s) { return s.contains("selectedExitId"); });
    EXPECT_TRUE(settledConnected());
    EXPECT_EQ(agentState().at("selectedExitId").as_int64(), 10);
    EXPECT_NE(viaProxy().find("through metered exit 10"), std::string::npos) << "the tunnel came back on the new route";

    killedOnceBegun({"site", "off", "Lab"}, [](const json::object& s) { return s.at("disabledSiteIds") == json::parse("[6]"); });
    EXPECT_TRUE(eventually([&] { return engineSelector("site-1-switch") == "direct"; }, 10s));
    EXPECT_EQ(agentState().at("disabledSiteIds"), json::parse("[6]"));
    EXPECT_EQ(engineSelector("site-0-switch"), "site-0");
}

// The agent killed while connected: the tunnel runs on; the next command starts
// an agent that adopts the session and its loops (its site watch reconnects once
// for a site the panel takes away), and a running watch follows the new agent.
TEST_F(AgentEndToEnd, AKilledAgentLeavesTheTunnelAndTheNextOneAdoptsIt) {
    connect();
    BackgroundProcess watcher({CORVANECTL_PATH, "watch", "--json"}, dir.path() / "watch.log");
    waitFor([&] { return watcher.log().find(R"("status":"connected")") != std::string::npos; }, 10s, "corvanectl watch");

    const pid_t first = agentPid();
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    EXPECT_NE(viaProxy().find("through server "), std::string::npos) << "the tunnel runs without its agent";

    auto shown = ctl({"status", "--json"});
    ASSERT_EQ(shown.exitStatus, 0) << shown.err << readFile(home / "state" / "corvane" / "agent.log");
    EXPECT_EQ(json::parse(shown.out).at("status").as_string(), "connected");
    EXPECT_NE(agentPid(), first);
    waitFor([&] { return watcher.log().find("connecting again") != std::string::npos; }, 10s,
            "the watcher's reconnection (" + watcher.log() + ")");

    // The new agent switches the running engine's sites by id.
    auto off = ctl({"site", "off", "Lab"});
    ASSERT_EQ(off.exitStatus, 0) << off.err;
    EXPECT_EQ(off.out, "Lab is off.\n") << "the running session's sites were adopted";
    EXPECT_EQ(engineSelector("site-1-switch"), "direct");
    EXPECT_EQ(engineSelector("site-0-switch"), "site-0");
    ASSERT_EQ(ctl({"site", "on", "Lab"}).exitStatus, 0);

    // Its site watch runs: the panel takes a site away, and the session is rebuilt once.
    ASSERT_TRUE(eventually([&] { return engineSelector("site-1-switch") == "site-1"; }, 10s));
    const std::size_t before = watcher.log().size();
    ASSERT_EQ(simCtl({"remove-site", "6"}).exitStatus, 0);
    ASSERT_TRUE(eventually([&] { return engineSelector("site-1-switch") == std::nullopt && engineSelector("site-0-switch"); },
                           30s))
        << "the adopted session's sites were never watched";
    ASSERT_TRUE(settledConnected());
    std::this_thread::sleep_for(3s);  // more passes of the watch, were it to go on rebuilding
    EXPECT_EQ(connectsIn(watcher.log().substr(before)), 1u) << watcher.log().substr(before);

    // Stopped on purpose, the agent is not started again: the watch ends, and the tunnel stays.
    auto stopped = ctl({"agent", "stop"});
    EXPECT_EQ(stopped.out, "The Corvane agent stopped; the tunnel stays as it was.\n") << stopped.err;
    EXPECT_TRUE(watcher.waitForExit(10s));
    EXPECT_EQ(watcher.exitStatus(), 0);
    EXPECT_NE(watcher.log().find("The Corvane agent stopped."), std::string::npos);
    EXPECT_EQ(ctl({"agent", "status"}).exitStatus, 3);
    EXPECT_NE(viaProxy().find("through server "), std::string::npos);
}

// A metered exit used up while connected: commands leave the tunnel as it is, and
// the agent's own loop falls back to the entry server's own exit, once.
TEST_F(AgentEndToEnd, AUsedUpExitIsTheAgentsToActOnOnce) {
    auto routed = ctl({"route", "--entry", "Amsterdam", "--exit", "10"});
    ASSERT_EQ(routed.exitStatus, 0) << routed.err;
    BackgroundProcess watcher({CORVANECTL_PATH, "watch", "--json"}, dir.path() / "watch.log");
    waitFor([&] { return watcher.log().find(R"("status":"connected")") != std::string::npos; }, 10s, "corvanectl watch");
    const std::size_t before = watcher.log().size();

    ASSERT_EQ(simCtl({"exhaust", "10"}).exitStatus, 0);
    for (int i = 0; i < 10; ++i) {
        auto r = ctl({"status", "--json"});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
    }
    ASSERT_TRUE(eventually([&] {
        const auto s = agentState();
        return s.contains("quotaNotice") && !s.contains("selectedExitId") && s.at("status").as_string() == "connected" &&
               !s.at("connectInFlight").as_bool();
    }, 30s)) << boost::json::serialize(agentState());
    EXPECT_NE(viaProxy().find("through server 1 \"Amsterdam\""), std::string::npos);
    std::this_thread::sleep_for(3s);  // more passes of the agent's loops, were one to act again
    EXPECT_EQ(connectsIn(watcher.log().substr(before)), 1u) << watcher.log().substr(before);
    EXPECT_EQ(watcher.stop(), 0);
}

// Commands never change the tunnel by themselves: with the panel stalled or the
// token expired, status answers at once from the agent's state.
TEST_F(AgentEndToEnd, StatusAnswersFromTheAgentAndChangesNothing) {
    connect();
    ASSERT_EQ(simCtl({"stall", "120"}).exitStatus, 0);
    ASSERT_EQ(simCtl({"expire-token", "--all"}).exitStatus, 0);
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        auto r = ctl({"status", "--json"});
        ASSERT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(json::parse(r.out).at("status").as_string(), "connected");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s) << "status waited for the stalled panel";
    auto servers = ctl({"servers"});
    EXPECT_EQ(servers.exitStatus, 0) << servers.err;
    EXPECT_NE(servers.out.find("Amsterdam"), std::string::npos) << "the agent's list, not the panel's";
    EXPECT_TRUE(agentState().at("signedIn").as_bool());
    EXPECT_NE(viaProxy().find("through server "), std::string::npos);
}

}  // namespace
