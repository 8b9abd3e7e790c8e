// SPDX-License-Identifier: GPL-3.0-or-later
// The engine frozen (SIGSTOP) in the middle of a session while the user's
// wall clock jumps a day forwards and an hour backwards: the agent's health
// checks notice, run on time whatever the clock says, and the session recovers
// once the engine runs again. The agent runs under libfaketime, which moves
// only its wall clock.
#include "EndToEnd/EndToEndFixture.hpp"

#include <csignal>
#include <deque>
#include <fstream>
#include <set>

#include <boost/json/serialize.hpp>

#include "TestSupport/ScopedEnv.hpp"

using namespace corvane;
using namespace corvane::fleet;
using namespace corvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

constexpr const char* libfaketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";

// The processes whose parent is `parent`.
std::set<pid_t> childrenOf(pid_t parent) {
    std::set<pid_t> children;
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(parent) + "/task", ec)) {
        std::ifstream in(task.path() / "children");
        for (pid_t pid; in >> pid;) children.insert(pid);
    }
    return children;
}

// The engine this test's tunnel service runs: a grandchild of the test (the
// panel's fleet runs engines too).
pid_t runningEngine() {
    std::error_code ec;
    const fs::path engine = fs::canonical(enginePath(), ec);
    const fs::path service = fs::canonical(CORVANE_TUNNEL_PATH, ec);
    for (pid_t child : childrenOf(::getpid())) {
        if (fs::read_symlink("/proc/" + std::to_string(child) + "/exe", ec) != service) continue;
        for (pid_t grandchild : childrenOf(child)) {
            if (fs::read_symlink("/proc/" + std::to_string(grandchild) + "/exe", ec) == engine) return grandchild;
        }
    }
    return 0;
}

class FrozenEngine : public EndToEnd {
protected:
    void SetUp() override {
        if (::access(libfaketime, R_OK) != 0) GTEST_SKIP() << "libfaketime is not installed (Debian's libfaketime)";
        if (::access(enginePath().c_str(), X_OK) != 0) GTEST_SKIP() << "the engine is not installed at " << enginePath();
        EndToEnd::SetUp();
        // The agent the first command starts inherits these (the panel and the
        // service keep the real clock): its wall clock is the file's offset from
        // the real one, read afresh at every call.
        clockFile_ = dir.path() / "clock-offset";
        stepClock("+0");
        env_.emplace_back("LD_PRELOAD", libfaketime);
        // A sanitizer build wants its runtime first among the libraries; the preloaded clock comes first here.
        const char* asan = std::getenv("ASAN_OPTIONS");
        env_.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") + (asan && *asan ? ":" : "") + "verify_asan_link_order=0");
        env_.emplace_back("FAKETIME_TIMESTAMP_FILE", clockFile_.string());
        env_.emplace_back("FAKETIME_NO_CACHE", "1");
        env_.emplace_back("FAKETIME_DONT_FAKE_MONOTONIC", "1");
        auto r = ctl({"login", "--panel", panelURL, "--email", "demo@corvane.test", "--password-stdin"}, "demo-password\n");
        ASSERT_EQ(r.exitStatus, 0) << r.err;
    }
    void TearDown() override {
        if (engine_ > 0) ::kill(engine_, SIGCONT);
        EndToEnd::TearDown();
        env_.clear();
    }

    void stepClock(const std::string& offset) { writeFile(clockFile_, offset + "\n"); }
    std::optional<bool> reachable() {
        const auto state = agentState();
        const std::string seen = json::serialize(state.contains("tunnelReachable") ? state.at("tunnelReachable") : json::value()) +
                                 " " + json::serialize(state.at("status"));
        if (history.empty() || history.back() != seen) history.push_back(seen);
        const auto* value = state.if_contains("tunnelReachable");
        if (!value || value->is_null()) return std::nullopt;
        return value->as_bool();
    }

    pid_t engine_ = 0;
    std::vector<std::string> history;  // the agent's reachability and status as they changed

private:
    fs::path clockFile_;
    std::deque<ScopedEnv> env_;
};

TEST_F(FrozenEngine, HealthChecksNoticeOnTimeWhateverTheWallClockSaysAndTheSessionRecovers) {
    auto connected = ctl({"connect", "--wait", "30"});
    ASSERT_EQ(connected.exitStatus, 0) << connected.err;
    stepClock("+2d");
    ASSERT_TRUE(eventually([&] { return reachable() == true; }, 40s)) << "the first check did not find the tunnel";
    engine_ = runningEngine();
    ASSERT_GT(engine_, 0) << "the engine was not found among the service's children";

    // Frozen: the process is there but answers nothing. Checks come every 30 s
    // after a success; a check spaced on the wall clock would wait two days.
    ASSERT_EQ(::kill(engine_, SIGSTOP), 0);
    ASSERT_TRUE(eventually([&] { return reachable() == false; }, 75s))
        << "the health checks did not notice the frozen engine: " << ::testing::PrintToString(history);
    // The agent answers meanwhile: a command about the frozen session returns.
    auto status = ctl({"status", "--json"});
    EXPECT_EQ(status.exitStatus, 0) << status.err;

    // An hour back, then the engine runs again: the next check (5 s after a
    // failure, on the monotonic clock) finds the tunnel, and traffic flows.
    stepClock("-1h");
    ASSERT_EQ(::kill(engine_, SIGCONT), 0);
    EXPECT_TRUE(eventually([&] { return reachable() == true; }, 60s)) << "the session did not recover";
    EXPECT_EQ(agentState().at("status").as_string(), "connected");
    EXPECT_NE(viaProxy().find("through "), std::string::npos);
}

}  // namespace
