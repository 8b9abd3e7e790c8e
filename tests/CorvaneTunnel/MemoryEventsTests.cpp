// SPDX-License-Identifier: GPL-3.0-or-later
// The engine under the service's memory limit: the kernel's OOM kills are read
// from the service's own cgroup, the engine is the one the kernel ends first,
// and the service says so instead of "ended by signal 9".
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <fstream>
#include <thread>

#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "CorvaneTunnel/EngineProcess.hpp"
#include "CorvaneTunnel/MemoryEvents.hpp"
#include "TestSupport/EngineStandIn.hpp"
#include "TestSupport/ServiceClient.hpp"
#include "tools/fleet/BackgroundProcess.hpp"
#include "tools/fleet/Engine.hpp"
#include "tools/fleet/NetworkPorts.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;
using namespace std::chrono_literals;

namespace {

struct Fixture {
    std::string name;
    std::string processCgroups;                              // the /proc/<pid>/cgroup text
    std::vector<std::pair<std::string, std::string>> files;  // below the cgroup root; "/" ending: a folder
    std::optional<std::uint64_t> oomKills;
};

MemoryEvents::Files lay(const TempDir& dir, const Fixture& f) {
    const MemoryEvents::Files files{.processCgroups = dir.path() / "cgroup", .cgroupRoot = dir.path() / "sys" / "fs" / "cgroup"};
    std::filesystem::create_directories(files.cgroupRoot);
    if (!f.processCgroups.empty()) writeFile(files.processCgroups, f.processCgroups);
    for (const auto& [path, text] : f.files) {
        const auto at = files.cgroupRoot / path;
        if (path.ends_with("/")) {
            std::filesystem::create_directories(at);
            continue;
        }
        std::filesystem::create_directories(at.parent_path());
        writeFile(at, text);
    }
    return files;
}

const std::string kService = "system.slice/corvane-tunnel.service";
const std::string kEvents = "low 0\nhigh 12\nmax 40\noom 3\noom_kill 2\noom_group_kill 0\n";

}  // namespace

TEST(MemoryEvents, TheOOMKillCounterOfTheProcesssOwnCgroup) {
    const Fixture fixtures[] = {
        {"cgroup v2", "0::/" + kService + "\n", {{kService + "/memory.events", kEvents}}, 2},
        {"a kernel without the counter", "0::/" + kService + "\n", {{kService + "/memory.events", "low 0\nhigh 0\nmax 0\noom 0\n"}},
         std::nullopt},
        {"the root cgroup, which has no events", "0::/\n", {}, std::nullopt},
        {"events that cannot be read", "0::/" + kService + "\n", {{kService + "/memory.events/", ""}}, std::nullopt},
        {"no cgroup file", "", {{kService + "/memory.events", kEvents}}, std::nullopt},
        // The memory controller still on a v1 hierarchy of its own, beside an empty v2 one.
        {"cgroup v1",
         "9:name=systemd:/" + kService + "\n5:cpu,memory:/" + kService + "\n0::/" + kService + "\n",
         {{"memory/" + kService + "/memory.oom_control", "oom_kill_disable 0\nunder_oom 0\noom_kill 7\n"}},
         7},
        {"a cgroup outside this namespace's view", "0::/../../escape\n", {{"../escape/memory.events", kEvents}}, std::nullopt},
    };
    for (const auto& f : fixtures) {
        SCOPED_TRACE(f.name);
        TempDir dir;
        EXPECT_EQ(MemoryEvents::oomKills(lay(dir, f)), f.oomKills);
    }
}

TEST(MemoryEvents, OnlyASIGKILLWhileTheCounterRoseIsAnOOMKill) {
    TempDir dir;
    const auto files = lay(dir, {"", "0::/" + kService + "\n", {{kService + "/memory.events", kEvents}}, 2});
    struct Case {
        int exitStatus;
        std::optional<std::uint64_t> before;
        bool killed;
    };
    const Case cases[] = {
        {128 + SIGKILL, 1, true},
        {128 + SIGKILL, 2, false},             // killed by someone else
        {128 + SIGTERM, 1, false},             // stopped, while something else of the cgroup was killed
        {1, 1, false},                         // failed by itself
        {128 + SIGKILL, std::nullopt, false},  // no counter when it started
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MemoryEvents::killedForMemory(c.exitStatus, c.before, files), c.killed)
            << c.exitStatus << " after " << (c.before ? std::to_string(*c.before) : "none");
    }
    EXPECT_FALSE(MemoryEvents::killedForMemory(128 + SIGKILL, 1, {.processCgroups = dir.path() / "absent"}));
}

TEST(MemoryEvents, TheEngineVolunteersForTheOOMKiller) {
    // What the engine's process itself starts with, and how a start it did not survive is told.
    TempDir dir;
    writeFile(dir / "engine", "#!/bin/sh\ncat /proc/self/oom_score_adj > \"$(dirname \"$0\")/adj\"\nkill -9 $$\n");
    std::filesystem::permissions(dir / "engine", std::filesystem::perms(0755));
    EngineProcess engine({.executable = dir / "engine", .workingDirectory = dir / "state", .controlPort = freeTcpPort(),
                          .startTimeout = 30s});
    try {
        engine.start();
        ADD_FAILURE() << "the engine started";
    } catch (const EngineStartError& e) {
        EXPECT_EQ(e.exitStatus(), 128 + SIGKILL) << e.what();
    }
    EXPECT_EQ(readFile(dir / "adj"), "500\n");
}

namespace {

// A memory cgroup of the test's own, limited to `limit` bytes without swap, for
// programs started through enter(). Its processes are killed and it is removed
// when it goes. Needs root and a writable memory controller (v2, or v1 as on
// hybrid systems); `whyNot` says why there is none.
class LimitedCgroup {
public:
    static std::unique_ptr<LimitedCgroup> make(std::uint64_t limit, std::string& whyNot) {
        if (::geteuid() != 0) {
            whyNot = "making a memory cgroup needs root";
            return nullptr;
        }
        const std::filesystem::path root = "/sys/fs/cgroup";
        const std::string name = "corvane-test-" + std::to_string(::getpid()) + "-" + std::to_string(++made);
        const std::string bytes = std::to_string(limit);
        std::ifstream own("/proc/self/cgroup");
        for (std::string line; std::getline(own, line);) {
            // A v1 memory hierarchy: a child of the test's own cgroup there.
            const auto first = line.find(':'), second = line.find(':', first + 1);
            if (second == std::string::npos ||
                ("," + line.substr(first + 1, second - first - 1) + ",").find(",memory,") == std::string::npos) {
                continue;
            }
            auto cgroup = std::unique_ptr<LimitedCgroup>(new LimitedCgroup(root / "memory" / line.substr(second + 2) / name));
            if (!cgroup->created_ || !cgroup->write("memory.limit_in_bytes", bytes)) break;
            cgroup->write("memory.memsw.limit_in_bytes", bytes);  // absent without swap accounting
            return cgroup;
        }
        // v2: a child of the root, the one cgroup that may hold processes and limited children alike.
        std::ifstream enabled(root / "cgroup.subtree_control");
        std::string controllers;
        std::getline(enabled, controllers);
        if ((" " + controllers + " ").find(" memory ") == std::string::npos) {
            whyNot = "no writable memory controller in /sys/fs/cgroup (v1 or v2)";
            return nullptr;
        }
        auto cgroup = std::unique_ptr<LimitedCgroup>(new LimitedCgroup(root / name));
        if (!cgroup->created_ || !cgroup->write("memory.max", bytes)) {
            whyNot = "cannot make a limited cgroup in /sys/fs/cgroup";
            return nullptr;
        }
        cgroup->write("memory.swap.max", "0");
        return cgroup;
    }

    ~LimitedCgroup() {
        if (!created_) return;
        for (int attempt = 0; attempt < 500; ++attempt) {
            std::ifstream procs(dir / "cgroup.procs");
            bool any = false;
            for (pid_t pid; procs >> pid;) {
                ::kill(pid, SIGKILL);
                any = true;
            }
            std::error_code ec;
            if (!any && std::filesystem::remove(dir, ec)) return;
            std::this_thread::sleep_for(20ms);
        }
    }

    // `argv`, run inside this cgroup.
    std::vector<std::string> enter(std::vector<std::string> argv) const {
        argv.insert(argv.begin(), {"/bin/sh", "-c", "echo $$ > \"$0/cgroup.procs\" && exec \"$@\"", dir.string()});
        return argv;
    }

    std::filesystem::path dir;

private:
    explicit LimitedCgroup(std::filesystem::path at) : dir(std::move(at)) {
        std::error_code ec;
        created_ = std::filesystem::create_directory(dir, ec);
    }

    bool write(const std::string& file, const std::string& value) const {
        std::ofstream out(dir / file);
        out << value << std::flush;
        return out.good();
    }

    bool created_ = false;
    static inline int made = 0;
};

// corvane-tunnel --user inside `cgroup`, with `engine`.
class LimitedService {
public:
    LimitedService(const TempDir& dir, const LimitedCgroup& cgroup, const std::filesystem::path& engine)
        : socket(dir / "run" / "tunnel.sock"),
          process(cgroup.enter({CORVANE_TUNNEL_PATH, "--user", "--socket", socket.string(), "--state-dir", (dir / "state").string(),
                                "--engine", engine.string(), "--proxy-port", std::to_string(freeTcpPort())}),
                  dir / "service.log") {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (rawExchange(socket, R"({"id":1,"op":"hello"})" "\n").find(R"("ok":true)") == std::string::npos) {
            if (!process.isRunning() || std::chrono::steady_clock::now() > deadline) {
                throw std::runtime_error("corvane-tunnel did not come up:\n" + process.log());
            }
            std::this_thread::sleep_for(20ms);
        }
        app = std::make_unique<AppSide>(socket);
        app->run(app->controller.load());
    }

    std::filesystem::path socket;
    BackgroundProcess process;
    std::unique_ptr<AppSide> app;
};

// A configuration whose one server does not answer (the engine starts all the same), resolving on loopback.
std::string quietConfig() {
    ConfigBuilder::Inputs inputs;
    inputs.shares = {ShareUrlParser::parse("vless://451d324c-605b-4383-a814-967c5d2d589e@127.0.0.2:9?security=reality&sni=www.example.com"
                                           "&pbk=BoyfA7zDUQj6BrJQNq1BtbYTXhgsZyc-Q65n2ktuRSE&sid=9d1386ce6fb67a02#Nowhere")};
    inputs.smartRouting = false;
    inputs.urlTestURL = "https://127.0.0.1:9/generate_204";
    inputs.resolvers = {.proxy = "127.0.0.1", .direct = "127.0.0.1"};
    return ConfigBuilder::build(inputs).serialize();
}

constexpr std::uint64_t kLimit = 256ull << 20;

}  // namespace

TEST(MemoryLimit, AnEngineKilledForMemoryDuringItsStartIsToldAsSuch) {
    TempDir dir;
    std::string whyNot;
    auto cgroup = LimitedCgroup::make(kLimit, whyNot);
    if (!cgroup) GTEST_SKIP() << whyNot;
    // Reads without end and keeps it all, as the engine does with a rule set of any size.
    writeFile(dir / "hog", engineStandIn("exec tail /dev/zero\n"));
    std::filesystem::permissions(dir / "hog", std::filesystem::perms(0755));
    LimitedService service(dir, *cgroup, dir / "hog");
    service.app->run(service.app->controller.connect(quietConfig(), "panel.example.com"));
    ASSERT_TRUE(service.app->waitFor([&] { return service.app->controller.lastError().has_value(); }, 60s)) << service.process.log();
    EXPECT_EQ(*service.app->controller.lastError(), MemoryEvents::engineKilledForMemory) << service.process.log();
    EXPECT_TRUE(service.process.isRunning()) << "the service itself was killed";
}

TEST(MemoryLimit, ARunningEngineKilledForMemoryIsToldAsSuch) {
    if (::access(enginePath().c_str(), X_OK) != 0) GTEST_SKIP() << "sing-box is not installed at " << enginePath();
    TempDir dir;
    std::string whyNot;
    auto cgroup = LimitedCgroup::make(kLimit, whyNot);
    if (!cgroup) GTEST_SKIP() << whyNot;
    // The real engine starts beside its stand-in, which the service watches; once told, the stand-in
    // grows without end, as the engine would with whatever it is made to hold.
    const auto grow = dir / "grow";
    // (A job in the background reads /dev/null unless given its standard input through another descriptor.)
    writeFile(dir / "engine", engineStandIn("exec 3<&0\n'" + enginePath().string() + "' \"$@\" <&3 3<&- &\nexec 3<&-\n") +
                                  "while [ ! -e '" + grow.string() + "' ]; do sleep 0.05; done\nexec tail /dev/zero\n");
    std::filesystem::permissions(dir / "engine", std::filesystem::perms(0755));
    LimitedService service(dir, *cgroup, dir / "engine");
    service.app->run(service.app->controller.connect(quietConfig(), "panel.example.com"));
    ASSERT_TRUE(service.app->waitFor([&] { return service.app->controller.status() == NEVPNStatus::connected; }, 60s))
        << service.process.log();

    writeFile(grow, "");
    ASSERT_TRUE(service.app->waitFor([&] { return service.app->controller.lastError().has_value(); }, 60s)) << service.process.log();
    EXPECT_EQ(service.app->controller.lastErrorTrigger(), "singbox_exit");
    EXPECT_EQ(*service.app->controller.lastError(), MemoryEvents::engineKilledForMemory) << service.process.log();
    EXPECT_TRUE(service.process.isRunning()) << "the service itself was killed";
}
