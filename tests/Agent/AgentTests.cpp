// SPDX-License-Identifier: GPL-3.0-or-later
// The real corvane-agent as its clients meet it: started by the first client,
// one per user, answering requests and streaming its snapshot.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "Corvane/Agent/AgentClient.hpp"
#include "Corvane/Platform/DesktopNotifier.hpp"
#include "CorvaneCore/Panel/TokenStore.hpp"
#include "TestSupport/PrivateHome.hpp"
#include "TestSupport/PrivateSessionBus.hpp"
#include "TestSupport/ScopedEnv.hpp"
#include "tools/fleet/ChildProcess.hpp"
#include "TestSupport/ServiceClient.hpp"
#include "TestSupport/WithoutPrivileges.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;
using namespace std::chrono_literals;
namespace json = boost::json;

namespace {

class Agent : public ::testing::Test {
protected:
    Agent() : home_(dir_.path()) {}
    ~Agent() override {
        // The agents this test started go with it.
        for (pid_t pid : pids_) ::kill(pid, SIGKILL);
    }

    AgentClient::Options options() const {
        return {.socket = dir_.path() / "run" / "corvane" / "agent.sock", .program = std::filesystem::path(CORVANE_AGENT_PATH)};
    }
    // A client; the agent it reaches is ended with the test.
    std::unique_ptr<AgentClient> client() {
        auto c = std::make_unique<AgentClient>(options());
        pids_.insert(static_cast<pid_t>(c->call("hello").as_object().at("pid").as_int64()));
        return c;
    }

    TempDir dir_;
    PrivateHome home_;
    std::set<pid_t> pids_;
};

bool alive(pid_t pid) { return ::kill(pid, 0) == 0; }

}  // namespace

TEST_F(Agent, ClientsThatStartTheAgentAtOnceShareOne) {
    std::vector<std::future<std::int64_t>> starts;
    for (int i = 0; i < 4; ++i) {
        starts.push_back(std::async(std::launch::async, [this] {
            AgentClient c(options());
            return c.call("hello").as_object().at("pid").as_int64();
        }));
    }
    std::set<std::int64_t> pids;
    for (auto& s : starts) pids.insert(s.get());
    for (auto pid : pids) pids_.insert(static_cast<pid_t>(pid));
    EXPECT_EQ(pids.size(), 1u) << "every client reaches the same agent";

    // It outlives its clients, and another started by hand steps aside.
    const pid_t agent = static_cast<pid_t>(*pids.begin());
    EXPECT_TRUE(alive(agent));
    const auto second = std::system((std::string(CORVANE_AGENT_PATH) + " --socket " + options().socket.string() + " 2>/dev/null").c_str());
    EXPECT_EQ(second, 0);
    EXPECT_EQ(client()->call("hello").as_object().at("pid").as_int64(), agent);

    // Its socket is the user's alone.
    struct stat folder {};
    ASSERT_EQ(::stat(options().socket.parent_path().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
}

TEST_F(Agent, AnotherUserIsRefusedEvenWhereTheSocketIsOpen) {
    if (::geteuid() != 0) GTEST_SKIP() << "connecting as another user needs root";
    auto c = client();
    // Opened up on purpose: the agent still checks who connects.
    for (const auto& folder : {dir_.path(), dir_.path() / "run", options().socket.parent_path()}) ::chmod(folder.c_str(), 0711);
    ::chmod(options().socket.c_str(), 0666);
    const std::string socket = options().socket.string();
    const int status = withoutPrivileges([&] {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 10;
        const std::string request = R"({"id":1,"op":"snapshot"})" "\n";
        (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char reply[512] = {};
        std::string text;
        ssize_t n;
        while ((n = ::recv(fd, reply, sizeof reply - 1, 0)) > 0) text.append(reply, static_cast<std::size_t>(n));
        if (text.find("permission denied: the agent serves only its own user") == std::string::npos) return 11;
        return text.find("panelURL") == std::string::npos ? 0 : 12;
    });
    EXPECT_EQ(status, 0);
    EXPECT_NO_THROW(c->call("hello")) << "the agent serves its user on";
}

TEST_F(Agent, AWatcherGetsTheWholeSnapshotThenNumberedChanges) {
    auto watcher = client();
    auto actor = client();
    const auto started = watcher->call("watch");
    const std::int64_t seq = started.as_object().at("seq").as_int64();
    auto first = watcher->nextEvent(5s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->at("event").as_string(), "snapshot");
    EXPECT_EQ(first->at("seq").as_int64(), seq);
    EXPECT_FALSE(first->at("snapshot").as_object().contains("password")) << "a typed password never leaves the agent";

    actor->call("setSmartRouting", {{"on", false}});
    // Changes come numbered one after another; the one that matters names the field.
    std::int64_t last = seq;
    bool seen = false;
    for (int i = 0; i < 20 && !seen; ++i) {
        auto event = watcher->nextEvent(5s);
        ASSERT_TRUE(event) << "no change after " << last;
        ASSERT_EQ(event->at("event").as_string(), "changes");
        EXPECT_EQ(event->at("seq").as_int64(), last + 1);
        last = event->at("seq").as_int64();
        const auto& changes = event->at("changes").as_object();
        if (changes.contains("smartRouting")) {
            EXPECT_FALSE(changes.at("smartRouting").as_bool());
            seen = true;
        }
    }
    EXPECT_TRUE(seen);
    EXPECT_FALSE(actor->call("snapshot").as_object().at("smartRouting").as_bool());
}

// A new agent answers only once its model has read the stored sign-in and the
// tunnel's state: a window that reconnects after a restart never sees its
// signed-in user signed out. It says it runs meanwhile.
TEST_F(Agent, ANewAgentAnswersOnceItHasReadWhatWasStored) {
    KeychainTokenStore().save("stored-token", "https://127.0.0.1:9/");  // nothing listens: the list fails at once
    // A tunnel service that takes connections and never answers, until it is closed.
    const auto tunnelSocket = dir_.path() / "tunnel.sock";
    FileDescriptor service = silentService(tunnelSocket);
    ScopedEnv tunnel("CORVANE_TUNNEL_SOCKET", tunnelSocket.string());

    auto c = client();  // its "hello" is answered while the model waits
    auto watching = std::async(std::launch::async, [&] { return c->call("watch"); });
    EXPECT_EQ(watching.wait_for(500ms), std::future_status::timeout) << "answered before the stored state was read";
    service = FileDescriptor();  // the service goes: the tunnel reads as absent
    ASSERT_EQ(watching.wait_for(10s), std::future_status::ready);
    watching.get();
    auto first = c->nextEvent(5s);
    ASSERT_TRUE(first);
    const auto& snapshot = first->at("snapshot").as_object();
    EXPECT_TRUE(snapshot.at("signedIn").as_bool()) << json::serialize(snapshot);
    EXPECT_EQ(snapshot.at("panelURL").as_string(), "https://127.0.0.1:9");
}

TEST_F(Agent, BadRequestsGetTheirReasonAndTheAgentServesOn) {
    auto c = client();
    const std::vector<std::pair<std::pair<std::string, json::object>, std::string>> cases = {
        {{"launch", {}}, "unknown operation \"launch\""},
        {{"setSmartRouting", {}}, "setSmartRouting needs \"on\""},
        {{"setSiteEnabled", {{"siteId", "five"}, {"enabled", true}}}, "setSiteEnabled: \"siteId\" is a whole number"},
    };
    for (const auto& [request, reason] : cases) {
        try {
            c->call(request.first, request.second);
            ADD_FAILURE() << request.first;
        } catch (const AgentError& e) {
            EXPECT_EQ(std::string(e.what()), reason);
        }
    }
    EXPECT_NO_THROW(c->call("hello"));
}

TEST_F(Agent, AKilledAgentIsStartedAgainByTheNextClient) {
    const pid_t first = static_cast<pid_t>(client()->call("hello").as_object().at("pid").as_int64());
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    for (int i = 0; i < 200 && alive(first); ++i) std::this_thread::sleep_for(10ms);
    const pid_t second = static_cast<pid_t>(client()->call("hello").as_object().at("pid").as_int64());
    EXPECT_NE(second, first);

    // Stopping it by request ends it and leaves nothing listening.
    AgentClient(options()).call("stopAgent");
    for (int i = 0; i < 300 && alive(second); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(alive(second));
    EXPECT_THROW(AgentClient({.socket = options().socket, .start = false}), AgentError);
}

TEST_F(Agent, CorvanectlTellsWhetherItRunsAndStopsIt) {
    ScopedEnv socket("CORVANE_AGENT_SOCKET", options().socket.string());
    auto status = runProcess({CORVANECTL_PATH, "agent", "status"});
    EXPECT_EQ(status.exitStatus, 3);
    EXPECT_EQ(status.out, "The Corvane agent is not running.\n");

    const pid_t agent = static_cast<pid_t>(client()->call("hello").as_object().at("pid").as_int64());
    status = runProcess({CORVANECTL_PATH, "agent", "status"});
    EXPECT_EQ(status.exitStatus, 0);
    EXPECT_NE(status.out.find("(pid " + std::to_string(agent) + ")"), std::string::npos) << status.out;

    const auto stop = runProcess({CORVANECTL_PATH, "agent", "stop"});
    EXPECT_EQ(stop.exitStatus, 0) << stop.err;
    EXPECT_EQ(stop.out, "The Corvane agent stopped; the tunnel stays as it was.\n");
    for (int i = 0; i < 300 && alive(agent); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(alive(agent));
    EXPECT_EQ(runProcess({CORVANECTL_PATH, "agent", "stop"}).out, "The Corvane agent is not running.\n");
}

// An agent program that cannot run is said at once, not after the start wait.
TEST_F(Agent, AnAgentThatCannotRunIsSaidAtOnce) {
    ScopedEnv socket("CORVANE_AGENT_SOCKET", options().socket.string());
    ScopedEnv missing("CORVANE_AGENT", (dir_.path() / "no-such-agent").string());
    const auto started = std::chrono::steady_clock::now();
    const auto status = runProcess({CORVANECTL_PATH, "status"});
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(status.exitStatus, 1);
    EXPECT_EQ(status.err, "cannot start the Corvane agent (" + (dir_.path() / "no-such-agent").string() +
                              "): No such file or directory\n");
}

// Desktop notifications come from the agent, once per event, in words, and only
// while the user has them on; a bus without a notification server, or no bus,
// leaves the agent as it was. The event here is the session's end.
TEST_F(Agent, TheSessionsEndIsNotifiedOnceAndTheSettingSilencesIt) {
    PrivateSessionBus bus(dir_.path() / "bus");
    if (!bus.unavailableReason().empty()) GTEST_SKIP() << bus.unavailableReason();
    ScopedEnv session("DBUS_SESSION_BUS_ADDRESS", bus.address());
    ScopedEnv fileStore("CORVANE_CREDENTIAL_STORE", "file");  // no keyring on this bus
    ScopedEnv tunnel("CORVANE_TUNNEL_SOCKET", (dir_.path() / "no-tunnel.sock").string());

    // A new agent, restored signed in, then signed out: the event.
    auto signOutOnce = [&](std::optional<bool> notifications) {
        KeychainTokenStore().save("stored-token", "https://127.0.0.1:9/");  // nothing listens there
        auto c = client();
        ASSERT_TRUE(c->call("snapshot").as_object().at("signedIn").as_bool());
        if (notifications) c->call("setNotifications", {{"on", *notifications}});
        c->call("signOut");
        EXPECT_FALSE(c->call("snapshot").as_object().at("signedIn").as_bool());
        const auto pid = static_cast<pid_t>(c->call("hello").as_object().at("pid").as_int64());
        c->call("stopAgent");
        for (int i = 0; i < 300 && alive(pid); ++i) std::this_thread::sleep_for(20ms);
        EXPECT_FALSE(alive(pid)) << "the agent did not stop";
    };
    auto notices = [&] {
        std::vector<json::object> found;
        std::istringstream lines(bus.serviceLog());
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("{")) found.push_back(json::parse(line).as_object());
        }
        return found;
    };

    signOutOnce(std::nullopt);  // no notification server yet: nothing to see, nothing breaks

    bus.startService("Agent/notification_server.py");
    signOutOnce(false);  // turned off: the setting is stored, the next agent keeps it
    signOutOnce(std::nullopt);
    EXPECT_TRUE(notices().empty()) << bus.serviceLog();

    signOutOnce(true);
    for (int i = 0; i < 250 && notices().empty(); ++i) std::this_thread::sleep_for(20ms);
    const auto seen = notices();
    ASSERT_EQ(seen.size(), 1u) << bus.serviceLog();
    EXPECT_EQ(seen[0].at("app_name").as_string(), "Corvane");
    EXPECT_EQ(seen[0].at("desktop_entry").as_string(), "corvane");
    EXPECT_EQ(seen[0].at("summary").as_string(), "Signed out");
    EXPECT_NE(std::string(seen[0].at("body").as_string()).find("Sign in again"), std::string::npos)
        << seen[0].at("body").as_string();

    // Neither a missing bus nor a bus without a server is an error anyone sees.
    std::string why;
    bus.stopService();
    EXPECT_FALSE(sendDesktopNotice({"Title", "Body"}, why));
    EXPECT_NE(why, "");
    ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir_.path() / "no-bus").string());
    EXPECT_FALSE(sendDesktopNotice({"Title", "Body"}, why));
}
