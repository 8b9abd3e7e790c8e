// SPDX-License-Identifier: GPL-3.0-or-later
// corvane-tunnel as users run it: the real service process in user mode, the
// real engine, the app's TunnelController and corvanectl on the other side.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <latch>
#include <mutex>
#include <set>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "Corvane/Tunnel/ClashClient.hpp"
#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"
#include "tools/fleet/BackgroundProcess.hpp"
#include "tools/fleet/ChildProcess.hpp"
#include "tools/fleet/NetworkPorts.hpp"
#include "TestSupport/EngineStandIn.hpp"
#include "TestSupport/ProxyTunnel.hpp"
#include "TestSupport/ServiceClient.hpp"
#include "tools/fleet/TempDir.hpp"
#include "tools/fleet/Engine.hpp"
#include "tools/fleet/Fleet.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;
using namespace std::chrono_literals;

namespace {

// corvane-tunnel --user on a socket in `dir`, its engine's local proxy on `proxyPort`.
class ServiceProcess {
public:
    ServiceProcess(const std::filesystem::path& dir, std::uint16_t proxyPort, const std::filesystem::path& engine = enginePath())
        : socket((std::filesystem::create_directories(dir), dir / "run" / "tunnel.sock")),
          process({CORVANE_TUNNEL_PATH, "--user", "--socket", socket.string(), "--state-dir", (dir / "state").string(),
                   "--engine", engine.string(), "--proxy-port", std::to_string(proxyPort)},
                  dir / ("service-" + std::to_string(++starts) + ".log")) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (rawExchange(socket, R"({"id":1,"op":"hello"})" "\n").find(R"("ok":true)") == std::string::npos) {
            if (!process.isRunning() || std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error("corvane-tunnel did not come up:\n" + process.log());
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    // The engine: the service's one child process.
    pid_t enginePid() const {
        std::ifstream children("/proc/" + std::to_string(process.pid()) + "/task/" + std::to_string(process.pid()) + "/children");
        pid_t pid = 0;
        children >> pid;
        if (pid > 0) return pid;
        // The engine is started from the service's tunnel thread.
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(process.pid()) + "/task")) {
            std::ifstream in(task.path() / "children");
            if (in >> pid && pid > 0) return pid;
        }
        return 0;
    }

    // The service's child processes: its engines.
    std::size_t engineCount() const {
        std::set<pid_t> children;
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(process.pid()) + "/task")) {
            std::ifstream in(task.path() / "children");
            for (pid_t pid = 0; in >> pid;) children.insert(pid);
        }
        return children.size();
    }

    std::filesystem::path socket;
    BackgroundProcess process;
    static inline int starts = 0;
};

bool isListening(std::uint16_t port) { return waitForTcpPort(port, 0ms); }

class TunnelServiceEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access(enginePath().c_str(), X_OK) != 0) {
            GTEST_SKIP() << "sing-box is not installed at " << enginePath() << " (scripts/install-engine.sh installs it)";
        }
        service = std::make_unique<ServiceProcess>(dir.path(), proxyPort);
        app = std::make_unique<AppSide>(service->socket);
        app->controller.setOnChange([this] {
            if (seen.empty() || seen.back() != app->controller.status()) seen.push_back(app->controller.status());
        });
        app->run(app->controller.load());
    }
    void TearDown() override {
        if (HasFailure() && service) std::cerr << "service log:\n" << service->process.log();
    }

    // What the app would build for `shares`, without mainland-China routing (its rule sets are fetched
    // from the internet), probing and resolving only on the fleet's side of loopback.
    std::string configFor(const std::vector<std::string>& shares) const {
        ConfigBuilder::Inputs inputs;
        for (const auto& s : shares) inputs.shares.push_back(ShareUrlParser::parse(s));
        inputs.smartRouting = false;
        inputs.urlTestURL = fleet.probeURL();
        inputs.resolvers = {.proxy = "127.0.0.1", .direct = "127.0.0.1"};
        return ConfigBuilder::build(inputs).serialize();
    }
    // `count` servers that do not answer: the engine starts all the same.
    std::string unreachableConfig(int count = 1) const {
        std::vector<std::string> shares;
        for (int i = 0; i < count; ++i) {
            shares.push_back("vless://451d324c-605b-4383-a814-967c5d2d589e@127.0.0.2:9?security=reality&sni=www.example.com"
                             "&pbk=BoyfA7zDUQj6BrJQNq1BtbYTXhgsZyc-Q65n2ktuRSE&sid=9d1386ce6fb67a02#Nowhere%20" +
                             std::to_string(i));
        }
        return configFor(shares);
    }

    bool connectAndWait(const std::string& config) {
        app->run(app->controller.connect(config, "panel.example.com"));
        return app->waitFor([&] { return app->controller.status() == NEVPNStatus::connected; }, 60s);
    }
    template <class Reply>
    std::optional<Reply> ask(const TunnelIPC::Request& request) {
        return app->run(app->controller.send<Reply>(request));
    }

    Fleet fleet;
    TempDir dir;
    std::uint16_t proxyPort = freeTcpPort();
    std::unique_ptr<ServiceProcess> service;
    std::unique_ptr<AppSide> app;
    std::vector<NEVPNStatus> seen;
};

}  // namespace

TEST_F(TunnelServiceEngineTest, CarriesTrafficThroughEachProtocolAndAnswersTheApp) {
    ASSERT_TRUE(connectAndWait(configFor({fleet.realityUrl(), fleet.hysteria2Url()})));
    EXPECT_EQ(seen, (std::vector<NEVPNStatus>{NEVPNStatus::invalid, NEVPNStatus::disconnected, NEVPNStatus::connecting,
                                               NEVPNStatus::connected}));

    // The status reply leads to the engine's control API.
    auto status = ask<TunnelIPC::StatusReply>(TunnelIPC::Request::status());
    ASSERT_TRUE(status && status->clashPort && status->clashSecret && status->startedAtUnix);
    EXPECT_EQ(status->lastError, std::nullopt);
    EXPECT_NE(*status->clashPort, 9090) << "a fresh port, not the one in the configuration";
    ClashClient clash(*status->clashPort, *status->clashSecret);
    EXPECT_TRUE(app->run(clash.proxies()).proxies.contains("proxy-0"));
    EXPECT_THROW(app->run(ClashClient(*status->clashPort, "guess").proxies()), ClashClient::ClashError);

    // The local proxy reaches the fleet's target through each protocol (proxy-0 is Reality, proxy-1 Hysteria2).
    for (std::string tag : {"proxy-0", "proxy-1"}) {
        app->run(clash.setSelector("proxy", tag));
        ProxyTunnel tunnel(proxyPort, "any", "any", "localhost", fleet.httpTarget().port());
        EXPECT_EQ(tunnel.get("/through-" + tag), "fleet");
        EXPECT_EQ(app->run(clash.closeConnections(tag)), 1) << "the request did not travel through " << tag;
        EXPECT_TRUE(tunnel.waitForClose(5s));
    }

    // Logs come numbered and incremental.
    auto first = ask<TunnelIPC::LogsReply>(TunnelIPC::Request::logs(0));
    ASSERT_TRUE(first && !first->lines.empty());
    bool sawAPI = false;
    for (std::size_t i = 0; i < first->lines.size(); ++i) {
        if (i > 0) {
            EXPECT_GT(first->lines[i].seq, first->lines[i - 1].seq);
        }
        sawAPI = sawAPI || (first->lines[i].line.target == "clash-api" &&
                            first->lines[i].line.message.find(std::to_string(*status->clashPort)) != std::string::npos);
    }
    EXPECT_TRUE(sawAPI);
    const std::int64_t last = first->lines.back().seq;

    // Recovering the network closes what the engine carries.
    ProxyTunnel open(proxyPort, "any", "any", "localhost", fleet.httpTarget().port());
    EXPECT_EQ(open.get("/before-recovery"), "fleet");
    auto recovered = ask<TunnelIPC::ActionReply>(TunnelIPC::Request::recoverNetwork(*status->clashPort));
    ASSERT_TRUE(recovered);
    EXPECT_TRUE(recovered->performed);
    EXPECT_TRUE(open.waitForClose(5s));

    auto next = ask<TunnelIPC::LogsReply>(TunnelIPC::Request::logs(last));
    ASSERT_TRUE(next && !next->lines.empty());
    EXPECT_GT(next->lines.front().seq, last);
    EXPECT_EQ(next->lines.front().seq, last + 1) << "nothing was skipped";
    EXPECT_NE(next->lines.back().line.message.find("closed every connection"), std::string::npos);

    app->controller.disconnect();
    ASSERT_TRUE(app->waitFor([&] { return app->controller.status() == NEVPNStatus::disconnected; }, 15s));
    EXPECT_EQ(app->controller.lastErrorTrigger(), std::nullopt);
    EXPECT_FALSE(isListening(proxyPort));
    EXPECT_EQ(ask<TunnelIPC::StatusReply>(TunnelIPC::Request::status()), std::nullopt) << "no provider runs";
}

TEST_F(TunnelServiceEngineTest, TheProfileOutlivesTheServiceAndTheAppReconnects) {
    ASSERT_TRUE(connectAndWait(unreachableConfig()));
    const pid_t engine = service->enginePid();
    ASSERT_GT(engine, 0);

    // Stopping the service stops its engine, and the app sees the tunnel go down.
    EXPECT_EQ(service->process.stop(), 0) << service->process.log();
    EXPECT_NE(::kill(engine, 0), 0) << "the engine outlived the service";
    EXPECT_FALSE(isListening(proxyPort));
    EXPECT_TRUE(app->waitFor([&] { return app->controller.status() == NEVPNStatus::disconnected; }));

    service = std::make_unique<ServiceProcess>(dir.path(), proxyPort);
    AppSide fresh(service->socket);
    fresh.run(fresh.controller.load());
    EXPECT_TRUE(fresh.controller.hasProfile());
    EXPECT_EQ(fresh.controller.status(), NEVPNStatus::disconnected);
    auto profiles = fresh.run(fresh.platform->loadAllProfiles());
    ASSERT_EQ(profiles.size(), 1u);
    EXPECT_EQ(profiles[0].serverAddress, "panel.example.com");

    // The running app reaches the new service without being restarted.
    app->run(app->controller.load());
    EXPECT_TRUE(app->controller.hasProfile());
    ASSERT_TRUE(connectAndWait(unreachableConfig()));
    EXPECT_TRUE(fresh.waitFor([&] { return fresh.controller.status() == NEVPNStatus::connected; }))
        << "every subscribed client hears of the change";
}

TEST_F(TunnelServiceEngineTest, AnEngineThatDiesIsAnUnexpectedDrop) {
    ASSERT_TRUE(connectAndWait(unreachableConfig()));
    const pid_t engine = service->enginePid();
    ASSERT_GT(engine, 0);
    ASSERT_EQ(::kill(engine, SIGKILL), 0);
    ASSERT_TRUE(app->waitFor([&] { return app->controller.lastErrorTrigger().has_value(); }, 10s));
    EXPECT_EQ(app->controller.lastErrorTrigger(), "singbox_exit");
    EXPECT_EQ(app->controller.status(), NEVPNStatus::disconnected);
    EXPECT_NE(app->controller.lastError().value_or("").find("signal 9"), std::string::npos) << *app->controller.lastError();

    // Another process of the app shows the same failure, without reporting it again.
    AppSide other(service->socket);
    other.run(other.controller.load());
    EXPECT_EQ(other.controller.lastError(), app->controller.lastError());
    EXPECT_EQ(other.controller.lastErrorTrigger(), std::nullopt);
    // Its user ends the failed session: no process shows it any more, nor does one started later.
    other.run(other.controller.stop());
    EXPECT_EQ(other.controller.lastError(), std::nullopt);
    EXPECT_TRUE(app->waitFor([&] { return !app->controller.lastError(); }));
    EXPECT_EQ(app->controller.lastErrorTrigger(), std::nullopt);
    AppSide later(service->socket);
    later.run(later.controller.load());
    EXPECT_EQ(later.controller.lastError(), std::nullopt);

    // It starts again afterwards, and the service forgets the old reason.
    ASSERT_TRUE(connectAndWait(unreachableConfig()));
    EXPECT_EQ(app->controller.lastError(), std::nullopt);
    EXPECT_EQ(ask<TunnelIPC::StatusReply>(TunnelIPC::Request::status()).value().lastError, std::nullopt);

    // A second death counts again; a session another process begins clears it here as well, and its clean end leaves it clear.
    ASSERT_EQ(::kill(service->enginePid(), SIGKILL), 0);
    ASSERT_TRUE(app->waitFor([&] { return app->controller.lastError().has_value(); }, 10s));
    EXPECT_EQ(app->controller.lastErrorTrigger(), "singbox_exit");
    other.run(other.controller.connect(unreachableConfig(), "panel.example.com"));
    ASSERT_TRUE(other.waitFor([&] { return other.controller.status() == NEVPNStatus::connected; }, 30s));
    EXPECT_TRUE(app->waitFor([&] { return app->controller.status() == NEVPNStatus::connected; }));
    EXPECT_EQ(app->controller.lastError(), std::nullopt);
    other.run(other.controller.stop());
    ASSERT_TRUE(app->waitFor([&] { return app->controller.status() == NEVPNStatus::disconnected; }, 15s));
    app->waitFor([] { return false; }, 200ms);
    EXPECT_EQ(app->controller.lastError(), std::nullopt);
}

// Two processes of the app that connect at once (two corvanectl connect, or a
// connect while another one waited for the service to come up) share one
// profile and one tunnel, and a disconnect from either really stops it.
TEST_F(TunnelServiceEngineTest, TwoAppsConnectingAtOnceShareOneProfileAndOneTunnel) {
    const std::string config = unreachableConfig();
    struct Round {
        const char* name;
        bool loadFirst;  // false: the apps looked while the service was not up, and know of no profile
        bool firstStops;
    };
    for (const Round& round : {Round{"no profile saved yet", true, false}, Round{"a profile neither app has loaded", false, true}}) {
        SCOPED_TRACE(round.name);
        AppSide first(service->socket), second(service->socket);
        if (round.loadFirst) {
            first.run(first.controller.load());
            second.run(second.controller.load());
        }
        std::latch together(2);
        std::vector<std::string> failures;
        std::mutex failuresLock;
        auto connect = [&](AppSide& side) {
            together.arrive_and_wait();
            try {
                side.run(side.controller.connect(config, "panel.example.com"));
            } catch (const std::exception& e) {
                std::lock_guard lock(failuresLock);
                failures.push_back(e.what());
            }
        };
        std::thread a([&] { connect(first); }), b([&] { connect(second); });
        a.join();
        b.join();
        EXPECT_TRUE(failures.empty()) << failures.front();
        EXPECT_TRUE(first.waitFor([&] { return first.controller.status() == NEVPNStatus::connected; }, 30s));
        EXPECT_TRUE(second.waitFor([&] { return second.controller.status() == NEVPNStatus::connected; }, 30s));
        EXPECT_EQ(first.run(first.platform->loadAllProfiles()).size(), 1u);
        EXPECT_EQ(service->engineCount(), 1u);
        EXPECT_TRUE(isListening(proxyPort));

        AppSide& stopper = round.firstStops ? first : second;
        stopper.run(stopper.controller.stop());
        EXPECT_TRUE(first.waitFor([&] { return first.controller.status() == NEVPNStatus::disconnected; }, 15s));
        EXPECT_TRUE(second.waitFor([&] { return second.controller.status() == NEVPNStatus::disconnected; }, 15s));
        EXPECT_FALSE(isListening(proxyPort)) << "the tunnel still carries traffic";
        EXPECT_EQ(service->engineCount(), 0u);
    }
}

TEST_F(TunnelServiceEngineTest, AStartTheEngineRefusesIsAConnectFailureWithItsText) {
    // A default outbound the configuration does not have: the engine refuses to start.
    JSONValue refused = JSONValue::parse(unreachableConfig());
    refused["route"]["final"] = "nowhere";
    app->run(app->controller.connect(refused.serialize(), "panel.example.com"));
    ASSERT_TRUE(app->waitFor([&] { return app->controller.lastErrorTrigger().has_value(); }, 30s)) << service->process.log();
    EXPECT_EQ(app->controller.lastErrorTrigger(), "connect_fail");
    EXPECT_EQ(app->controller.status(), NEVPNStatus::disconnected);
    const std::string text = app->controller.lastError().value_or("");
    EXPECT_NE(text.find("nowhere"), std::string::npos) << text;
    EXPECT_EQ(text.find("FATAL"), std::string::npos) << "the logger's prefix is not part of the reason: " << text;

    // Text that is not a configuration never reaches the engine.
    app->run(app->controller.connect("{\"inbounds\": [", "panel.example.com"));
    ASSERT_TRUE(app->waitFor([&] { return app->controller.lastError().has_value(); }, 10s));
    EXPECT_EQ(app->controller.lastErrorTrigger(), "connect_fail");
    EXPECT_EQ(app->controller.lastError()->rfind("the engine configuration cannot be used: ", 0), 0u) << *app->controller.lastError();
}

// Any local account may bind the proxy's port first (and would then receive
// what this user's programs send to the proxy): the tunnel starts on another
// port and says where.
TEST_F(TunnelServiceEngineTest, AProxyPortAnotherProgramHoldsMovesTheProxyAndTheStatusSaysWhere) {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor squatter(io, {boost::asio::ip::make_address("127.0.0.1"), proxyPort});
    ASSERT_TRUE(connectAndWait(unreachableConfig())) << app->controller.lastError().value_or("") << service->process.log();
    const auto status = ask<TunnelIPC::StatusReply>(TunnelIPC::Request::status());
    ASSERT_TRUE(status && status->localProxy);
    ASSERT_TRUE(status->localProxy->starts_with("127.0.0.1:")) << *status->localProxy;
    const auto moved = static_cast<std::uint16_t>(std::stoi(status->localProxy->substr(10)));
    EXPECT_NE(moved, proxyPort);
    EXPECT_TRUE(isListening(moved));
    EXPECT_NE(service->process.log().find("127.0.0.1:" + std::to_string(proxyPort) + " is taken"), std::string::npos)
        << service->process.log();

    // Once the port is free again, the next start takes it back.
    squatter.close();
    app->controller.disconnect();
    ASSERT_TRUE(app->waitFor([&] { return app->controller.status() == NEVPNStatus::disconnected; }, 15s));
    ASSERT_TRUE(connectAndWait(unreachableConfig()));
    EXPECT_EQ(ask<TunnelIPC::StatusReply>(TunnelIPC::Request::status())->localProxy, "127.0.0.1:" + std::to_string(proxyPort));
}

TEST_F(TunnelServiceEngineTest, AStopCallsOffAStartThatWaitsForTheEngine) {
    // An engine that never opens its control API.
    const auto silent = dir.path() / "silent-engine";
    writeFile(silent, engineStandIn("echo \"$$\" > \"$(dirname \"$0\")/silent.pid\"\nexec sleep 60\n"));
    std::filesystem::permissions(silent, std::filesystem::perms(0755));
    app.reset();
    service = std::make_unique<ServiceProcess>(dir.path() / "silent", freeTcpPort(), silent);
    app = std::make_unique<AppSide>(service->socket);
    app->run(app->controller.load());

    // A configuration for a large fleet, more than the engine's standard input holds unread.
    const std::string config = unreachableConfig(5000);
    ASSERT_GT(config.size(), 1024u * 1024u);
    app->run(app->controller.connect(config, "panel.example.com"));
    const auto pidFile = dir.path() / "silent.pid";
    std::string comm;
    ASSERT_TRUE(app->waitFor([&] {
        if (std::filesystem::exists(pidFile) && !readFile(pidFile).empty()) {
            comm = readFile("/proc/" + std::to_string(std::stoi(readFile(pidFile))) + "/comm");
        }
        return comm == "sleep\n";
    }));
    EXPECT_EQ(app->controller.status(), NEVPNStatus::connecting);
    const pid_t engine = std::stoi(readFile(pidFile));
    // The engine holds its standard three and nothing of the service: not its socket, not a client's connection.
    // Looked at once it sleeps: a program that has just started opens and closes files of its own (its
    // libraries, the locale) for a moment.
    const std::string proc = "/proc/" + std::to_string(engine);
    app->waitFor([&] { return readFile(proc + "/wchan").find("nanosleep") != std::string::npos; }, 5s);
    std::set<std::string> descriptors;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
        descriptors.insert(entry.path().filename().string());
    }
    EXPECT_EQ(descriptors, (std::set<std::string>{"0", "1", "2"}));
    const auto before = std::chrono::steady_clock::now();
    app->controller.disconnect();
    ASSERT_TRUE(app->waitFor([&] { return app->controller.status() == NEVPNStatus::disconnected; }));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    EXPECT_NE(::kill(engine, 0), 0) << "the engine that was starting is still there";
    app->waitFor([] { return false; }, 200ms);
    EXPECT_EQ(app->controller.lastError(), std::nullopt) << "a stop is not a failure";
    EXPECT_EQ(ask<TunnelIPC::StatusReply>(TunnelIPC::Request::status()), std::nullopt);
}

TEST_F(TunnelServiceEngineTest, AnEngineGoneSinceTheStartIsAConnectFailure) {
    // The service refuses to start without its engine (ServiceProgramTests); one removed later fails the connect.
    const auto engine = dir.path() / "sing-box";
    std::filesystem::copy_file(enginePath(), engine);
    app.reset();
    service = std::make_unique<ServiceProcess>(dir.path() / "gone", freeTcpPort(), engine);
    std::filesystem::remove(engine);
    app = std::make_unique<AppSide>(service->socket);
    app->run(app->controller.load());
    app->run(app->controller.connect(unreachableConfig(), "panel.example.com"));
    ASSERT_TRUE(app->waitFor([&] { return app->controller.lastErrorTrigger().has_value(); }));
    EXPECT_EQ(app->controller.lastErrorTrigger(), "connect_fail");
    EXPECT_EQ(app->controller.lastError(), "cannot run " + engine.string() + ": No such file or directory");
}

TEST_F(TunnelServiceEngineTest, StrangersAndBadMessagesLeaveTheServiceRunning) {
    EXPECT_NE(rawExchange(service->socket, "{\"id\":1,\"op\":\n").find(R"("ok":false)"), std::string::npos);
    EXPECT_NE(rawExchange(service->socket, std::string(TunnelServiceEndpoint::maxMessageBytes + 1, '{')).find(R"("ok":false)"),
              std::string::npos);
    // A provider message the provider cannot read gets no reply.
    ASSERT_TRUE(connectAndWait(unreachableConfig()));
    EXPECT_EQ(app->run(app->controller.sendMessage(R"({"status":{},"logs":{"after":1}})")), std::nullopt);
    EXPECT_TRUE(ask<TunnelIPC::StatusReply>(TunnelIPC::Request::status()).has_value());

    if (::geteuid() == 0) {
        std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
        std::filesystem::permissions(service->socket.parent_path(), std::filesystem::perms(0755));
        ::chmod(service->socket.c_str(), 0666);  // past the file mode, to the credential check
        EXPECT_NE(rawExchangeAs(65534, 65534, service->socket, R"({"id":1,"op":"listProfiles"})" "\n").find("permission denied"),
                  std::string::npos);
    } else {
        std::cerr << "[ skipped part ] acting as another user needs root\n";
    }
    EXPECT_TRUE(service->process.isRunning());
    EXPECT_EQ(app->run(app->platform->hello()).mode, "user");
}

TEST_F(TunnelServiceEngineTest, CorvanectlDrivesTheExampleConfiguration) {
    const std::string example = std::string(CORVANE_SOURCE_DIR) + "/examples/tunnel-config.json";
    // The example is what build-config makes of the example server list.
    auto built = runProcess({CORVANECTL_PATH, "build-config", "--server-list",
                             std::string(CORVANE_SOURCE_DIR) + "/examples/server-list.json", "--no-rule-sets", "--resolver",
                             "127.0.0.1"});
    ASSERT_EQ(built.exitStatus, 0) << built.err;
    EXPECT_EQ(built.out, readFile(example)) << "examples/tunnel-config.json is stale";

    auto ctl = [&](std::vector<std::string> args) {
        std::vector<std::string> argv{CORVANECTL_PATH, "debug", "tunnel", "--socket", service->socket.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return runProcess(argv);
    };
    auto started = ctl({"start", "--config", example});
    ASSERT_EQ(started.exitStatus, 0) << started.out << started.err;
    EXPECT_EQ(started.out, "status: connected\n");
    EXPECT_TRUE(isListening(proxyPort));

    auto status = ctl({"status"});
    EXPECT_EQ(status.exitStatus, 0);
    EXPECT_NE(status.out.find("control API: 127.0.0.1:"), std::string::npos) << status.out;
    auto logs = ctl({"logs"});
    EXPECT_EQ(logs.exitStatus, 0);
    EXPECT_NE(logs.out.find("INFO tunnel: the engine is up"), std::string::npos) << logs.out;
    // A follower prints what comes later, as it comes.
    BackgroundProcess follower({CORVANECTL_PATH, "debug", "tunnel", "--socket", service->socket.string(), "logs", "--follow"},
                               dir.path() / "follow.log");
    auto followed = [&](const std::string& text) {
        return app->waitFor([&] { return follower.log().find(text) != std::string::npos; }, 10s);
    };
    EXPECT_TRUE(followed("INFO tunnel: the engine is up")) << follower.log();
    auto recover = ctl({"recover"});
    EXPECT_EQ(recover.exitStatus, 0) << recover.err;
    EXPECT_TRUE(followed("INFO tunnel: closed every connection")) << follower.log();
    follower.stop();

    auto stopped = ctl({"stop"});
    EXPECT_EQ(stopped.exitStatus, 0);
    EXPECT_EQ(stopped.out, "status: disconnected\n");
    auto idleLogs = ctl({"logs"});
    EXPECT_EQ(idleLogs.exitStatus, 1);
    EXPECT_NE(idleLogs.err.find("not running"), std::string::npos);

    auto missing = ctl({"start", "--config", dir.path() / "nothing.json"});
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_NE(missing.err.find("cannot read the configuration file"), std::string::npos);
    auto noService = runProcess({CORVANECTL_PATH, "debug", "tunnel", "--socket", (dir.path() / "none.sock").string(), "status"});
    EXPECT_EQ(noService.exitStatus, 1);
    EXPECT_NE(noService.err.find("not running"), std::string::npos) << noService.err;
    EXPECT_NE(noService.err.find("corvane-tunnel --user"), std::string::npos) << "how to start it: " << noService.err;
}

TEST_F(TunnelServiceEngineTest, TheLaterRequestWinsWithTheEngine) {
    enum class Step { start, stop, pause };
    struct Case {
        const char* name;
        bool connectedFirst;
        std::vector<Step> steps;
        NEVPNStatus final;
    };
    const std::vector<Case> cases = {
        {"a stop right after a start on a connected tunnel", true, {Step::start, Step::stop}, NEVPNStatus::disconnected},
        {"a start while the first still connects", false, {Step::start}, NEVPNStatus::connected},
        {"a stop during a restart", true, {Step::start, Step::pause, Step::stop}, NEVPNStatus::disconnected},
    };
    const std::string config = configFor({fleet.realityUrl()});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.connectedFirst) {
            ASSERT_TRUE(connectAndWait(config));
        } else {
            app->run(app->controller.connect(config, "panel.example.com"));  // answered while the engine starts
        }
        const std::string identifier = app->run(app->platform->loadAllProfiles()).at(0).identifier;
        seen.clear();
        for (Step step : c.steps) {
            if (step == Step::start) {
                std::map<std::string, std::string> options{{"config", config}};
                app->run(app->platform->startTunnel(identifier, std::move(options)));
            } else if (step == Step::stop) {
                app->controller.disconnect();
            } else {
                app->waitFor([] { return false; }, 100ms);
            }
        }
        ASSERT_TRUE(app->waitFor([&] { return app->controller.status() == c.final; }, 30s));
        app->waitFor([] { return false; }, 1500ms);  // nothing superseded reports late
        EXPECT_EQ(app->controller.status(), c.final);
        EXPECT_EQ(app->controller.lastError(), std::nullopt);
        EXPECT_EQ(isListening(proxyPort), c.final == NEVPNStatus::connected) << "the engine does not match the status";
        if (c.final == NEVPNStatus::connected) {
            EXPECT_EQ(std::count(seen.begin(), seen.end(), NEVPNStatus::disconnected), 0) << "a superseded start reported the tunnel down";
            app->controller.disconnect();
            ASSERT_TRUE(app->waitFor([&] { return app->controller.status() == NEVPNStatus::disconnected; }, 15s));
        }
    }
}
