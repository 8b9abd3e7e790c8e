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
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;
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
    RunningService(const std::filesystem::path& dir, ServiceMode mode = ServiceMode::user,
                   std::size_t outboxLimit = ServiceServer::defaultOutboxLimit)
        : socket_(dir / "run" / "tunnel.sock"), store_(dir / "state" / "profiles.json"), service_(store_, provider, mode),
          server_(io_, socket_, mode, service_, outboxLimit) {
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

TEST(TunnelService, AClientThatDoesNotReadItsRepliesIsDropped) {
    TempDir dir;
    RunningService service(dir.path(), ServiceMode::user, 64 * 1024);
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
