#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <cstring>
#include <future>
#include <thread>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "Corvane/Platform/ServiceActivationPlatform.hpp"
#include "Corvane/Platform/ServiceTunnelPlatform.hpp"
#include "Corvane/Tunnel/SystemExtensionController.hpp"
#include "Corvane/Tunnel/TunnelController.hpp"
#include "CorvaneTunnel/ProfileStore.hpp"
#include "CorvaneTunnel/ServiceServer.hpp"
#include "CorvaneTunnel/TunnelService.hpp"
#include "TestSupport/ServiceClient.hpp"
#include "TestSupport/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace std::chrono_literals;
namespace asio = boost::asio;

namespace {

// A provider whose outcomes the test decides.
class ScriptedProvider final : public TunnelProvider {
public:
    std::optional<PlatformError> startFailure;
    std::vector<std::string> starts;
    int stops = 0;

    Async<void> start(std::map<std::string, std::string> options) override {
        starts.push_back(options["config"]);
        asio::steady_timer t(co_await asio::this_coro::executor, 20ms);
        co_await t.async_wait(asio::use_awaitable);
        if (startFailure) throw TunnelStartError(*startFailure);
    }
    Async<void> stop() override {
        ++stops;
        co_return;
    }
    Async<std::optional<std::string>> handleMessage(std::string message) override { co_return "echo " + message; }
};

// corvane-tunnel's parts on a thread of their own, on a socket in a temporary folder.
class RunningService {
public:
    RunningService(const std::filesystem::path& dir, ServiceMode mode = ServiceMode::user)
        : socket_(dir / "run" / "tunnel.sock"), store_(dir / "state" / "profiles.json"), service_(store_, provider, mode),
          server_(io_, socket_, mode, service_) {
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
    const std::filesystem::path& socket() const { return socket_; }
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
    service.onServiceThread([&] {
        service.provider.onUnexpectedStop(PlatformError{std::string(EngineErrorDomain), 2, "the engine exited (status 1)"});
    });
    ASSERT_TRUE(app.waitFor([&] { return app.controller.lastError().has_value(); }));
    EXPECT_EQ(app.controller.lastErrorTrigger(), "singbox_exit");
    EXPECT_EQ(app.controller.lastError(), "the engine exited (status 1)");
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
