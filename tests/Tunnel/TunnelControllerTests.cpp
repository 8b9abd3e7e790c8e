// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "Corvane/Tunnel/TunnelController.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "TestSupport/FakeTunnelPlatform.hpp"

using namespace corvane;
using namespace corvane::testing;

namespace {

struct Ping {
    static constexpr std::string_view recordName = "Ping";
    std::int64_t after = 0;
    bool operator==(const Ping&) const = default;
    static Ping decode(const RecordDecoder& d) { return {d.required<std::int64_t>("after")}; }
    void encode(RecordEncoder& e) const { e.set("after", after); }
};

class TunnelControllerTest : public ::testing::Test {
protected:
    boost::asio::io_context io;
    std::shared_ptr<FakeTunnelPlatform> platform = std::make_shared<FakeTunnelPlatform>();
    TunnelController controller{io.get_executor(), platform};

    template <class T>
    T run(Async<T> work) {
        std::optional<std::conditional_t<std::is_void_v<T>, int, T>> result;
        std::exception_ptr failure;
        boost::asio::co_spawn(io, std::move(work), [&](std::exception_ptr e, auto... value) {
            failure = e;
            if constexpr (sizeof...(value) > 0) {
                if (!e) result.emplace(std::move(value)...);
            }
        });
        io.restart();
        io.run();
        if (failure) std::rethrow_exception(failure);
        if constexpr (!std::is_void_v<T>) return std::move(*result);
    }

    void connectAndRun() {
        run(controller.connect("{}", "panel.example.com"));
        platform->setStatus("profile-1", NEVPNStatus::connecting);
        platform->setStatus("profile-1", NEVPNStatus::connected);
    }
};

}  // namespace

TEST_F(TunnelControllerTest, LoadTakesTheAppsOwnProfile) {
    platform->profiles = {{.identifier = "other", .providerBundleIdentifier = "com.example.vpn"},
                          {.identifier = "ours", .providerBundleIdentifier = "com.corvane.client.tunnel"}};
    platform->statuses["ours"] = NEVPNStatus::connected;
    run(controller.load());
    EXPECT_TRUE(controller.hasProfile());
    EXPECT_EQ(controller.status(), NEVPNStatus::connected);

    platform->loadAllError = PlatformError{"NEVPNErrorDomain", 5, "cannot read"};
    run(controller.load());
    EXPECT_FALSE(controller.hasProfile());
    EXPECT_EQ(controller.status(), NEVPNStatus::invalid);
    EXPECT_EQ(platform->observerCount(), 0u);
}

TEST_F(TunnelControllerTest, ConnectSavesReloadsAndStartsWithTheConfiguration) {
    run(controller.connect(R"({"log":{}})", "panel.example.com"));
    ASSERT_EQ(platform->profiles.size(), 1u);
    EXPECT_EQ(platform->profiles[0], (TunnelProfile{"profile-1", "com.corvane.client.tunnel", "panel.example.com", "Corvane", true}));
    EXPECT_EQ(platform->calls, (std::vector<std::string>{"loadAll", "save", "load profile-1", "start profile-1"}));
    EXPECT_EQ(platform->startOptions.at(0), (std::map<std::string, std::string>{{"config", R"({"log":{}})"}}));
    EXPECT_EQ(controller.status(), NEVPNStatus::disconnected);

    platform->calls.clear();
    run(controller.connect("{}", "other.example.com"));  // the held profile is reused
    EXPECT_EQ(platform->calls, (std::vector<std::string>{"save", "load profile-1", "start profile-1"}));
    ASSERT_EQ(platform->profiles.size(), 1u);
    EXPECT_EQ(platform->profiles[0].serverAddress, "other.example.com");
    EXPECT_EQ(platform->observerCount(), 1u);
}

// Another process of the app, or a service that was not up when this controller
// loaded, may have saved the profile already: a second one would hold a tunnel
// that the others cannot see or stop.
TEST_F(TunnelControllerTest, TheAppKeepsOneProfileAndFindsTheOneThatRuns) {
    const std::string ours(TunnelIPC::providerBundleIdentifier);
    struct Row {
        const char* name;
        std::vector<TunnelProfile> saved;
        std::map<std::string, NEVPNStatus> statuses;
        bool unreadable;
        std::optional<std::string> loaded;  // what load() holds
        std::string started;                // what a connect without a loaded profile starts
    };
    const std::vector<Row> rows{
        {"ours among another app's", {{.identifier = "other", .providerBundleIdentifier = "com.example.vpn"},
                                      {.identifier = "ours", .providerBundleIdentifier = ours}},
         {{"other", NEVPNStatus::connected}, {"ours", NEVPNStatus::disconnected}}, false, "ours", "ours"},
        {"of two of ours, the one whose tunnel runs", {{.identifier = "old", .providerBundleIdentifier = ours},
                                                       {.identifier = "running", .providerBundleIdentifier = ours}},
         {{"old", NEVPNStatus::disconnected}, {"running", NEVPNStatus::connected}}, false, "running", "running"},
        {"of two of ours, neither running: the first", {{.identifier = "a", .providerBundleIdentifier = ours},
                                                        {.identifier = "b", .providerBundleIdentifier = ours}},
         {{"a", NEVPNStatus::disconnected}, {"b", NEVPNStatus::disconnected}}, false, "a", "a"},
        {"none saved yet", {}, {}, false, std::nullopt, "profile-1"},
        {"a list that cannot be read: the save decides", {{.identifier = "ours", .providerBundleIdentifier = ours}},
         {{"ours", NEVPNStatus::disconnected}}, true, std::nullopt, "profile-1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto fresh = [&] {
            auto p = std::make_shared<FakeTunnelPlatform>();
            p->profiles = row.saved;
            p->statuses = row.statuses;
            if (row.unreadable) p->loadAllError = PlatformError{"NEVPNErrorDomain", 5, "cannot read"};
            return p;
        };
        auto loading = fresh();
        TunnelController loader(io.get_executor(), loading);
        run(loader.load());
        loading->calls.clear();
        run(loader.stop());
        EXPECT_EQ(loading->calls, row.loaded ? std::vector<std::string>{"stop " + *row.loaded} : std::vector<std::string>{});

        auto connecting = fresh();
        TunnelController connector(io.get_executor(), connecting);
        run(connector.connect("{}", "panel"));
        EXPECT_EQ(connecting->calls.back(), "start " + row.started);
        EXPECT_EQ(connecting->profiles.size(), row.saved.size() + (row.started == "profile-1" ? 1 : 0));
    }
}

TEST_F(TunnelControllerTest, ConnectFailuresReachTheCallerUnchanged) {
    platform->startError = PlatformError{"NEVPNErrorDomain", 2, "the service is not running"};
    try {
        run(controller.connect("{}", "panel"));
        ADD_FAILURE();
    } catch (const TunnelPlatformError& e) {
        EXPECT_EQ(e.error(), *platform->startError);
    }
    EXPECT_EQ(controller.lastError(), std::nullopt);
}

TEST_F(TunnelControllerTest, UnexpectedDropsRecordTheirReason) {
    struct Case {
        NEVPNStatus before;
        std::optional<PlatformError> error;
        std::optional<std::string> trigger;
        std::optional<std::string> lastError;
        bool fetched;
    };
    const PlatformError engine{std::string(EngineErrorDomain), 1, "FATAL start service: bind: address already in use"};
    const PlatformError connection{std::string(NEVPNConnectionErrorDomain), 3, "The VPN session failed"};
    const Case cases[] = {
        {NEVPNStatus::connecting, connection, "connect_fail", "The VPN session failed", true},
        {NEVPNStatus::connected, connection, std::nullopt, "The VPN session failed", true},
        {NEVPNStatus::connected, engine, "singbox_exit", engine.localizedDescription, true},
        {NEVPNStatus::connected, std::nullopt, std::nullopt, std::nullopt, true},
        {NEVPNStatus::disconnecting, engine, std::nullopt, std::nullopt, false},
    };
    for (const auto& c : cases) {
        auto fresh = std::make_shared<FakeTunnelPlatform>();
        TunnelController tc(io.get_executor(), fresh);
        run(tc.connect("{}", "panel"));
        fresh->setStatus("profile-1", c.before);
        fresh->lastDisconnectError = c.error;
        fresh->calls.clear();
        fresh->setStatus("profile-1", NEVPNStatus::disconnected);
        io.restart();
        io.run();
        EXPECT_EQ(tc.status(), NEVPNStatus::disconnected);
        EXPECT_EQ(tc.lastErrorTrigger(), c.trigger) << static_cast<int>(c.before);
        EXPECT_EQ(tc.lastError(), c.lastError) << static_cast<int>(c.before);
        EXPECT_EQ(!fresh->calls.empty(), c.fetched);
    }
}

// "Failed" describes the last session only until the next one begins or the
// user ends it, whichever process does either; a crash after that sets it again.
TEST_F(TunnelControllerTest, ALaterStartOrRequestedStopClearsTheLastError) {
    const PlatformError crash{std::string(EngineErrorDomain), 2, "the engine exited (status 1)"};
    auto crashNow = [&] {
        platform->setStatus("profile-1", NEVPNStatus::connected);
        platform->lastDisconnectError = crash;
        platform->setStatus("profile-1", NEVPNStatus::disconnected);
        io.restart();
        io.run();
        ASSERT_EQ(controller.lastError(), crash.localizedDescription);
        ASSERT_EQ(controller.lastErrorTrigger(), "singbox_exit");
    };
    connectAndRun();
    crashNow();

    // Another process starts a session and ends it cleanly.
    platform->lastDisconnectError.reset();
    platform->setStatus("profile-1", NEVPNStatus::connecting);
    EXPECT_EQ(controller.lastError(), std::nullopt);
    EXPECT_EQ(controller.lastErrorTrigger(), std::nullopt);
    platform->setStatus("profile-1", NEVPNStatus::connected);
    platform->setStatus("profile-1", NEVPNStatus::disconnecting);
    platform->setStatus("profile-1", NEVPNStatus::disconnected);
    io.restart();
    io.run();
    EXPECT_EQ(controller.lastError(), std::nullopt);

    // This user's stop of a crashed session; a refused one changes nothing.
    crashNow();
    platform->stopError = PlatformError{std::string(ServiceErrorDomain), ServiceErrorCode::otherProfileRuns, "another runs"};
    EXPECT_THROW(run(controller.stop()), TunnelPlatformError);
    EXPECT_EQ(controller.lastError(), crash.localizedDescription);
    platform->stopError.reset();
    run(controller.stop());
    EXPECT_EQ(controller.lastError(), std::nullopt);

    // Another process's stop: the service no longer reports the failure and says so with an unchanged status.
    crashNow();
    platform->lastDisconnectError.reset();
    platform->setStatus("profile-1", NEVPNStatus::disconnected);
    io.restart();
    io.run();
    EXPECT_EQ(controller.lastError(), std::nullopt);

    // A lookup answered after the next session began does not bring the old failure back.
    platform->setStatus("profile-1", NEVPNStatus::connected);
    platform->lastDisconnectError = crash;
    platform->setStatus("profile-1", NEVPNStatus::disconnected);  // the lookup is queued
    platform->setStatus("profile-1", NEVPNStatus::connecting);
    io.restart();
    io.run();
    EXPECT_EQ(controller.lastError(), std::nullopt);
    EXPECT_EQ(controller.status(), NEVPNStatus::connecting);
}

// A controller made after the failure (another process, the app started anew)
// shows it too, without reporting it a second time.
TEST_F(TunnelControllerTest, LoadFindsWhyTheLastSessionFailed) {
    const PlatformError crash{std::string(EngineErrorDomain), 2, "the engine exited (status 1)"};
    platform->profiles = {{.identifier = "ours", .providerBundleIdentifier = std::string(TunnelIPC::providerBundleIdentifier)}};
    platform->lastDisconnectError = crash;
    for (auto [status, shown] : {std::pair{NEVPNStatus::disconnected, true}, std::pair{NEVPNStatus::connected, false},
                                 std::pair{NEVPNStatus::connecting, false}}) {
        platform->statuses["ours"] = status;
        TunnelController fresh(io.get_executor(), platform);
        run(fresh.load());
        EXPECT_EQ(fresh.lastError().has_value(), shown) << static_cast<int>(status);
        EXPECT_EQ(fresh.lastErrorTrigger(), std::nullopt);
    }
}

TEST_F(TunnelControllerTest, SendCarriesOneRequestWhileTheTunnelRuns) {
    platform->provider = [](const std::string& m) -> std::optional<std::string> {
        if (m == R"({"after":41})") return R"({"after":42,"extra":true})";
        if (m == R"({"after":1})") return "not json";
        return std::nullopt;
    };
    EXPECT_EQ(run(controller.send<Ping>(Ping{41})), std::nullopt);  // no profile
    run(controller.connect("{}", "panel"));
    for (auto s : {NEVPNStatus::disconnected, NEVPNStatus::disconnecting, NEVPNStatus::invalid}) {
        platform->setStatus("profile-1", s);
        platform->calls.clear();
        EXPECT_EQ(run(controller.send<Ping>(Ping{41})), std::nullopt);
        EXPECT_TRUE(platform->calls.empty());
    }
    for (auto s : {NEVPNStatus::connecting, NEVPNStatus::connected, NEVPNStatus::reasserting}) {
        platform->setStatus("profile-1", s);
        EXPECT_EQ(run(controller.send<Ping>(Ping{41})), Ping{42});
    }
    EXPECT_EQ(run(controller.send<Ping>(Ping{1})), std::nullopt);   // undecodable reply
    EXPECT_EQ(run(controller.send<Ping>(Ping{7})), std::nullopt);   // no reply
}

TEST_F(TunnelControllerTest, DisconnectKeepsTheProfileRemoveDeletesIt) {
    connectAndRun();
    platform->calls.clear();
    controller.disconnect();
    io.restart();
    io.run();
    EXPECT_EQ(platform->calls, std::vector<std::string>{"stop profile-1"});
    EXPECT_TRUE(controller.hasProfile());
    run(controller.remove());
    EXPECT_EQ(platform->calls, (std::vector<std::string>{"stop profile-1", "stop profile-1", "remove profile-1"}));
    EXPECT_FALSE(controller.hasProfile());
    EXPECT_EQ(controller.status(), NEVPNStatus::invalid);
    EXPECT_EQ(platform->observerCount(), 0u);
}

TEST_F(TunnelControllerTest, ANotificationAfterTheControllerIsGoneDoesNothing) {
    auto fresh = std::make_shared<FakeTunnelPlatform>();
    {
        TunnelController tc(io.get_executor(), fresh);
        run(tc.connect("{}", "panel"));
        fresh->setStatus("profile-1", NEVPNStatus::connected);
        fresh->lastDisconnectError = PlatformError{"x", 1, "gone"};
        fresh->setStatus("profile-1", NEVPNStatus::disconnected);  // the lookup is queued, not yet run
    }
    io.restart();
    io.run();
    fresh->setStatus("profile-1", NEVPNStatus::connected);
    EXPECT_EQ(fresh->observerCount(), 0u);
}
