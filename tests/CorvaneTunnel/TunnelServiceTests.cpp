// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <algorithm>
#include <atomic>
#include <set>
#include <cstring>
#include <future>
#include <thread>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "Corvane/Platform/ServiceActivationPlatform.hpp"
#include "Corvane/Platform/ServiceTunnelPlatform.hpp"
#include "Corvane/Tunnel/SystemExtensionController.hpp"
#include "Corvane/Tunnel/TunnelController.hpp"
#include "CorvaneCore/Tunnel/TunnelIPC.hpp"
#include "CorvaneTunnel/PeerCredentials.hpp"
#include "CorvaneTunnel/ProfileStore.hpp"
#include "CorvaneTunnel/ServiceServer.hpp"
#include "CorvaneTunnel/TunnelService.hpp"
#include "TestSupport/ServiceClient.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;
using namespace std::chrono_literals;
namespace asio = boost::asio;

namespace {

// A provider whose outcomes the test decides. Its start and stop take a while
// and suspend, as the engine's do, and a stop interrupts a start in progress.
class ScriptedProvider final : public TunnelProvider {
public:
    std::optional<PlatformError> startFailure;
    std::vector<std::string> starts;
    int stops = 0;               // stops that took a running tunnel down
    bool up = false;             // the tunnel carries traffic
    std::uint64_t generation = 0;  // of the latest start or stop
    std::chrono::milliseconds stopTakes{20};
    std::optional<std::size_t> replyBytes;  // answers every message with this many bytes
    bool holdMessages = false;              // messages wait until it is cleared
    int messagesInFlight = 0;
    int mostMessagesInFlight = 0;
    int messagesAnswered = 0;

    Async<void> start(std::map<std::string, std::string> options, std::uint64_t g) override {
        generation = g;
        starts.push_back(options["config"]);
        auto timer = std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor, 20ms);
        starting_ = timer;
        boost::system::error_code ec;
        co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (ec) throw TunnelStartError(PlatformError{std::string(EngineErrorDomain), 1, "the start was cancelled"});
        if (startFailure) throw TunnelStartError(*startFailure);
        up = true;
    }
    Async<void> stop(std::uint64_t g) override {
        generation = g;
        if (auto timer = starting_.lock()) timer->cancel();
        if (std::exchange(up, false)) ++stops;
        asio::steady_timer t(co_await asio::this_coro::executor, stopTakes);
        co_await t.async_wait(asio::use_awaitable);
    }
    Async<std::optional<std::string>> handleMessage(std::string message) override {
        mostMessagesInFlight = std::max(mostMessagesInFlight, ++messagesInFlight);
        while (holdMessages) {
            asio::steady_timer t(co_await asio::this_coro::executor, 5ms);
            co_await t.async_wait(asio::use_awaitable);
        }
        --messagesInFlight;
        ++messagesAnswered;  // the service sends the reply on, before it turns to anything else
        if (replyBytes) co_return std::string(*replyBytes, 'x');
        co_return "echo " + message;
    }

private:
    std::weak_ptr<asio::steady_timer> starting_;
};

// corvane-tunnel's parts on a thread of their own, on a socket in a temporary folder.
class RunningService {
public:
    RunningService(const std::filesystem::path& dir, ServiceMode mode = ServiceMode::user, ServiceServer::Limits limits = {})
        : socket_(dir / "run" / "tunnel.sock"), store_(dir / "state" / "profiles.json"), service_(store_, provider, mode),
          server_(io_, socket_, mode, service_, limits) {
        service_.setServer(&server_);
        server_.start();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~RunningService() {
        asio::post(io_, [this] { server_.stop(); });
        work_.reset();
        io_.stop();
        thread_.join();
    }
    // Runs `f` on the service's thread and waits for it.
    template <class F>
    void onServiceThread(F f) {
        std::promise<void> done;
        asio::post(io_, [&] {
            f();
            done.set_value();
        });
        done.get_future().wait();
    }
    // What `f` returns on the service's thread.
    template <class F>
    auto ask(F f) {
        std::optional<decltype(f())> result;
        onServiceThread([&] { result = f(); });
        return std::move(*result);
    }
    // What waits to be written to this user's connections.
    std::size_t queuedBytes() {
        return ask([&] { return server_.queuedBytes(geteuid()); });
    }
    const std::filesystem::path& socket() const { return socket_; }
    ServiceServer& server() { return server_; }
    ScriptedProvider provider;

private:
    asio::io_context io_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_{io_.get_executor()};
    std::filesystem::path socket_;
    ProfileStore store_;
    TunnelService service_;
    ServiceServer server_;
    std::thread thread_;
};

}  // namespace

TEST(TunnelService, ProfilesOutliveTheService) {
    TempDir dir;
    {
        RunningService service(dir.path());
        AppSide app(service.socket());
        app.run(app.controller.load());
        EXPECT_FALSE(app.controller.hasProfile());
        app.run(app.controller.connect("{}", "panel.example.com"));
        EXPECT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }));
        app.controller.disconnect();
        EXPECT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::disconnected; }));
    }
    RunningService restarted(dir.path());
    AppSide app(restarted.socket());
    app.run(app.controller.load());
    EXPECT_TRUE(app.controller.hasProfile());
    EXPECT_EQ(app.controller.status(), NEVPNStatus::disconnected);
    auto profiles = app.run(app.platform->loadAllProfiles());
    ASSERT_EQ(profiles.size(), 1u);
    EXPECT_EQ(profiles[0].serverAddress, "panel.example.com");
    EXPECT_EQ(profiles[0].localizedDescription, "Corvane");
    struct stat st {};
    ASSERT_EQ(stat((dir.path() / "state" / "profiles.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(TunnelService, StatusFollowsTheTunnelAndMessagesReachTheProvider) {
    TempDir dir;
    RunningService service(dir.path());
    AppSide app(service.socket());
    std::vector<NEVPNStatus> seen;
    app.controller.setOnChange([&] {
        if (seen.empty() || seen.back() != app.controller.status()) seen.push_back(app.controller.status());
    });
    app.run(app.controller.connect(R"({"log":{"level":"info"}})", "panel"));
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }));
    EXPECT_EQ(service.provider.starts, std::vector<std::string>{R"({"log":{"level":"info"}})"});
    EXPECT_EQ(app.run(app.controller.sendMessage(R"({"status":{}})")), R"(echo {"status":{}})");

    app.controller.disconnect();
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::disconnected; }));
    EXPECT_EQ(service.provider.stops, 1);
    EXPECT_EQ(seen, (std::vector<NEVPNStatus>{NEVPNStatus::invalid, NEVPNStatus::disconnected, NEVPNStatus::connecting, NEVPNStatus::connected,
                                               NEVPNStatus::disconnecting, NEVPNStatus::disconnected}));
    EXPECT_EQ(app.controller.lastErrorTrigger(), std::nullopt);  // asked to stop: not a drop
    EXPECT_EQ(app.run(app.controller.sendMessage("{}")), std::nullopt);
}

TEST(TunnelService, FailuresAndDropsCarryTheirReasonToTheController) {
    TempDir dir;
    RunningService service(dir.path());
    AppSide app(service.socket());
    service.provider.startFailure = PlatformError{std::string(EngineErrorDomain), 1, "decode config: unknown field"};
    app.run(app.controller.connect("{}", "panel"));
    ASSERT_TRUE(app.waitFor([&] { return app.controller.lastErrorTrigger().has_value(); }));
    EXPECT_EQ(app.controller.lastErrorTrigger(), "connect_fail");
    EXPECT_EQ(app.controller.lastError(), "decode config: unknown field");

    service.provider.startFailure.reset();
    app.run(app.controller.connect("{}", "panel"));
    EXPECT_EQ(app.controller.lastError(), std::nullopt);
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }));
    service.onServiceThread([&] {  // news of a run that a later start replaced
        service.provider.onUnexpectedStop(service.provider.generation - 1,
                                          PlatformError{std::string(EngineErrorDomain), 2, "an old engine exited"});
    });
    app.waitFor([] { return false; }, 100ms);
    EXPECT_EQ(app.controller.status(), NEVPNStatus::connected);
    service.onServiceThread([&] {
        service.provider.onUnexpectedStop(service.provider.generation,
                                          PlatformError{std::string(EngineErrorDomain), 2, "the engine exited (status 1)"});
    });
    ASSERT_TRUE(app.waitFor([&] { return app.controller.lastError().has_value(); }));
    EXPECT_EQ(app.controller.lastErrorTrigger(), "singbox_exit");
    EXPECT_EQ(app.controller.lastError(), "the engine exited (status 1)");
}

// There is one tunnel, so a provider keeps one profile: processes of the app
// that save theirs at once (none knowing of the others') end up with the same.
TEST(TunnelService, OneProfilePerProviderHowEverManySaveIt) {
    TempDir dir;
    RunningService service(dir.path());
    auto saveAs = [&](const std::string& provider, const std::string& address) {
        return rawExchange(service.socket(), R"({"id":1,"op":"saveProfile","profile":{"identifier":"","providerBundleIdentifier":")" +
                                                 provider + R"(","serverAddress":")" + address +
                                                 R"(","localizedDescription":"d","enabled":true}})" "\n");
    };
    std::vector<std::string> replies(8);
    std::vector<std::thread> savers;
    for (std::size_t i = 0; i < replies.size(); ++i) {
        savers.emplace_back([&, i] { replies[i] = saveAs("com.corvane.client.tunnel", "panel-" + std::to_string(i)); });
    }
    for (auto& t : savers) t.join();
    EXPECT_NE(saveAs("com.example.other", "elsewhere").find(R"("ok":true)"), std::string::npos);

    AppSide app(service.socket());
    const auto profiles = app.run(app.platform->loadAllProfiles());
    ASSERT_EQ(profiles.size(), 2u);
    const TunnelProfile& ours = profiles[0];
    EXPECT_EQ(ours.providerBundleIdentifier, "com.corvane.client.tunnel");
    EXPECT_EQ(profiles[1].providerBundleIdentifier, "com.example.other");
    for (const auto& reply : replies) {
        EXPECT_NE(reply.find(R"("ok":true)"), std::string::npos) << reply;
        EXPECT_NE(reply.find(R"("identifier":")" + ours.identifier + "\""), std::string::npos) << reply;
    }

    // A process still holding a profile that another one removed since saves it again: it gets the one now saved.
    TunnelProfile gone{.identifier = "removed-meanwhile", .providerBundleIdentifier = "com.corvane.client.tunnel",
                       .serverAddress = "panel", .localizedDescription = "Corvane", .enabled = true};
    EXPECT_EQ(app.run(app.platform->saveProfile(std::move(gone))).identifier, ours.identifier);
    EXPECT_EQ(app.run(app.platform->loadAllProfiles()).size(), 2u);
}

// Only the profile whose tunnel runs can stop it; a stop for another one would
// answer "stopped" while the tunnel still carries traffic, so it is refused.
TEST(TunnelService, AStopReachesOnlyTheTunnelThatRuns) {
    TempDir dir;
    // Two profiles of the app, as earlier versions could leave them.
    std::string saved;
    for (const char* identifier : {"first", "second"}) {
        const TunnelProfile profile{.identifier = identifier, .providerBundleIdentifier = std::string(TunnelIPC::providerBundleIdentifier),
                                    .serverAddress = "panel", .localizedDescription = "Corvane", .enabled = true};
        saved += (saved.empty() ? "" : ",") + encodeJSON(profile);
    }
    std::filesystem::create_directories(dir.path() / "state");
    writeFile(dir.path() / "state" / "profiles.json", R"({"profiles":[)" + saved + "]}");
    RunningService service(dir.path());
    auto up = [&] { return service.ask([&] { return service.provider.up; }); };
    AppSide app(service.socket());
    ASSERT_EQ(app.run(app.platform->loadAllProfiles()).size(), 2u);
    // Nothing ran since the service started: any profile's stop ends what is left (a restored block).
    app.run(app.platform->stopTunnel("second", false));

    app.run(app.controller.connect("{}", "panel"));
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }));
    try {
        app.run(app.platform->stopTunnel("second", false));
        ADD_FAILURE() << "a stop for the other profile was answered ok";
    } catch (const TunnelPlatformError& e) {
        EXPECT_EQ(e.error().domain, ServiceErrorDomain);
        EXPECT_EQ(e.error().code, ServiceErrorCode::otherProfileRuns);
        EXPECT_NE(e.description().find("first"), std::string::npos) << e.description();
    }
    EXPECT_TRUE(up());
    EXPECT_EQ(app.controller.status(), NEVPNStatus::connected);

    // Another process starts the other profile: this one's follower hears its tunnel is
    // gone, and its stop is refused rather than leaving the other one running unseen.
    AppSide other(service.socket());
    std::map<std::string, std::string> options{{"config", "{}"}};
    other.run(other.platform->startTunnel("second", std::move(options)));
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::disconnected; }));
    EXPECT_THROW(app.run(app.controller.stop()), TunnelPlatformError);
    ASSERT_TRUE(app.waitFor([&] { return up(); }));

    // A controller loaded now holds the profile that runs, and stops it.
    AppSide fresh(service.socket());
    fresh.run(fresh.controller.load());
    fresh.run(fresh.controller.stop());
    EXPECT_TRUE(fresh.waitFor([&] { return fresh.controller.status() == NEVPNStatus::disconnected; }));
    EXPECT_FALSE(up());
    app.run(app.controller.stop());  // nothing runs: fine again
}

TEST(TunnelService, BadMessagesGetAnErrorAndTheServiceGoesOn) {
    TempDir dir;
    RunningService service(dir.path());
    EXPECT_NE(rawExchange(service.socket(), "this is not json\n").find(R"("ok":false)"), std::string::npos);
    EXPECT_NE(rawExchange(service.socket(), R"({"id":1})" "\n").find("missing required key"), std::string::npos);
    EXPECT_NE(rawExchange(service.socket(), R"({"id":2,"op":"format disk"})" "\n").find("unknown operation"), std::string::npos);
    EXPECT_NE(rawExchange(service.socket(), R"({"id":3,"op":"loadProfile","identifier":"nope"})" "\n").find("no saved profile"),
              std::string::npos);
    std::string huge(TunnelServiceEndpoint::maxMessageBytes + 64, 'x');
    EXPECT_NE(rawExchange(service.socket(), huge).find("longer than the service accepts"), std::string::npos);

    AppSide app(service.socket());
    EXPECT_EQ(app.run(app.platform->hello()).mode, "user");
}

TEST(TunnelService, AClientThatDoesNotReadItsRepliesIsDropped) {
    TempDir dir;
    RunningService service(dir.path(), ServiceMode::user, {.outbox = 64 * 1024});
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, service.socket().c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    // Far more replies than the kernel's buffers and the limit hold together, none of them read.
    std::string requests;
    for (int i = 1; i <= 40000; ++i) requests += R"({"id":)" + std::to_string(i) + R"(,"op":"listProfiles"})" "\n";
    for (std::size_t sent = 0; sent < requests.size();) {
        ssize_t n = ::send(fd, requests.data() + sent, requests.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the service hung up
        sent += static_cast<std::size_t>(n);
    }
    // What was written before the service gave up, then the end.
    char buffer[65536];
    ssize_t n;
    std::size_t received = 0;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) received += static_cast<std::size_t>(n);
    EXPECT_EQ(n, 0) << "the connection was not closed: " << std::strerror(errno);
    EXPECT_LT(received, 40000u * 30u) << "every reply was delivered";
    ::close(fd);

    AppSide app(service.socket());
    EXPECT_EQ(app.run(app.platform->hello()).mode, "user");
}

TEST(TunnelService, OnlyItsOwnUserMayUseAUserService) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    RunningService service(dir.path());
    std::filesystem::permissions(service.socket().parent_path(), std::filesystem::perms(0755));
    struct stat st {};
    ASSERT_EQ(stat(service.socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    auto asNobody = [&](bool openSocket) {
        if (openSocket) ::chmod(service.socket().c_str(), 0666);  // get past the file mode to the credential check
        return rawExchangeAs(65534, 65534, service.socket(), R"({"id":1,"op":"listProfiles"})" "\n");
    };
    EXPECT_NE(asNobody(false).find("Permission denied"), std::string::npos);
    EXPECT_NE(asNobody(true).find("permission denied: this user may not use the tunnel service"), std::string::npos);

    // The app of a user the service refuses shows the approval step (the group), not a failure.
    using State = SystemExtensionController::State;
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
        asio::io_context io;
        SystemExtensionController controller(
            std::make_shared<ServiceActivationPlatform>(io.get_executor(), service.socket(), CORVANE_VERSION));
        controller.activate();
        io.run_for(5s);
        ::_exit(static_cast<int>(controller.state().kind()));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(State::Kind::needsApproval));

    AppSide app(service.socket());  // the service's own user still gets in
    EXPECT_TRUE(app.run(app.platform->loadAllProfiles()).empty());
}

TEST(TunnelService, ActivationMeansReachingTheService) {
    TempDir dir;
    using State = SystemExtensionController::State;
    auto activate = [](const std::filesystem::path& socket, const std::string& appVersion) {
        asio::io_context io;
        SystemExtensionController controller(std::make_shared<ServiceActivationPlatform>(io.get_executor(), socket, appVersion));
        controller.activate();
        io.run_for(5s);
        return controller.state();
    };
    EXPECT_EQ(activate(dir.path() / "run" / "tunnel.sock", CORVANE_VERSION),
              State::failed(std::string(ServiceActivationPlatform::notRunningText)));
    RunningService service(dir.path());
    EXPECT_EQ(activate(service.socket(), CORVANE_VERSION), State(State::Kind::active));
    EXPECT_EQ(activate(service.socket(), "999.0"), State(State::Kind::needsReboot));  // the running service is older
}

namespace {

// What the app sees after a sequence of starts and stops sent back to back.
struct Outcome {
    std::vector<NEVPNStatus> events;  // after the first request of the sequence
    NEVPNStatus final = NEVPNStatus::invalid;
    std::optional<std::string> lastError;
};

}  // namespace

TEST(TunnelService, TheLaterRequestWins) {
    enum class Step { start, stop, pause };
    struct Case {
        const char* name;
        bool connectedFirst;
        std::vector<Step> steps;
        NEVPNStatus final;
    };
    const std::vector<Case> cases = {
        {"a stop right after a start on a connected tunnel", true, {Step::start, Step::stop}, NEVPNStatus::disconnected},
        {"a start while the first still connects", false, {Step::start, Step::start}, NEVPNStatus::connected},
        {"a stop during a restart", true, {Step::start, Step::pause, Step::stop}, NEVPNStatus::disconnected},
        {"a start during a stop", true, {Step::stop, Step::start}, NEVPNStatus::connected},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        RunningService service(dir.path());
        AppSide app(service.socket());
        Outcome outcome;
        bool recording = false;
        app.controller.setOnChange([&] {
            if (recording && (outcome.events.empty() || outcome.events.back() != app.controller.status())) {
                outcome.events.push_back(app.controller.status());
            }
        });
        app.run(app.controller.load());
        if (c.connectedFirst) {
            app.run(app.controller.connect("{}", "panel"));
            ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }));
        } else {
            app.run(app.controller.connect("{}", "panel"));  // answered at once; the tunnel is still connecting
        }
        const std::string identifier = app.run(app.platform->loadAllProfiles()).at(0).identifier;
        recording = true;
        for (Step step : c.steps) {
            if (step == Step::start) {
                std::map<std::string, std::string> options{{"config", "{}"}};
                app.run(app.platform->startTunnel(identifier, std::move(options)));
            } else if (step == Step::stop) {
                app.controller.disconnect();
            } else {
                app.waitFor([] { return false; }, 25ms);
            }
        }
        // Long enough for every superseded start and stop to have ended.
        app.waitFor([] { return false; }, 400ms);
        outcome.final = app.controller.status();
        outcome.lastError = app.controller.lastError();
        EXPECT_EQ(outcome.final, c.final);
        EXPECT_EQ(outcome.lastError, std::nullopt);
        bool up = false;
        service.onServiceThread([&] { up = service.provider.up; });
        EXPECT_EQ(up, c.final == NEVPNStatus::connected) << "the provider does not match the status";
        if (c.final == NEVPNStatus::connected) {
            EXPECT_EQ(std::count(outcome.events.begin(), outcome.events.end(), NEVPNStatus::disconnected), 0)
                << "a superseded request reported the tunnel down";
        } else {
            ASSERT_FALSE(outcome.events.empty());
            EXPECT_EQ(std::count(outcome.events.begin(), outcome.events.end(), NEVPNStatus::connected), 0)
                << "a superseded start reported the tunnel up";
        }
    }
}

TEST(TunnelService, RequestsInFlightTogetherAreAllAnswered) {
    TempDir dir;
    RunningService service(dir.path());
    AppSide app(service.socket());
    app.run(app.controller.connect("{}", "panel"));
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }));
    const std::string identifier = app.run(app.platform->loadAllProfiles()).at(0).identifier;

    // A configuration for a large fleet, far more than the socket's buffers hold, with polls beside it.
    const std::string config = R"({"padding":")" + std::string(2 * 1024 * 1024, 'x') + R"("})";
    int answered = 0;
    std::vector<std::string> replies;
    auto start = [&]() -> Async<void> {
        std::map<std::string, std::string> options{{"config", config}};
        co_await app.platform->startTunnel(identifier, std::move(options));
        ++answered;
    };
    auto message = [&](std::string text) -> Async<void> {
        auto reply = co_await app.platform->sendProviderMessage(identifier, text);
        replies.push_back(reply.value_or("nothing"));
        ++answered;
    };
    spawnTask(app.io.get_executor(), start());
    for (int i = 0; i < 3; ++i) spawnTask(app.io.get_executor(), message(R"({"status":{}})"));
    spawnTask(app.io.get_executor(), message(R"({"logs":{"after":0}})"));
    ASSERT_TRUE(app.waitFor([&] { return answered == 5; }, 10s)) << answered << " of 5 requests were answered";
    std::sort(replies.begin(), replies.end());
    EXPECT_EQ(replies, (std::vector<std::string>{R"(echo {"logs":{"after":0}})", R"(echo {"status":{}})", R"(echo {"status":{}})",
                                                 R"(echo {"status":{}})"}));
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }));
    std::string received;
    service.onServiceThread([&] { received = service.provider.starts.back(); });
    EXPECT_EQ(received, config) << "the configuration arrived damaged";
}

namespace {

// A service that takes connections and never answers: it greets each one with
// an error that names no request (as the service does for a line it cannot
// read), ignores "hello" and hangs up on "listProfiles".
class SilentService {
public:
    explicit SilentService(std::filesystem::path socket) : socket_(std::move(socket)) {
        std::filesystem::create_directories(socket_.parent_path());
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 8) != 0) {
            throw std::runtime_error("cannot listen on " + socket_.string());
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~SilentService() {
        stopping_ = true;
        thread_.join();
        ::close(listener_);
    }

private:
    static bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 20) == 1;
    }
    void serve() {
        while (!stopping_) {
            if (!readable(listener_)) continue;
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            const std::string greeting =
                R"({"ok":false,"error":{"domain":"com.corvane.tunnel.service","code":1,"localizedDescription":"the message is not a service request: torn"}})" "\n";
            (void)!::send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
            std::string received;
            while (!stopping_) {
                if (!readable(fd)) continue;
                char buffer[4096];
                ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                received.append(buffer, static_cast<std::size_t>(n));
                if (received.find(R"("op":"listProfiles")") != std::string::npos) break;
            }
            ::close(fd);
        }
    }

    std::filesystem::path socket_;
    int listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace

TEST(TunnelService, ARequestWithoutAnAnswerFailsAtItsTimeout) {
    TempDir dir;
    SilentService silent(dir.path() / "run" / "tunnel.sock");
    asio::io_context io;
    auto platform = std::make_shared<ServiceTunnelPlatform>(io.get_executor(), dir.path() / "run" / "tunnel.sock",
                                                            ServiceTunnelPlatform::Timing{.replyTimeout = 300ms});
    auto outcome = [&](Async<ServiceReply> work) {
        std::optional<PlatformError> error;
        bool done = false;
        auto task = [&]() -> Async<void> {
            try {
                co_await std::move(work);
            } catch (const TunnelPlatformError& e) {
                error = e.error();
            }
            done = true;
        };
        spawnTask(io.get_executor(), task());
        const auto before = std::chrono::steady_clock::now();
        while (!done && std::chrono::steady_clock::now() - before < 5s) {
            io.restart();
            io.run_for(10ms);
        }
        EXPECT_TRUE(done) << "the request still waits";
        return error;
    };
    ServiceRequest hello{.op = std::string(ServiceOp::hello)};
    auto unanswered = outcome(platform->request(hello));
    ASSERT_TRUE(unanswered);
    EXPECT_EQ(unanswered->domain, ServiceTunnelPlatform::errorDomain);
    EXPECT_EQ(unanswered->code, ServiceTunnelPlatform::ErrorCode::noReply);

    // The error without an id that came first is not why the connection ends later.
    ServiceRequest list{.op = std::string(ServiceOp::listProfiles)};
    auto hungUp = outcome(platform->request(list));
    ASSERT_TRUE(hungUp);
    EXPECT_EQ(hungUp->code, ServiceTunnelPlatform::ErrorCode::unreachable) << hungUp->localizedDescription;
    EXPECT_EQ(hungUp->localizedDescription, "the tunnel service closed the connection");
}

TEST(TunnelService, AClientFollowsTheServiceThroughARestart) {
    TempDir dir;
    auto service = std::make_unique<RunningService>(dir.path());
    AppSide app(service->socket());
    app.run(app.controller.load());
    app.run(app.controller.connect("{}", "panel"));
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }));

    service.reset();
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::disconnected; }));
    app.waitFor([] { return false; }, 400ms);  // the client tries in vain meanwhile
    service = std::make_unique<RunningService>(dir.path());
    app.waitFor([] { return false; }, 1500ms);  // and gets in at its next try
    std::vector<NEVPNStatus> seen;
    app.controller.setOnChange([&] { seen.push_back(app.controller.status()); });

    // Another client starts the tunnel; this one sends nothing and still hears of every step.
    AppSide other(service->socket());
    other.run(other.controller.load());
    other.run(other.controller.connect("{}", "panel"));
    EXPECT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }, 10s));
    EXPECT_EQ(seen, (std::vector<NEVPNStatus>{NEVPNStatus::connecting, NEVPNStatus::connected}));
}

// The limits that keep one member of the access group from denying the
// service to the others.
namespace {

// One connection to the service, held open by the test.
class RawClient {
public:
    explicit RawClient(const std::filesystem::path& socket) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("cannot connect");
    }
    ~RawClient() { ::close(fd_); }
    void send(const std::string& bytes) {
        for (std::size_t sent = 0; sent < bytes.size();) {
            ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    }
    void finishSending() { ::shutdown(fd_, SHUT_WR); }
    // Whether the service has closed the connection, without reading what it sent before.
    bool hungUp() {
        pollfd p{fd_, POLLRDHUP, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLRDHUP)) != 0;
    }
    // One line, or what stopped it: "(closed)" when the service closed the connection, "(timeout)".
    std::string readLine(std::chrono::milliseconds limit = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (auto newline = buffered_.find('\n'); newline != std::string::npos) {
                std::string line = buffered_.substr(0, newline);
                buffered_.erase(0, newline + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "(timeout)";
            char chunk[65536];
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return buffered_.empty() ? "(closed)" : std::exchange(buffered_, "");
            buffered_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    std::string buffered_;
};

std::string request(std::int64_t id, const std::string& op, const std::string& rest = "") {
    return R"({"id":)" + std::to_string(id) + R"(,"op":")" + op + "\"" + rest + "}\n";
}

}  // namespace

TEST(ServiceLimits, ProfilesAreCappedInNumberAndSize) {
    TempDir dir;
    RunningService service(dir.path());
    // Each provider keeps one profile (see TunnelService.OneProfilePerProviderHowEverManySaveIt), so the
    // profiles that fill the store are of as many providers.
    auto save = [&](const std::string& description, const std::string& identifier = "", const std::string& provider = "p") {
        return rawExchange(service.socket(), request(1, "saveProfile", R"(,"profile":{"identifier":")" + identifier +
                                                                          R"(","providerBundleIdentifier":")" + provider +
                                                                          R"(","serverAddress":"s","localizedDescription":")" +
                                                                          description + R"(","enabled":true})"));
    };
    const std::string longest(TunnelServiceEndpoint::maxProfileFieldBytes, 'd');
    EXPECT_NE(save(longest).find(R"("ok":true)"), std::string::npos);
    EXPECT_NE(save(longest + "d").find("at most 1024 bytes"), std::string::npos);
    for (std::size_t i = 1; i < TunnelServiceEndpoint::maxProfiles; ++i) {
        ASSERT_NE(save("p", "", "p" + std::to_string(i)).find(R"("ok":true)"), std::string::npos);
    }
    const std::string refused = save("one too many", "", "one more");
    EXPECT_NE(refused.find(R"("code":17)"), std::string::npos) << refused;
    EXPECT_NE(refused.find("at most 32 profiles"), std::string::npos) << refused;
    // Replacing one is still allowed at the cap, by its identifier or as its provider's.
    AppSide app(service.socket());
    auto profiles = app.run(app.platform->loadAllProfiles());
    ASSERT_EQ(profiles.size(), TunnelServiceEndpoint::maxProfiles);
    EXPECT_NE(save("renamed", profiles[3].identifier).find(R"("ok":true)"), std::string::npos);
    EXPECT_NE(save("again", "", "p").find(R"("ok":true)"), std::string::npos);
    EXPECT_EQ(app.run(app.platform->loadAllProfiles()).size(), TunnelServiceEndpoint::maxProfiles);
}

TEST(ServiceLimits, AReplyLongerThanAMessageBecomesAnError) {
    TempDir dir;
    RunningService service(dir.path());
    AppSide app(service.socket());
    app.run(app.controller.connect("{}", "panel"));
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }));
    service.onServiceThread([&] { service.provider.replyBytes = TunnelServiceEndpoint::maxMessageBytes; });
    const std::string identifier = app.run(app.platform->loadAllProfiles()).at(0).identifier;
    RawClient client(service.socket());
    client.send(request(7, "providerMessage", R"(,"identifier":")" + identifier + R"(","message":"{}")"));
    const std::string reply = client.readLine();
    EXPECT_LE(reply.size(), TunnelServiceEndpoint::maxMessageBytes);
    EXPECT_NE(reply.find(R"("id":7)"), std::string::npos) << reply.substr(0, 200);
    EXPECT_NE(reply.find(R"("code":4)"), std::string::npos) << reply.substr(0, 200);
    // The connection goes on.
    client.send(request(8, "hello"));
    EXPECT_NE(client.readLine().find(R"("id":8,"ok":true)"), std::string::npos);
}

TEST(ServiceLimits, EachUserMayHoldOnlySoManyConnections) {
    TempDir dir;
    RunningService service(dir.path(), ServiceMode::user, {.connectionsPerUser = 4});
    std::vector<std::unique_ptr<RawClient>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<RawClient>(service.socket()));
        held.back()->send(request(i, "hello"));
        ASSERT_NE(held.back()->readLine().find(R"("ok":true)"), std::string::npos);
    }
    RawClient fifth(service.socket());
    const std::string refused = fifth.readLine();
    EXPECT_NE(refused.find("connections to the service open already"), std::string::npos) << refused;
    EXPECT_NE(refused.find(R"("code":15)"), std::string::npos) << refused;
    // A connection that ends frees its place.
    held.pop_back();
    std::this_thread::sleep_for(100ms);
    RawClient next(service.socket());
    next.send(request(9, "hello"));
    EXPECT_NE(next.readLine().find(R"("ok":true)"), std::string::npos);
}

// The app and corvanectl say what stands in the way when the service refuses
// them for one of its limits, not that the service is missing or failed.
TEST(ServiceLimits, RefusalsSayWhatToDo) {
    using State = SystemExtensionController::State;
    TempDir dir;
    {
        RunningService service(dir.path(), ServiceMode::user, {.connectionsPerUser = 1});
        RawClient held(service.socket());
        held.send(request(1, "hello"));
        ASSERT_NE(held.readLine().find(R"("ok":true)"), std::string::npos);

        asio::io_context io;
        SystemExtensionController activation(
            std::make_shared<ServiceActivationPlatform>(io.get_executor(), service.socket(), CORVANE_VERSION));
        activation.activate();
        io.run_for(5s);
        EXPECT_EQ(activation.state(), State::failed(std::string(ServiceActivationPlatform::tooManyConnectionsText)));

        AppSide app(service.socket());
        try {
            app.run(app.controller.connect("{}", "panel"));
            ADD_FAILURE() << "connected past the connection limit";
        } catch (const TunnelPlatformError& e) {
            EXPECT_EQ(e.error().code, ServiceErrorCode::tooManyConnections);
            EXPECT_EQ(e.description(), ServiceActivationPlatform::tooManyConnectionsText);
        }
    }
    RunningService service(dir.path() / "second");
    for (std::size_t i = 0; i < TunnelServiceEndpoint::maxProfiles; ++i) {
        RawClient client(service.socket());
        client.send(request(1, "saveProfile", R"(,"profile":{"identifier":"","providerBundleIdentifier":"other-)" +
                                                  std::to_string(i) +
                                                  R"(","serverAddress":"s","localizedDescription":"d","enabled":true})"));
        ASSERT_NE(client.readLine().find(R"("ok":true)"), std::string::npos);
    }
    AppSide app(service.socket());
    try {
        app.run(app.controller.connect("{}", "panel"));
        ADD_FAILURE() << "saved a profile past the limit";
    } catch (const TunnelPlatformError& e) {
        EXPECT_EQ(e.error().code, ServiceErrorCode::limitExceeded);
        EXPECT_EQ(e.description(), ServiceActivationPlatform::profileLimitText);
    }

    // The one refusal a test cannot provoke in the service (its group lookup failing) reads the same way.
    const struct {
        std::string domain;
        std::int64_t code;
        std::optional<std::string_view> advice;
    } cases[] = {
        {std::string(ServiceErrorDomain), ServiceErrorCode::peerCheckFailed, ServiceActivationPlatform::peerCheckFailedText},
        {std::string(ServiceErrorDomain), ServiceErrorCode::notPermitted, ServiceActivationPlatform::permissionText},
        {std::string(ServiceTunnelPlatform::errorDomain), ServiceTunnelPlatform::ErrorCode::notRunning,
         ServiceActivationPlatform::notRunningText},
        {std::string(ServiceErrorDomain), ServiceErrorCode::noSuchProfile, std::nullopt},
        {std::string(EngineErrorDomain), EngineErrorCode::startFailed, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(serviceRefusalAdvice(PlatformError{c.domain, c.code, "text"}), c.advice) << c.domain << " " << c.code;
    }
}

TEST(ServiceLimits, SilentIdleAndDawdlingConnectionsAreClosed) {
    TempDir dir;
    RunningService service(dir.path(), ServiceMode::user,
                           {.firstMessage = 300ms, .idle = 600ms, .unfinishedLine = 300ms});
    RawClient silent(service.socket());
    EXPECT_EQ(silent.readLine(3s), "(closed)") << "a connection that never says anything";

    RawClient idle(service.socket());
    idle.send(request(1, "hello"));
    EXPECT_NE(idle.readLine().find(R"("ok":true)"), std::string::npos);
    EXPECT_EQ(idle.readLine(3s), "(closed)") << "a connection that stopped asking";

    // A line begun and never finished: closed long before the idle limit would close it.
    RawClient dawdling(service.socket());
    dawdling.send(request(1, "hello"));
    EXPECT_NE(dawdling.readLine().find(R"("ok":true)"), std::string::npos);
    dawdling.send(R"({"id":2,"op":)");
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(dawdling.readLine(3s), "(closed)");
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 600ms) << "the unfinished line had the idle connection's time";

    // One that listens for events is not idle.
    AppSide app(service.socket());
    app.run(app.controller.load());
    std::this_thread::sleep_for(900ms);
    app.run(app.controller.connect("{}", "panel"));
    EXPECT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }));
}

TEST(ServiceLimits, AHalfClosedClientGetsEveryAnswer) {
    TempDir dir;
    RunningService service(dir.path());
    AppSide app(service.socket());
    app.run(app.controller.connect("{}", "panel"));
    ASSERT_TRUE(app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; }));
    const std::string identifier = app.run(app.platform->loadAllProfiles()).at(0).identifier;
    service.onServiceThread([&] { service.provider.stopTakes = 500ms; });

    RawClient client(service.socket());
    client.send(request(1, "hello") + request(2, "stopTunnel", R"(,"identifier":")" + identifier + "\""));
    client.finishSending();
    std::set<std::string> answered;
    for (int i = 0; i < 2; ++i) {
        const std::string line = client.readLine();
        if (line.find(R"("id":1,"ok":true)") != std::string::npos) answered.insert("hello");
        if (line.find(R"("id":2,"ok":true)") != std::string::npos) answered.insert("stopTunnel");
    }
    EXPECT_EQ(answered, (std::set<std::string>{"hello", "stopTunnel"}));
    EXPECT_EQ(client.readLine(), "(closed)");
}

TEST(ServiceLimits, AFailingGroupLookupIsNotARefusal) {
    const PeerCredentials stranger{0, 65534, 65534};
    // (The access group: unlike "root", no lookup source makes it up without reading a file.)
    const std::string group(TunnelServiceEndpoint::accessGroup);
    // Loads the lookup's modules, as the service does when it starts.
    ASSERT_EQ(checkPeer(stranger, ServiceMode::system, 0, group).kind, PeerVerdict::Kind::refused);

    // Out of descriptors: the group file cannot be read.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::dup(0)) >= 0;) filler.push_back(fd);
    const PeerVerdict verdict = checkPeer(stranger, ServiceMode::system, 0, group);
    for (int fd : filler) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(verdict.kind, PeerVerdict::Kind::unknown);
    EXPECT_EQ(verdict.error, EMFILE);
}

namespace {

// Asks the provider for its log, as the app does; its reply is as long as the test makes it.
std::string logsRequests(const std::string& identifier, int count) {
    std::string requests;
    for (int id = 1; id <= count; ++id) {
        requests += request(id, "providerMessage", R"(,"identifier":")" + identifier + R"(","message":"{\"logs\":{\"after\":0}}")");
    }
    return requests;
}

// The identifier of a profile whose tunnel is up, so that provider messages reach the provider.
std::string connectedProfile(AppSide& app) {
    app.run(app.controller.connect("{}", "panel"));
    if (!app.waitFor([&] { return app.controller.status() == NEVPNStatus::connected; })) throw std::runtime_error("not connected");
    return app.run(app.platform->loadAllProfiles()).at(0).identifier;
}

// Reads `count` replies and returns their ids; a reply shorter than `leastBytes` counts as id 0.
std::set<std::int64_t> readReplies(RawClient& client, int count, std::size_t leastBytes = 0) {
    std::set<std::int64_t> ids;
    for (int i = 0; i < count; ++i) {
        const std::string line = client.readLine();
        const auto at = line.find(R"("id":)");
        if (line.size() < leastBytes || at == std::string::npos || line.find(R"("ok":true)") == std::string::npos) {
            ids.insert(0);
            continue;
        }
        ids.insert(std::stoll(line.substr(at + 5)));
    }
    return ids;
}

std::set<std::int64_t> idsUpTo(int count) {
    std::set<std::int64_t> ids;
    for (int id = 1; id <= count; ++id) ids.insert(id);
    return ids;
}

}  // namespace

TEST(ServiceLimits, AUsersConnectionsTogetherQueueNoMoreThanItsOutbox) {
    constexpr std::size_t MiB = 1024 * 1024;
    constexpr std::size_t replyBytes = MiB / 2;
    // 3 MiB of replies for each connection: within a connection's outbox, but two of them exceed the user's.
    constexpr int hogs = 8, requestsEach = 6;
    const ServiceLimits limits{.outbox = 4 * MiB, .userOutbox = 5 * MiB};
    TempDir dir;
    RunningService service(dir.path(), ServiceMode::user, limits);
    AppSide app(service.socket());
    const std::string identifier = connectedProfile(app);
    RawClient bystander(service.socket());
    bystander.send(request(1, "hello"));
    ASSERT_NE(bystander.readLine().find(R"("ok":true)"), std::string::npos);
    service.onServiceThread([&] { service.provider.replyBytes = replyBytes; });

    // Connections that ask and never read.
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < hogs; ++i) {
        clients.push_back(std::make_unique<RawClient>(service.socket()));
        clients.back()->send(logsRequests(identifier, requestsEach));
    }
    std::size_t mostQueued = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    auto answered = [&] { return service.ask([&] { return service.provider.messagesAnswered; }); };
    while (answered() < hogs * requestsEach && std::chrono::steady_clock::now() < deadline) {
        mostQueued = std::max(mostQueued, service.queuedBytes());
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(answered(), hogs * requestsEach);
    mostQueued = std::max(mostQueued, service.queuedBytes());
    EXPECT_LE(mostQueued, limits.userOutbox);
    EXPECT_GT(mostQueued, limits.outbox / 2) << "the replies did not queue up: the test shows nothing";

    // Those dropped overflowed the user's outbox; the others keep every reply.
    int dropped = 0;
    for (auto& client : clients) {
        if (client->hungUp()) {
            ++dropped;
            continue;
        }
        EXPECT_EQ(readReplies(*client, requestsEach, replyBytes), idsUpTo(requestsEach));
    }
    EXPECT_GE(dropped, hogs - 2) << "(the socket buffers take in less than a connection's replies)";
    bystander.send(request(2, "hello"));
    EXPECT_NE(bystander.readLine().find(R"("id":2,"ok":true)"), std::string::npos) << "a connection that reads was dropped";

    // Nothing is left counted for connections that are gone: the user gets the whole outbox again.
    clients.clear();
    const auto released = std::chrono::steady_clock::now() + 5s;
    while (service.queuedBytes() != 0 && std::chrono::steady_clock::now() < released) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(service.queuedBytes(), 0u);
    RawClient fresh(service.socket());
    fresh.send(logsRequests(identifier, requestsEach));
    EXPECT_EQ(readReplies(fresh, requestsEach, replyBytes), idsUpTo(requestsEach));
}

// Each connection may begin a message as long as one may be, but one user's
// connections together hold no more than the user's inbox.
TEST(ServiceLimits, AUsersUnfinishedMessagesTogetherStayWithinItsInbox) {
    constexpr std::size_t MiB = 1024 * 1024;
    TempDir dir;
    RunningService service(dir.path(), ServiceMode::user, {.userInbox = 3 * MiB + MiB / 2});
    const std::string begun = R"({"id":1,"op":")" + std::string(MiB, 'x');  // a megabyte of a line, never ended
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<RawClient>(service.socket()));
        clients.back()->send(begun);
    }
    std::this_thread::sleep_for(200ms);  // all read by now
    for (auto& client : clients) EXPECT_FALSE(client->hungUp());
    RawClient fourth(service.socket());
    fourth.send(begun);
    EXPECT_NE(fourth.readLine().find("more unfinished messages than the service keeps"), std::string::npos);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(fourth.hungUp());

    // A connection that finishes or goes gives its share back.
    clients.pop_back();
    std::this_thread::sleep_for(100ms);
    RawClient fifth(service.socket());
    fifth.send(begun);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(fifth.hungUp());
    clients.front()->send("\"}\n");
    EXPECT_NE(clients.front()->readLine().find(R"("ok":false)"), std::string::npos) << "an unknown operation, answered";
}

TEST(ServiceLimits, AConnectionHasOnlySoManyRequestsAnsweredAtOnce) {
    TempDir dir;
    RunningService service(dir.path(), ServiceMode::user, {.answering = 4});
    AppSide app(service.socket());
    const std::string identifier = connectedProfile(app);
    service.onServiceThread([&] { service.provider.holdMessages = true; });

    // Far more requests than may be answered at once, sent together.
    constexpr int count = 300;
    RawClient client(service.socket());
    client.send(logsRequests(identifier, count));
    auto inFlight = [&] { return service.ask([&] { return service.provider.messagesInFlight; }); };
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (inFlight() < 4 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(200ms);  // time to read on, were the service still reading
    EXPECT_EQ(service.ask([&] { return service.provider.mostMessagesInFlight; }), 4);

    // Reading resumes as answers go out, and every request is answered.
    service.onServiceThread([&] { service.provider.holdMessages = false; });
    EXPECT_EQ(readReplies(client, count), idsUpTo(count));
    EXPECT_EQ(service.ask([&] { return service.provider.mostMessagesInFlight; }), 4);
}

TEST(ServiceLimits, ASubscriberThatStopsReadingIsDroppedAndTheOthersHearOn) {
    TempDir dir;
    // The outbox holds every event sent here: only the time a write takes can drop the subscriber.
    RunningService service(dir.path(), ServiceMode::user, {.write = 300ms});
    RawClient stalled(service.socket()), listening(service.socket());
    for (RawClient* client : {&stalled, &listening}) {
        client->send(request(1, "subscribe"));
        ASSERT_NE(client->readLine().find(R"("id":1,"ok":true)"), std::string::npos);
    }
    auto broadcast = [&](int n) {
        service.onServiceThread([&] {
            ServiceReply event;
            event.event = "status";
            event.status = static_cast<int>(NEVPNStatus::connected);
            event.identifier = std::to_string(n) + std::string(64 * 1024, 'i');  // far more than the socket buffers hold, soon
            service.server().broadcast(event);
        });
    };
    auto heard = [&](int n) {
        const std::string line = listening.readLine();
        return line.find(R"("identifier":")" + std::to_string(n) + "i") != std::string::npos;
    };
    // Events go on while the stalled subscriber's writes wait, up to the limit and past it.
    int n = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!stalled.hungUp() && std::chrono::steady_clock::now() < deadline) {
        broadcast(++n);
        ASSERT_TRUE(heard(n)) << "event " << n;
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(stalled.hungUp()) << "the subscriber that does not read is still connected after " << n << " events";
    EXPECT_LT(n * 64 * 1024, static_cast<int>(ServiceLimits{}.outbox));
    broadcast(++n);
    EXPECT_TRUE(heard(n));
    // What was written before the drop, then the end; the events queued for it are forgotten.
    std::string line;
    int received = 0;
    while ((line = stalled.readLine()) != "(closed)" && line != "(timeout)") ++received;
    EXPECT_EQ(line, "(closed)");
    EXPECT_LT(received, n);
    const auto released = std::chrono::steady_clock::now() + 5s;
    while (service.queuedBytes() != 0 && std::chrono::steady_clock::now() < released) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(service.queuedBytes(), 0u);
}
