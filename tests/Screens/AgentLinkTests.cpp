// SPDX-License-Identifier: GPL-3.0-or-later
// The window's link to the real corvane-agent: the agent's snapshots reach the
// bridge, each control's call reaches the agent's model, a killed agent is
// started again while the window says so, and quitting waits for no agent.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <future>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <QCoreApplication>

#include "Corvane/Platform/ServiceActivationPlatform.hpp"
#include "Corvane/Screens/AgentLink.hpp"
#include "Corvane/Screens/AppBridge.hpp"
#include "Corvane/Tunnel/SystemExtensionController.hpp"
#include "TestSupport/PrivateHome.hpp"
#include "TestSupport/ServiceClient.hpp"
#include "TestSupport/ScopedEnv.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace std::chrono_literals;

namespace {

QCoreApplication& app() {
    static int argc = 1;
    static char name[] = "test_screens";
    static char* argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

// Runs the GUI thread's events until `done`, for at most `limit`.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

bool alive(pid_t pid) { return ::kill(pid, 0) == 0; }

// The window's side as the app makes it: the loop of the tunnel service's
// check, the link and the bridge over it; the agent in a home of the test's own.
class AgentLinkTest : public ::testing::Test {
protected:
    AgentLinkTest() : home_(dir_.path()) {
        app();
        home_.set("CORVANE_TUNNEL_SOCKET", (dir_.path() / "no-tunnel.sock").string());
        loopThread_ = std::thread([this] { loop_.run(); });
        onLoop([this] {
            extension_ = std::make_unique<SystemExtensionController>(std::make_shared<ServiceActivationPlatform>(
                loop_.get_executor(), dir_.path() / "no-tunnel.sock", "1.0"));
        });
        link_ = std::make_unique<AgentLink>(options(), *extension_, loop_.get_executor());
        bridge_ = std::make_unique<AppBridge>(*link_, AppBridge::Options{.appVersion = "1.0"});
    }
    ~AgentLinkTest() override {
        link_->stopObserving();
        if (const pid_t pid = agentPid()) ::kill(pid, SIGKILL);
        bridge_.reset();
        link_.reset();
        onLoop([this] { extension_.reset(); });
        guard_.reset();
        loopThread_.join();
    }

    AgentClient::Options options() const {
        return {.socket = dir_.path() / "run" / "corvane" / "agent.sock", .program = std::filesystem::path(CORVANE_AGENT_PATH)};
    }
    pid_t agentPid() const {
        try {
            AgentClient c({.socket = options().socket, .start = false});
            return static_cast<pid_t>(c.call("hello", {}, 5s).as_object().at("pid").as_int64());
        } catch (const AgentError&) {
            return 0;
        }
    }
    // The window shows the agent's state, and no notice.
    bool following() const { return bridge_->stateKnown() && bridge_->agentNotice().isEmpty(); }
    const AppSnapshot& shown() const { return bridge_->snapshot(); }

    template <class F>
    void onLoop(F f) {
        std::promise<void> done;
        boost::asio::post(loop_, [&] {
            f();
            done.set_value();
        });
        done.get_future().wait();
    }

    fleet::TempDir dir_;
    PrivateHome home_;
    boost::asio::io_context loop_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_ = boost::asio::make_work_guard(loop_);
    std::thread loopThread_;
    std::unique_ptr<SystemExtensionController> extension_;
    std::unique_ptr<AgentLink> link_;
    std::unique_ptr<AppBridge> bridge_;
};

}  // namespace

TEST_F(AgentLinkTest, EachControlReachesTheAgentsModelAndComesBackInItsSnapshot) {
    AgentLink& link = *link_;
    link.observe(*bridge_);
    ASSERT_TRUE(eventually([&] { return following(); })) << bridge_->agentNotice().toStdString();
    ASSERT_NE(agentPid(), 0) << "the link started the agent";

    std::string password;
    struct Case {
        const char* name;
        std::function<void()> act;
        std::function<bool(const AppSnapshot&)> done;
        std::function<void()> prepare = [] {};
    };
    const std::vector<Case> cases = {
        {"smart routing", [&] { link.setSmartRouting(false); }, [](auto& s) { return !s.smartRouting; }},
        {"site", [&] { link.setSiteEnabled(3, false); },
         [](auto& s) { return s.disabledSiteIds && s.disabledSiteIds->contains(3); }},
        {"LAN share", [&] { link.setLanShare(true); }, [](auto& s) { return s.lanShare; }},
        {"new LAN password", [&] { link.regenerateLanSharePassword(); },
         [&](auto& s) { return !s.lanSharePassword.empty() && s.lanSharePassword != password; },
         [&] { password = shown().lanSharePassword; }},
        // The typed fields go with the sign-in; nobody answers at that panel.
        {"sign-in",
         [&] {
             link.setPanelURL("https://127.0.0.1:9/");
             link.setEmail("me@example.com");
             link.setPassword("pw");
             link.signIn();
         },
         [](auto& s) { return s.email == "me@example.com" && s.panelURL == "https://127.0.0.1:9/" && s.errorMessage; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        EXPECT_FALSE(c.done(shown())) << "already done before the call";
        c.act();
        EXPECT_TRUE(eventually([&] { return c.done(shown()); }))
            << "the call did not come back in the agent's snapshot: " << shown().panelURL << " " << shown().email << " "
            << shown().errorMessage.value_or("no error");
    }

    std::promise<std::string> report;
    link.previewDiagnostics([&](std::string text) { report.set_value(std::move(text)); });
    auto preview = report.get_future();
    ASSERT_EQ(preview.wait_for(15s), std::future_status::ready);
    EXPECT_NE(preview.get().find("\"trigger_reason\": \"manual\""), std::string::npos);
}

// The agent is killed: the window says it waits, starts another and shows its
// state, which the new agent read from what the first one stored.
TEST_F(AgentLinkTest, AKilledAgentIsReplacedWhileTheWindowSaysSo) {
    link_->observe(*bridge_);
    ASSERT_TRUE(eventually([&] { return following(); }));
    link_->setSmartRouting(false);
    ASSERT_TRUE(eventually([&] { return !shown().smartRouting; }));

    const pid_t first = agentPid();
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ASSERT_TRUE(eventually([&] { return bridge_->agentNotice().startsWith("Waiting for the Corvane agent"); }));
    EXPECT_FALSE(shown().smartRouting) << "the last state stays shown meanwhile";
    ASSERT_TRUE(eventually([&] { return following(); }, 30s)) << bridge_->agentNotice().toStdString();
    const pid_t second = agentPid();
    EXPECT_NE(second, 0);
    EXPECT_NE(second, first);
    EXPECT_FALSE(shown().smartRouting);
}

// An agent stopped on purpose is not started again by the window on its own:
// it says so, and its next action starts one.
TEST_F(AgentLinkTest, AnAgentStoppedOnPurposeStartsAgainWithTheNextAction) {
    link_->observe(*bridge_);
    ASSERT_TRUE(eventually([&] { return following(); }));
    const pid_t first = agentPid();
    AgentClient(options()).call("stopAgent");
    ASSERT_TRUE(eventually([&] { return bridge_->agentNotice().contains("stopped"); }));
    ASSERT_TRUE(eventually([&] { return !alive(first); }));
    EXPECT_FALSE(eventually([&] { return agentPid() != 0; }, 2s)) << "the window started the agent it was asked to stop";

    link_->setSmartRouting(false);
    ASSERT_TRUE(eventually([&] { return following() && !shown().smartRouting; }, 30s)) << bridge_->agentNotice().toStdString();
}

// Quitting while a starting agent holds the window's requests (its tunnel
// service does not answer) does not wait for it; the agent runs on.
TEST_F(AgentLinkTest, QuittingWaitsForNoAgent) {
    const auto tunnelSocket = dir_.path() / "tunnel.sock";
    FileDescriptor service = silentService(tunnelSocket);
    ScopedEnv tunnel("CORVANE_TUNNEL_SOCKET", tunnelSocket.string());

    link_->observe(*bridge_);
    link_->setSmartRouting(false);  // held too
    ASSERT_TRUE(eventually([&] { return agentPid() != 0; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(bridge_->stateKnown());
    const auto before = std::chrono::steady_clock::now();
    link_->stopObserving();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    EXPECT_TRUE(alive(agentPid()));
}
