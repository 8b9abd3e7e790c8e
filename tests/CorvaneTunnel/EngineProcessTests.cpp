// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "CorvaneTunnel/EngineLog.hpp"
#include "CorvaneTunnel/EngineProcess.hpp"
#include "TestSupport/ForeignListener.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::fleet;
using namespace std::chrono_literals;

namespace {

std::filesystem::path engineExecutable() {
    if (const char* e = std::getenv("CORVANE_ENGINE")) return e;
    return std::filesystem::path(CORVANE_SOURCE_DIR) / "build" / "engine" / "sing-box";
}

std::uint16_t freePort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return a.local_endpoint().port();
}

std::string minimalConfig(std::uint16_t port, const std::string& secret) {
    return R"({"log":{"level":"info","timestamp":true},)"
           R"("inbounds":[{"type":"mixed","tag":"mixed-in","listen":"127.0.0.1","listen_port":)" +
           std::to_string(freePort()) + R"(}],"outbounds":[{"type":"direct","tag":"direct"}],)"
           R"("experimental":{"clash_api":{"external_controller":"127.0.0.1:)" + std::to_string(port) +
           R"(","secret":")" + secret + R"("}}})";
}

class EngineProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(engineExecutable())) {
            GTEST_SKIP() << "sing-box is not installed at " << engineExecutable() << " (scripts/install-engine.sh installs it)";
        }
    }

    EngineProcess::Options options(std::string config, std::uint16_t port) {
        EngineProcess::Options o;
        o.executable = engineExecutable();
        o.workingDirectory = dir.path() / "engine";
        o.configuration = std::move(config);
        o.controlPort = port;
        o.controlSecret = "s3cret";
        o.startTimeout = 20s;
        o.onLine = [this](std::string line) {
            std::lock_guard lock(mutex);
            lines.push_back(std::move(line));
        };
        o.onUnexpectedExit = [this](int status, std::string lastError) {
            std::lock_guard lock(mutex);
            exits.emplace_back(status, std::move(lastError));
        };
        return o;
    }

    TempDir dir;
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<std::pair<int, std::string>> exits;
};

}  // namespace

TEST_F(EngineProcessTest, StartsWhenTheControlAPIAnswersAndStopsOnClose) {
    auto port = freePort();
    EngineProcess engine(options(minimalConfig(port, "s3cret"), port));
    engine.start();
    EXPECT_TRUE(engine.isRunning());
    engine.close();
    EXPECT_FALSE(engine.isRunning());
    std::lock_guard lock(mutex);
    EXPECT_TRUE(exits.empty()) << "a requested stop is not a drop";
    bool sawAPI = false;
    for (const auto& l : lines) {
        EXPECT_EQ(l.find('\x1b'), std::string::npos) << l;
        if (l.find("clash-api: restful api listening at 127.0.0.1:" + std::to_string(port)) != std::string::npos) sawAPI = true;
    }
    EXPECT_TRUE(sawAPI);
    // Nothing but the engine's own cache is left in its folder: the configuration never touched the disk.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "engine")) {
        EXPECT_EQ(entry.path().filename(), "cache.db");
    }
}

TEST_F(EngineProcessTest, AConfigurationTheEngineRefusesFailsTheStartWithItsText) {
    auto port = freePort();
    EngineProcess engine(options(R"({"inbounds":[{"type":"no-such-inbound"}]})", port));
    try {
        engine.start();
        ADD_FAILURE() << "started";
    } catch (const EngineStartError& e) {
        EXPECT_NE(std::string(e.what()).find("FATAL"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("no-such-inbound"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(engine.isRunning());
    std::lock_guard lock(mutex);
    EXPECT_TRUE(exits.empty()) << "a failed start is reported by the start, not as a drop";
}

TEST_F(EngineProcessTest, AnEngineThatDiesIsReportedAsADrop) {
    auto port = freePort();
    EngineProcess engine(options(minimalConfig(port, "s3cret"), port));
    engine.start();
    ::kill(engine.pid(), SIGKILL);
    for (int i = 0; i < 200; ++i) {
        {
            std::lock_guard lock(mutex);
            if (!exits.empty()) break;
        }
        std::this_thread::sleep_for(10ms);
    }
    std::lock_guard lock(mutex);
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].first, 128 + SIGKILL);
}

TEST_F(EngineProcessTest, CancelInterruptsAStartAtOnceAndTheEngineInheritsNothing) {
    // A stand-in that neither reads its configuration nor opens the control API.
    auto script = dir.path() / "silent-engine";
    writeFile(script, "#!/bin/sh\necho \"$$\" > \"$(dirname \"$0\")/silent.pid\"\nexec sleep 60\n");
    std::filesystem::permissions(script, std::filesystem::perms(0755));
    // Far more configuration than a pipe or socket buffer holds.
    auto o = options(R"({"padding":")" + std::string(4 * 1024 * 1024, 'x') + R"("})", freePort());
    o.executable = script;
    // A descriptor without close-on-exec, as libraries open them.
    const int leaky = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(leaky, 0);
    EngineProcess engine(o);
    auto started = std::async(std::launch::async, [&] { engine.start(); });

    const auto pidFile = dir.path() / "silent.pid";
    std::string comm;
    for (int i = 0; i < 500 && comm != "sleep\n"; ++i) {
        std::this_thread::sleep_for(10ms);
        if (std::filesystem::exists(pidFile) && !readFile(pidFile).empty()) {
            comm = readFile("/proc/" + std::to_string(std::stoi(readFile(pidFile))) + "/comm");
        }
    }
    ASSERT_EQ(comm, "sleep\n");
    std::set<std::string> descriptors;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(std::stoi(readFile(pidFile))) + "/fd")) {
        descriptors.insert(entry.path().filename().string());
    }
    EXPECT_EQ(descriptors, (std::set<std::string>{"0", "1", "2"}));
    ::close(leaky);

    auto before = std::chrono::steady_clock::now();
    engine.cancel();
    ASSERT_EQ(started.wait_for(5s), std::future_status::ready) << "the start still writes the configuration";
    EXPECT_THROW(started.get(), EngineStartError);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 3s);
    EXPECT_FALSE(engine.isRunning());
}

namespace {

// A stand-in engine: a shell script that never opens its control API.
EngineProcess::Options scriptedEngine(const TempDir& dir, const std::string& script, std::vector<std::string>& lines,
                                      std::mutex& mutex) {
    const auto path = dir.path() / "engine.sh";
    writeFile(path, "#!/bin/sh\n" + script);
    std::filesystem::permissions(path, std::filesystem::perms(0755));
    EngineProcess::Options o;
    o.executable = path;
    o.workingDirectory = dir.path() / "engine";
    o.controlPort = freePort();
    o.startTimeout = 500ms;
    o.closeGrace = 500ms;
    o.onLine = [&](std::string line) {
        std::lock_guard lock(mutex);
        lines.push_back(std::move(line));
    };
    return o;
}

}  // namespace

TEST(EngineProcessOutput, LongLinesAreCutAndPasswordsHidden) {
    TempDir dir;
    std::vector<std::string> lines;
    std::mutex mutex;
    // Half a megabyte on one line, then what the LAN share logs for a wrong password.
    EngineProcess engine(scriptedEngine(dir,
                                        "head -c 500000 /dev/zero | tr '\\0' 'a'\n"
                                        "echo ' tail of it'\n"
                                        "echo 'ERROR inbound/mixed[lan-share]: process connection from 192.168.1.7:5123: "
                                        "socks5: authentication failed, username=corvane, password=Hunter2-secret'\n"
                                        "echo 'FATAL[0000] start service: password=p4ss, and more'\n"
                                        "exit 1\n",
                                        lines, mutex));
    try {
        engine.start();
        ADD_FAILURE() << "started";
    } catch (const EngineStartError& e) {
        EXPECT_EQ(std::string(e.what()), "FATAL[0000] start service: password=<hidden>, and more");
    }
    std::lock_guard lock(mutex);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::string(maxEngineLineBytes, 'a') + "\u2026");
    EXPECT_EQ(lines[1], "ERROR inbound/mixed[lan-share]: process connection from 192.168.1.7:5123: "
                        "socks5: authentication failed, username=corvane, password=<hidden>");
    EXPECT_EQ(lines[2].find("p4ss"), std::string::npos);
}

TEST(EngineProcessOutput, StoppingWaitsForTheEngineNotForWhatHoldsItsOutput) {
    TempDir dir;
    std::vector<std::string> lines;
    std::mutex mutex;
    // A process the engine leaves behind keeps its output open for ten minutes.
    const auto straggler = dir.path() / "straggler.pid";
    EngineProcess engine(scriptedEngine(dir, "sleep 600 &\necho $! > '" + straggler.string() + "'\nexec sleep 600\n", lines, mutex));
    auto start = std::async(std::launch::async, [&] {
        try {
            engine.start();
        } catch (const EngineStartError& e) {
            return std::string(e.what());
        }
        return std::string("started");
    });
    const bool ended = start.wait_for(60s) == std::future_status::ready;
    const pid_t left = std::stoi(readFile(straggler));
    ::kill(left, SIGKILL);
    ASSERT_TRUE(ended) << "the start that timed out waited for the straggler";
    EXPECT_EQ(start.get(), "the engine did not open its control API in time");
    EXPECT_FALSE(engine.isRunning());
}

namespace {

// The service's SIGTERM handler, as Asio's: it reports the signal through a pipe.
int terminationPipe[2] = {-1, -1};
void noteTermination(int) {
    const char byte = 't';
    (void)!::write(terminationPipe[1], &byte, 1);
}

}  // namespace

TEST(EngineProcessSignals, AStopBeforeTheEngineRunsEndsTheChildAndNeverReachesTheService) {
    // A start cancelled at once stops its child right after the fork, while the child is still a copy of
    // the service with the service's handlers and descriptors.
    TempDir dir;
    std::vector<std::string> lines;
    std::mutex mutex;
    auto options = scriptedEngine(dir, "exec sleep 60\n", lines, mutex);
    options.startTimeout = 30s;
    ASSERT_EQ(::pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK), 0);
    struct sigaction handler {}, previous {};
    handler.sa_handler = noteTermination;
    ::sigaction(SIGTERM, &handler, &previous);
    for (int attempt = 0; attempt < 25; ++attempt) {
        EngineProcess engine(options);
        engine.cancel();
        EXPECT_THROW(engine.start(), EngineStartError);
        EXPECT_FALSE(engine.isRunning());
    }
    ::sigaction(SIGTERM, &previous, nullptr);
    char byte = 0;
    EXPECT_EQ(::read(terminationPipe[0], &byte, 1), -1) << "a child ran the service's SIGTERM handler";
    for (int& fd : terminationPipe) ::close(std::exchange(fd, -1));
}

// The control port is chosen free, but any local program may take it before
// the engine does: the start's secret goes only to the engine's own listener.
TEST(EngineProcessControlPort, TheSecretGoesToNoListenerButTheEngines) {
    struct Case {
        const char* holder;
        uid_t uid;
        const char* refusal;
    };
    std::vector<Case> cases = {{"a program of this account", ::geteuid(), "held by another process of uid"}};
    if (::geteuid() == 0) cases.push_back({"another account", 65534, "held by uid 65534"});
    for (const auto& c : cases) {
        TempDir dir;
        std::vector<std::string> lines;
        std::mutex mutex;
        corvane::testing::ForeignListener holder(c.uid);
        EngineProcess::Options options = scriptedEngine(dir, "exec sleep 600\n", lines, mutex);
        options.controlPort = holder.port();
        options.controlSecret = "the-live-secret";
        EngineProcess engine(options);
        try {
            engine.start();
            ADD_FAILURE() << c.holder << ": started";
        } catch (const EngineStartError& e) {
            EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << c.holder << ": " << e.what();
        }
        EXPECT_EQ(holder.connections(), 0) << c.holder;
        EXPECT_EQ(holder.received().find("the-live-secret"), std::string::npos) << c.holder;
    }
}
